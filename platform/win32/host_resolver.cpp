#include "platform/host_resolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/win32.h"

#include <iphlpapi.h>

#include <cstring>

#include "base/string.h"
#include "platform/last_error.h"
#include "platform/socket_address.h"

namespace qv {

namespace {

uint32_t SocketFailure() {
    uint32_t code = static_cast<uint32_t>(WSAGetLastError());
    SetLastErrorCode(code);
    return code;
}

bool IsLoopback(const std::vector<uint8_t>& address) {
    static const uint8_t V6_LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    uint16_t family = SocketAddressFamily(address.data());
    if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) return address[IPV4_ADDRESS_OFFSET] == 127;
    if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        return std::memcmp(address.data() + IPV6_ADDRESS_OFFSET, V6_LOOPBACK, 16) == 0;
    }
    return false;
}

// The unicast addresses of the adapters, in the adapters' order.
void AppendAdapterAddresses(std::vector<std::vector<uint8_t>>& addresses) {
    ULONG size = 16 * 1024;
    std::vector<uint8_t> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                      nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
        for (IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(unicast->Address.lpSockaddr);
            if (bytes && unicast->Address.iSockaddrLength > 0) {
                addresses.emplace_back(bytes, bytes + unicast->Address.iSockaddrLength);
            }
        }
    }
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
        // Where the host name resolves only to loopback (a hosts file naming the machine
        // 127.0.0.1, as Wine sees it), the adapters still know the machine's addresses.
        bool onlyLoopback = true;
        for (const std::vector<uint8_t>& address : addresses) onlyLoopback = onlyLoopback && IsLoopback(address);
        if (onlyLoopback) AppendAdapterAddresses(addresses);
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
