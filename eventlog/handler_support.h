// What the logon handlers share: reading logon types, the marker strings of replacement
// strings, names in DOMAIN\name form, the reverse lookup of a client's name, and recording a
// logon in the table.
#pragma once

#include <cstdint>

#include "base/string.h"
#include "platform/wait.h"
#include "eventlog/logon_tables.h"
#include "identity/ip_address.h"

namespace qv {

class EVENT_LOG;

constexpr const char16_t* NO_VALUE = u"-";
constexpr const char16_t* NULL_SID = u"S-1-0-0";
constexpr const char16_t* ANONYMOUS_SID = u"S-1-5-7";

// "0x" or "0X" then hexadecimal digits, else decimal digits; false when nothing is read or
// anything is left over.
bool ParseLogonType(const char16_t* text, uint32_t& type);
// "INTERACTIVE", "NETWORK", ... or the decimal number for a type the table lacks.
STRING LogonTypeName(uint32_t type);
// Interactive, network, remote interactive and cached interactive logons.
bool IsUserLogonType(uint32_t type);

// A computer account: the name ends with "$".
bool IsComputerAccount(const char16_t* name);
// "DOMAIN\name".
STRING DomainAndName(const char16_t* domain, const char16_t* name);

// The name of the host at an address text through the host resolver; false (with its line)
// when the text is no address or the host has no name. A name server that does not answer
// holds the caller until 'stop' (if any) is set, no longer.
bool GetHostName(const char16_t* addressText, STRING& hostName, const WAITABLE* stop = nullptr);

// The shared start of a network logon: a repeat of the same user at the same address only
// renews the entry (null is returned: nothing more to do); another user there is reported
// as logged off and removed; then a new entry is appended for the report that follows.
LOGON_ENTRY* RecordLogon(EVENT_LOG& log, const IP_ADDRESS& address, const char16_t* addressText,
                         const STRING& userName);

}  // namespace qv
