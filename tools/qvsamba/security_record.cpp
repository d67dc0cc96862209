#include "tools/qvsamba/security_record.h"

#include <cstdio>

#include "base/utf.h"

namespace qv {
namespace {

constexpr uint16_t EVENT_TYPE_AUDIT_SUCCESS = 8;
constexpr uint16_t EVENT_TYPE_AUDIT_FAILURE = 16;
constexpr uint16_t CATEGORY_LOGON = 12544;
constexpr uint32_t LOGON_TYPE_NETWORK = 3;
constexpr char NO_VALUE[] = "-";
constexpr char ZERO_ID[] = "0x0";  // Windows writes logon and process IDs without leading zeros
constexpr char NULL_GUID[] = "{00000000-0000-0000-0000-000000000000}";
constexpr char16_t SOURCE_NAME[] = u"Microsoft-Windows-Security-Auditing";

const std::string& OrNoValue(const std::string& text) {
    static const std::string none = NO_VALUE;
    return text.empty() ? none : text;
}

// Samba's logon ID ("0", "c914c8cd98861072") the way Windows writes one.
std::string LogonId(const std::string& hex) {
    unsigned long long value = 0;
    if (!hex.empty() && hex.size() <= 16 && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        value = std::stoull(hex, nullptr, 16);
    }
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

bool IsNtlm(const SAMBA_AUTHENTICATION& logon) {
    return logon.AuthDescription.find("NTLM") != std::string::npos || logon.PasswordType.rfind("NTLM", 0) == 0;
}
bool IsKerberos(const SAMBA_AUTHENTICATION& logon) {
    return logon.ServiceDescription.find("Kerberos") != std::string::npos;
}

// Logon process, authentication package, LM package and key length, as Windows names them.
struct PACKAGE {
    const char* Process;
    const char* Package;
    std::string LmPackage;
    const char* KeyLength;
};

PACKAGE Package(const SAMBA_AUTHENTICATION& logon) {
    if (IsKerberos(logon)) return {"Kerberos", "Kerberos", NO_VALUE, "0"};
    if (IsNtlm(logon)) {
        std::string lm = NO_VALUE;
        if (logon.PasswordType == "NTLMv2") lm = "NTLM V2";
        if (logon.PasswordType == "NTLMv1") lm = "NTLM V1";
        return {"NtLmSsp ", "NTLM", lm, lm == NO_VALUE ? "0" : "128"};
    }
    return {"Advapi  ", "MICROSOFT_AUTHENTICATION_PACKAGE_V1_0", NO_VALUE, "0"};
}

// A network logon is made for a client, with the null SID as its subject; anything else (a
// simple bind's cleartext logon, ...) the domain controller makes itself, as SYSTEM.
void AddSubject(const SAMBA_AUTHENTICATION& logon, const DOMAIN_CONTROLLER& controller, const std::string& domain,
                std::vector<std::u16string>& strings) {
    if (logon.LogonType == LOGON_TYPE_NETWORK) {
        strings.insert(strings.end(), {u"S-1-0-0", u"-", u"-", Utf16(ZERO_ID)});
    } else {
        strings.insert(strings.end(), {u"S-1-5-18", controller.MachineAccount, Utf16(OrNoValue(domain)),
                                       u"0x3e7"});
    }
}

struct FAILURE {
    const char* Name;
    uint32_t Status;
    const char* Reason;  // the message insert Windows writes for it
};

// The NT status names Samba writes for failed logons, with Windows' status and reason.
constexpr FAILURE FAILURES[] = {
    {"NT_STATUS_WRONG_PASSWORD", 0xC000006A, "%%2313"},     {"NT_STATUS_NO_SUCH_USER", 0xC0000064, "%%2313"},
    {"NT_STATUS_LOGON_FAILURE", 0xC000006D, "%%2313"},      {"NT_STATUS_ACCOUNT_LOCKED_OUT", 0xC0000234, "%%2307"},
    {"NT_STATUS_ACCOUNT_DISABLED", 0xC0000072, "%%2310"},   {"NT_STATUS_ACCOUNT_EXPIRED", 0xC0000193, "%%2305"},
    {"NT_STATUS_PASSWORD_EXPIRED", 0xC0000071, "%%2309"},   {"NT_STATUS_PASSWORD_MUST_CHANGE", 0xC0000224, "%%2309"},
    {"NT_STATUS_INVALID_LOGON_HOURS", 0xC000006F, "%%2311"}, {"NT_STATUS_INVALID_WORKSTATION", 0xC0000070, "%%2312"},
    {"NT_STATUS_LOGON_TYPE_NOT_GRANTED", 0xC000015B, "%%2308"},
    {"NT_STATUS_ACCOUNT_RESTRICTION", 0xC000006E, "%%2304"},
};
constexpr uint32_t STATUS_LOGON_FAILURE = 0xC000006D;

std::u16string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return Utf16(text);
}

// Status, failure reason and sub-status: a bad name or password is the general logon failure
// with the particular one beneath it, as Windows reports it.
void AddFailure(const std::string& status, std::vector<std::u16string>& strings) {
    for (const FAILURE& failure : FAILURES) {
        if (status != failure.Name) continue;
        const bool general = failure.Status == 0xC000006A || failure.Status == 0xC0000064;
        strings.push_back(Hex(general ? STATUS_LOGON_FAILURE : failure.Status));
        strings.push_back(Utf16(failure.Reason));
        strings.push_back(general ? Hex(failure.Status) : u"0x0");
        return;
    }
    strings.insert(strings.end(), {Hex(STATUS_LOGON_FAILURE), u"%%2304", u"0x0"});
}

}  // namespace

std::u16string Utf16(const std::string& text) {
    const auto length = static_cast<uint32_t>(text.size());
    std::u16string result(Utf8ToUtf16(text.data(), length, nullptr), u'\0');
    Utf8ToUtf16(text.data(), length, result.data());
    return result;
}

void SplitRemoteAddress(const std::string& remote, std::string& address, std::string& port) {
    address = NO_VALUE;
    port = NO_VALUE;
    if (remote.rfind("ipv4:", 0) != 0 && remote.rfind("ipv6:", 0) != 0) return;
    std::string rest = remote.substr(5);
    const size_t colon = rest.rfind(':');
    const bool ipv4 = remote[3] == '4';
    // An IPv4 address has no colon of its own, so one colon is its port's; an IPv6 address
    // always has two or more and Samba always appends the port.
    if (colon != std::string::npos && (ipv4 || rest.find(':') != colon)) {
        port = rest.substr(colon + 1);
        rest.resize(colon);
    }
    if (rest.size() >= 2 && rest.front() == '[' && rest.back() == ']') rest = rest.substr(1, rest.size() - 2);
    if (!rest.empty()) address = rest;
    if (port.empty()) port = NO_VALUE;
}

NEW_EVENT_RECORD BuildSecurityRecord(const SAMBA_AUTHENTICATION& logon, const DOMAIN_CONTROLLER& controller) {
    const bool success = logon.EventId == 4624;
    NEW_EVENT_RECORD record;
    record.EventID = logon.EventId;
    record.EventType = success ? EVENT_TYPE_AUDIT_SUCCESS : EVENT_TYPE_AUDIT_FAILURE;
    record.EventCategory = CATEGORY_LOGON;
    record.TimeGenerated = static_cast<uint32_t>(logon.Time < 0 ? 0 : logon.Time);
    record.TimeWritten = record.TimeGenerated;
    record.SourceName = SOURCE_NAME;
    record.ComputerName = controller.ComputerName;

    // A logon passed on by a member server over Netlogon comes from that server's address, not
    // from the user's machine: it is written without one, so that nobody takes the server for
    // the user's computer.
    std::string address, port;
    SplitRemoteAddress(logon.ServiceDescription == "SamLogon" ? std::string() : logon.RemoteAddress, address, port);
    const PACKAGE package = Package(logon);

    auto& strings = record.Strings;
    strings.reserve(21);
    // The strings both events share: how the logon was made, then where it came from.
    const auto addLogonProcess = [&] {
        strings.push_back(Utf16(std::to_string(logon.LogonType)));
        strings.push_back(Utf16(package.Process));
        strings.push_back(Utf16(package.Package));
        strings.push_back(Utf16(OrNoValue(logon.Workstation)));
    };
    const auto addClient = [&] {
        strings.insert(strings.end(), {u"-", Utf16(package.LmPackage), Utf16(package.KeyLength), Utf16(ZERO_ID), u"-",
                                       Utf16(address), Utf16(port)});
    };
    if (success) {
        AddSubject(logon, controller, logon.BecameDomain, strings);
        strings.push_back(Utf16(logon.BecameSid));
        strings.push_back(Utf16(OrNoValue(logon.BecameAccount)));
        strings.push_back(Utf16(OrNoValue(logon.BecameDomain)));
        strings.push_back(Utf16(LogonId(logon.LogonId)));
        addLogonProcess();
        strings.push_back(Utf16(NULL_GUID));
        addClient();
        strings.push_back(u"%%1833");  // impersonation
    } else {
        // The account as the client named it: a failed logon became nobody.
        const std::string& account = logon.ClientAccount.empty() ? logon.MappedAccount : logon.ClientAccount;
        const std::string& domain = logon.ClientDomain.empty() ? logon.MappedDomain : logon.ClientDomain;
        AddSubject(logon, controller, domain, strings);
        strings.push_back(u"S-1-0-0");
        strings.push_back(Utf16(OrNoValue(account)));
        strings.push_back(Utf16(OrNoValue(domain)));
        AddFailure(logon.Status, strings);
        addLogonProcess();
        addClient();
    }
    return record;
}

}  // namespace qv
