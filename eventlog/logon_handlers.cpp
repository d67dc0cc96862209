// The three logon events that become identities: 4624 (account logon, the newer audit
// scheme), 540 (network logon) and 528 (local logon) of the older one.
#include "base/string.h"
#include "eventlog/event_handlers.h"
#include "eventlog/event_log.h"
#include "eventlog/event_record.h"
#include "eventlog/handler_support.h"
#include "eventlog/logon_filter_check.h"
#include "identity/identity_request.h"
#include "platform/system_text.h"
#include "support/debug_log.h"

namespace qv {

namespace {

// 4624: replacement strings by index.
constexpr uint32_t ACCOUNT_LOGON_STRINGS = 20;
constexpr uint32_t SUBJECT_USER_SID = 0;
constexpr uint32_t TARGET_USER_SID = 4;
constexpr uint32_t TARGET_USER_NAME = 5;
constexpr uint32_t TARGET_DOMAIN_NAME = 6;
constexpr uint32_t TARGET_LOGON_ID = 7;
constexpr uint32_t ACCOUNT_LOGON_TYPE = 8;
constexpr uint32_t WORKSTATION_NAME = 11;
constexpr uint32_t ACCOUNT_LOGON_ADDRESS = 18;

// 540 and 528.
constexpr uint32_t LOGON_STRINGS = 15;
constexpr uint32_t USER_NAME = 0;
constexpr uint32_t DOMAIN_NAME = 1;
constexpr uint32_t LOGON_ID = 2;
constexpr uint32_t LOGON_TYPE = 3;
constexpr uint32_t LOCAL_WORKSTATION_NAME = 6;
constexpr uint32_t CALLER_FIRST = 8;  // caller user name, domain, logon ID, process ID
constexpr uint32_t CALLER_LAST = 11;
constexpr uint32_t SOURCE_ADDRESS = 13;

// The computer name of a 4624: the workstation it names, else the host at the address.
STRING AccountLogonComputer(const EVENT_LOG& log, const EVENT_RECORD& record, const char16_t* addressText) {
    const char16_t* domain = record.Strings[TARGET_DOMAIN_NAME];
    const char16_t* workstation = record.Strings[WORKSTATION_NAME];
    if (workstation[0] != 0 && !STRING(workstation).Equals(NO_VALUE)) return DomainAndName(domain, workstation);

    DebugLogEx(DBGOUT_VERBOSE,
               u"Do_EVENT_ACCOUNT_LOGON: Reported computer name = \"%s\". Looking up host name for IP address = %s",
               workstation, addressText);
    STRING hostName;
    if (!GetHostName(addressText, hostName, log.StopEvent())) return STRING();
    uint32_t shortLength = 0;
    while (shortLength < hostName.Length() && hostName.Text()[shortLength] != u'.') ++shortLength;
    return DomainAndName(domain, STRING(hostName.Text(), shortLength).Text());
}

}  // namespace

void Do_EVENT_ACCOUNT_LOGON(EVENT_LOG& log, const EVENT_RECORD& record) {
    const uint32_t count = static_cast<uint32_t>(record.Strings.size());
    if (count < ACCOUNT_LOGON_STRINGS) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: Insufficient strings (%lu).", count);
        return;
    }
    const auto& strings = record.Strings;
    uint32_t type = 0;
    if (!ParseLogonType(strings[ACCOUNT_LOGON_TYPE], type)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: Invalid logon type = \"%s\".", strings[ACCOUNT_LOGON_TYPE]);
        return;
    }
    if (!EqualsIgnoringCase(STRING(strings[SUBJECT_USER_SID]), NULL_SID)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: Ignoring proxied logon, Subject User SID = \"%s\", User name = \"%s\"",
                 strings[SUBJECT_USER_SID], strings[TARGET_USER_NAME]);
        return;
    }
    if (EqualsIgnoringCase(STRING(strings[TARGET_USER_SID]), ANONYMOUS_SID)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: Ignoring anonymous logon, Target user SID = \"%s\", User name = \"%s\"",
                 strings[TARGET_USER_SID], strings[TARGET_USER_NAME]);
        return;
    }
    const char16_t* addressText = strings[ACCOUNT_LOGON_ADDRESS];
    if (!IsUserLogonType(type)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON:\n    Ignoring logon type = %s\n    Record number = %lu\n    Logon ID = "
                 u"\"%s\"\n    IP address = \"%s\"",
                 LogonTypeName(type), record.RecordNumber, strings[TARGET_LOGON_ID], addressText);
        return;
    }
    if (IsComputerAccount(strings[TARGET_USER_NAME])) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: ignoring; computer name \"%s\".", strings[TARGET_USER_NAME]);
        return;
    }
    IP_ADDRESS address;
    if (!IpAddressFromText(address, addressText)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON:\n    Invalid IP address = \"%s\"", addressText);
        return;
    }
    if (IsLoopbackAddress(address)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON:\n    Ignoring loopback IP address = %s", addressText);
        return;
    }
    if (PassedOverByFilters(log, u"Do_EVENT_ACCOUNT_LOGON", record.RecordNumber, strings[TARGET_DOMAIN_NAME],
                            strings[TARGET_USER_NAME], address, addressText)) {
        return;
    }

    const STRING userName = DomainAndName(strings[TARGET_DOMAIN_NAME], strings[TARGET_USER_NAME]);
    LOGON_ENTRY* entry = RecordLogon(log, address, addressText, userName);
    if (entry == nullptr) return;
    const STRING computerName = AccountLogonComputer(log, record, addressText);

    DebugLogEx(DBGOUT_VERBOSE, u"Do_EVENT_ACCOUNT_LOGON: IdentityReportLogon");
    if (IdentityReportLogon(entry->Request, address, addressText, userName.Text(),
                            computerName.IsEmpty() ? nullptr : computerName.Text())) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: Logon reported,\n    User name = \"%s\",\n    Computer name = \"%s\",\n    IP "
                 u"address = \"%s\",\n    Request length = %lu",
                 userName, computerName, addressText, entry->Request.Length());
    } else {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: Unable to report logon,\n    User name = \"%s\",\n    Computer name = "
                 u"\"%s\",\n    IP address = \"%s\"",
                 userName, computerName, addressText);
        log.Logons().Remove(*entry);
    }
}

void Do_EVENT_LOGON(EVENT_LOG& log, const EVENT_RECORD& record) {
    const uint32_t count = static_cast<uint32_t>(record.Strings.size());
    if (count < LOGON_STRINGS) {
        DebugLog(u"Do_EVENT_LOGON: Insufficient replacement strings (%lu).", count);
        return;
    }
    const auto& strings = record.Strings;
    for (uint32_t caller = CALLER_FIRST; caller <= CALLER_LAST; ++caller) {
        if (!STRING(strings[caller]).Equals(NO_VALUE)) {
            DebugLog(u"Do_EVENT_LOGON: Ignoring proxied logon, UserName = \"%s\".", strings[USER_NAME]);
            return;
        }
    }
    if (IsComputerAccount(strings[USER_NAME])) {
        DebugLog(u"Do_EVENT_LOGON: Ignoring computer name \"%s\".", strings[USER_NAME]);
        return;
    }
    uint32_t type = 0;
    if (!ParseLogonType(strings[LOGON_TYPE], type)) {
        DebugLog(u"Do_EVENT_LOGON: Invalid logon type = \"%s\".", strings[LOGON_TYPE]);
        return;
    }
    if (strings[USER_NAME][0] == 0 && strings[DOMAIN_NAME][0] == 0) {
        DebugLog(u"Do_EVENT_LOGON: Ignoring; no user name and domain name");
        return;
    }
    const char16_t* addressText = strings[SOURCE_ADDRESS];
    if (STRING(addressText).Equals(NO_VALUE)) {
        DebugLog(u"Do_EVENT_LOGON: No IP Address.");
        return;
    }
    IP_ADDRESS address;
    if (!IpAddressFromText(address, addressText)) {
        DebugLog(u"Do_EVENT_LOGON:\n    Invalid IP address = \"%s\"", addressText);
        return;
    }
    if (PassedOverByFilters(log, u"Do_EVENT_LOGON", record.RecordNumber, strings[DOMAIN_NAME], strings[USER_NAME],
                            address, addressText)) {
        return;
    }

    const STRING userName = DomainAndName(strings[DOMAIN_NAME], strings[USER_NAME]);
    LOGON_ENTRY* entry = RecordLogon(log, address, addressText, userName);
    if (entry == nullptr) return;
    const char16_t* logonId = strings[LOGON_ID];

    SERVICE_TICKET* ticket = log.ServiceTickets().Find(userName.Text(), addressText);
    if (ticket == nullptr) {
        DebugLog(u"\nDo_EVENT_LOGON: NO SERVICE TICKET, \n    Logon ID = \"%s\",\n    User name = \"%s\",\n    IP address "
                 u"= \"%s\"",
                 logonId, userName, addressText);
        if (IdentityReportLogon(entry->Request, address, addressText, userName.Text(), nullptr)) {
            DebugLog(u"Do_EVENT_LOGON: Logon reported,\n    Logon ID = \"%s\",\n    User name = \"%s\",\n    IP address = "
                     u"\"%s\",\n    Request length = %lu",
                     logonId, userName, addressText, entry->Request.Length());
        } else {
            log.Logons().Remove(*entry);
        }
        return;
    }
    DebugLog(u"Do_EVENT_LOGON: \n    Logon ID = \"%s\",\n    User name = \"%s\",\n    Computer name = \"%s\",\n    IP "
             u"address = \"%s\"",
             logonId, ticket->NtUserName, ticket->NtComputerName, addressText);
    if (IdentityReportLogon(entry->Request, address, addressText, userName.Text(), ticket->NtComputerName.Text())) {
        log.ServiceTickets().Remove(*ticket);
        DebugLog(u"\nDo_EVENT_LOGON: Logon reported, SERVICE TICKET DELETED\n    Logon ID = \"%s\",\n    User name = "
                 u"\"%s\",\n    IP address = \"%s\",\n    Request length = %lu",
                 logonId, userName, addressText, entry->Request.Length());
    } else {
        log.Logons().Remove(*entry);
    }
}

void Do_EVENT_LOCAL_LOGON(EVENT_LOG& log, const EVENT_RECORD& record) {
    const uint32_t count = static_cast<uint32_t>(record.Strings.size());
    if (count < LOGON_STRINGS) {
        DebugLog(u"Do_EVENT_LOCAL_LOGON:: Insufficient strings (%lu).", count);
        return;
    }
    const auto& strings = record.Strings;
    uint32_t type = 0;
    if (!ParseLogonType(strings[LOGON_TYPE], type)) {
        DebugLog(u"Do_EVENT_LOCAL_LOGON:: Invalid logon type = \"%s\".", strings[LOGON_TYPE]);
        type = 0;
    }
    if (!IsUserLogonType(type)) {
        DebugLog(u"Do_EVENT_LOCAL_LOGON: \n    Ignoring logon type = %s,\n    Logon ID = \"%s\",\n    User name = %s",
                 LogonTypeName(type), strings[LOGON_ID], strings[USER_NAME]);
        return;
    }
    const char16_t* addressText = strings[SOURCE_ADDRESS];
    DebugLog(u"Do_EVENT_LOCAL_LOGON: \n    Logon ID = \"%s\",\n    User name = \"%s\",\n    Domain name = \"%s\",\n    "
             u"Computer name = \"%s\",\n    IP address = \"%s\"",
             strings[LOGON_ID], strings[USER_NAME], strings[DOMAIN_NAME], strings[LOCAL_WORKSTATION_NAME], addressText);
    IP_ADDRESS address;
    if (!IpAddressFromText(address, addressText)) {
        DebugLog(u"Do_EVENT_LOCAL_LOGON:\n    Invalid IP address = \"%s\"", addressText);
        return;
    }
    if (IsLoopbackAddress(address)) {
        DebugLog(u"Do_EVENT_LOCAL_LOGON:\n    Ignoring loopback IP address = \"%s\"", addressText);
        return;
    }
    if (PassedOverByFilters(log, u"Do_EVENT_LOCAL_LOGON", record.RecordNumber, strings[DOMAIN_NAME],
                            strings[USER_NAME], address, addressText)) {
        return;
    }

    const STRING userName = DomainAndName(strings[DOMAIN_NAME], strings[USER_NAME]);
    const STRING computerName = DomainAndName(strings[DOMAIN_NAME], strings[LOCAL_WORKSTATION_NAME]);
    LOGON_ENTRY& entry = log.Logons().Append(address);
    if (IdentityReportLogon(entry.Request, address, addressText, userName.Text(), computerName.Text())) {
        DebugLog(u"Do_EVENT_LOCAL_LOGON: Logon reported, Logon ID = \"%s\",\n    User name = \"%s\",\n    Computer name "
                 u"= \"%s\",\n    IPv%u address = \"%s\",\n    Request length = %lu",
                 strings[LOGON_ID], userName, computerName, IpAddressVersion(address), addressText,
                 entry.Request.Length());
    } else {
        log.Logons().Remove(entry);
    }
}

}  // namespace qv
