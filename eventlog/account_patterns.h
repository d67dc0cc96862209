// The accounts of IgnoreUsers. An entry names an account as DOMAIN\name, name@domain or name
// alone, with * for any run of characters and ? for any one; a logon's account is compared in
// all three forms, without regard to case. Entries without wildcards are found by hash and
// patterns are prepared once, when the list is built, so that a list of thousands costs a
// logon a few look-ups.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/string.h"

namespace qv {

// The forms of one account that entries are compared with, upper-cased: DOMAIN\name,
// name@domain, and name alone; for a second name of the domain (the NetBIOS name of a DNS
// domain), its two forms as well. All forms share one block of memory.
class ACCOUNT_FORMS {
public:
    static constexpr size_t MAXIMUM_FORMS = 5;
    // What a form (or an entry) is: the name alone, DOMAIN\name or name@domain.
    enum KIND : uint8_t { NAME_ALONE = 1, DOMAIN_FIRST = 2, DOMAIN_LAST = 4 };

    ACCOUNT_FORMS(const char16_t* domain, const char16_t* name, const char16_t* otherDomain = nullptr);
    size_t Count() const { return Size; }
    std::u16string_view Form(size_t index) const { return {Text.data() + Starts[index], Lengths[index]}; }
    KIND Kind(size_t index) const { return Kinds[index]; }

private:
    void Add(size_t start, KIND kind);

    std::u16string Text;
    size_t Starts[MAXIMUM_FORMS] = {};
    size_t Lengths[MAXIMUM_FORMS] = {};
    KIND Kinds[MAXIMUM_FORMS] = {};
    size_t Size = 0;
};

// One bit for each character of the text (by its low six bits; the letters, digits and
// punctuation of account names mostly have bits of their own). A text can match a pattern
// only when its mask holds every bit of the pattern's literal characters.
uint64_t CharacterMask(const char16_t* text, size_t length);
// The hash exact names are found by: the UTF-16 units four at a time, each word mixed in.
uint64_t FormHash(std::u16string_view text);

class ACCOUNT_PATTERNS {
public:
    // Takes one entry (surrounding blanks ignored); false, with the reason, when it can name
    // no account: nothing is added then.
    bool Add(const STRING& entry, STRING& problem);

    // The entry that matches one of the forms (an exact name before a pattern), or null.
    const STRING* Match(const ACCOUNT_FORMS& account) const;

    uint32_t Count() const { return static_cast<uint32_t>(Entries.size()); }
    uint32_t PatternCount() const { return static_cast<uint32_t>(Patterns.size()); }
    bool IsEmpty() const { return Entries.empty(); }

private:
    // A pattern split for a quick refusal: a form must hold its literal characters, be at least
    // MinimumLength long, start with Prefix (the text before the first wildcard) and end with
    // what follows the last *.
    struct PATTERN {
        std::u16string Text;  // upper-cased
        std::u16string Prefix;
        std::u16string Tail;
        size_t MinimumLength = 0;
        uint64_t Needed = 0;  // CharacterMask of the literal characters
        bool HasStar = false;
        uint32_t Entry = 0;
    };
    // One slot of the open-addressed table of exact names: part of the hash, and the exact
    // name's number + 1 (0: free).
    struct SLOT {
        uint32_t Check = 0;
        uint32_t Exact = 0;
    };
    static constexpr size_t FIRST_BUCKETS = 64;

    bool Matches(const PATTERN& pattern, std::u16string_view form) const;
    // The first of the patterns at 'positions' that matches the form, or null; most are
    // refused by their character masks alone.
    const STRING* MatchAmong(const std::vector<uint32_t>& positions, std::u16string_view form, uint64_t mask) const;
    const STRING* FindExact(std::u16string_view form, uint64_t hash) const;
    void InsertExact(std::u16string upper, uint32_t entry);
    void PlaceExact(uint32_t exact);

    std::vector<STRING> Entries;  // as given, for messages
    std::vector<std::u16string> ExactTexts;  // upper-cased
    std::vector<uint64_t> ExactHashes;
    std::vector<uint32_t> ExactEntries;
    std::vector<SLOT> Slots;  // a power of two, at most half full
    // Two bits of each exact name's hash, in a block small enough to stay in the cache: a form
    // that misses either bit is no exact name, and the table is not read for it.
    static constexpr size_t SEEN_BITS = 1 << 16;
    std::vector<uint64_t> Seen;
    uint8_t ExactKinds = 0;   // the ACCOUNT_FORMS::KIND of every exact name, together
    std::vector<PATTERN> Patterns;
    std::vector<uint64_t> PatternMasks;  // each pattern's Needed, side by side
    // Patterns by the low six bits of their first character; those that start with a
    // wildcard are tried for every form.
    std::vector<uint32_t> PatternsByFirst[FIRST_BUCKETS];
    std::vector<uint32_t> PatternsAnywhere;
};

// A*B?C against a text, both upper-cased: * any run (empty too), ? any one unit.
bool WildcardMatch(const char16_t* pattern, size_t patternLength, const char16_t* text, size_t textLength);

}  // namespace qv
