// Which logons never become identities, as the administrator lists them: accounts by name
// (IgnoreUsers) and client addresses by range (IncludeNetworks: only these; ExcludeNetworks:
// never these). A LOGON_FILTER is built once from the three lists and then only read; the
// slot hands the logon handlers the filter in force, which the settings replace as a whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/string.h"
#include "eventlog/account_patterns.h"
#include "eventlog/network_ranges.h"
#include "identity/ip_address.h"

namespace qv {

// The lists' value names; one object each, so that a list is known by its name's address.
inline constexpr char16_t IGNORE_USERS[] = u"IgnoreUsers";
inline constexpr char16_t INCLUDE_NETWORKS[] = u"IncludeNetworks";
inline constexpr char16_t EXCLUDE_NETWORKS[] = u"ExcludeNetworks";

// The three lists as stored: one entry a string.
struct FILTER_LISTS {
    std::vector<STRING> IgnoreUsers;
    std::vector<STRING> IncludeNetworks;
    std::vector<STRING> ExcludeNetworks;
};

// An entry that was left out, and why.
struct FILTER_PROBLEM {
    const char16_t* List = nullptr;
    STRING Entry;
    STRING Reason;
};

// Why a logon was passed over: the list, and the entry that matched (null for an address
// outside every range of IncludeNetworks).
struct PASS_OVER {
    const char16_t* List = nullptr;
    const STRING* Entry = nullptr;
};

// A logon as the filter sees it. OtherDomain is a second name of the account's domain (the
// NetBIOS name of a DNS domain) or null.
struct FILTERED_LOGON {
    const char16_t* Domain = nullptr;
    const char16_t* Name = nullptr;
    const char16_t* OtherDomain = nullptr;
    const IP_ADDRESS* Address = nullptr;
};

class LOGON_FILTER {
public:
    // Malformed entries are left out, each noted in 'problems'.
    LOGON_FILTER(const FILTER_LISTS& lists, std::vector<FILTER_PROBLEM>& problems);

    // Nothing to filter: no usable entry in any list.
    bool IsEmpty() const { return Accounts.IsEmpty() && Included.IsEmpty() && Excluded.IsEmpty(); }
    bool FiltersAccounts() const { return !Accounts.IsEmpty(); }

    // The address first (excluded, or outside IncludeNetworks when it has ranges), then the
    // account; true with the reason when the logon must not become an identity.
    bool PassesOver(const FILTERED_LOGON& logon, PASS_OVER& why) const;

    const ACCOUNT_PATTERNS& IgnoredAccounts() const { return Accounts; }
    const NETWORK_RANGES& IncludedNetworks() const { return Included; }
    const NETWORK_RANGES& ExcludedNetworks() const { return Excluded; }

private:
    ACCOUNT_PATTERNS Accounts;
    NETWORK_RANGES Included;
    NETWORK_RANGES Excluded;
};

// Where the handlers find the filter in force and count what it passed over. The settings
// thread replaces the filter; the worker thread reads it at each logon.
class LOGON_FILTER_SLOT {
public:
    // Null when no filter was ever set.
    std::shared_ptr<const LOGON_FILTER> Current() const;
    void Replace(std::shared_ptr<const LOGON_FILTER> filter);
    // Changes with each Replace, to a number no other Replace of any slot gave: a reader that
    // keeps the filter it got checks this instead of taking the lock at every logon.
    uint64_t Version() const { return FilterVersion.load(std::memory_order_acquire); }

    void CountPassedOver() { PassedOver.fetch_add(1); }
    uint32_t PassedOverCount() const { return PassedOver.load(); }
    // True once a filter with entries was in force: from then on the count is kept with the
    // other statistics, and before that nothing is written.
    bool WasUsed() const { return Used.load(); }

private:
    mutable std::mutex Lock;
    std::shared_ptr<const LOGON_FILTER> Filter;
    std::atomic<uint64_t> FilterVersion{0};
    std::atomic<uint32_t> PassedOver{0};
    std::atomic<bool> Used{false};
};

}  // namespace qv
