// Socket addresses as the platform lays them out, and their conversion to and from text
// (WSAAddressToStringW / WSAStringToAddressW on Windows, getnameinfo / getaddrinfo with
// numeric-only flags on POSIX; neither ever asks a name server).
//
// Both platforms lay out an IPv4 socket address as family (2 bytes, host order), port
// (2, network order), 4 address bytes and 8 bytes of padding, and an IPv6 one as family,
// port, flow information (4), 16 address bytes and the scope (4). Only the IPv6 family number
// differs (23 on Windows, 10 on Linux); log lines print the platform's own.
#pragma once

#include <cstdint>

namespace qv {

constexpr uint16_t IP_FAMILY_NONE = 0;
constexpr uint16_t IP_FAMILY_IPV4 = 2;
#if defined(_WIN32)
constexpr uint16_t IP_FAMILY_IPV6 = 23;
#else
constexpr uint16_t IP_FAMILY_IPV6 = 10;
#endif

constexpr uint32_t IPV4_SOCKET_ADDRESS_SIZE = 16;
constexpr uint32_t IPV6_SOCKET_ADDRESS_SIZE = 28;
constexpr uint32_t IPV4_ADDRESS_OFFSET = 4;
constexpr uint32_t IPV6_ADDRESS_OFFSET = 8;

// The family stored at the start of a socket address of at least 2 bytes.
uint16_t SocketAddressFamily(const void* address);

// As WSAAddressToStringW: the text (with ":port" or "[...]:port" when the port is not 0).
// 'chars' is the buffer's size in characters, NUL included; 10014 (too small) gives the size
// needed in 'chars'; 10022 for an unknown family or a length that does not fit it.
uint32_t SocketAddressToText(const void* address, uint32_t length, char16_t* buffer, uint32_t& chars);

// As WSAStringToAddressW for the given family: the address written to 'address', whose
// buffer is 'length' bytes and receives the size used; 10014 with the size needed when it
// is too small; 10022 when the text is not an address of that family.
uint32_t TextToSocketAddress(const char16_t* text, uint16_t family, void* address, uint32_t& length);

// Starts the platform's sockets library for the process, once (Windows: WSAStartup);
// CleanUpSockets (process_setup.h) gives it back. True when sockets can be used.
bool StartSockets();

}  // namespace qv
