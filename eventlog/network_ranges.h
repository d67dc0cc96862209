// The address ranges of IncludeNetworks and ExcludeNetworks: IPv4 and IPv6 ranges written as
// an address and a prefix length (10.0.0.0/8, 2001:db8::/32), or a single address. An IPv4
// address written as IPv6 (::ffff:10.1.1.5), in an entry or in a logon, is that IPv4 address.
// A look-up is a binary search, whatever the number of ranges.
#pragma once

#include <cstdint>
#include <vector>

#include "base/string.h"
#include "identity/ip_address.h"

namespace qv {

// An address as one unsigned 128-bit number (an IPv4 address in the low 32 bits).
struct ADDRESS_BITS {
    uint64_t High = 0;
    uint64_t Low = 0;
    friend bool operator<(const ADDRESS_BITS& a, const ADDRESS_BITS& b) {
        return a.High != b.High ? a.High < b.High : a.Low < b.Low;
    }
    friend bool operator<=(const ADDRESS_BITS& a, const ADDRESS_BITS& b) { return !(b < a); }
};

// A parsed address: 4 for IPv4 (the address in the low 32 bits of Low), 6 for IPv6.
struct PARSED_ADDRESS {
    uint32_t Version = 0;
    ADDRESS_BITS Bits;
};

// Strict address text: dotted decimal IPv4 (no leading zeros), IPv6 with :: and a dotted IPv4
// tail; no zone, port or brackets. IPv4-mapped IPv6 comes back as IPv4.
bool ParseAddressText(const char16_t* text, uint32_t length, PARSED_ADDRESS& address);
// The address of a logon, IPv4-mapped IPv6 as IPv4; false when it has none.
bool AddressOfLogon(const IP_ADDRESS& address, PARSED_ADDRESS& parsed);

class NETWORK_RANGES {
public:
    // Takes one entry (surrounding blanks ignored); false, with the reason, when it is no
    // range: nothing is added then.
    bool Add(const STRING& entry, STRING& problem);
    // Prepares the look-ups; call once after the last Add.
    void Seal();

    // The most specific entry whose range holds the address, or null. Only after Seal.
    const STRING* Match(const PARSED_ADDRESS& address) const;

    uint32_t Count() const { return static_cast<uint32_t>(Entries.size()); }
    bool IsEmpty() const { return Entries.empty(); }

private:
    // First and Last of each range; ranges of one family are nested or apart, never partly
    // overlapping, so each knows the nearest range that holds it (Parent, or -1).
    struct RANGE {
        ADDRESS_BITS First;
        ADDRESS_BITS Last;
        uint32_t Entry = 0;
        int32_t Parent = -1;
    };
    // The ranges of one family in order, and their first addresses side by side: the search
    // reads only those, which stay in the cache.
    struct FAMILY {
        std::vector<RANGE> Ranges;
        std::vector<ADDRESS_BITS> Firsts;
    };
    static void Link(FAMILY& family);
    const STRING* Find(const FAMILY& family, const ADDRESS_BITS& address) const;

    std::vector<STRING> Entries;  // as given, for messages
    FAMILY V4;
    FAMILY V6;
};

}  // namespace qv
