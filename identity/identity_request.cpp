#include "identity/identity_request.h"

#include <cstring>
#include <vector>

#include "base/program_version.h"
#include "directory/directory.h"
#include "directory/directory_guard.h"
#include "identity/identity_protocol.h"
#include "identity/report_sink.h"
#include "platform/os_version.h"
#include "support/debug_log.h"
#include "support/format.h"
#include "support/health.h"
#include "support/item_list.h"

namespace qv {

namespace {

constexpr uint32_t SEND_ATTEMPTS = 3;
constexpr uint32_t FIELD_MASK_BASE = 0x00000E06;
constexpr uint32_t FIELD_MASK_COMPUTER = 0x00000038;
constexpr uint32_t FIELD_MASK_USER = 0x000001C0;
constexpr uint8_t ADDRESS_END_MARKER = 19;

std::atomic<uint32_t> RequestCounter{0};

void PutBigEndian16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void PutBigEndian32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t GetBigEndian32(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

// A 16-bit field as a little-endian host reads it without conversion: the log shows the
// request code 0x0010 as 0x1000 and a good response code as 0x1080.
uint32_t RawLittleEndian16(const uint8_t* at) { return uint32_t{at[0]} | (uint32_t{at[1]} << 8); }

// One string on the wire: a big-endian count of UTF-16 units, then the units little-endian.
void AddWireString(std::vector<ITEM>& items, const STRING& text) {
    items.insert(items.end(), {ITEM_UINT16 | ITEM_BIG_ENDIAN, text.Length(), ITEM_WTEXT, text.Text()});
}
constexpr uint32_t WIRE_STRING_ITEMS = 2;

uint32_t WireStringBytes(const STRING& text) { return 2 + 2 * text.Length(); }


// The section's items, left out as a group when the section is absent.
void AddNameSection(std::vector<ITEM>& items, const IDENTITY_SECTION& section, uint32_t* field) {
    items.insert(items.end(), {ITEM_LEAVE_OUT, section.Present ? 0u : 1 + 3 * WIRE_STRING_ITEMS, ITEM_OFFSET32, field});
    AddWireString(items, section.Name);
    AddWireString(items, section.Dn);
    AddWireString(items, section.Ou);
}

uint32_t SectionBytes(const IDENTITY_SECTION& section) {
    return section.Present ? WireStringBytes(section.Name) + WireStringBytes(section.Dn) + WireStringBytes(section.Ou) : 0;
}

bool SectionFitsTheWire(const IDENTITY_SECTION& section) {
    return section.Name.Length() <= MAXIMUM_WIRE_STRING && section.Dn.Length() <= MAXIMUM_WIRE_STRING &&
           section.Ou.Length() <= MAXIMUM_WIRE_STRING;
}

uint32_t GroupBytes(const GROUP_ENTRY& group) { return WireStringBytes(group.Name) + WireStringBytes(group.Dn); }

bool GroupFitsTheWire(const GROUP_ENTRY& group) {
    return group.Name.Length() <= MAXIMUM_WIRE_STRING && group.Dn.Length() <= MAXIMUM_WIRE_STRING;
}

void LookUpSection(const DIRECTORY_BINDING& binding, IDENTITY_SECTION& section, const char16_t* accountName) {
    if (!NtNameToDn(accountName, binding, section.Dn)) section.Dn.Clear();
    section.Ou = GetOuPath(section.Dn.Text());
}

void ClearPositions(IDENTITY_REQUEST& request) {
    request.UserNameField = NO_FIELD;
    request.ComputerNameField = NO_FIELD;
    request.AddressField = NO_FIELD;
    request.KindField = NO_FIELD;
}

// Sets the stored request's trailing kind byte; false when it has none.
bool SetKind(IDENTITY_REQUEST& request, uint8_t kind) {
    if (request.KindField == NO_FIELD || request.KindField >= request.Length()) return false;
    request.Request.Data()[request.KindField] = kind;
    return true;
}

// A logon or logoff report, counted for the agent's health; a logon remembers the epoch of the
// connection that took it. A dry run's sink takes it instead, uncounted.
bool SendReport(const char16_t* name, IDENTITY_REQUEST& request) {
    if (REPORT_SINK* sink = CurrentReportSink()) {
        const bool hasKind = request.KindField != NO_FIELD && request.KindField < request.Length();
        return hasKind && sink->Take(request.Request.Data()[request.KindField], request);
    }
    const bool sent = SendIdentityRequest(name, request.Request.Data(), request.Length());
    IDENTITY_PROTOCOL* connection = CurrentConnection();
    // A report a stop kept back has not failed: it is made again after the restart.
    if (sent) Health().Add(HEALTH_REPORTS_ACKNOWLEDGED);
    else if (connection == nullptr || !connection->Stopping()) Health().Add(HEALTH_REPORTS_FAILED);
    if (sent && connection != nullptr) request.ReportedInEpoch = connection->ResendEpoch();
    return sent;
}

}  // namespace

uint32_t NextRequestId() { return RequestCounter.fetch_add(1) + 1; }

STRING ShortenAccountDomain(const char16_t* name) {
    uint32_t length = TextLength(name);
    if (length == 0) return STRING();
    int64_t backslash = -1;
    for (uint32_t i = 0; i < length; ++i) {
        if (name[i] == u'\\') backslash = i;
    }
    if (backslash < 0) return STRING(name);
    int64_t dot = -1;
    for (int64_t i = 0; i < backslash; ++i) {
        if (name[i] == u'.') dot = i;
    }
    if (dot < 0) return STRING(name);
    STRING shortened(name, static_cast<uint32_t>(dot));
    STRING rest(name + backslash);
    STRING result;
    FormatString(result, u"%s%s", shortened, rest);
    return result;
}

STRING AccountNameForReport(const char16_t* name, const DIRECTORY_BINDING& binding) {
    uint32_t length = TextLength(name);
    const char16_t* backslash = nullptr;
    for (const char16_t* at = name; at && *at; ++at) {
        if (*at == u'\\') backslash = at;
    }
    if (length == 0 || !backslash) return ShortenAccountDomain(name);
    STRING domain(name, static_cast<uint32_t>(backslash - name));
    bool dnsDomain = false;
    for (uint32_t i = 0; i < domain.Length(); ++i) dnsDomain = dnsDomain || domain.Text()[i] == u'.';
    STRING netbiosName;
    if (!dnsDomain || !DomainNetbiosName(domain.Text(), binding, netbiosName)) return ShortenAccountDomain(name);
    STRING result;
    FormatString(result, u"%s%s", netbiosName, backslash);
    return result;
}

DIRECTORY_BINDING ReportDirectoryBinding() {
    DIRECTORY_BINDING binding;
    IDENTITY_PROTOCOL* connection = CurrentConnection();
    STRING adServer = connection != nullptr ? connection->Context().AdServer() : STRING();
    if (!adServer.IsEmpty()) binding.SetServer(adServer.Text());
    return binding;
}

STRING ReportedAccountName(const char16_t* name) { return AccountNameForReport(name, ReportDirectoryBinding()); }

uint8_t OperatingSystemCode() {
    // The system does not change while the program runs.
    static const uint8_t code = [] {
    static const struct {
        uint32_t Major;
        uint32_t Minor;
        uint8_t Workstation;
        uint8_t Server;
    } CODES[] = {{10, 0, 12, 12}, {6, 3, 11, 10}, {6, 2, 8, 9}, {6, 1, 7, 6}, {6, 0, 4, 5}, {5, 1, 2, 1}};
    for (const auto& row : CODES) {
        if (OsVersionAtLeast(row.Major, row.Minor)) return IsWorkstationOs() ? row.Workstation : row.Server;
    }
    return uint8_t{0};
    }();
    return code;
}

bool IdentityReportLogon(IDENTITY_REQUEST& request, const IP_ADDRESS& address, const char16_t* addressText,
                         const char16_t* userName, const char16_t* computerName) {
    DIRECTORY_TIME_LIMIT directoryLimit;  // every look-up of this report shares it
    DIRECTORY_BINDING binding = ReportDirectoryBinding();
    IDENTITY_SECTION user;
    IDENTITY_SECTION computer;
    user.Name = AccountNameForReport(userName, binding);
    user.Present = !user.Name.IsEmpty();
    computer.Name = AccountNameForReport(computerName, binding);
    computer.Present = !computer.Name.IsEmpty();

    uint32_t version = IpAddressVersion(address);
    DebugLog(u"IdentityReportLogon:\n    User name = \"%s\",\n    Computer name = \"%s\",\n    IPv%u address = \"%s\"",
             user.Present ? user.Name.Text() : u"<N/A>", computer.Present ? computer.Name.Text() : u"<N/A>", version,
             addressText);

    IDENTITY_PROTOCOL* connection = CurrentConnection();
    GROUP_LIST groups;
    if (user.Present) {
        LookUpSection(binding, user, user.Name.Text());
        DebugLogEx(DBGOUT_VERBOSE, u"IdentityReportLogon:\n    User DN = \"%s\",\n    User OU = \"%s\"", user.Dn,
                   user.Ou);
        // Groups only travel over plain TCP.
        if (connection && connection->ConnectionMode == CONNECTION_MODE_PLAIN) {
            if (!GetUserGroups(user.Name.Text(), groups, binding)) groups.clear();
        }
    }
    if (computer.Present) {
        STRING machineAccount;
        FormatString(machineAccount, u"%s$", computer.Name);
        LookUpSection(binding, computer, machineAccount.Text());
        DebugLogEx(DBGOUT_VERBOSE, u"IdentityReportLogon:\n    Computer DN = \"%s\",\n    Computer OU = \"%s\"",
                   computer.Dn, computer.Ou);
    }

    if (!EncodeIdentityRequest(request, address, computer, user, groups)) return false;
    return SendReport(u"IdentityReportLogon", request);
}

bool EncodeIdentityRequest(IDENTITY_REQUEST& request, const IP_ADDRESS& address, const IDENTITY_SECTION& computer,
                           const IDENTITY_SECTION& user, GROUP_LIST& groups) {
    ClearPositions(request);
    uint32_t version = IpAddressVersion(address);
    // Every length on the wire is 16-bit: a name that cannot be counted is refused whole,
    // and groups are dropped from the end until the request fits.
    if (!SectionFitsTheWire(user) || !SectionFitsTheWire(computer)) {
        DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG,
                   u"IdentityReportLogon: A name is longer than %lu characters; the request is not sent",
                   MAXIMUM_WIRE_STRING);
        request.Request.Free();
        return false;
    }
    uint32_t addressLength = IpAddressLength(address);
    const uint8_t* addressBytes = IpAddressBytes(address);
    if (!addressBytes) addressLength = 0;
    uint32_t fixedBytes = IDENTITY_HEADER_LENGTH + 4 + 1 + 2 + 2 + 1 + addressLength + 7 + SectionBytes(computer) +
                          SectionBytes(user) + 2 + 1;
    if (fixedBytes > MAXIMUM_REQUEST_LENGTH) {
        DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG,
                   u"IdentityReportLogon: The request would be %lu bytes, more than %lu; it is not sent", fixedBytes,
                   MAXIMUM_REQUEST_LENGTH);
        request.Request.Free();
        return false;
    }
    size_t groupsThatFit = 0;
    uint32_t total = fixedBytes + (groups.empty() ? 0 : 1);
    for (const GROUP_ENTRY& group : groups) {
        if (!GroupFitsTheWire(group) || total + GroupBytes(group) > MAXIMUM_REQUEST_LENGTH) break;
        total += GroupBytes(group);
        ++groupsThatFit;
    }
    if (groupsThatFit < groups.size()) {
        DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG,
                   u"IdentityReportLogon: Only %lu of %lu groups fit in the request; the rest are left out",
                   static_cast<uint32_t>(groupsThatFit), static_cast<uint32_t>(groups.size()));
        groups.resize(groupsThatFit);
    }

    uint32_t fieldMask = FIELD_MASK_BASE | (computer.Present ? FIELD_MASK_COMPUTER : 0) | (user.Present ? FIELD_MASK_USER : 0);
    static const OS_VERSION os = GetOsVersion();
    uint32_t addressField = NO_FIELD, computerField = NO_FIELD, userField = NO_FIELD, kindField = NO_FIELD;

    std::vector<ITEM> items;
    items.reserve(64 + 4 * groups.size());
    items.insert(items.end(), {ITEM_RESERVE, IDENTITY_HEADER_LENGTH, ITEM_UINT32 | ITEM_BIG_ENDIAN, fieldMask, ITEM_BYTE,
                               2u, ITEM_UINT16 | ITEM_BIG_ENDIAN, 0u, ITEM_UINT16 | ITEM_BIG_ENDIAN, 1u, ITEM_OFFSET32,
                               &addressField, ITEM_BYTE, version, ITEM_BYTES, addressBytes, addressLength, ITEM_BYTE,
                               uint32_t{ADDRESS_END_MARKER}, ITEM_BYTE, uint32_t{VERSION_MAJOR}, ITEM_BYTE,
                               uint32_t{VERSION_MINOR}, ITEM_BYTE, uint32_t{VERSION_PATCH}, ITEM_BYTE,
                               uint32_t{OperatingSystemCode()}, ITEM_BYTE, os.Major & 0xFF, ITEM_BYTE, os.Minor & 0xFF});
    AddNameSection(items, computer, &computerField);
    AddNameSection(items, user, &userField);
    items.insert(items.end(), {ITEM_UINT16 | ITEM_BIG_ENDIAN, static_cast<uint32_t>(groups.size()), ITEM_LEAVE_OUT,
                               groups.empty() ? 1u : 0u, ITEM_BYTE, 0u});
    for (const GROUP_ENTRY& group : groups) {
        AddWireString(items, group.Name);
        AddWireString(items, group.Dn);
    }
    items.insert(items.end(), {ITEM_OFFSET32, &kindField, ITEM_BYTE, uint32_t{REPORT_KIND_LOGON}, ITEM_END});

    uint8_t* bytes = BuildItemsInto(request.Request, ITEMS(items));
    if (!bytes) {
        ClearPositions(request);
        return false;
    }
    request.AddressField = addressField;
    request.ComputerNameField = computer.Present ? computerField : NO_FIELD;
    request.UserNameField = user.Present ? userField : NO_FIELD;
    request.KindField = kindField;

    uint32_t length = request.Length();
    PutBigEndian16(bytes, static_cast<uint16_t>(length));
    PutBigEndian16(bytes + 2, 3);
    PutBigEndian16(bytes + 4, IDENTITY_REQUEST_CODE);
    PutBigEndian32(bytes + REQUEST_ID_OFFSET, NextRequestId());
    return true;
}

bool IdentityReportHeartbeat(IDENTITY_REQUEST& request) {
    DebugLog(u"IdentityReportHeartbeat: Request length = %lu", request.Length());
    if (!SetKind(request, REPORT_KIND_HEARTBEAT)) return false;
    if (REPORT_SINK* sink = CurrentReportSink()) return sink->Take(REPORT_KIND_HEARTBEAT, request);
    Health().Add(HEALTH_HEARTBEATS_SENT);
    return SendIdentityRequest(u"IdentityReportHeartbeat", request.Request.Data(), request.Length());
}

namespace {

// The wire string at a field position: a big-endian count, then the units.
STRING RequestString(const IDENTITY_REQUEST& request, uint32_t position) {
    STRING text;
    if (position == NO_FIELD || position + 2 > request.Length()) return text;
    const uint8_t* field = request.Request.Data() + position;
    const uint32_t count = (uint32_t{field[0]} << 8) | field[1];
    if (position + 2 + 2 * count > request.Length()) return text;
    text = STRING(count);
    std::memcpy(text.Buffer(), field + 2, 2 * count);
    return text;
}

}  // namespace

STRING RequestUserName(const IDENTITY_REQUEST& request) { return RequestString(request, request.UserNameField); }

STRING RequestComputerName(const IDENTITY_REQUEST& request) {
    return RequestString(request, request.ComputerNameField);
}

STRING RequestAddressText(const IDENTITY_REQUEST& request) {
    STRING addressText;
    if (request.AddressField == NO_FIELD || request.AddressField >= request.Length()) return addressText;
    const uint8_t* field = request.Request.Data() + request.AddressField;
    const uint8_t version = field[0];
    alignas(8) uint8_t socketAddress[IPV6_SOCKET_ADDRESS_SIZE] = {};
    uint32_t size = 0;
    if (version == 4 && request.AddressField + 5 <= request.Length()) {
        uint16_t family = IP_FAMILY_IPV4;
        std::memcpy(socketAddress, &family, sizeof family);
        std::memcpy(socketAddress + IPV4_ADDRESS_OFFSET, field + 1, 4);
        size = IPV4_SOCKET_ADDRESS_SIZE;
    } else if (version == 6 && request.AddressField + 17 <= request.Length()) {
        uint16_t family = IP_FAMILY_IPV6;
        std::memcpy(socketAddress, &family, sizeof family);
        std::memcpy(socketAddress + IPV6_ADDRESS_OFFSET, field + 1, 16);
        size = IPV6_SOCKET_ADDRESS_SIZE;
    }
    if (size != 0) AddressToString(socketAddress, size, addressText);
    return addressText;
}

bool IdentityReportLogoff(IDENTITY_REQUEST& request) {
    if (!SetKind(request, REPORT_KIND_LOGOFF)) return false;
    DebugLog(u"IdentityReportLogoff: NtUserName = \"%s\", IpAddress = \"%s\", Request length = %lu",
             RequestUserName(request), RequestAddressText(request), request.Length());
    return SendReport(u"IdentityReportLogoff", request);
}

bool IdentityResendLogon(IDENTITY_REQUEST& request) {
    if (!SetKind(request, REPORT_KIND_LOGON)) return false;
    DebugLog(u"IdentityResendLogon: User name = \"%s\", IP address = \"%s\", Request length = %lu",
             RequestUserName(request), RequestAddressText(request), request.Length());
    return SendReport(u"IdentityResendLogon", request);
}

namespace {

// A well-formed answer to a request sent before 'requestId' (identifiers only grow): a
// response that came after its request gave up waiting.
bool IsEarlierResponse(const uint8_t* response, uint32_t requestId) {
    const uint32_t code = (uint32_t{response[4]} << 8) | response[5];
    const uint32_t id = GetBigEndian32(response + 6);
    return code == (IDENTITY_REQUEST_CODE | RESPONSE_FLAG) && id != requestId &&
           static_cast<int32_t>(requestId - id) > 0;
}

// Up to SEND_ATTEMPTS sends, each on a working connection; false when none went out.
bool SendWithRetries(IDENTITY_PROTOCOL& connection, const char16_t* name, uint8_t* bytes, uint32_t length,
                     uint32_t& requestId) {
    for (uint32_t attempt = 1;; ++attempt) {
        // A close or a late answer that has already arrived is seen before the request goes out.
        connection.PrepareToSend();
        if (connection.Disconnected) {
            DebugLog(u"%s: disconnect recieved", name);
            if (!connection.PersistentConnect()) return false;
        }
        requestId = NextRequestId();
        PutBigEndian32(bytes + REQUEST_ID_OFFSET, requestId);
        DebugLogEx(DBGOUT_VERBOSE, u"%s sending %lu bytes", name, length);
        IPPort& port = connection.ConnectionInUse();
        int result = port.Send(bytes, length);
        if (result == 0) return true;
        DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG, u"Unable to send %s request.\n    %s Error code = %d. Retry #%u",
                   name, port.LastErrorText(), result, attempt);
        // The connection is gone; the next attempt makes a new one.
        connection.Drop();
        if (attempt >= SEND_ATTEMPTS) return false;
    }
}

bool CheckResponse(const char16_t* name, const uint8_t* bytes, uint32_t requestId, const BYTE_BUFFER& response) {
    int32_t received = static_cast<int32_t>(response.Size());
    DebugLogEx(DBGOUT_VERBOSE, u"%s request received %d bytes", name, received);
    if (response.Size() != IDENTITY_RESPONSE_LENGTH) {
        DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG, u"%s request response length = %d; %lu expected", name,
                   received, IDENTITY_RESPONSE_LENGTH);
        return false;
    }
    const uint8_t* answer = response.Data();
    uint32_t responseCode = (uint32_t{answer[4]} << 8) | answer[5];
    uint32_t responseId = GetBigEndian32(answer + 6);
    if (responseCode == (IDENTITY_REQUEST_CODE | RESPONSE_FLAG) && responseId == requestId) {
        DebugLog(u"%s request status = %I32u", name, GetBigEndian32(answer + 10));
        return true;
    }
    DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG,
               u"Unexpected response for %s request: Code: request = %#x, response = %#x; ID: request = %I32u, "
               u"response = %I32u",
               name, RawLittleEndian16(bytes + 4), RawLittleEndian16(answer + 4), requestId, responseId);
    return false;
}

}  // namespace

bool SendIdentityRequest(const char16_t* name, uint8_t* bytes, uint32_t length) {
    IDENTITY_PROTOCOL* connection = CurrentConnection();
    if (!connection || !bytes || length < IDENTITY_HEADER_LENGTH) return false;
    // Nothing goes out once the service is stopping: the record is read again at the next
    // start, which reports it then.
    if (connection->Stopping()) {
        DebugLog(u"%s: the service is stopping; the request is not sent", name);
        return false;
    }

    // A request that went into a connection which then ended before any answer came may never
    // have reached the server: it goes out once more on a new connection. (A report that
    // arrives twice is harmless; one that never arrives loses an identity.)
    for (bool resent = false;; resent = true) {
        uint32_t requestId = 0;
        if (!SendWithRetries(*connection, name, bytes, length, requestId)) {
            if (!connection->Stopping()) Health().Failed();
            return false;
        }
        BYTE_BUFFER response;
        const bool answered = connection->Receive(
            response, [requestId](const uint8_t* candidate) { return IsEarlierResponse(candidate, requestId); });
        if (!answered && !resent && connection->Disconnected && !connection->Stopping()) {
            DebugLog(u"%s: the connection ended before the response; sending the request again", name);
            continue;
        }
        const bool acknowledged = CheckResponse(name, bytes, requestId, response);
        if (acknowledged) Health().Acknowledged();
        else Health().Failed();
        return acknowledged;
    }
}

}  // namespace qv
