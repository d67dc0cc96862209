// A Samba authentication as the Security record a Windows domain controller writes for it:
// 4624 "An account was successfully logged on" or 4625 "An account failed to log on", with
// their replacement strings in Windows' order (21 each; 4624 in its Windows Server 2012 form).
#pragma once

#include <string>

#include "platform/event_log_record.h"
#include "tools/qvsamba/audit_line.h"

namespace qv {

struct DOMAIN_CONTROLLER {
    std::u16string ComputerName;    // the records' computer, the DC's name as Windows writes it
    std::u16string MachineAccount;  // "DC1$": the subject of logons the DC makes on its own behalf
};

NEW_EVENT_RECORD BuildSecurityRecord(const SAMBA_AUTHENTICATION& logon, const DOMAIN_CONTROLLER& controller);

// The client's address and port out of Samba's "ipv4:10.1.2.3:50123" or "ipv6:fe80::1:50123"
// ("-" for each where there is none, as Windows writes a logon without a network client).
void SplitRemoteAddress(const std::string& remote, std::string& address, std::string& port);

std::u16string Utf16(const std::string& utf8);

}  // namespace qv
