// The identity request: how one report is encoded byte by byte, kept so that heartbeats and
// the logoff can send the same bytes again, and sent with its response checked.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/byte_buffer.h"
#include "base/string.h"
#include "directory/directory.h"
#include "identity/ip_address.h"

namespace qv {

constexpr uint16_t IDENTITY_REQUEST_CODE = 0x0010;
constexpr uint16_t RESPONSE_FLAG = 0x8000;
constexpr uint8_t REPORT_KIND_LOGON = 0x20;
constexpr uint8_t REPORT_KIND_LOGOFF = 0x21;
constexpr uint8_t REPORT_KIND_HEARTBEAT = 0x30;

constexpr uint32_t IDENTITY_HEADER_LENGTH = 10;
constexpr uint32_t REQUEST_ID_OFFSET = 6;
constexpr uint32_t NO_FIELD = 0xFFFFFFFF;
// Lengths and string counts on the wire are 16-bit.
constexpr uint32_t MAXIMUM_REQUEST_LENGTH = 0xFFFF;
constexpr uint32_t MAXIMUM_WIRE_STRING = 0xFFFF;

struct IDENTITY_REQUEST {
    BYTE_BUFFER Request;  // the encoded request, header and body
    uint32_t Length() const { return Request.Size(); }
    // Positions in the request; NO_FIELD when the section is absent or nothing is built.
    uint32_t UserNameField = NO_FIELD;      // the user name's count word
    uint32_t ComputerNameField = NO_FIELD;  // the computer name's count word
    uint32_t AddressField = NO_FIELD;       // the IP version byte; the address bytes follow
    uint32_t KindField = NO_FIELD;          // the trailing kind byte
    // The connection's resend epoch (IDENTITY_PROTOCOL::ResendEpoch) when the logon was last
    // reported: a logon reported since the last change of server is not sent again for it.
    uint64_t ReportedInEpoch = 0;
};

// A name section of the request: the name as sent, and its DN and OU (empty when unknown).
struct IDENTITY_SECTION {
    bool Present = false;
    STRING Name;
    STRING Dn;
    STRING Ou;
};

// a.b.c\user becomes a.b\user; names without a backslash or without a dot before it stay.
// Empty for a missing or empty name.
STRING ShortenAccountDomain(const char16_t* name);

// The form of an account name (DOMAIN\name) that is stored, compared and sent. Domain
// controllers write the DNS domain for Kerberos logons (THREEBEESCO.COM\a-jbrown) and the
// NetBIOS name for NTLM logons (3B\a-jbrown) of the same user; both become 3B\a-jbrown when
// the directory knows the DNS domain (one look-up per domain, then cached). When it cannot
// say, ShortenAccountDomain's form. A domain without a dot is taken as it stands, without a
// look-up. Empty for a missing or empty name.
STRING AccountNameForReport(const char16_t* name, const DIRECTORY_BINDING& binding);

// The binding reports look up with: the AdServer setting of the current connection, or the
// global catalog when it is empty (or there is no connection).
DIRECTORY_BINDING ReportDirectoryBinding();

// AccountNameForReport with the binding reports look up with.
STRING ReportedAccountName(const char16_t* name);

// The OS_CODE byte for the running system.
uint8_t OperatingSystemCode();

bool IdentityReportLogon(IDENTITY_REQUEST& request, const IP_ADDRESS& address, const char16_t* addressText,
                         const char16_t* userName, const char16_t* computerName);
// Encodes the logon request into the record with a fresh identifier. Groups that would not
// fit the 16-bit length are dropped from the end (logged); a request that cannot be expressed
// at all leaves the record empty and gives false.
bool EncodeIdentityRequest(IDENTITY_REQUEST& request, const IP_ADDRESS& address, const IDENTITY_SECTION& computer,
                           const IDENTITY_SECTION& user, GROUP_LIST& groups);
bool IdentityReportHeartbeat(IDENTITY_REQUEST& request);
// The user name and the address text a built request carries, read back from its fields
// (empty when it has none).
STRING RequestUserName(const IDENTITY_REQUEST& request);
STRING RequestComputerName(const IDENTITY_REQUEST& request);
STRING RequestAddressText(const IDENTITY_REQUEST& request);
bool IdentityReportLogoff(IDENTITY_REQUEST& request);
// The stored logon report sent again as a logon (to a server that does not know it yet).
bool IdentityResendLogon(IDENTITY_REQUEST& request);
bool SendIdentityRequest(const char16_t* name, uint8_t* bytes, uint32_t length);

// The process-wide request identifier counter: the value after the increment.
uint32_t NextRequestId();

}  // namespace qv
