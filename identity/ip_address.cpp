#include "identity/ip_address.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/host_resolver.h"
#include "platform/last_error.h"
#include "support/debug_log.h"
#include "support/number_text.h"

namespace qv {

namespace {

constexpr uint32_t ADDRESS_TEXT_CHARS = 1025;
constexpr uint32_t SOCKET_ADDRESS_BUFFER = 256;

// The host strings found at start. Written once by DiscoverHostAddresses, read afterwards.
struct HOST_ADDRESSES {
    std::mutex Lock;
    STRING HostName;
    STRING HostIpV4;
    STRING HostIpV6;
};

HOST_ADDRESSES& Host() {
    static HOST_ADDRESSES host;
    return host;
}

const char16_t* OrNone(const STRING& text) { return text.IsEmpty() ? u"None" : text.Text(); }

}  // namespace

uint16_t AddressFamilyOfText(const char16_t* text) {
    for (const char16_t* at = text; at && *at; ++at) {
        if (*at == u':') return IP_FAMILY_IPV6;
    }
    return IP_FAMILY_IPV4;
}

bool IpAddressFromText(IP_ADDRESS& address, const char16_t* text) {
    address.Family = AddressFamilyOfText(text);
    if (StringToAddress(text, address.Family, address.SocketAddress)) return true;
    address.Family = IP_FAMILY_NONE;
    address.SocketAddress.Free();
    return false;
}

uint32_t IpAddressVersion(const IP_ADDRESS& address) {
    if (address.Family == IP_FAMILY_IPV4) return 4;
    if (address.Family == IP_FAMILY_IPV6) return 6;
    return 0;
}

uint32_t IpAddressLength(const IP_ADDRESS& address) {
    if (address.Family == IP_FAMILY_IPV4) return 4;
    if (address.Family == IP_FAMILY_IPV6) return 16;
    return 0;
}

const uint8_t* IpAddressBytes(const IP_ADDRESS& address) {
    const uint8_t* socketAddress = address.SocketAddress.Data();
    uint32_t size = address.SocketAddress.Size();
    if (address.Family == IP_FAMILY_IPV4 && size >= IPV4_ADDRESS_OFFSET + 4) return socketAddress + IPV4_ADDRESS_OFFSET;
    if (address.Family == IP_FAMILY_IPV6 && size >= IPV6_ADDRESS_OFFSET + 16) return socketAddress + IPV6_ADDRESS_OFFSET;
    return nullptr;
}

bool IsLoopbackAddress(const IP_ADDRESS& address) {
    static const uint8_t LOOPBACK_V4[4] = {127, 0, 0, 1};
    static const uint8_t LOOPBACK_V6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const uint8_t* bytes = IpAddressBytes(address);
    if (!bytes) return false;
    if (address.Family == IP_FAMILY_IPV4) return std::memcmp(bytes, LOOPBACK_V4, 4) == 0;
    return std::memcmp(bytes, LOOPBACK_V6, 16) == 0;
}

bool AddressToString(const void* socketAddress, uint32_t length, STRING& text) {
    text = STRING(ADDRESS_TEXT_CHARS);
    uint32_t chars = ADDRESS_TEXT_CHARS;
    uint32_t code = SocketAddressToText(socketAddress, length, text.Buffer(), chars);
    if (code == ERR_WSAEFAULT) {
        text = STRING(chars);
        code = SocketAddressToText(socketAddress, length, text.Buffer(), chars);
    }
    if (code == ERR_SUCCESS) {
        text.SetLength(chars);
        return true;
    }
    text.Clear();
    STRING hex;
    BytesToHexText(hex, socketAddress, std::min<uint32_t>(length, 16), false, 1, u' ');
    uint16_t family = length >= 2 && socketAddress ? SocketAddressFamily(socketAddress) : 0;
    DebugLog(u"Unable to convert address = [%s],\n    Length = %lu, Family = %u to a string.\n    %s. Error code = %lu.",
             hex, length, family, GetErrorText(code), code);
    return false;
}

bool StringToAddress(const char16_t* text, uint16_t family, BYTE_BUFFER& socketAddress) {
    alignas(8) uint8_t local[SOCKET_ADDRESS_BUFFER] = {};
    uint32_t length = sizeof local;
    uint32_t code = TextToSocketAddress(text, family, local, length);
    if (code == ERR_SUCCESS) {
        if (!socketAddress.Resize(length)) return false;
        std::memcpy(socketAddress.Data(), local, length);
        return true;
    }
    if (code == ERR_WSAEFAULT && socketAddress.Resize(length)) {
        code = TextToSocketAddress(text, family, socketAddress.Data(), length);
        if (code == ERR_SUCCESS) return true;
        socketAddress.Free();
    }
    if (code == ERR_WSAEINVAL) {
        DebugLog(u"Address \"%s\" is not valid for family %u.", text, family);
    } else {
        DebugLog(u"Unable to convert address \"%s\", family = %u.\n    %s. Error code = %lu.", text, family,
                 GetErrorText(code), code);
    }
    return false;
}

bool LookupHostName(const void* socketAddress, uint32_t length, STRING& hostName) {
    const uint32_t code = CurrentHostResolver().ReverseLookup(socketAddress, length, hostName);
    if (code == ERR_SUCCESS) return true;
    SetLastErrorCode(code);
    return false;
}

void DiscoverHostAddresses() {
    HOST_ADDRESSES& host = Host();
    std::lock_guard lock(host.Lock);
    host.HostName.Clear();
    host.HostIpV4.Clear();
    host.HostIpV6.Clear();

    HOST_RESOLVER& resolver = CurrentHostResolver();
    STRING_A name;
    uint32_t code = resolver.HostName(name);
    if (code != ERR_SUCCESS) {
        DebugLog(u"Unable to get host name.\n    %s Error code = %d", GetErrorText(code), code);
        return;
    }
    host.HostName = STRING(name);

    std::vector<std::vector<uint8_t>> addresses;
    code = resolver.LocalAddresses(addresses);
    if (code != ERR_SUCCESS) {
        DebugLog(u"Unable to get IP address information for %s.\n    %s Error code = %d", host.HostName,
                 GetErrorText(code), code);
    }
    for (const std::vector<uint8_t>& address : addresses) {
        if (address.size() < 2) continue;
        uint16_t family = SocketAddressFamily(address.data());
        STRING* slot = family == IP_FAMILY_IPV4 ? &host.HostIpV4 : family == IP_FAMILY_IPV6 ? &host.HostIpV6 : nullptr;
        if (!slot || !slot->IsEmpty()) continue;
        STRING text;
        if (!AddressToString(address.data(), static_cast<uint32_t>(address.size()), text)) continue;
        if (text.Equals(family == IP_FAMILY_IPV4 ? u"127.0.0.1" : u"::1")) continue;
        *slot = std::move(text);
    }
    DebugLog(u"HostName = \"%s\",\n    HostIpV4 = %s,\n    HostIpV6 = %s", host.HostName, OrNone(host.HostIpV4),
             OrNone(host.HostIpV6));
}

bool GetLocalAddress(IP_ADDRESS& address, STRING& text) {
    HOST_ADDRESSES& host = Host();
    std::lock_guard lock(host.Lock);
    const STRING* first = nullptr;
    const STRING* second = nullptr;
    if (address.Family == IP_FAMILY_IPV4) {
        first = &host.HostIpV4;
        second = &host.HostIpV6;
    } else if (address.Family == IP_FAMILY_IPV6) {
        first = &host.HostIpV6;
        second = &host.HostIpV4;
    } else {
        return false;
    }
    const STRING* chosen = !first->IsEmpty() ? first : !second->IsEmpty() ? second : nullptr;
    if (!chosen) return false;
    IpAddressFromText(address, chosen->Text());
    text = *chosen;
    return true;
}

}  // namespace qv
