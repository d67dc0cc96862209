#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_codes.h"
#include "base/string.h"
#include "base/utf.h"
#include "platform/last_error.h"

namespace qv {

static_assert(AF_INET == IP_FAMILY_IPV4 && AF_INET6 == IP_FAMILY_IPV6);
static_assert(sizeof(sockaddr_in) == IPV4_SOCKET_ADDRESS_SIZE && sizeof(sockaddr_in6) == IPV6_SOCKET_ADDRESS_SIZE);
static_assert(offsetof(sockaddr_in, sin_addr) == IPV4_ADDRESS_OFFSET);
static_assert(offsetof(sockaddr_in6, sin6_addr) == IPV6_ADDRESS_OFFSET);

namespace {

uint32_t Fail(uint32_t code) {
    SetLastErrorCode(code);
    return code;
}

// The text WSAAddressToStringW gives: the address, the scope after "%" for IPv6, and the
// port when it is not 0 ("a.b.c.d:port", "[address]:port").
bool FormatAddress(const void* address, uint32_t length, std::string& text) {
    char host[INET6_ADDRSTRLEN] = {};
    char formatted[INET6_ADDRSTRLEN + 32] = {};
    uint16_t family = SocketAddressFamily(address);
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
        if (in.sin_port != 0) {
            std::snprintf(formatted, sizeof formatted, "%s:%u", host, unsigned{ntohs(in.sin_port)});
        } else {
            std::snprintf(formatted, sizeof formatted, "%s", host);
        }
        text = formatted;
        return true;
    }
    if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        // Windows prints the scope as a number; so do we, whatever the interface is called.
        char scope[16] = {};
        if (in6.sin6_scope_id != 0) std::snprintf(scope, sizeof scope, "%%%u", unsigned{in6.sin6_scope_id});
        if (in6.sin6_port != 0) {
            std::snprintf(formatted, sizeof formatted, "[%s%s]:%u", host, scope, unsigned{ntohs(in6.sin6_port)});
        } else {
            std::snprintf(formatted, sizeof formatted, "%s%s", host, scope);
        }
        text = formatted;
        return true;
    }
    return false;
}

}  // namespace

uint16_t SocketAddressFamily(const void* address) {
    uint16_t family = 0;
    std::memcpy(&family, address, sizeof family);
    return family;
}

uint32_t SocketAddressToText(const void* address, uint32_t length, char16_t* buffer, uint32_t& chars) {
    std::string text;
    if (!address || !FormatAddress(address, length, text)) return Fail(ERR_WSAEINVAL);
    STRING wide(text.c_str());
    uint32_t needed = wide.Length() + 1;
    if (!buffer || chars < needed) {
        chars = needed;
        return Fail(ERR_WSAEFAULT);
    }
    std::memcpy(buffer, wide.Text(), needed * sizeof(char16_t));
    chars = needed - 1;
    return ERR_SUCCESS;
}

uint32_t TextToSocketAddress(const char16_t* text, uint16_t family, void* address, uint32_t& length) {
    if (!text || (family != AF_INET && family != AF_INET6)) return Fail(ERR_WSAEINVAL);
    STRING_A narrow(text);
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (narrow.Length() == 0 || getaddrinfo(narrow.Text(), nullptr, &hints, &found) != 0 || !found) {
        return Fail(ERR_WSAEINVAL);
    }
    uint32_t needed = static_cast<uint32_t>(found->ai_addrlen);
    uint32_t result = ERR_SUCCESS;
    if (!address || length < needed) {
        result = ERR_WSAEFAULT;
    } else {
        std::memcpy(address, found->ai_addr, needed);
    }
    length = needed;
    freeaddrinfo(found);
    return result == ERR_SUCCESS ? result : Fail(result);
}

bool StartSockets() { return true; }

}  // namespace qv
