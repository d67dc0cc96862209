// The accounts of IgnoreUsers. An entry names an account as DOMAIN\name, name@domain or name
// alone, with * for any run of characters and ? for any one; a logon's account is compared in
// all three forms, without regard to case. Entries without wildcards are found by hash and
// patterns are prepared once, when the list is built, so that a list of thousands costs a
// logon a few look-ups.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/string.h"

namespace qv {

// The forms of one account that entries are compared with, upper-cased: DOMAIN\name,
// name@domain, and name alone; for a second name of the domain (the NetBIOS name of a DNS
// domain), its two forms as well.
class ACCOUNT_FORMS {
public:
    ACCOUNT_FORMS(const char16_t* domain, const char16_t* name, const char16_t* otherDomain = nullptr);
    const std::vector<std::u16string>& Forms() const { return Texts; }

private:
    std::vector<std::u16string> Texts;
};

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
    // A pattern split for a quick refusal: a form must be at least MinimumLength long, start
    // with Prefix (the text before the first wildcard) and end with what follows the last *.
    struct PATTERN {
        std::u16string Text;  // upper-cased
        std::u16string Prefix;
        std::u16string Tail;
        size_t MinimumLength = 0;
        bool HasStar = false;
        uint32_t Entry = 0;
    };
    bool Matches(const PATTERN& pattern, const std::u16string& form) const;

    std::vector<STRING> Entries;  // as given, for messages
    std::unordered_map<std::u16string, uint32_t> ExactNames;
    std::vector<PATTERN> Patterns;
    // Patterns by the first character of their prefix; those that start with a wildcard are
    // tried for every form.
    std::unordered_map<char16_t, std::vector<uint32_t>> PatternsByFirst;
    std::vector<uint32_t> PatternsAnywhere;
};

// A*B?C against a text, both upper-cased: * any run (empty too), ? any one unit.
bool WildcardMatch(const char16_t* pattern, size_t patternLength, const char16_t* text, size_t textLength);

}  // namespace qv
