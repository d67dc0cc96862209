#include "platform/host_resolver.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"

namespace qv {

namespace {

// getnameinfo's EAI_* results in the Winsock vocabulary the callers log.
uint32_t ResolverError(int result) {
    switch (result) {
        case EAI_NONAME: return ERR_WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return ERR_WSATRY_AGAIN;
        case EAI_FAIL: return ERR_WSANO_RECOVERY;
        case EAI_FAMILY: return ERR_WSAEAFNOSUPPORT;
        case EAI_MEMORY: return ERR_NOT_ENOUGH_MEMORY;
        case EAI_SYSTEM: return SocketErrorFromErrno(errno);
        default: return ERR_WSANO_RECOVERY;
    }
}

class SYSTEM_RESOLVER : public HOST_RESOLVER {
public:
    uint32_t HostName(STRING_A& name) override {
        char buffer[256] = {};
        if (gethostname(buffer, sizeof buffer - 1) != 0) {
            uint32_t code = SocketErrorFromErrno(errno);
            SetLastErrorCode(code);
            return code;
        }
        name = buffer;
        return ERR_SUCCESS;
    }

    // Linux's resolver gives nothing for an empty host name, so the local addresses are the
    // interfaces' own, in the kernel's order. An interface that is down keeps its addresses
    // but cannot carry traffic, whether it was taken down or has lost its link (a bridge
    // without ports, a cable pulled): only interfaces that are up and running count.
    uint32_t LocalAddresses(std::vector<std::vector<uint8_t>>& addresses) override {
        addresses.clear();
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) {
            uint32_t code = SocketErrorFromErrno(errno);
            SetLastErrorCode(code);
            return code;
        }
        for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr) continue;
            if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_RUNNING) == 0) continue;
            size_t size = 0;
            if (entry->ifa_addr->sa_family == AF_INET) size = sizeof(sockaddr_in);
            else if (entry->ifa_addr->sa_family == AF_INET6) size = sizeof(sockaddr_in6);
            else continue;
            const auto* bytes = reinterpret_cast<const uint8_t*>(entry->ifa_addr);
            addresses.emplace_back(bytes, bytes + size);
        }
        freeifaddrs(list);
        return ERR_SUCCESS;
    }

    uint32_t ReverseLookup(const void* address, uint32_t length, STRING& hostName) override {
        char host[1025] = {};
        int result = getnameinfo(static_cast<const sockaddr*>(address), length, host, sizeof host, nullptr, 0,
                                 NI_NAMEREQD);
        if (result != 0) {
            uint32_t code = ResolverError(result);
            SetLastErrorCode(code);
            return code;
        }
        hostName = STRING(host);
        return ERR_SUCCESS;
    }
};

}  // namespace

HOST_RESOLVER& SystemHostResolver() {
    static SYSTEM_RESOLVER resolver;
    return resolver;
}

}  // namespace qv
