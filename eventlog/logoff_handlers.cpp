// The two logoff events (538, 4634) only leave a line in the log: a logon ends when another user
// takes its address or when its time-to-live runs out, because a logoff says nothing about
// the other sessions a user may hold at the same address.
#include "base/string.h"
#include "eventlog/event_handlers.h"
#include "eventlog/event_record.h"
#include "eventlog/handler_support.h"
#include "platform/system_text.h"
#include "support/debug_log.h"

namespace qv {

namespace {

// 538.
constexpr uint32_t LOGOFF_STRINGS = 4;
constexpr uint32_t LOGOFF_USER_NAME = 0;
constexpr uint32_t LOGOFF_LOGON_ID = 2;
constexpr uint32_t LOGOFF_TYPE = 3;

// 4634.
constexpr uint32_t ACCOUNT_LOGOFF_STRINGS = 5;
constexpr uint32_t TARGET_USER_SID = 0;
constexpr uint32_t TARGET_USER_NAME = 1;
constexpr uint32_t TARGET_DOMAIN_NAME = 2;
constexpr uint32_t TARGET_LOGON_ID = 3;
constexpr uint32_t ACCOUNT_LOGOFF_TYPE = 4;

}  // namespace

void Do_EVENT_LOGOFF(EVENT_LOG&, const EVENT_RECORD& record) {
    const uint32_t count = static_cast<uint32_t>(record.Strings.size());
    if (count < LOGOFF_STRINGS) {
        DebugLog(u"Do_EVENT_LOGOFF: Insufficient strings (%lu).", count);
        return;
    }
    const auto& strings = record.Strings;
    if (IsComputerAccount(strings[LOGOFF_USER_NAME])) {
        DebugLog(u"Do_EVENT_LOGOFF: ignoring: computer name = \"%s\".", strings[LOGOFF_USER_NAME]);
        return;
    }
    uint32_t type = 0;
    if (!ParseLogonType(strings[LOGOFF_TYPE], type)) {
        DebugLog(u"Do_EVENT_LOGOFF: invalid logon type = \"%s\".", strings[LOGOFF_TYPE]);
        return;
    }
    if (IsUserLogonType(type)) return;
    DebugLog(u"Do_EVENT_LOGOFF: \n    Ignoring Logon type = %s\n    Record number = %lu\n    Logon ID = \"%s\"",
             LogonTypeName(type), record.RecordNumber, strings[LOGOFF_LOGON_ID]);
}

void Do_EVENT_ACCOUNT_LOGOFF(EVENT_LOG&, const EVENT_RECORD& record) {
    const uint32_t count = static_cast<uint32_t>(record.Strings.size());
    if (count < ACCOUNT_LOGOFF_STRINGS) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGOFF: Insufficient strings (%lu).", count);
        return;
    }
    const auto& strings = record.Strings;
    uint32_t type = 0;
    if (!ParseLogonType(strings[ACCOUNT_LOGOFF_TYPE], type)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGOFF: Invalid logon type = \"%s\".", strings[ACCOUNT_LOGOFF_TYPE]);
        return;
    }
    if (EqualsIgnoringCase(STRING(strings[TARGET_USER_SID]), ANONYMOUS_SID)) {
        DebugLog(u"Do_EVENT_ACCOUNT_LOGOFF:\n    Ignoring anonymous logff,\n    SID = \"%s\",\n    User name = \"%s\"",
                 strings[TARGET_USER_SID], strings[TARGET_USER_NAME]);
        return;
    }
    DebugLog(u"Do_EVENT_ACCOUNT_LOGOFF:\n    UserName = \"%s\",\n    DomainName = \"%s\",\n    LogonId = \"%s\"",
             strings[TARGET_USER_NAME], strings[TARGET_DOMAIN_NAME], strings[TARGET_LOGON_ID]);
}

}  // namespace qv
