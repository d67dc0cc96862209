#include "platform/host_resolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/win32.h"

#include "platform/last_error.h"
#include "platform/socket_address.h"
#include "support/string.h"

namespace qv {

namespace {

uint32_t SocketFailure() {
    uint32_t code = static_cast<uint32_t>(WSAGetLastError());
    SetLastErrorCode(code);
    return code;
}

class SYSTEM_RESOLVER : public HOST_RESOLVER {
public:
    uint32_t HostName(STRING_A& name) override {
        StartSockets();
        char buffer[256] = {};
        if (gethostname(buffer, sizeof buffer) != 0) return SocketFailure();
        name = buffer;
        return ERR_SUCCESS;
    }

    uint32_t LocalAddresses(std::vector<std::vector<uint8_t>>& addresses) override {
        StartSockets();
        addresses.clear();
        addrinfo hints{};
        addrinfo* list = nullptr;
        int result = getaddrinfo("", nullptr, &hints, &list);
        if (result != 0) {
            SetLastErrorCode(static_cast<uint32_t>(result));
            return static_cast<uint32_t>(result);
        }
        for (addrinfo* entry = list; entry; entry = entry->ai_next) {
            if (!entry->ai_addr) continue;
            const auto* bytes = reinterpret_cast<const uint8_t*>(entry->ai_addr);
            addresses.emplace_back(bytes, bytes + entry->ai_addrlen);
        }
        freeaddrinfo(list);
        return ERR_SUCCESS;
    }

    uint32_t ReverseLookup(const void* address, uint32_t length, STRING& hostName) override {
        StartSockets();
        wchar_t host[1025] = {};
        if (GetNameInfoW(static_cast<const SOCKADDR*>(address), static_cast<socklen_t>(length), host, 1025, nullptr, 0,
                         NI_NAMEREQD) != 0) {
            return SocketFailure();
        }
        hostName = AsUtf16(host);
        return ERR_SUCCESS;
    }
};

}  // namespace

HOST_RESOLVER& SystemHostResolver() {
    static SYSTEM_RESOLVER resolver;
    return resolver;
}

}  // namespace qv
