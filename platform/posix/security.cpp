// Security on POSIX: Windows-layout SIDs for the process's credentials, names for them from the
// passwd and group databases and a table of well-known SIDs, a token that snapshots the
// process's user and session, and Windows privileges decided by root and by what the process
// may read. The meaning of each is described in platform/security.h.
#include "platform/security.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/error_codes.h"
#include "platform/data_root.h"
#include "platform/last_error.h"
#include "platform/system_text.h"

namespace qv {

namespace {

// The "Unix user" and "Unix group" authority: S-1-22-1-<uid> and S-1-22-2-<gid>.
constexpr uint8_t UNIX_AUTHORITY = 22;
constexpr uint32_t UNIX_USER = 1;
constexpr uint32_t UNIX_GROUP = 2;
constexpr uint32_t UNIX_SID_LENGTH = 8 + 4 * 2;

struct POSIX_TOKEN {
    uint32_t Access;
    uid_t User;
};

bool Fail(uint32_t code) {
    SetLastErrorCode(code);
    return false;
}

uint32_t ReadSubAuthority(const uint8_t* bytes, uint32_t index) {
    const uint8_t* sub = bytes + 8 + 4 * index;
    return sub[0] | (sub[1] << 8) | (sub[2] << 16) | (static_cast<uint32_t>(sub[3]) << 24);
}

void WriteSubAuthority(uint8_t* bytes, uint32_t index, uint32_t value) {
    uint8_t* sub = bytes + 8 + 4 * index;
    sub[0] = static_cast<uint8_t>(value);
    sub[1] = static_cast<uint8_t>(value >> 8);
    sub[2] = static_cast<uint8_t>(value >> 16);
    sub[3] = static_cast<uint8_t>(value >> 24);
}

// "S-1-5-32-544", for matching against the table; false for a SID that is not valid.
bool SidText(const void* sid, char* text, size_t size) {
    if (SystemSidLength(sid) == 0) return false;
    const auto* bytes = static_cast<const uint8_t*>(sid);
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
    size_t used = static_cast<size_t>(
        std::snprintf(text, size, "S-%u-%llu", bytes[0], static_cast<unsigned long long>(authority)));
    for (uint32_t i = 0; i < bytes[1] && used < size; ++i) {
        used += static_cast<size_t>(
            std::snprintf(text + used, size - used, "-%u", static_cast<unsigned>(ReadSubAuthority(bytes, i))));
    }
    return used < size;
}

struct WELL_KNOWN_SID {
    const char* Text;
    const char16_t* Domain;
    const char16_t* Name;
    uint32_t Kind;
};

constexpr const char16_t* NT_AUTHORITY = u"NT AUTHORITY";
constexpr const char16_t* BUILTIN = u"BUILTIN";

constexpr WELL_KNOWN_SID WELL_KNOWN_SIDS[] = {
    {"S-1-0-0", u"", u"NULL SID", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-1-0", u"", u"Everyone", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-2-0", u"", u"LOCAL", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-2-1", u"", u"CONSOLE LOGON", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-3-0", u"", u"CREATOR OWNER", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-3-1", u"", u"CREATOR GROUP", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-3-4", u"", u"OWNER RIGHTS", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-1", NT_AUTHORITY, u"DIALUP", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-2", NT_AUTHORITY, u"NETWORK", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-3", NT_AUTHORITY, u"BATCH", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-4", NT_AUTHORITY, u"INTERACTIVE", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-6", NT_AUTHORITY, u"SERVICE", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-7", NT_AUTHORITY, u"ANONYMOUS LOGON", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-9", NT_AUTHORITY, u"ENTERPRISE DOMAIN CONTROLLERS", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-10", NT_AUTHORITY, u"SELF", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-11", NT_AUTHORITY, u"Authenticated Users", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-13", NT_AUTHORITY, u"TERMINAL SERVER USER", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-14", NT_AUTHORITY, u"REMOTE INTERACTIVE LOGON", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-15", NT_AUTHORITY, u"This Organization", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-17", NT_AUTHORITY, u"IUSR", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-18", NT_AUTHORITY, u"SYSTEM", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-19", NT_AUTHORITY, u"LOCAL SERVICE", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-20", NT_AUTHORITY, u"NETWORK SERVICE", SID_KIND_WELL_KNOWN_GROUP},
    {"S-1-5-32", BUILTIN, BUILTIN, SID_KIND_DOMAIN},
    {"S-1-5-32-544", BUILTIN, u"Administrators", SID_KIND_ALIAS},
    {"S-1-5-32-545", BUILTIN, u"Users", SID_KIND_ALIAS},
    {"S-1-5-32-546", BUILTIN, u"Guests", SID_KIND_ALIAS},
    {"S-1-5-32-547", BUILTIN, u"Power Users", SID_KIND_ALIAS},
    {"S-1-5-32-548", BUILTIN, u"Account Operators", SID_KIND_ALIAS},
    {"S-1-5-32-549", BUILTIN, u"Server Operators", SID_KIND_ALIAS},
    {"S-1-5-32-550", BUILTIN, u"Print Operators", SID_KIND_ALIAS},
    {"S-1-5-32-551", BUILTIN, u"Backup Operators", SID_KIND_ALIAS},
    {"S-1-5-32-552", BUILTIN, u"Replicator", SID_KIND_ALIAS},
    {"S-1-5-32-555", BUILTIN, u"Remote Desktop Users", SID_KIND_ALIAS},
    {"S-1-5-32-573", BUILTIN, u"Event Log Readers", SID_KIND_ALIAS},
    {"S-1-22-1", u"Unix User", u"Unix User", SID_KIND_DOMAIN},
    {"S-1-22-2", u"Unix Group", u"Unix Group", SID_KIND_DOMAIN},
};

// getpwuid_r and getgrgid_r want a buffer of a size they don't tell in advance: grow it.
template <typename LOOKUP>
bool LookupDatabaseName(LOOKUP lookup, STRING& name) {
    size_t size = 1024;
    for (int attempt = 0; attempt < 10; ++attempt, size *= 2) {
        char* buffer = static_cast<char*>(std::malloc(size));
        if (buffer == nullptr) return false;
        const char* found = nullptr;
        const int error = lookup(buffer, size, found);
        if (error == 0 && found != nullptr) {
            name = STRING(found);
            std::free(buffer);
            return true;
        }
        std::free(buffer);
        if (error != ERANGE) return false;
    }
    return false;
}

// The names of a SID. 'kind' is SID_KIND_INVALID or SID_KIND_UNKNOWN when there are none.
bool ResolveSid(const void* sid, STRING& domain, STRING& account, uint32_t& kind) {
    domain.Clear();
    account.Clear();
    char text[200];
    if (sid == nullptr || !SidText(sid, text, sizeof text)) {
        kind = SID_KIND_INVALID;
        return false;
    }
    for (const WELL_KNOWN_SID& known : WELL_KNOWN_SIDS) {
        if (std::strcmp(known.Text, text) == 0) {
            domain = known.Domain;
            account = known.Name;
            kind = known.Kind;
            return true;
        }
    }

    const auto* bytes = static_cast<const uint8_t*>(sid);
    const bool unixAuthority = bytes[1] == 2 && bytes[2] == 0 && bytes[3] == 0 && bytes[4] == 0 && bytes[5] == 0 &&
                               bytes[6] == 0 && bytes[7] == UNIX_AUTHORITY;
    if (unixAuthority && ReadSubAuthority(bytes, 0) == UNIX_USER) {
        const uid_t uid = static_cast<uid_t>(ReadSubAuthority(bytes, 1));
        if (LookupDatabaseName(
                [uid](char* buffer, size_t size, const char*& found) {
                    struct passwd entry;
                    struct passwd* result = nullptr;
                    const int error = getpwuid_r(uid, &entry, buffer, size, &result);
                    found = result != nullptr ? result->pw_name : nullptr;
                    return error;
                },
                account)) {
            domain = u"Unix User";
            kind = SID_KIND_USER;
            return true;
        }
    }
    if (unixAuthority && ReadSubAuthority(bytes, 0) == UNIX_GROUP) {
        const gid_t gid = static_cast<gid_t>(ReadSubAuthority(bytes, 1));
        if (LookupDatabaseName(
                [gid](char* buffer, size_t size, const char*& found) {
                    struct group entry;
                    struct group* result = nullptr;
                    const int error = getgrgid_r(gid, &entry, buffer, size, &result);
                    found = result != nullptr ? result->gr_name : nullptr;
                    return error;
                },
                account)) {
            domain = u"Unix Group";
            kind = SID_KIND_GROUP;
            return true;
        }
    }
    account.Clear();
    kind = SID_KIND_UNKNOWN;
    return false;
}

// Copies a name into a caller's buffer with LookupAccountSidW's size rules; false when it
// doesn't fit, with the size needed (terminator counted).
bool GiveName(const STRING& text, char16_t* buffer, uint32_t* units) {
    if (buffer == nullptr || *units < text.Length() + 1) {
        *units = text.Length() + 1;
        return false;
    }
    for (uint32_t i = 0; i < text.Length(); ++i) buffer[i] = text.Text()[i];
    buffer[text.Length()] = 0;
    *units = text.Length();
    return true;
}

// --- privileges ---

struct PRIVILEGE_NAME {
    const char16_t* Name;
    uint32_t Luid;
};

constexpr uint32_t SECURITY_PRIVILEGE = 8;

constexpr PRIVILEGE_NAME PRIVILEGE_NAMES[] = {
    {u"SeCreateTokenPrivilege", 2},
    {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},
    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", SECURITY_PRIVILEGE},
    {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},
    {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14},
    {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},
    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},
    {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},
    {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},
    {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},
    {u"SeTrustedCredManAccessPrivilege", 31},
    {u"SeRelabelPrivilege", 32},
    {u"SeIncreaseWorkingSetPrivilege", 33},
    {u"SeTimeZonePrivilege", 34},
    {u"SeCreateSymbolicLinkPrivilege", 35},
    {u"SeDelegateSessionUserImpersonatePrivilege", 36},
};

bool KnownPrivilege(uint32_t luidLow, int32_t luidHigh) {
    if (luidHigh != 0) return false;
    for (const PRIVILEGE_NAME& privilege : PRIVILEGE_NAMES) {
        if (privilege.Luid == luidLow) return true;
    }
    return false;
}

// Whether the process holds a privilege (see platform/security.h).
bool PrivilegeHeld(uint32_t luid) {
    if (geteuid() == 0) return true;
    if (luid != SECURITY_PRIVILEGE) return false;
    const STRING_A root = DataRoot();
    char folder[4096];
    if (std::snprintf(folder, sizeof folder, "%s/eventlog", root.Text()) >= static_cast<int>(sizeof folder)) return false;
    if (faccessat(AT_FDCWD, folder, R_OK, AT_EACCESS) == 0) return true;
    if (errno != ENOENT) return false;
    return faccessat(AT_FDCWD, root.Text(), R_OK, AT_EACCESS) == 0;
}

// The process's enabled privileges (one token per process, so one state), by LUID.
std::mutex PrivilegeLock;
uint64_t EnabledPrivileges = 0;

}  // namespace

// --- the local policy ---

uint32_t OpenLocalPolicy(uint32_t, void*& policy) {
    static int processPolicy = 0;
    policy = &processPolicy;
    return ERR_SUCCESS;
}

void CloseLocalPolicy(void*) {}

uint32_t TranslateSid(void* policy, const void* sid, SID_TRANSLATION& translation) {
    if (policy == nullptr) return ERR_INVALID_HANDLE;
    translation.HasDomain = ResolveSid(sid, translation.Domain, translation.Account, translation.Kind);
    return ERR_SUCCESS;
}

// --- tokens ---

bool OpenProcessTokenHandle(uint32_t access, void*& token) {
    token = nullptr;
    auto* snapshot = new (std::nothrow) POSIX_TOKEN{access, geteuid()};
    if (snapshot == nullptr) return Fail(ERR_NOT_ENOUGH_MEMORY);
    token = snapshot;
    return true;
}

void CloseTokenHandle(void* token) { delete static_cast<POSIX_TOKEN*>(token); }

bool QueryTokenInformation(void* token, uint32_t infoClass, void* buffer, uint32_t size, uint32_t* returnedSize) {
    const auto* snapshot = static_cast<const POSIX_TOKEN*>(token);
    if (snapshot == nullptr) return Fail(ERR_INVALID_HANDLE);
    if ((snapshot->Access & TOKEN_RIGHT_QUERY) == 0) return Fail(ERR_ACCESS_DENIED);

    uint32_t needed;
    if (infoClass == TOKEN_CLASS_USER) {
        needed = static_cast<uint32_t>(sizeof(TOKEN_USER_INFO)) + UNIX_SID_LENGTH;
    } else if (infoClass == TOKEN_CLASS_SESSION_ID) {
        needed = sizeof(uint32_t);
    } else {
        return Fail(ERR_INVALID_PARAMETER);
    }
    if (returnedSize != nullptr) *returnedSize = needed;
    if (buffer == nullptr || size < needed) return Fail(ERR_INSUFFICIENT_BUFFER);

    if (infoClass == TOKEN_CLASS_USER) {
        auto* bytes = static_cast<uint8_t*>(buffer);
        uint8_t* sid = bytes + sizeof(TOKEN_USER_INFO);
        const uint8_t head[8] = {1, 2, 0, 0, 0, 0, 0, UNIX_AUTHORITY};
        std::memcpy(sid, head, sizeof head);
        WriteSubAuthority(sid, 0, UNIX_USER);
        WriteSubAuthority(sid, 1, static_cast<uint32_t>(snapshot->User));
        const TOKEN_USER_INFO user{sid, 0};
        std::memcpy(bytes, &user, sizeof user);
    } else {
        const pid_t session = getsid(0);
        if (session < 0) return Fail(ErrorFromErrno(errno));
        const uint32_t value = static_cast<uint32_t>(session);
        std::memcpy(buffer, &value, sizeof value);
    }
    return true;
}

// --- SIDs ---

bool AllocateSystemSid(const uint8_t authority[6], uint8_t count, const uint32_t subAuthorities[8], void*& sid) {
    sid = nullptr;
    if (count > 8) return Fail(ERR_INVALID_PARAMETER);
    auto* bytes = static_cast<uint8_t*>(std::malloc(8 + 4 * count));
    if (bytes == nullptr) return Fail(ERR_NOT_ENOUGH_MEMORY);
    bytes[0] = 1;
    bytes[1] = count;
    std::memcpy(bytes + 2, authority, 6);
    for (uint8_t i = 0; i < count; ++i) WriteSubAuthority(bytes, i, subAuthorities[i]);
    sid = bytes;
    return true;
}

void FreeSystemSid(void* sid) { std::free(sid); }

uint32_t SystemSidLength(const void* sid) {
    if (sid == nullptr) return 0;
    const auto* bytes = static_cast<const uint8_t*>(sid);
    if (bytes[0] != 1 || bytes[1] > SID_MAXIMUM_SUB_AUTHORITIES) return 0;
    return 8 + 4 * bytes[1];
}

// --- accounts and privileges ---

bool LookupAccountOfSid(const void* sid, char16_t* name, uint32_t* nameUnits, char16_t* domain, uint32_t* domainUnits,
                        uint32_t* kind) {
    if (nameUnits == nullptr || domainUnits == nullptr) return Fail(ERR_INVALID_PARAMETER);
    STRING domainName;
    STRING accountName;
    uint32_t use = SID_KIND_UNKNOWN;
    if (!ResolveSid(sid, domainName, accountName, use)) {
        return Fail(use == SID_KIND_INVALID ? ERR_INVALID_PARAMETER : ERR_NONE_MAPPED);
    }
    const bool nameFits = GiveName(accountName, name, nameUnits);
    const bool domainFits = GiveName(domainName, domain, domainUnits);
    if (!nameFits || !domainFits) {
        // Both sizes are what is needed, whichever of the two was too small.
        *nameUnits = accountName.Length() + 1;
        *domainUnits = domainName.Length() + 1;
        return Fail(ERR_INSUFFICIENT_BUFFER);
    }
    if (kind != nullptr) *kind = use;
    return true;
}

bool LookupPrivilegeLuid(const char16_t* name, uint32_t& luidLow, int32_t& luidHigh) {
    if (name == nullptr) return Fail(ERR_INVALID_PARAMETER);
    const STRING wanted(name);
    for (const PRIVILEGE_NAME& privilege : PRIVILEGE_NAMES) {
        if (EqualsIgnoringCase(wanted, privilege.Name)) {
            luidLow = privilege.Luid;
            luidHigh = 0;
            return true;
        }
    }
    return Fail(ERR_NO_SUCH_PRIVILEGE);
}

bool AdjustTokenPrivilegeList(void* token, const PRIVILEGE_LIST* privileges, uint32_t previousSize,
                              PRIVILEGE_LIST* previous, uint32_t* returnedSize) {
    const auto* snapshot = static_cast<const POSIX_TOKEN*>(token);
    if (snapshot == nullptr) return Fail(ERR_INVALID_HANDLE);
    if ((snapshot->Access & TOKEN_RIGHT_ADJUST_PRIVILEGES) == 0) return Fail(ERR_ACCESS_DENIED);
    if (privileges == nullptr || (previous != nullptr && returnedSize == nullptr)) return Fail(ERR_INVALID_PARAMETER);

    std::lock_guard<std::mutex> lock(PrivilegeLock);
    // What would change, so the previous state can be sized before anything changes.
    uint32_t changing = 0;
    for (uint32_t i = 0; i < privileges->Count; ++i) {
        const PRIVILEGE_ENTRY& entry = privileges->Privileges[i];
        if (!KnownPrivilege(entry.LuidLow, entry.LuidHigh) || !PrivilegeHeld(entry.LuidLow)) continue;
        const bool enabled = (EnabledPrivileges >> entry.LuidLow) & 1;
        if (enabled != ((entry.Attributes & PRIVILEGE_ENABLED) != 0)) ++changing;
    }
    if (previous != nullptr) {
        *returnedSize = PrivilegeListSize(changing);
        if (previousSize < *returnedSize) return Fail(ERR_INSUFFICIENT_BUFFER);
        previous->Count = 0;
    }

    bool allAssigned = true;
    for (uint32_t i = 0; i < privileges->Count; ++i) {
        const PRIVILEGE_ENTRY& entry = privileges->Privileges[i];
        if (!KnownPrivilege(entry.LuidLow, entry.LuidHigh) || !PrivilegeHeld(entry.LuidLow)) {
            allAssigned = false;
            continue;
        }
        const uint64_t bit = uint64_t{1} << entry.LuidLow;
        const bool enabled = (EnabledPrivileges & bit) != 0;
        const bool enable = (entry.Attributes & PRIVILEGE_ENABLED) != 0;
        if (enabled == enable) continue;
        if (previous != nullptr) {
            previous->Privileges[previous->Count++] = {entry.LuidLow, 0, enabled ? PRIVILEGE_ENABLED : 0};
        }
        EnabledPrivileges = enable ? (EnabledPrivileges | bit) : (EnabledPrivileges & ~bit);
    }
    SetLastErrorCode(allAssigned ? ERR_SUCCESS : ERR_NOT_ALL_ASSIGNED);
    return true;
}

}  // namespace qv
