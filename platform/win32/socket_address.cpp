#include "platform/socket_address.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/win32.h"

#include <cstring>
#include <mutex>

#include "platform/last_error.h"

namespace qv {

static_assert(AF_INET == IP_FAMILY_IPV4 && AF_INET6 == IP_FAMILY_IPV6);
static_assert(sizeof(sockaddr_in) == IPV4_SOCKET_ADDRESS_SIZE && sizeof(sockaddr_in6) == IPV6_SOCKET_ADDRESS_SIZE);

uint16_t SocketAddressFamily(const void* address) {
    uint16_t family = 0;
    std::memcpy(&family, address, sizeof family);
    return family;
}

uint32_t SocketAddressToText(const void* address, uint32_t length, char16_t* buffer, uint32_t& chars) {
    StartSockets();
    DWORD size = chars;
    if (WSAAddressToStringW(static_cast<LPSOCKADDR>(const_cast<void*>(address)), length, nullptr, AsWide(buffer),
                            &size) != 0) {
        uint32_t code = static_cast<uint32_t>(WSAGetLastError());
        if (code == WSAEFAULT) chars = size;
        SetLastErrorCode(code);
        return code;
    }
    // The count given back includes the terminator.
    chars = size > 0 ? size - 1 : 0;
    return ERR_SUCCESS;
}

uint32_t TextToSocketAddress(const char16_t* text, uint16_t family, void* address, uint32_t& length) {
    StartSockets();
    INT size = static_cast<INT>(length);
    if (address && length >= sizeof(uint16_t)) std::memcpy(address, &family, sizeof family);
    if (WSAStringToAddressW(const_cast<wchar_t*>(AsWide(text)), family, nullptr, static_cast<LPSOCKADDR>(address),
                            &size) != 0) {
        uint32_t code = static_cast<uint32_t>(WSAGetLastError());
        if (code == WSAEFAULT) length = static_cast<uint32_t>(size);
        SetLastErrorCode(code);
        return code;
    }
    length = static_cast<uint32_t>(size);
    return ERR_SUCCESS;
}

bool StartSockets() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

}  // namespace qv
