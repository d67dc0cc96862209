#include "eventlog/logon_filter_check.h"

#include "base/string.h"
#include "eventlog/event_log.h"
#include "eventlog/handler_support.h"
#include "eventlog/logon_filter.h"
#include "identity/identity_request.h"
#include "support/debug_log.h"

namespace qv {

namespace {

bool HasDot(const char16_t* text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (*text == u'.') return true;
    }
    return false;
}

// The domain as reports name it, when that is another name for a DNS domain (the NetBIOS name
// the directory knows): Kerberos logons name the DNS domain, NTLM logons of the same user the
// NetBIOS name, and a list entry may use either.
STRING ReportedDomain(const STRING& userName) {
    const STRING reported = ReportedAccountName(userName.Text());
    const char16_t* text = reported.Text();
    uint32_t length = 0;
    while (length < reported.Length() && text[length] != u'\\') ++length;
    return length < reported.Length() ? STRING(text, length) : STRING();
}

// The filter in force as this thread last took it from its slot, taken again only when the
// slot's filter was replaced since: most logons pay one atomic read for it.
const LOGON_FILTER* FilterInForce(const LOGON_FILTER_SLOT& slot) {
    thread_local const LOGON_FILTER_SLOT* takenFrom = nullptr;
    thread_local uint64_t takenVersion = 0;
    thread_local std::shared_ptr<const LOGON_FILTER> taken;
    const uint64_t version = slot.Version();
    if (takenFrom != &slot || takenVersion != version) {
        taken = slot.Current();
        takenFrom = &slot;
        takenVersion = version;
    }
    return taken.get();
}

}  // namespace

bool PassedOverByFilters(EVENT_LOG& log, const char16_t* handler, uint32_t recordNumber, const char16_t* domain,
                         const char16_t* name, const IP_ADDRESS& address, const char16_t* addressText) {
    LOGON_FILTER_SLOT* slot = log.LogonFilters();
    if (slot == nullptr) return false;
    const LOGON_FILTER* filter = FilterInForce(*slot);
    if (filter == nullptr || filter->IsEmpty()) return false;

    FILTERED_LOGON logon{domain, name, nullptr, &address};
    STRING otherDomain;
    if (filter->FiltersAccounts() && HasDot(domain)) {
        otherDomain = ReportedDomain(DomainAndName(domain, name));
        if (!otherDomain.IsEmpty()) logon.OtherDomain = otherDomain.Text();
    }
    PASS_OVER why;
    if (!filter->PassesOver(logon, why)) return false;

    const STRING userName = DomainAndName(domain, name);

    slot->CountPassedOver();
    if (why.Entry != nullptr) {
        DebugLog(u"%s: Passed over by %s entry \"%s\": User name = \"%s\", IP address = \"%s\"", handler, why.List,
                 *why.Entry, userName, addressText);
    } else {
        DebugLog(u"%s: Passed over, the address is outside %s: User name = \"%s\", IP address = \"%s\"", handler,
                 why.List, userName, addressText);
    }
    DebugLogEx(DBGOUT_VERBOSE,
               u"%s: Filters:\n    Record number = %lu,\n    Domain = \"%s\",\n    Other domain name = \"%s\",\n    "
               u"User = \"%s\",\n    IP address = \"%s\",\n    Passed over so far = %lu",
               handler, recordNumber, domain, otherDomain, name, addressText, slot->PassedOverCount());
    return true;
}

}  // namespace qv
