#include "eventlog/logon_filter.h"

#include <utility>

namespace qv {

namespace {

std::atomic<uint64_t> LastVersion{0};

template <typename LIST>
void Build(LIST& list, const char16_t* name, const std::vector<STRING>& entries, std::vector<FILTER_PROBLEM>& problems) {
    for (const STRING& entry : entries) {
        STRING reason;
        if (!list.Add(entry, reason)) problems.push_back({name, entry, std::move(reason)});
    }
}

}  // namespace

LOGON_FILTER::LOGON_FILTER(const FILTER_LISTS& lists, std::vector<FILTER_PROBLEM>& problems) {
    Build(Accounts, IGNORE_USERS, lists.IgnoreUsers, problems);
    Build(Included, INCLUDE_NETWORKS, lists.IncludeNetworks, problems);
    Build(Excluded, EXCLUDE_NETWORKS, lists.ExcludeNetworks, problems);
    Included.Seal();
    Excluded.Seal();
}

bool LOGON_FILTER::PassesOver(const FILTERED_LOGON& logon, PASS_OVER& why) const {
    why = PASS_OVER();
    if (!Included.IsEmpty() || !Excluded.IsEmpty()) {
        PARSED_ADDRESS address;
        const bool known = logon.Address != nullptr && AddressOfLogon(*logon.Address, address);
        if (known && (why.Entry = Excluded.Match(address)) != nullptr) {
            why.List = EXCLUDE_NETWORKS;
            return true;
        }
        if (!Included.IsEmpty() && (!known || Included.Match(address) == nullptr)) {
            why.List = INCLUDE_NETWORKS;
            return true;
        }
    }
    if (!Accounts.IsEmpty()) {
        const ACCOUNT_FORMS forms(logon.Domain, logon.Name, logon.OtherDomain);
        if ((why.Entry = Accounts.Match(forms)) != nullptr) {
            why.List = IGNORE_USERS;
            return true;
        }
    }
    return false;
}

std::shared_ptr<const LOGON_FILTER> LOGON_FILTER_SLOT::Current() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Filter;
}

void LOGON_FILTER_SLOT::Replace(std::shared_ptr<const LOGON_FILTER> filter) {
    if (filter != nullptr && !filter->IsEmpty()) Used = true;
    std::lock_guard<std::mutex> guard(Lock);
    Filter = std::move(filter);
    FilterVersion.store(LastVersion.fetch_add(1) + 1, std::memory_order_release);
}

}  // namespace qv
