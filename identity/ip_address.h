// IP addresses as the logon handlers and the wire format use them: a family and the
// platform's socket address, with conversions to and from text, the reverse name lookup and
// the local host's own addresses found at start.
#pragma once

#include <cstdint>

#include "base/byte_buffer.h"
#include "base/string.h"
#include "platform/socket_address.h"

namespace qv {

struct IP_ADDRESS {
    explicit IP_ADDRESS(uint16_t family = IP_FAMILY_NONE) : Family(family) {}

    uint16_t Family;
    BYTE_BUFFER SocketAddress;  // empty until an address is converted into it
};

// IPv6 when the text contains a colon, else IPv4.
uint16_t AddressFamilyOfText(const char16_t* text);
// Family by AddressFamilyOfText, then StringToAddress; on failure the family becomes 0.
bool IpAddressFromText(IP_ADDRESS& address, const char16_t* text);

uint32_t IpAddressVersion(const IP_ADDRESS& address);  // 4, 6 or 0
uint32_t IpAddressLength(const IP_ADDRESS& address);   // 4, 16 or 0
const uint8_t* IpAddressBytes(const IP_ADDRESS& address);  // null when there are none
// Exactly 127.0.0.1 or ::1.
bool IsLoopbackAddress(const IP_ADDRESS& address);

bool AddressToString(const void* socketAddress, uint32_t length, STRING& text);
bool StringToAddress(const char16_t* text, uint16_t family, BYTE_BUFFER& socketAddress);
// Reverse lookup through the current host resolver; on failure the error is left as the
// thread's last-error value for the caller to log.
bool LookupHostName(const void* socketAddress, uint32_t length, STRING& hostName);

// Fills the host name and the first non-loopback IPv4 and IPv6 address texts, and logs them.
void DiscoverHostAddresses();
// The local address of the family the caller set (falling back to the other family) and its
// text; false when the host has neither.
bool GetLocalAddress(IP_ADDRESS& address, STRING& text);

}  // namespace qv
