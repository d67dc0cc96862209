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

// Appends the system's upper case of the text; ASCII, by far the most common in account
// names, without a call.
void AppendUpper(std::u16string& out, const char16_t* text) {
    const size_t start = out.size();
    for (const char16_t* at = text; at != nullptr && *at != 0; ++at) {
        if (*at >= 0x80) {
            out.resize(start);
            const STRING system = UpperCaseText(text);
            out.append(system.Text(), system.Length());
            return;
        }
        out.push_back(*at >= u'a' && *at <= u'z' ? static_cast<char16_t>(*at - u'a' + u'A') : *at);
    }
}

std::u16string Upper(const char16_t* text) {
    std::u16string upper;
    AppendUpper(upper, text);
    return upper;
}

// The two bits of the exact names' summary that a hash sets.
uint32_t SeenBit(uint64_t hash, int which) { return static_cast<uint32_t>(hash >> (which == 0 ? 0 : 16)) & 0xFFFF; }

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

uint64_t CharacterMask(const char16_t* text, size_t length) {
    uint64_t mask = 0;
    for (size_t i = 0; i < length; ++i) mask |= uint64_t{1} << (text[i] & 63);
    return mask;
}

uint64_t FormHash(std::u16string_view text) {
    constexpr uint64_t MULTIPLIER = 0x9E3779B97F4A7C15ULL;
    uint64_t hash = text.size() * MULTIPLIER;
    for (size_t at = 0; at < text.size(); at += 4) {
        uint64_t word = 0;
        for (size_t i = at; i < at + 4 && i < text.size(); ++i) word |= uint64_t{text[i]} << (16 * (i - at));
        hash = (hash ^ word) * MULTIPLIER;
        hash ^= hash >> 29;
    }
    return hash;
}

ACCOUNT_FORMS::ACCOUNT_FORMS(const char16_t* domain, const char16_t* name, const char16_t* otherDomain) {
    const bool other = otherDomain != nullptr && otherDomain[0] != 0 && !EqualsIgnoringCase(STRING(otherDomain), domain);
    const size_t nameLength = TextLength(name);
    const size_t domainLength = TextLength(domain);
    const size_t otherLength = other ? TextLength(otherDomain) : 0;
    // Room for every form at once (upper case may lengthen a text; appending then grows it).
    Text.reserve(5 * nameLength + 3 * (domainLength + otherLength) + 4);
    AppendUpper(Text, name);
    const size_t upperName = Text.size();
    Add(0, NAME_ALONE);
    for (const char16_t* text : {domain, other ? otherDomain : nullptr}) {
        if (text == nullptr || text[0] == 0) continue;
        const size_t domainStart = Text.size();
        AppendUpper(Text, text);
        const size_t upperDomain = Text.size() - domainStart;
        size_t start = Text.size();
        Text.append(Text, domainStart, upperDomain).push_back(u'\\');
        Text.append(Text, 0, upperName);
        Add(start, DOMAIN_FIRST);
        start = Text.size();
        Text.append(Text, 0, upperName).push_back(u'@');
        Text.append(Text, domainStart, upperDomain);
        Add(start, DOMAIN_LAST);
    }
}

void ACCOUNT_FORMS::Add(size_t start, KIND kind) {
    Kinds[Size] = kind;
    Starts[Size] = start;
    Lengths[Size] = Text.size() - start;
    ++Size;
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
        InsertExact(std::move(upper), index);
        return true;
    }

    PATTERN pattern;
    pattern.Entry = index;
    pattern.Prefix = upper.substr(0, firstWildcard);
    const size_t lastStar = upper.rfind(u'*');
    pattern.HasStar = lastStar != std::u16string::npos;
    if (pattern.HasStar) pattern.Tail = upper.substr(lastStar + 1);
    pattern.MinimumLength = static_cast<size_t>(std::count_if(upper.begin(), upper.end(), [](char16_t c) { return c != u'*'; }));
    for (char16_t c : upper) {
        if (!IsWildcard(c)) pattern.Needed |= CharacterMask(&c, 1);
    }
    pattern.Text = std::move(upper);
    const uint32_t position = static_cast<uint32_t>(Patterns.size());
    if (pattern.Prefix.empty()) {
        PatternsAnywhere.push_back(position);
    } else {
        PatternsByFirst[pattern.Prefix[0] % FIRST_BUCKETS].push_back(position);
    }
    PatternMasks.push_back(pattern.Needed);
    Patterns.push_back(std::move(pattern));
    return true;
}

void ACCOUNT_PATTERNS::InsertExact(std::u16string upper, uint32_t entry) {
    const uint64_t hash = FormHash(upper);
    if (FindExact(upper, hash) != nullptr) return;  // a repeated name keeps its first entry
    const bool domainFirst = upper.find(u'\\') != std::u16string::npos;
    const bool domainLast = upper.find(u'@') != std::u16string::npos;
    ExactKinds |= domainFirst ? ACCOUNT_FORMS::DOMAIN_FIRST : domainLast ? ACCOUNT_FORMS::DOMAIN_LAST : ACCOUNT_FORMS::NAME_ALONE;
    ExactTexts.push_back(std::move(upper));
    ExactHashes.push_back(hash);
    if (Seen.empty()) Seen.assign(SEEN_BITS / 64, 0);
    for (int which = 0; which < 2; ++which) Seen[SeenBit(hash, which) / 64] |= uint64_t{1} << (SeenBit(hash, which) % 64);
    ExactEntries.push_back(entry);
    if (2 * ExactTexts.size() <= Slots.size()) {
        PlaceExact(static_cast<uint32_t>(ExactTexts.size() - 1));
        return;
    }
    size_t size = 64;
    while (size < 2 * ExactTexts.size()) size *= 2;
    Slots.assign(size, SLOT());
    for (uint32_t exact = 0; exact < ExactTexts.size(); ++exact) PlaceExact(exact);
}

void ACCOUNT_PATTERNS::PlaceExact(uint32_t exact) {
    const size_t mask = Slots.size() - 1;
    size_t index = ExactHashes[exact] & mask;
    while (Slots[index].Exact != 0) index = (index + 1) & mask;
    Slots[index] = {static_cast<uint32_t>(ExactHashes[exact] >> 32), exact + 1};
}

const STRING* ACCOUNT_PATTERNS::FindExact(std::u16string_view form, uint64_t hash) const {
    if (Slots.empty()) return nullptr;
    for (int which = 0; which < 2; ++which) {
        if ((Seen[SeenBit(hash, which) / 64] >> (SeenBit(hash, which) % 64) & 1) == 0) return nullptr;
    }
    const size_t mask = Slots.size() - 1;
    const uint32_t check = static_cast<uint32_t>(hash >> 32);
    for (size_t index = hash & mask; Slots[index].Exact != 0; index = (index + 1) & mask) {
        const SLOT& slot = Slots[index];
        if (slot.Check == check && ExactTexts[slot.Exact - 1] == form) return &Entries[ExactEntries[slot.Exact - 1]];
    }
    return nullptr;
}

bool ACCOUNT_PATTERNS::Matches(const PATTERN& pattern, std::u16string_view form) const {
    if (form.size() < pattern.MinimumLength) return false;
    // Without a *, the pattern is exactly as long as what it matches.
    if (!pattern.HasStar && form.size() != pattern.MinimumLength) return false;
    if (form.compare(0, pattern.Prefix.size(), pattern.Prefix) != 0) return false;
    const size_t tail = pattern.Tail.size();
    if (tail != 0 && !WildcardMatch(pattern.Tail.data(), tail, form.data() + form.size() - tail, tail)) return false;
    return WildcardMatch(pattern.Text.data(), pattern.Text.size(), form.data(), form.size());
}

const STRING* ACCOUNT_PATTERNS::MatchAmong(const std::vector<uint32_t>& positions, std::u16string_view form,
                                          uint64_t mask) const {
    for (uint32_t position : positions) {
        if ((PatternMasks[position] & ~mask) == 0 && Matches(Patterns[position], form)) {
            return &Entries[Patterns[position].Entry];
        }
    }
    return nullptr;
}

const STRING* ACCOUNT_PATTERNS::Match(const ACCOUNT_FORMS& account) const {
    if (Entries.empty()) return nullptr;
    for (size_t i = 0; i < account.Count(); ++i) {
        if ((ExactKinds & account.Kind(i)) == 0) continue;  // no exact name of this form
        const std::u16string_view form = account.Form(i);
        if (const STRING* entry = FindExact(form, FormHash(form))) return entry;
    }
    if (Patterns.empty()) return nullptr;
    for (size_t i = 0; i < account.Count(); ++i) {
        const std::u16string_view form = account.Form(i);
        if (form.empty()) continue;
        const uint64_t mask = CharacterMask(form.data(), form.size());
        const STRING* entry = MatchAmong(PatternsByFirst[form[0] % FIRST_BUCKETS], form, mask);
        if (entry == nullptr) entry = MatchAmong(PatternsAnywhere, form, mask);
        if (entry != nullptr) return entry;
    }
    return nullptr;
}

}  // namespace qv
