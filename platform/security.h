// Security identifiers, access tokens, account names and privileges: the few system calls the
// security helpers (support/security.h) are built on, with the Win32 calling conventions kept
// (false and the reason as the thread's last-error value, or a returned Win32 code) so that one
// portable implementation above decides, logs and reports for both platforms.
//
// Windows: the system's SIDs, the local LSA policy, the process token and the privilege API.
//
// POSIX: the same vocabulary given a real meaning on the machine it runs on.
//  - A SID keeps the binary Windows layout (revision 1, sub-authority count, 48-bit big-endian
//    authority, 32-bit little-endian sub-authorities), so SIDs read from Windows event records
//    and SIDs made here compare byte for byte.
//  - The process user is S-1-22-1-<uid> (effective uid) and a group S-1-22-2-<gid>: the "Unix
//    user" and "Unix group" authority that Samba uses for the same mapping. Their names come
//    from the passwd and group databases (getpwuid_r, getgrgid_r), in the domains "Unix User"
//    and "Unix Group" as Samba shows them, so the domain names the authority the way
//    "NT AUTHORITY" does and is not mistaken for the machine's own accounts.
//  - Well-known SIDs (S-1-0-0 NULL SID, S-1-1-0 Everyone, S-1-5-7 ANONYMOUS LOGON, S-1-5-18
//    SYSTEM, S-1-5-32-544 Administrators, ...) are named from a table, in the domains Windows
//    gives them ("NT AUTHORITY", "BUILTIN", or none). Any other SID is unknown.
//  - The local policy is a process-wide state that always opens.
//  - A token is a snapshot of the process's credentials: its user, and its session, which is
//    the POSIX session (getsid(0)) the process belongs to.
//  - Privileges have their Windows names and usual LUIDs (SeSecurityPrivilege 8,
//    SeBackupPrivilege 17, ...); an unknown name fails with 1313. Root holds every privilege.
//    SeSecurityPrivilege, the right to read the Security event log, is also held by a process
//    that can read where the event logs live, DataRoot()/eventlog (or the data root itself
//    while that folder does not exist yet). Adjusting a privilege that is not held succeeds
//    with 1300 (ERROR_NOT_ALL_ASSIGNED) as the last-error value, as on Windows.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace qv {

// What a SID names (SID_NAME_USE).
constexpr uint32_t SID_KIND_USER = 1;
constexpr uint32_t SID_KIND_GROUP = 2;
constexpr uint32_t SID_KIND_DOMAIN = 3;
constexpr uint32_t SID_KIND_ALIAS = 4;
constexpr uint32_t SID_KIND_WELL_KNOWN_GROUP = 5;
constexpr uint32_t SID_KIND_DELETED_ACCOUNT = 6;
constexpr uint32_t SID_KIND_INVALID = 7;
constexpr uint32_t SID_KIND_UNKNOWN = 8;
constexpr uint32_t SID_KIND_COMPUTER = 9;
constexpr uint32_t SID_KIND_LABEL = 10;

constexpr uint32_t SID_MAXIMUM_SUB_AUTHORITIES = 15;

// Token information classes (TOKEN_INFORMATION_CLASS) the program asks for.
constexpr uint32_t TOKEN_CLASS_USER = 1;
constexpr uint32_t TOKEN_CLASS_SESSION_ID = 12;

// Access rights to a token.
constexpr uint32_t TOKEN_RIGHT_QUERY = 0x0008;
constexpr uint32_t TOKEN_RIGHT_ADJUST_PRIVILEGES = 0x0020;
constexpr uint32_t TOKEN_RIGHT_ALL = 0x000F01FF;

// Access to the local policy for name lookups (POLICY_LOOKUP_NAMES).
constexpr uint32_t LSA_POLICY_LOOKUP_NAMES = 0x0800;

// Privilege attributes.
constexpr uint32_t PRIVILEGE_ENABLED = 0x0002;

// The layout of TOKEN_USER: the SID points into the same block.
struct TOKEN_USER_INFO {
    void* Sid;
    uint32_t Attributes;
};

// The layout of TOKEN_PRIVILEGES: a count, then that many (LUID, attributes) entries of 12
// bytes each, so a list of n privileges takes 4 + 12 n bytes.
struct PRIVILEGE_ENTRY {
    uint32_t LuidLow;
    int32_t LuidHigh;
    uint32_t Attributes;
};
struct PRIVILEGE_LIST {
    uint32_t Count;
    PRIVILEGE_ENTRY Privileges[1];  // Count entries
};
static_assert(sizeof(PRIVILEGE_ENTRY) == 12 && sizeof(PRIVILEGE_LIST) == 16);
constexpr uint32_t PrivilegeListSize(uint32_t count) { return 4 + 12 * count; }

// --- the local policy (codes are Win32 codes, converted from the policy's own status codes) ---

uint32_t OpenLocalPolicy(uint32_t access, void*& policy);
void CloseLocalPolicy(void* policy);

// One SID translated by the policy. The domain is given only when the translation names one.
struct SID_TRANSLATION {
    uint32_t Kind = SID_KIND_UNKNOWN;
    bool HasDomain = false;
    STRING Domain;
    STRING Account;
};
// 0 or a Win32 code.
uint32_t TranslateSid(void* policy, const void* sid, SID_TRANSLATION& translation);

// --- tokens ---

bool OpenProcessTokenHandle(uint32_t access, void*& token);
void CloseTokenHandle(void* token);
// As GetTokenInformation: with too small a buffer, false with 122 and the size needed.
bool QueryTokenInformation(void* token, uint32_t infoClass, void* buffer, uint32_t size, uint32_t* returnedSize);

// --- SIDs ---

// As AllocateAndInitializeSid: 'count' (at most 8) of the sub-authorities are used.
bool AllocateSystemSid(const uint8_t authority[6], uint8_t count, const uint32_t subAuthorities[8], void*& sid);
void FreeSystemSid(void* sid);
// The length of a SID in bytes; 0 when it is not a valid SID.
uint32_t SystemSidLength(const void* sid);

// --- accounts and privileges ---

// As LookupAccountSidW on the local system: sizes in characters; with too small a buffer,
// false with 122 and both sizes needed (terminators counted); on success the lengths.
bool LookupAccountOfSid(const void* sid, char16_t* name, uint32_t* nameUnits, char16_t* domain, uint32_t* domainUnits,
                        uint32_t* kind);
// As LookupPrivilegeValueW on the local system.
bool LookupPrivilegeLuid(const char16_t* name, uint32_t& luidLow, int32_t& luidHigh);
// As AdjustTokenPrivileges (never disabling all): true with 0 or 1300 as the last-error value.
bool AdjustTokenPrivilegeList(void* token, const PRIVILEGE_LIST* privileges, uint32_t previousSize,
                              PRIVILEGE_LIST* previous, uint32_t* returnedSize);

}  // namespace qv
