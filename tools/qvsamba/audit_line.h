// One line of Samba's JSON authentication audit log, read into the fields a Security record
// needs. Samba writes one JSON object a line; the authentications carry "type":
// "Authentication" and an "Authentication" object (eventId 4624 or 4625, logonType,
// remoteAddress "ipv4:A.B.C.D:port", the account it became, ...). Other lines (authorizations,
// password changes, directory changes) are someone else's business.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

struct SAMBA_AUTHENTICATION {
    uint32_t EventId = 0;   // 4624 (success) or 4625 (failure)
    uint32_t LogonType = 0;
    int64_t Time = 0;       // seconds since 1970-01-01 UTC
    // Texts as Samba wrote them; a JSON null or a missing optional field is "".
    std::string Status;              // "NT_STATUS_OK", "NT_STATUS_WRONG_PASSWORD", ...
    std::string RemoteAddress;       // "ipv4:127.0.0.5:40112", "ipv6:...", "unix:...", or ""
    std::string ServiceDescription;  // "LDAP", "SMB2", "Kerberos KDC", "SamLogon", ...
    std::string AuthDescription;     // "simple bind", "NTLMSSP", "ENC-TS Pre-authentication", ...
    std::string PasswordType;        // "NTLMv2", "Plaintext", "aes256-cts-hmac-sha1-96", ...
    std::string LogonId;             // hexadecimal without 0x
    std::string ClientAccount;
    std::string ClientDomain;
    std::string Workstation;
    std::string BecameAccount;
    std::string BecameDomain;
    std::string BecameSid;
    std::string MappedAccount;
    std::string MappedDomain;
};

enum class AUDIT_LINE_KIND {
    AUTHENTICATION,  // a 4624 or 4625 to write
    OTHER,           // a well-formed line that is no authentication (or an empty line)
    MALFORMED,       // not JSON, or an authentication without the fields it must have
};

struct AUDIT_LINE {
    AUDIT_LINE_KIND Kind = AUDIT_LINE_KIND::OTHER;
    SAMBA_AUTHENTICATION Authentication;
    std::string Problem;  // what is wrong with a malformed line
    // An authentication whose optional fields were not usable texts (another type, a NUL, too
    // long) is still taken, with those fields empty; this says which ones and why.
    std::string Ignored;
};

// The longest text a field may hold: far beyond any name, SID or address Samba writes, and
// small enough that a record of such texts always fits the Security log.
constexpr size_t MAX_AUDIT_TEXT = 4096;

AUDIT_LINE ParseAuditLine(std::string_view line);

// "2026-12-08T11:16:15.902186+0000" (Samba's form; the fraction and the offset are optional,
// "Z" is UTC) as seconds since 1970-01-01 UTC.
bool ParseAuditTime(std::string_view text, int64_t& seconds);

}  // namespace qv
