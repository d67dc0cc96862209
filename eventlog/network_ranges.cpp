#include "eventlog/network_ranges.h"

#include <algorithm>
#include <string_view>

#include "support/format.h"

namespace qv {

namespace {

constexpr uint64_t MAPPED_MARK = 0xFFFF;  // ::ffff:a.b.c.d: bits 32 to 47 of the low half

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int HexValue(char16_t c) {
    if (IsDigit(c)) return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// A decimal number without sign or leading zero, at most 'maximum'.
bool ParseDecimal(const char16_t* text, size_t length, uint32_t maximum, uint32_t& value) {
    if (length == 0 || length > 3 || (length > 1 && text[0] == u'0')) return false;
    value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!IsDigit(text[i])) return false;
        value = value * 10 + static_cast<uint32_t>(text[i] - u'0');
    }
    return value <= maximum;
}

bool ParseIpv4(const char16_t* text, size_t length, uint32_t& address) {
    address = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = start;
        while (end < length && text[end] != u'.') ++end;
        if ((part < 3) != (end < length)) return false;  // exactly three dots
        uint32_t value = 0;
        if (!ParseDecimal(text + start, end - start, 255, value)) return false;
        address = address << 8 | value;
        start = end + 1;
    }
    return true;
}

// Colon-separated groups of one to four hex digits; with 'allowIpv4Tail' the last piece may be
// a dotted IPv4 address, which counts as two groups. No text gives no groups.
bool ParseGroups(const char16_t* text, size_t length, bool allowIpv4Tail, std::vector<uint16_t>& groups) {
    if (length == 0) return true;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < length && text[end] != u':') ++end;
        const bool last = end == length;
        const size_t size = end - start;
        if (last && allowIpv4Tail && std::find(text + start, text + end, u'.') != text + end) {
            uint32_t ipv4 = 0;
            if (!ParseIpv4(text + start, size, ipv4)) return false;
            groups.push_back(static_cast<uint16_t>(ipv4 >> 16));
            groups.push_back(static_cast<uint16_t>(ipv4));
            return true;
        }
        if (size == 0 || size > 4) return false;
        uint32_t value = 0;
        for (size_t i = start; i < end; ++i) {
            const int digit = HexValue(text[i]);
            if (digit < 0) return false;
            value = value << 4 | static_cast<uint32_t>(digit);
        }
        groups.push_back(static_cast<uint16_t>(value));
        if (last) return true;
        start = end + 1;
    }
}

bool ParseIpv6(const char16_t* text, size_t length, ADDRESS_BITS& bits) {
    const std::u16string_view view(text, length);
    const size_t gap = view.find(u"::");
    std::vector<uint16_t> head;
    std::vector<uint16_t> tail;
    if (gap == std::u16string_view::npos) {
        if (!ParseGroups(text, length, true, head) || head.size() != 8) return false;
    } else {
        if (view.find(u"::", gap + 1) != std::u16string_view::npos) return false;
        if (!ParseGroups(text, gap, false, head) || !ParseGroups(text + gap + 2, length - gap - 2, true, tail)) {
            return false;
        }
        if (head.size() + tail.size() > 7) return false;
        head.resize(8 - tail.size(), 0);
        head.insert(head.end(), tail.begin(), tail.end());
    }
    bits = ADDRESS_BITS();
    for (int i = 0; i < 4; ++i) bits.High = bits.High << 16 | head[static_cast<size_t>(i)];
    for (int i = 4; i < 8; ++i) bits.Low = bits.Low << 16 | head[static_cast<size_t>(i)];
    return true;
}

bool IsMapped(const ADDRESS_BITS& bits) { return bits.High == 0 && bits.Low >> 32 == MAPPED_MARK; }

// The bits kept by a prefix of 'length' of a 'width'-bit address.
ADDRESS_BITS PrefixMask(uint32_t length, uint32_t width) {
    ADDRESS_BITS mask;
    const uint32_t start = 128 - width;  // IPv4 lives in the low 32 bits
    for (uint32_t bit = start; bit < start + length; ++bit) {
        if (bit < 64) mask.High |= uint64_t{1} << (63 - bit);
        else mask.Low |= uint64_t{1} << (127 - bit);
    }
    return mask;
}

ADDRESS_BITS WidthMask(uint32_t width) { return PrefixMask(width, width); }

}  // namespace

bool ParseAddressText(const char16_t* text, uint32_t length, PARSED_ADDRESS& address) {
    address = PARSED_ADDRESS();
    if (std::find(text, text + length, u':') != text + length) {
        if (!ParseIpv6(text, length, address.Bits)) return false;
        address.Version = 6;
        if (IsMapped(address.Bits)) {
            address.Version = 4;
            address.Bits.Low &= 0xFFFFFFFFu;
        }
        return true;
    }
    uint32_t ipv4 = 0;
    if (!ParseIpv4(text, length, ipv4)) return false;
    address.Version = 4;
    address.Bits.Low = ipv4;
    return true;
}

bool AddressOfLogon(const IP_ADDRESS& address, PARSED_ADDRESS& parsed) {
    parsed = PARSED_ADDRESS();
    const uint8_t* bytes = IpAddressBytes(address);
    const uint32_t length = IpAddressLength(address);
    if (bytes == nullptr || (length != 4 && length != 16)) return false;
    uint64_t halves[2] = {0, 0};
    for (uint32_t i = 0; i < length; ++i) {
        uint64_t& half = halves[length == 4 ? 1 : i / 8];
        half = half << 8 | bytes[i];
    }
    parsed.Bits = {halves[0], halves[1]};
    parsed.Version = length == 4 ? 4 : 6;
    if (parsed.Version == 6 && IsMapped(parsed.Bits)) {
        parsed.Version = 4;
        parsed.Bits.Low &= 0xFFFFFFFFu;
    }
    return true;
}

bool NETWORK_RANGES::Add(const STRING& given, STRING& problem) {
    const char16_t* text = given.Text();
    uint32_t start = 0;
    uint32_t end = given.Length();
    while (start < end && (text[start] == u' ' || text[start] == u'\t')) ++start;
    while (end > start && (text[end - 1] == u' ' || text[end - 1] == u'\t')) --end;
    if (start == end) {
        problem = u"it is empty";
        return false;
    }
    const std::u16string_view entry(text + start, end - start);
    const size_t slash = entry.find(u'/');
    const std::u16string_view addressText = entry.substr(0, slash);
    // Written as IPv6 or not decides the width of the prefix, even for a mapped IPv4 address.
    const bool writtenAsIpv6 = addressText.find(u':') != std::u16string_view::npos;
    PARSED_ADDRESS address;
    if (!ParseAddressText(addressText.data(), static_cast<uint32_t>(addressText.size()), address)) {
        problem = writtenAsIpv6 ? u"it is no IPv6 address" : u"it is no IPv4 address (four numbers from 0 to 255)";
        return false;
    }
    const uint32_t writtenWidth = writtenAsIpv6 ? 128 : 32;
    uint32_t prefix = writtenWidth;
    if (slash != std::u16string_view::npos) {
        const std::u16string_view length = entry.substr(slash + 1);
        if (!ParseDecimal(length.data(), length.size(), writtenWidth, prefix)) {
            FormatString(problem, u"the prefix length after / must be a number from 0 to %lu", writtenWidth);
            return false;
        }
    }
    uint32_t width = writtenWidth;
    if (writtenAsIpv6 && address.Version == 4) {
        if (prefix < 96) {
            // Wider than the mapped block: an IPv6 range, which holds no IPv4 address.
            address.Version = 6;
            address.Bits.Low |= MAPPED_MARK << 32;
        } else {
            prefix -= 96;
            width = 32;
        }
    }
    const ADDRESS_BITS mask = PrefixMask(prefix, width);
    const ADDRESS_BITS all = WidthMask(width);
    if ((address.Bits.High & ~mask.High) != 0 || (address.Bits.Low & ~mask.Low) != 0) {
        FormatString(problem, u"the address has bits set past its first %lu; a range starts at its network's address",
                     prefix);
        return false;
    }
    RANGE range;
    range.First = address.Bits;
    range.Last = {address.Bits.High | (all.High & ~mask.High), address.Bits.Low | (all.Low & ~mask.Low)};
    range.Entry = static_cast<uint32_t>(Entries.size());
    Entries.emplace_back(entry.data(), static_cast<uint32_t>(entry.size()));
    (address.Version == 4 ? V4 : V6).Ranges.push_back(range);
    return true;
}

void NETWORK_RANGES::Link(FAMILY& family) {
    std::vector<RANGE>& ranges = family.Ranges;
    // Wider ranges before the ranges they hold.
    std::sort(ranges.begin(), ranges.end(), [](const RANGE& a, const RANGE& b) {
        if (a.First < b.First || b.First < a.First) return a.First < b.First;
        return b.Last < a.Last;
    });
    std::vector<int32_t> open;  // the ranges that hold the current one, widest first
    family.Firsts.clear();
    for (size_t i = 0; i < ranges.size(); ++i) {
        while (!open.empty() && ranges[static_cast<size_t>(open.back())].Last < ranges[i].First) open.pop_back();
        ranges[i].Parent = open.empty() ? -1 : open.back();
        open.push_back(static_cast<int32_t>(i));
        family.Firsts.push_back(ranges[i].First);
    }
}

void NETWORK_RANGES::Seal() {
    Link(V4);
    Link(V6);
}

const STRING* NETWORK_RANGES::Find(const FAMILY& family, const ADDRESS_BITS& address) const {
    // The last range that starts at or before the address; if it ends before it, only a range
    // that holds that one can hold the address.
    const auto after = std::upper_bound(family.Firsts.begin(), family.Firsts.end(), address);
    int32_t index = static_cast<int32_t>(after - family.Firsts.begin()) - 1;
    const std::vector<RANGE>& ranges = family.Ranges;
    while (index >= 0 && ranges[static_cast<size_t>(index)].Last < address) index = ranges[static_cast<size_t>(index)].Parent;
    return index >= 0 ? &Entries[ranges[static_cast<size_t>(index)].Entry] : nullptr;
}

const STRING* NETWORK_RANGES::Match(const PARSED_ADDRESS& address) const {
    if (address.Version == 4) return Find(V4, address.Bits);
    if (address.Version == 6) return Find(V6, address.Bits);
    return nullptr;
}

}  // namespace qv
