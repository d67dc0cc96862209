// 673: a Kerberos service ticket for a computer account ties a user to the computer it logs on
// from; the network logon (540) that follows takes the computer's name from it.
#include "base/string.h"
#include "directory/directory.h"
#include "directory/directory_guard.h"
#include "eventlog/event_handlers.h"
#include "eventlog/event_log.h"
#include "eventlog/event_record.h"
#include "eventlog/handler_support.h"
#include "identity/identity_request.h"
#include "platform/system_text.h"
#include "support/debug_log.h"
#include "support/format.h"

namespace qv {

namespace {

constexpr uint32_t SERVICE_TICKET_STRINGS = 8;
constexpr uint32_t TICKET_USER_NAME = 0;  // user@REALM
constexpr uint32_t TICKET_USER_DOMAIN = 1;
constexpr uint32_t SERVICE_NAME = 2;
constexpr uint32_t CLIENT_ADDRESS = 6;
constexpr uint32_t FAILURE_CODE = 7;

}  // namespace

void Do_EVENT_SERVICE_TICKET(EVENT_LOG& log, const EVENT_RECORD& record) {
    const uint32_t count = static_cast<uint32_t>(record.Strings.size());
    if (count < SERVICE_TICKET_STRINGS) {
        DebugLog(u"Do_EVENT_SERVICE_TICKET: Insufficient replacement strings (%lu).", count);
        return;
    }
    const auto& strings = record.Strings;
    if (!STRING(strings[FAILURE_CODE]).Equals(NO_VALUE)) {
        DebugLog(u"Do_EVENT_SERVICE_TICKET: failure = \"%s\".", strings[FAILURE_CODE]);
        return;
    }
    const char16_t* serviceName = strings[SERVICE_NAME];
    if (!IsComputerAccount(serviceName)) {
        DebugLog(u"Do_EVENT_SERVICE_TICKET: ignoring; non-computer name \"%s\".", serviceName);
        return;
    }
    const STRING computer(serviceName, TextLength(serviceName) - 1);
    if (EqualsIgnoringCase(computer, record.ComputerName)) {
        DebugLog(u"Do_EVENT_SERVICE_TICKET: ignoring; service name \"%s\" matches computer name.", computer);
        return;
    }

    const char16_t* addressText = strings[CLIENT_ADDRESS];
    DIRECTORY_TIME_LIMIT directoryLimit;  // both translations share it
    const DIRECTORY_BINDING binding = ReportDirectoryBinding();
    STRING ntUserName;
    if (!DomainNameToNtName(strings[TICKET_USER_NAME], binding, ntUserName)) {
        DebugLog(u"Do_EVENT_SERVICE_TICKET: \n    Cannot translate DNS user name = \"%s\",\n    IP address = \"%s\"",
                 strings[TICKET_USER_NAME], addressText);
        return;
    }
    const STRING machineAccount = Format(u"%s@%s", serviceName, strings[TICKET_USER_DOMAIN]);
    STRING ntComputerName;
    if (!DomainNameToNtName(machineAccount.Text(), binding, ntComputerName)) {
        DebugLog(u"\nDo_EVENT_SERVICE_TICKET: \n    Cannot translate DNS computer name = \"%s\",\n    IP address = \"%s\"",
                 machineAccount, addressText);
        return;
    }
    if (IsComputerAccount(ntComputerName.Text())) ntComputerName.ShortenBy(1);

    if (log.ServiceTickets().Find(ntUserName.Text(), addressText) != nullptr) {
        DebugLog(u"Do_EVENT_SERVICE_TICKET: EXISTING\n    DNS user name = \"%s\",\n    User name = \"%s\",\n    Computer "
                 u"name = \"%s\",\n    IP address = \"%s\"",
                 strings[TICKET_USER_NAME], ntUserName, ntComputerName, addressText);
        return;
    }
    log.ServiceTickets().Append(ntUserName, ntComputerName, STRING(addressText));
    DebugLog(u"\nDo_EVENT_SERVICE_TICKET: CREATED\n    DNS user name = \"%s\",\n    User name = \"%s\",\n    Computer "
             u"name = \"%s\",\n    IP address = \"%s\"",
             strings[TICKET_USER_NAME], ntUserName, ntComputerName, addressText);
}

}  // namespace qv
