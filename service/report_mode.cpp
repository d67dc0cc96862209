#include "service/report_mode.h"

#include "base/error_codes.h"
#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "platform/computer_name.h"
#include "platform/system_text.h"
#include "service/command_line.h"
#include "service/service_host.h"
#include "service/settings.h"
#include "support/debug_log.h"
#include "support/format.h"
#include "support/security.h"

namespace qv {

namespace {

STRING ComputerName() {
    uint32_t size = 0;
    STRING name;
    if (QueryComputerName(nullptr, size) != ERR_BUFFER_OVERFLOW || size == 0) return name;
    name = STRING(size);
    if (QueryComputerName(name.Buffer(), size) != ERR_SUCCESS) return STRING();
    name.SetLength(size);
    return name;
}

}  // namespace

void SendConsoleReports(const IP_ADDRESS& address, const char16_t* addressText, const char16_t* userName,
                        const char16_t* computerName) {
    const COMMAND_LINE& line = CommandLine();
    IDENTITY_REQUEST request;
    if (!IdentityReportLogon(request, address, addressText, userName, computerName)) {
        DebugLog(u"Unable to report identity: \n    IP address = \"%s\",\n    User name = \"%s\",\n    Computer name = "
                 u"\"%s\"",
                 addressText, userName, computerName);
        return;
    }
    DebugLog(u"Identity reported: \n    IP address = \"%s\",\n    User name = \"%s\",\n    Computer name = \"%s\",\n    "
             u"Request length = %lu",
             addressText, userName, computerName, request.Length());
    if (line.ReportHeartbeat && !IdentityReportHeartbeat(request)) {
        DebugLog(u"Unable to report heartbeat: \n    IP address = \"%s\",\n    User name = \"%s\",\n    Computer name = "
                 u"\"%s\"",
                 addressText, userName, computerName);
    }
    if (line.ReportLogoff && !IdentityReportLogoff(request)) {
        DebugLog(u"Unable to report logoff: \n    IP address = \"%s\",\n    User name = \"%s\",\n    Computer name = "
                 u"\"%s\"",
                 addressText, userName, computerName);
    }
}

void ReportOnce() {
    IDENTITY_PROTOCOL* connection = CurrentConnection();
    STRING server = GetIdentityServer();
    DebugLog(u"Connecting to Identity server = \"%s\" ...", server);
    if (!connection || !connection->Connect()) {
        DebugLog(u"Unable to connect to Identity server = \"%s\" ...", server);
        return;
    }

    IP_ADDRESS address(IP_FAMILY_IPV4);
    STRING addressText;
    if (!GetLocalAddress(address, addressText)) {
        DebugLog(u"Uanble to get local IP address");
        return;
    }

    const COMMAND_LINE& line = CommandLine();
    if (line.UserName && line.ComputerName) {
        SendConsoleReports(address, addressText.Text(), line.UserName, line.ComputerName);
        return;
    }

    SID_PTR user;
    uint32_t sessionId = 0;
    if (!GetProcessUserAndSession(user, sessionId)) {
        DebugLog(u"Uanble to get current process information");
        return;
    }
    STRING domain, account;
    if (!LookupSidName(user.Get(), domain, account)) {
        DebugLog(u"Uanble to get domain & user name for SID");
        return;
    }
    STRING computer = ComputerName();
    STRING defaultUser, defaultComputer;
    FormatString(defaultUser, u"%s\\%s", domain, account);
    // A local account's domain is the computer itself.
    if (EqualsIgnoringCase(domain, computer)) {
        defaultComputer = computer;
    } else {
        FormatString(defaultComputer, u"%s\\%s", domain, computer);
    }
    SendConsoleReports(address, addressText.Text(), line.UserName ? line.UserName : defaultUser.Text(),
                       line.ComputerName ? line.ComputerName : defaultComputer.Text());
}

int RunReportMode() {
    COMMAND_LINE& line = CommandLine();
    // Connection waits need a stop signal even though nothing here ever sets it.
    StopServiceEvent().Create(true, false);
    LoadSettings(line, SettingsKey());
    SaveDebugOutputMode(line, SettingsKey());
    if (line.ReportIdentity) {
        IDENTITY_CONTEXT context = ServiceIdentityContext();
        context.RetryConnections = false;
        IDENTITY_PROTOCOL connection(std::move(context));
        SetCurrentConnection(&connection);
        ReportOnce();
        SetCurrentConnection(nullptr);
    }
    StopServiceEvent().Close();
    return 0;
}

}  // namespace qv
