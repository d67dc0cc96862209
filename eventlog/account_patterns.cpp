#include "eventlog/account_patterns.h"

#include <algorithm>

#include "platform/system_text.h"
#include "support/format.h"

namespace qv {

namespace {

// Longer than any account name a domain accepts (a user principal name is at most 1024).
constexpr uint32_t MAXIMUM_ENTRY_LENGTH = 1024;
// Characters that no account name, domain or user principal name holds.
constexpr char16_t FORBIDDEN[] = u"\"/[]:;|=,+<>";

std::u16string Upper(const char16_t* text) {
    const STRING upper = UpperCaseText(text);
    return std::u16string(upper.Text(), upper.Length());
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

STRING Trimmed(const STRING& entry) {
    const char16_t* text = entry.Text();
    uint32_t start = 0;
    uint32_t end = entry.Length();
    while (start < end && IsBlank(text[start])) ++start;
    while (end > start && IsBlank(text[end - 1])) --end;
    return STRING(text + start, end - start);
}

bool IsWildcard(char16_t c) { return c == u'*' || c == u'?'; }

// Why the entry can name no account, or null when it can.
const char16_t* EntryFault(const STRING& entry, STRING& detail) {
    const char16_t* text = entry.Text();
    const uint32_t length = entry.Length();
    if (length == 0) return u"it is empty";
    if (length > MAXIMUM_ENTRY_LENGTH) {
        FormatString(detail, u"it is longer than %lu characters", MAXIMUM_ENTRY_LENGTH);
        return detail.Text();
    }
    uint32_t backslashes = 0;
    uint32_t ats = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const char16_t c = text[i];
        if (c < 0x20 || c == 0x7F) return u"it holds a control character";
        for (const char16_t* forbidden = FORBIDDEN; *forbidden != 0; ++forbidden) {
            if (c == *forbidden) {
                FormatString(detail, u"no account name holds the character %s", STRING(&c, 1));
                return detail.Text();
            }
        }
        if (c == u'\\') ++backslashes;
        if (c == u'@') ++ats;
    }
    if (backslashes + ats > 1) return u"it names more than one domain (one \\ or one @ at most)";
    const char16_t first = text[0];
    const char16_t last = text[length - 1];
    if (first == u'\\' || last == u'\\') return u"a domain and a name go on either side of the \\";
    if (first == u'@' || last == u'@') return u"a name and a domain go on either side of the @";
    return nullptr;
}

}  // namespace

ACCOUNT_FORMS::ACCOUNT_FORMS(const char16_t* domain, const char16_t* name, const char16_t* otherDomain) {
    const std::u16string upperName = Upper(name);
    auto addDomain = [&](const char16_t* text) {
        if (text == nullptr || text[0] == 0) return;
        const std::u16string upperDomain = Upper(text);
        Texts.push_back(upperDomain + u"\\" + upperName);
        Texts.push_back(upperName + u"@" + upperDomain);
    };
    addDomain(domain);
    if (otherDomain != nullptr && !EqualsIgnoringCase(STRING(otherDomain), domain)) addDomain(otherDomain);
    Texts.push_back(upperName);
}

bool WildcardMatch(const char16_t* pattern, size_t patternLength, const char16_t* text, size_t textLength) {
    // Greedy, going back to the last * on a mismatch: linear for the patterns people write.
    size_t p = 0;
    size_t t = 0;
    size_t star = patternLength;
    size_t resume = 0;
    while (t < textLength) {
        if (p < patternLength && pattern[p] == u'*') {
            star = p++;
            resume = t;
        } else if (p < patternLength && (pattern[p] == u'?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (star != patternLength) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < patternLength && pattern[p] == u'*') ++p;
    return p == patternLength;
}

bool ACCOUNT_PATTERNS::Add(const STRING& given, STRING& problem) {
    const STRING entry = Trimmed(given);
    STRING detail;
    if (const char16_t* fault = EntryFault(entry, detail)) {
        problem = fault;
        return false;
    }
    const uint32_t index = static_cast<uint32_t>(Entries.size());
    Entries.push_back(entry);
    std::u16string upper = Upper(entry.Text());
    const size_t firstWildcard = std::find_if(upper.begin(), upper.end(), IsWildcard) - upper.begin();
    if (firstWildcard == upper.size()) {
        ExactNames.emplace(std::move(upper), index);  // a repeated name keeps its first entry
        return true;
    }

    PATTERN pattern;
    pattern.Entry = index;
    pattern.Prefix = upper.substr(0, firstWildcard);
    const size_t lastStar = upper.rfind(u'*');
    pattern.HasStar = lastStar != std::u16string::npos;
    if (pattern.HasStar) pattern.Tail = upper.substr(lastStar + 1);
    pattern.MinimumLength = static_cast<size_t>(std::count_if(upper.begin(), upper.end(), [](char16_t c) { return c != u'*'; }));
    pattern.Text = std::move(upper);
    const uint32_t position = static_cast<uint32_t>(Patterns.size());
    if (pattern.Prefix.empty()) {
        PatternsAnywhere.push_back(position);
    } else {
        PatternsByFirst[pattern.Prefix[0]].push_back(position);
    }
    Patterns.push_back(std::move(pattern));
    return true;
}

bool ACCOUNT_PATTERNS::Matches(const PATTERN& pattern, const std::u16string& form) const {
    if (form.size() < pattern.MinimumLength) return false;
    // Without a *, the pattern is exactly as long as what it matches.
    if (!pattern.HasStar && form.size() != pattern.MinimumLength) return false;
    if (form.compare(0, pattern.Prefix.size(), pattern.Prefix) != 0) return false;
    const size_t tail = pattern.Tail.size();
    if (tail != 0 && !WildcardMatch(pattern.Tail.data(), tail, form.data() + form.size() - tail, tail)) return false;
    return WildcardMatch(pattern.Text.data(), pattern.Text.size(), form.data(), form.size());
}

const STRING* ACCOUNT_PATTERNS::Match(const ACCOUNT_FORMS& account) const {
    if (Entries.empty()) return nullptr;
    for (const std::u16string& form : account.Forms()) {
        auto exact = ExactNames.find(form);
        if (exact != ExactNames.end()) return &Entries[exact->second];
    }
    if (Patterns.empty()) return nullptr;
    for (const std::u16string& form : account.Forms()) {
        if (form.empty()) continue;
        auto bucket = PatternsByFirst.find(form[0]);
        if (bucket != PatternsByFirst.end()) {
            for (uint32_t position : bucket->second) {
                if (Matches(Patterns[position], form)) return &Entries[Patterns[position].Entry];
            }
        }
        for (uint32_t position : PatternsAnywhere) {
            if (Matches(Patterns[position], form)) return &Entries[Patterns[position].Entry];
        }
    }
    return nullptr;
}

}  // namespace qv
