// Security on Windows: the system's SIDs, the local LSA policy, the process token and the
// privilege API, called as they are, with the portable layouts checked against the system's.
#include "platform/security.h"

#include <cstddef>

#include "platform/win32/win32.h"

#include <ntsecapi.h>

namespace qv {

static_assert(SID_KIND_USER == SidTypeUser && SID_KIND_GROUP == SidTypeGroup && SID_KIND_DOMAIN == SidTypeDomain &&
              SID_KIND_ALIAS == SidTypeAlias && SID_KIND_WELL_KNOWN_GROUP == SidTypeWellKnownGroup &&
              SID_KIND_DELETED_ACCOUNT == SidTypeDeletedAccount && SID_KIND_INVALID == SidTypeInvalid &&
              SID_KIND_UNKNOWN == SidTypeUnknown && SID_KIND_COMPUTER == SidTypeComputer &&
              SID_KIND_LABEL == SidTypeLabel);
static_assert(SID_MAXIMUM_SUB_AUTHORITIES == SID_MAX_SUB_AUTHORITIES);
static_assert(TOKEN_CLASS_USER == TokenUser && TOKEN_CLASS_SESSION_ID == TokenSessionId);
static_assert(TOKEN_RIGHT_QUERY == TOKEN_QUERY && TOKEN_RIGHT_ADJUST_PRIVILEGES == TOKEN_ADJUST_PRIVILEGES &&
              TOKEN_RIGHT_ALL == TOKEN_ALL_ACCESS);
static_assert(LSA_POLICY_LOOKUP_NAMES == POLICY_LOOKUP_NAMES);
static_assert(PRIVILEGE_ENABLED == SE_PRIVILEGE_ENABLED);
static_assert(sizeof(TOKEN_USER_INFO) == sizeof(TOKEN_USER) && offsetof(TOKEN_USER, User.Sid) == offsetof(TOKEN_USER_INFO, Sid) &&
              offsetof(TOKEN_USER, User.Attributes) == offsetof(TOKEN_USER_INFO, Attributes));
static_assert(sizeof(LUID_AND_ATTRIBUTES) == sizeof(PRIVILEGE_ENTRY) && offsetof(TOKEN_PRIVILEGES, Privileges) == 4 &&
              offsetof(LUID_AND_ATTRIBUTES, Luid.LowPart) == offsetof(PRIVILEGE_ENTRY, LuidLow) &&
              offsetof(LUID_AND_ATTRIBUTES, Luid.HighPart) == offsetof(PRIVILEGE_ENTRY, LuidHigh) &&
              offsetof(LUID_AND_ATTRIBUTES, Attributes) == offsetof(PRIVILEGE_ENTRY, Attributes));

namespace {

// The blocks LsaLookupSids hands back, released however the lookup ended.
struct LSA_BLOCK {
    void* Block = nullptr;
    ~LSA_BLOCK() {
        if (Block != nullptr) LsaFreeMemory(Block);
    }
};

}  // namespace

// --- the local policy ---

uint32_t OpenLocalPolicy(uint32_t access, void*& policy) {
    policy = nullptr;
    LSA_OBJECT_ATTRIBUTES attributes;
    ZeroMemory(&attributes, sizeof attributes);
    LSA_HANDLE handle = nullptr;
    const NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, access, &handle);
    if (status != 0) return LsaNtStatusToWinError(status);
    policy = handle;
    return ERROR_SUCCESS;
}

void CloseLocalPolicy(void* policy) { LsaClose(static_cast<LSA_HANDLE>(policy)); }

uint32_t TranslateSid(void* policy, const void* sid, SID_TRANSLATION& translation) {
    PSID sids[1] = {const_cast<void*>(sid)};
    LSA_BLOCK domains;
    LSA_BLOCK names;
    const NTSTATUS status = LsaLookupSids(static_cast<LSA_HANDLE>(policy), 1, sids,
                                          reinterpret_cast<PLSA_REFERENCED_DOMAIN_LIST*>(&domains.Block),
                                          reinterpret_cast<PLSA_TRANSLATED_NAME*>(&names.Block));
    // Partly mapped is still a success; only failure statuses are negative.
    if (status < 0) return LsaNtStatusToWinError(status);
    const auto* name = static_cast<const LSA_TRANSLATED_NAME*>(names.Block);
    const auto* list = static_cast<const LSA_REFERENCED_DOMAIN_LIST*>(domains.Block);
    if (name == nullptr) return ERROR_NONE_MAPPED;

    translation.Kind = static_cast<uint32_t>(name->Use);
    // The system's lengths are in bytes.
    translation.Account.Assign(AsUtf16(name->Name.Buffer != nullptr ? name->Name.Buffer : L""),
                               name->Name.Buffer != nullptr ? name->Name.Length / 2u : 0u);
    translation.HasDomain = false;
    if (name->DomainIndex >= 0 && list != nullptr && static_cast<ULONG>(name->DomainIndex) < list->Entries) {
        const LSA_UNICODE_STRING& domain = list->Domains[name->DomainIndex].Name;
        translation.Domain.Assign(AsUtf16(domain.Buffer != nullptr ? domain.Buffer : L""),
                                  domain.Buffer != nullptr ? domain.Length / 2u : 0u);
        translation.HasDomain = true;
    }
    return ERROR_SUCCESS;
}

// --- tokens ---

bool OpenProcessTokenHandle(uint32_t access, void*& token) {
    HANDLE handle = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), access, &handle)) {
        token = nullptr;
        return false;
    }
    token = handle;
    return true;
}

void CloseTokenHandle(void* token) { CloseHandle(static_cast<HANDLE>(token)); }

bool QueryTokenInformation(void* token, uint32_t infoClass, void* buffer, uint32_t size, uint32_t* returnedSize) {
    DWORD returned = 0;
    const BOOL done = GetTokenInformation(static_cast<HANDLE>(token), static_cast<TOKEN_INFORMATION_CLASS>(infoClass),
                                          buffer, size, &returned);
    if (returnedSize != nullptr) *returnedSize = returned;
    return done != FALSE;
}

// --- SIDs ---

bool AllocateSystemSid(const uint8_t authority[6], uint8_t count, const uint32_t subAuthorities[8], void*& sid) {
    SID_IDENTIFIER_AUTHORITY identifier;
    for (int i = 0; i < 6; ++i) identifier.Value[i] = authority[i];
    PSID built = nullptr;
    if (!AllocateAndInitializeSid(&identifier, count, subAuthorities[0], subAuthorities[1], subAuthorities[2],
                                  subAuthorities[3], subAuthorities[4], subAuthorities[5], subAuthorities[6],
                                  subAuthorities[7], &built)) {
        sid = nullptr;
        return false;
    }
    sid = built;
    return true;
}

void FreeSystemSid(void* sid) { FreeSid(sid); }

uint32_t SystemSidLength(const void* sid) {
    PSID value = const_cast<void*>(sid);
    return sid != nullptr && IsValidSid(value) ? GetLengthSid(value) : 0;
}

// --- accounts and privileges ---

bool LookupAccountOfSid(const void* sid, char16_t* name, uint32_t* nameUnits, char16_t* domain, uint32_t* domainUnits,
                        uint32_t* kind) {
    DWORD nameSize = *nameUnits;
    DWORD domainSize = *domainUnits;
    SID_NAME_USE use = SidTypeUnknown;
    const BOOL done = LookupAccountSidW(nullptr, const_cast<void*>(sid), AsWide(name), &nameSize, AsWide(domain),
                                        &domainSize, &use);
    *nameUnits = nameSize;
    *domainUnits = domainSize;
    if (done && kind != nullptr) *kind = static_cast<uint32_t>(use);
    return done != FALSE;
}

bool LookupPrivilegeLuid(const char16_t* name, uint32_t& luidLow, int32_t& luidHigh) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, AsWide(name), &luid)) return false;
    luidLow = luid.LowPart;
    luidHigh = luid.HighPart;
    return true;
}

bool AdjustTokenPrivilegeList(void* token, const PRIVILEGE_LIST* privileges, uint32_t previousSize,
                              PRIVILEGE_LIST* previous, uint32_t* returnedSize) {
    DWORD returned = 0;
    // The layouts are the system's (checked above); AdjustTokenPrivileges only reads the list.
    const BOOL done = AdjustTokenPrivileges(
        static_cast<HANDLE>(token), FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(const_cast<PRIVILEGE_LIST*>(privileges)),
        previousSize, reinterpret_cast<PTOKEN_PRIVILEGES>(previous), previous != nullptr ? &returned : nullptr);
    if (returnedSize != nullptr) *returnedSize = returned;
    return done != FALSE;
}

}  // namespace qv
