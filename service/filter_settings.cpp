#include "service/filter_settings.h"

#include <memory>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/registry_values.h"
#include "support/debug_log.h"

namespace qv {

namespace {


struct LIST {
    const char16_t* Name;
    std::vector<STRING> FILTER_LISTS::*Entries;
    const char16_t* COMMAND_LINE::*Switch;
    const char16_t* SwitchName;
};

constexpr LIST LISTS[] = {
    {IGNORE_USERS, &FILTER_LISTS::IgnoreUsers, &COMMAND_LINE::IgnoreUsers, u"IGNORE_USERS"},
    {INCLUDE_NETWORKS, &FILTER_LISTS::IncludeNetworks, &COMMAND_LINE::IncludeNetworks, u"INCLUDE_NETWORKS"},
    {EXCLUDE_NETWORKS, &FILTER_LISTS::ExcludeNetworks, &COMMAND_LINE::ExcludeNetworks, u"EXCLUDE_NETWORKS"},
};
constexpr size_t LIST_COUNT = sizeof LISTS / sizeof LISTS[0];

// The lists the filter in force was built from.
FILTER_LISTS InForce;

bool IsSeparator(char16_t c) { return c == u';' || c == u','; }

// A stored list: its strings, each split as a switch's text is (so that a REG_SZ written as
// "a;b" holds two entries). A missing value is an empty list; false when the value is there
// but cannot be read, with the reason logged.
bool ReadList(const REGISTRY_KEY& key, const char16_t* name, std::vector<STRING>& entries) {
    entries.clear();
    std::vector<STRING> strings;
    // The bound leaves room for some 25,000 names (five thousand take about 200 KB).
    if (!ReadRegistryStrings(key, name, strings)) {
        const uint32_t code = GetLastErrorCode();
        if (code == ERR_FILE_NOT_FOUND) return true;
        if (code == ERR_INVALID_DATA) {
            DebugLog(u"Registry value %s holds more than %lu bytes; it is not read", name, MAXIMUM_STRINGS_BYTES);
        } else {
            DebugLog(u"Unable to load registry value = %s. %s. Error code = %lu.", name, GetErrorText(code), code);
        }
        return false;
    }
    for (const STRING& text : strings) {
        for (STRING& entry : SplitFilterList(text.Text())) entries.push_back(std::move(entry));
    }
    return true;
}

void StoreSwitch(const REGISTRY_KEY& key, const LIST& list, const char16_t* text) {
    const std::vector<STRING> entries = SplitFilterList(text);
    const bool stored = entries.empty() ? DeleteRegistryValue(key, list.Name) : WriteRegistryStrings(key, list.Name, entries);
    if (stored) {
        DebugLog(u"%s = \"%s\" (/%s)", list.Name, text, list.SwitchName);
        return;
    }
    const uint32_t code = GetLastErrorCode();
    DebugLog(u"Unable to set registry value \"%s\" in key \"%s\" to \"%s\". %s. Error code = %lu.", list.Name,
             SettingsKeyFullPath(), text, GetErrorText(code), code);
}

void DescribeList(const LOGON_FILTER& filter, const LIST& list, bool wasSet) {
    const std::vector<STRING>& entries = InForce.*list.Entries;
    if (entries.empty()) {
        if (wasSet) DebugLog(u"%s removed", list.Name);
        return;
    }
    if (list.Name == IGNORE_USERS) {
        const ACCOUNT_PATTERNS& accounts = filter.IgnoredAccounts();
        DebugLog(u"%s = %lu entries (%lu names, %lu patterns)", list.Name, accounts.Count(),
                 accounts.Count() - accounts.PatternCount(), accounts.PatternCount());
        return;
    }
    const NETWORK_RANGES& ranges = list.Name == INCLUDE_NETWORKS ? filter.IncludedNetworks() : filter.ExcludedNetworks();
    DebugLog(u"%s = %lu ranges", list.Name, ranges.Count());
    // An include list without one usable range would pass over every logon; it restricts
    // nothing instead, and says so.
    if (list.Name == INCLUDE_NETWORKS && ranges.IsEmpty()) {
        DebugLog(u"%s has no usable range; every address is reported", list.Name);
    }
}

// Builds the filter from the lists now in force and puts it in the slot; the lists marked as
// changed report their malformed entries and their size.
void Apply(const bool (&changed)[LIST_COUNT], const bool (&wasSet)[LIST_COUNT]) {
    std::vector<FILTER_PROBLEM> problems;
    auto filter = std::make_shared<const LOGON_FILTER>(InForce, problems);
    for (size_t i = 0; i < LIST_COUNT; ++i) {
        if (!changed[i]) continue;
        for (const FILTER_PROBLEM& problem : problems) {
            if (problem.List != LISTS[i].Name) continue;
            DebugLog(u"Ignoring the malformed entry \"%s\" of %s: %s", problem.Entry, problem.List, problem.Reason);
        }
        DescribeList(*filter, LISTS[i], wasSet[i]);
    }
    LogonFilters().Replace(std::move(filter));
}

}  // namespace

LOGON_FILTER_SLOT& LogonFilters() {
    static LOGON_FILTER_SLOT slot;
    return slot;
}

std::vector<STRING> SplitFilterList(const char16_t* text) {
    std::vector<STRING> entries;
    const uint32_t length = TextLength(text);
    for (uint32_t start = 0; start <= length;) {
        uint32_t end = start;
        while (end < length && !IsSeparator(text[end])) ++end;
        uint32_t first = start;
        uint32_t last = end;
        while (first < last && (text[first] == u' ' || text[first] == u'\t')) ++first;
        while (last > first && (text[last - 1] == u' ' || text[last - 1] == u'\t')) --last;
        if (last > first) entries.emplace_back(text + first, last - first);
        start = end + 1;
    }
    return entries;
}

void LoadFilterSettings(const COMMAND_LINE& line, const REGISTRY_KEY& key) {
    bool changed[LIST_COUNT] = {};
    const bool wasSet[LIST_COUNT] = {};
    for (size_t i = 0; i < LIST_COUNT; ++i) {
        const LIST& list = LISTS[i];
        std::vector<STRING>& entries = InForce.*list.Entries;
        if (const char16_t* text = line.*list.Switch) {
            StoreSwitch(key, list, text);
            entries = SplitFilterList(text);
        } else if (!ReadList(key, list.Name, entries)) {
            entries.clear();
        }
        changed[i] = !entries.empty();
    }
    Apply(changed, wasSet);
}

void ReloadFilterSettings(const REGISTRY_KEY& key) {
    bool changed[LIST_COUNT] = {};
    bool wasSet[LIST_COUNT] = {};
    bool anyChanged = false;
    for (size_t i = 0; i < LIST_COUNT; ++i) {
        std::vector<STRING>& inForce = InForce.*LISTS[i].Entries;
        std::vector<STRING> entries;
        if (!ReadList(key, LISTS[i].Name, entries) || entries == inForce) continue;
        wasSet[i] = !inForce.empty();
        inForce = std::move(entries);
        changed[i] = anyChanged = true;
    }
    if (anyChanged) Apply(changed, wasSet);
}

void TryFilterSwitches(const COMMAND_LINE& line) {
    bool changed[LIST_COUNT] = {};
    bool wasSet[LIST_COUNT] = {};
    bool anyChanged = false;
    for (size_t i = 0; i < LIST_COUNT; ++i) {
        const char16_t* text = line.*LISTS[i].Switch;
        if (text == nullptr) continue;
        std::vector<STRING>& inForce = InForce.*LISTS[i].Entries;
        DebugLog(u"%s = \"%s\" (/%s, this run only)", LISTS[i].Name, text, LISTS[i].SwitchName);
        wasSet[i] = !inForce.empty();
        inForce = SplitFilterList(text);
        changed[i] = anyChanged = true;
    }
    if (anyChanged) Apply(changed, wasSet);
}

}  // namespace qv
