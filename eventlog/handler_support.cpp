#include "eventlog/handler_support.h"

#include <memory>

#include "base/error_codes.h"
#include "eventlog/event_log.h"
#include "identity/identity_request.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/system_text.h"
#include "support/call_worker.h"
#include "support/debug_log.h"
#include "support/format.h"
#include "support/item_list.h"

namespace qv {

namespace {

struct LOGON_TYPE_NAME {
    uint32_t Type;
    const char16_t* Name;
};

constexpr LOGON_TYPE_NAME LOGON_TYPE_NAMES[] = {
    {2, u"INTERACTIVE"},   {3, u"NETWORK"},          {4, u"BATCH"},
    {5, u"SERVICE"},       {7, u"UNLOCK"},           {8, u"NETWORK_CLEARTEXT"},
    {9, u"NEW_CREDENTIALS"}, {10, u"REMOTE_INTERACTIVE"}, {11, u"CACHED_INTERACTIVE"},
};

int DigitValue(char16_t c, uint32_t base) {
    int value = -1;
    if (c >= u'0' && c <= u'9') value = c - u'0';
    if (c >= u'a' && c <= u'f') value = c - u'a' + 10;
    if (c >= u'A' && c <= u'F') value = c - u'A' + 10;
    return value >= 0 && static_cast<uint32_t>(value) < base ? value : -1;
}

}  // namespace

bool ParseLogonType(const char16_t* text, uint32_t& type) {
    if (text == nullptr) return false;
    uint32_t base = 10;
    if (text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        base = 16;
        text += 2;
    }
    if (*text == 0) return false;
    uint64_t value = 0;
    for (; *text != 0; ++text) {
        const int digit = DigitValue(*text, base);
        if (digit < 0) return false;
        value = value * base + static_cast<uint32_t>(digit);
        if (value > 0xFFFFFFFFu) return false;
    }
    type = static_cast<uint32_t>(value);
    return true;
}

STRING LogonTypeName(uint32_t type) {
    for (const LOGON_TYPE_NAME& entry : LOGON_TYPE_NAMES) {
        if (entry.Type == type) return STRING(entry.Name);
    }
    char16_t* text = BuildItemsString({ITEM_WDEC_UINT32, type, ITEM_END});
    STRING name(text);
    FreeItemsString(text);
    return name;
}

bool IsUserLogonType(uint32_t type) { return type == 2 || type == 3 || type == 10 || type == 11; }

bool IsComputerAccount(const char16_t* name) {
    const uint32_t length = TextLength(name);
    return length != 0 && name[length - 1] == u'$';
}

STRING DomainAndName(const char16_t* domain, const char16_t* name) { return Format(u"%s\\%s", domain, name); }

namespace {

// Reverse look-ups run here: the system resolver cannot be interrupted, but its caller can stop
// waiting for it. Never destroyed, since an abandoned look-up may still be running at exit.
CALL_WORKER& ResolverThread() {
    static CALL_WORKER* worker = new CALL_WORKER;
    return *worker;
}

struct HOST_LOOKUP {
    BYTE_BUFFER Address;
    STRING Name;
    bool Found = false;
    uint32_t Code = 0;
};

}  // namespace

bool GetHostName(const char16_t* addressText, STRING& hostName, const WAITABLE* stop) {
    auto lookup = std::make_shared<HOST_LOOKUP>();
    if (!StringToAddress(addressText, AddressFamilyOfText(addressText), lookup->Address)) {
        DebugLog(u"GetHostName: Unable to convert IP address = %s", addressText);
        return false;
    }
    const CALL_OUTCOME outcome = ResolverThread().Run(
        [lookup] {
            lookup->Found = LookupHostName(lookup->Address.Data(), lookup->Address.Size(), lookup->Name);
            if (!lookup->Found) lookup->Code = GetLastErrorCode();
        },
        WAIT_INFINITE, stop);
    if (outcome != CALL_OUTCOME::DONE) {
        lookup->Found = false;
        lookup->Code = outcome == CALL_OUTCOME::STOPPED ? ERR_CANCELLED : GetLastErrorCode();
    }
    if (!lookup->Found) {
        const uint32_t code = lookup->Code;
        DebugLog(u"GetHostName:\n    Unable to get host name for IP address = %s\n    %s. Error code = %lu.",
                 addressText, GetErrorText(code), code);
        return false;
    }
    hostName = lookup->Name;
    DebugLog(u"GetHostName: Host name = \"%s\" found for IP address = %s", hostName, addressText);
    return true;
}

LOGON_ENTRY* RecordLogon(EVENT_LOG& log, const IP_ADDRESS& address, const char16_t* addressText,
                         const STRING& userName) {
    LOGON_TABLE& logons = log.Logons();
    if (LOGON_ENTRY* existing = logons.FindByAddress(address)) {
        const STRING existingUser = existing->UserName();
        // The entry holds the name in the form the report sent; the new one is compared in that
        // same form, so that a repeat of a user whose domain has a dot is no user change.
        if (EqualsIgnoringCase(existingUser, ReportedAccountName(userName.Text()))) {
            logons.ResetTtl(*existing);
            DebugLog(u"Do_EVENT_ACCOUNT_LOGON: Reset TTL,\n    User name = \"%s\",\n    IP Address = \"%s\"", userName,
                     addressText);
            return nullptr;
        }
        DebugLog(u"Do_EVENT_ACCOUNT_LOGON: User name changed \n    from \"%s\" to \"%s\" for IP address %s",
                 existingUser, userName, addressText);
        IdentityReportLogoff(existing->Request);
        logons.Remove(*existing);
    }
    return &logons.Append(address);
}

}  // namespace qv
