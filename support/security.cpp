#include "support/security.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "support/debug_log.h"
#include "support/format.h"

namespace qv {

namespace {

// ERROR_OBJECT_NOT_FOUND: what a token gives for a user SID without length.
constexpr uint32_t SID_NOT_VALID = 4312;

// Logs a failure in the one failure-message form, then leaves its code as the last-error value
// (after the log, which may itself call the system).
void LogFailure(const char16_t* format, uint32_t code) {
    DebugLog(format, GetErrorText(code), code);
    SetLastErrorCode(code);
}

// The process's local policy: opened once, kept until the process ends.
struct POLICY_HOLDER {
    std::mutex Lock;
    void* Handle = nullptr;
    ~POLICY_HOLDER() {
        if (Handle != nullptr) CloseLocalPolicy(Handle);
    }
};

POLICY_HOLDER& Policy() {
    static POLICY_HOLDER holder;
    return holder;
}

void* OpenedPolicy() {
    POLICY_HOLDER& policy = Policy();
    std::lock_guard<std::mutex> lock(policy.Lock);
    return policy.Handle;
}

// The authorities of AllocateSid, by index.
constexpr uint8_t SID_AUTHORITIES[][6] = {
    {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 1}, {0, 0, 0, 0, 0, 2}, {0, 0, 0, 0, 0, 3},
    {0, 0, 0, 0, 0, 4}, {0, 0, 0, 0, 0, 5}, {0, 0, 0, 0, 0, 9},
};

void FreeCopiedSid(void* sid) { std::free(sid); }

}  // namespace

// --- SID_PTR ---------------------------------------------------------------------------------

SID_PTR::SID_PTR(SID_PTR&& other) noexcept
    : Sid(std::exchange(other.Sid, nullptr)), Release(std::exchange(other.Release, nullptr)) {}

SID_PTR& SID_PTR::operator=(SID_PTR&& other) noexcept {
    if (this != &other) {
        Reset();
        Sid = std::exchange(other.Sid, nullptr);
        Release = std::exchange(other.Release, nullptr);
    }
    return *this;
}

void SID_PTR::Reset() {
    if (Sid != nullptr && Release != nullptr) Release(Sid);
    Sid = nullptr;
    Release = nullptr;
}

STRING SidToText(const void* sid) {
    const uint32_t length = sid != nullptr ? SystemSidLength(sid) : 0;
    if (length < 8) return STRING();
    const auto* bytes = static_cast<const uint8_t*>(sid);
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
    // Authorities that don't fit 32 bits are written in hex, as the system writes them.
    STRING text = authority < 0x100000000ull ? Format(u"S-%u-%llu", bytes[0], authority)
                                             : Format(u"S-%u-0x%012llX", bytes[0], authority);
    for (uint32_t i = 0; i < bytes[1]; ++i) {
        const uint8_t* sub = bytes + 8 + 4 * i;
        const uint32_t value = sub[0] | (sub[1] << 8) | (sub[2] << 16) | (static_cast<uint32_t>(sub[3]) << 24);
        text = Format(u"%s-%lu", text, value);
    }
    return text;
}

// --- the local policy ------------------------------------------------------------------------

bool OpenLsaPolicy() {
    POLICY_HOLDER& policy = Policy();
    std::lock_guard<std::mutex> lock(policy.Lock);
    if (policy.Handle != nullptr) return true;
    void* handle = nullptr;
    const uint32_t code = OpenLocalPolicy(LSA_POLICY_LOOKUP_NAMES, handle);
    if (code != ERR_SUCCESS || handle == nullptr) {
        LogFailure(u"Unable to open LSA policy. %s. Error code = %#lx.", code);
        return false;
    }
    policy.Handle = handle;
    return true;
}

bool LookupSidName(const void* sid, STRING& domain, STRING& account, uint32_t* kind) {
    void* policy = OpenedPolicy();
    if (policy == nullptr) {
        domain.Clear();
        account.Clear();
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    SID_TRANSLATION translation;
    const uint32_t code = TranslateSid(policy, sid, translation);
    if (code != ERR_SUCCESS) {
        // A failed lookup names nobody: names left from before must not pass for this SID's.
        domain.Clear();
        account.Clear();
        LogFailure(u"Unable to open lookup SID. %s. Error code = %#lx.", code);
        return false;
    }
    if (kind != nullptr) *kind = translation.Kind;
    if (translation.Kind == SID_KIND_INVALID || translation.Kind == SID_KIND_UNKNOWN) {
        domain.Clear();
        account.Clear();
        return false;
    }
    if (translation.HasDomain) domain = std::move(translation.Domain);
    account = std::move(translation.Account);
    return true;
}

bool GetAccountName(const void* sid, STRING* account, STRING* domain, uint32_t* kind) {
    if (account != nullptr) account->Clear();
    if (domain != nullptr) domain->Clear();
    if (kind != nullptr) *kind = 0;

    uint32_t nameUnits = 0;
    uint32_t domainUnits = 0;
    uint32_t use = 0;
    if (LookupAccountOfSid(sid, nullptr, &nameUnits, nullptr, &domainUnits, &use)) {
        // Nothing to name (the system found empty names): done.
        if (kind != nullptr) *kind = use;
        return true;
    }
    uint32_t code = GetLastErrorCode();
    if (code == ERR_INSUFFICIENT_BUFFER) {
        // The sizes given count the terminators; a STRING of n units has room for n + 1.
        STRING name(nameUnits > 0 ? nameUnits - 1 : 0);
        STRING domainName(domainUnits > 0 ? domainUnits - 1 : 0);
        if (LookupAccountOfSid(sid, name.Buffer(), &nameUnits, domainName.Buffer(), &domainUnits, &use)) {
            name.SetLength(nameUnits < name.Length() ? nameUnits : name.Length());
            domainName.SetLength(domainUnits < domainName.Length() ? domainUnits : domainName.Length());
            if (account != nullptr) *account = std::move(name);
            if (domain != nullptr) *domain = std::move(domainName);
            if (kind != nullptr) *kind = use;
            return true;
        }
        code = GetLastErrorCode();
    }
    LogFailure(u"LookupAccountSid failed. %s. Error code = %lu.", code);
    return false;
}

// --- tokens ----------------------------------------------------------------------------------

TOKEN_HANDLE::TOKEN_HANDLE(TOKEN_HANDLE&& other) noexcept : Native(std::exchange(other.Native, nullptr)) {}

TOKEN_HANDLE& TOKEN_HANDLE::operator=(TOKEN_HANDLE&& other) noexcept {
    if (this != &other) {
        Close();
        Native = std::exchange(other.Native, nullptr);
    }
    return *this;
}

bool TOKEN_HANDLE::OpenProcessToken(uint32_t access) {
    Close();
    void* native = nullptr;
    if (!OpenProcessTokenHandle(access, native)) return false;
    Native = native;
    return true;
}

void TOKEN_HANDLE::Close() {
    if (Native != nullptr) CloseTokenHandle(std::exchange(Native, nullptr));
}

bool TOKEN_HANDLE::GetInformation(uint32_t infoClass, BYTE_BUFFER& block) const {
    block.Free();
    const char16_t* const failed = u"TOKEN_HANDLE::GetInformation: GetTokenInformation class = %d failed. %s. Error code = %lu.";
    const int32_t classNumber = static_cast<int32_t>(infoClass);

    // Asked without a buffer, the token says how big the block must be.
    uint32_t size = 0;
    // (A class that fits in no bytes at all would be a broken token: no class is empty.)
    uint32_t code = QueryTokenInformation(Native, infoClass, nullptr, 0, &size) ? ERR_INVALID_DATA : GetLastErrorCode();
    if (code != ERR_INSUFFICIENT_BUFFER) {
        DebugLog(failed, classNumber, GetErrorText(code), code);
        SetLastErrorCode(code);
        return false;
    }
    if (!block.Resize(size)) {
        code = ERR_NOT_ENOUGH_MEMORY;
        DebugLog(failed, classNumber, GetErrorText(code), code);
        SetLastErrorCode(code);
        return false;
    }
    uint32_t returned = 0;
    if (!QueryTokenInformation(Native, infoClass, block.Data(), size, &returned)) {
        code = GetLastErrorCode();
        block.Free();
        DebugLog(failed, classNumber, GetErrorText(code), code);
        SetLastErrorCode(code);
        return false;
    }
    return true;
}

bool GetTokenSessionId(const TOKEN_HANDLE& token, uint32_t& sessionId) {
    uint32_t value = 0;
    uint32_t returned = 0;
    if (!QueryTokenInformation(token.NativeHandle(), TOKEN_CLASS_SESSION_ID, &value, sizeof value, &returned)) {
        const uint32_t code = GetLastErrorCode();
        DebugLog(u"TOKEN_HANDLE::GetInformation: GetTokenInformation class = %d failed. %s. Error code = %lu.",
                 static_cast<int32_t>(TOKEN_CLASS_SESSION_ID), GetErrorText(code), code);
        SetLastErrorCode(code);
        return false;
    }
    sessionId = value;
    return true;
}

bool GetTokenUserSid(const TOKEN_HANDLE& token, SID_PTR& sid) {
    sid.Reset();
    BYTE_BUFFER block;
    if (!token.GetInformation(TOKEN_CLASS_USER, block)) return false;
    if (block.Size() < sizeof(TOKEN_USER_INFO)) {
        LogFailure(u"GetTokenUserSid: The token's user is missing. %s. Error code = %lu.", ERR_INVALID_DATA);
        return false;
    }
    TOKEN_USER_INFO user;
    std::memcpy(&user, block.Data(), sizeof user);
    const uint32_t length = user.Sid != nullptr ? SystemSidLength(user.Sid) : 0;
    if (length == 0) {
        LogFailure(u"GetTokenUserSid: The token's user SID is not valid. %s. Error code = %lu.", SID_NOT_VALID);
        return false;
    }
    void* copy = std::malloc(length);
    if (copy == nullptr) {
        LogFailure(u"GetTokenUserSid: Unable to copy the user SID. %s. Error code = %lu.", ERR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::memcpy(copy, user.Sid, length);
    sid = SID_PTR(copy, FreeCopiedSid);
    return true;
}

bool GetProcessUserAndSession(SID_PTR& user, uint32_t& sessionId) {
    TOKEN_HANDLE token;
    if (!token.OpenProcessToken(TOKEN_RIGHT_ALL)) {
        LogFailure(u"GetProcessUserAndSession: Unable to open the process token. %s. Error code = %lu.",
                   GetLastErrorCode());
        return false;
    }
    const bool haveSession = GetTokenSessionId(token, sessionId);
    const bool haveUser = GetTokenUserSid(token, user);
    return haveSession && haveUser;
}

// --- building SIDs ---------------------------------------------------------------------------

SID_PTR AllocateSid(std::span<const uint32_t> values) {
    const uint32_t* value = values.data();
    const uint32_t* const end = values.data() + values.size();
    if (value == end || *value >= std::size(SID_AUTHORITIES)) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return SID_PTR();
    }
    const uint8_t* authority = SID_AUTHORITIES[*value++];

    uint32_t subAuthorities[SID_BUILD_MAXIMUM_SUB_AUTHORITIES] = {};
    uint8_t count = 0;
    for (;;) {
        if (value == end) {
            SetLastErrorCode(ERR_INVALID_PARAMETER);  // the closing 0 is missing
            return SID_PTR();
        }
        const uint32_t next = *value++;
        if (next == 0) break;
        if (next != SID_SUB_AUTHORITY || value == end || count == SID_BUILD_MAXIMUM_SUB_AUTHORITIES) {
            SetLastErrorCode(ERR_INVALID_PARAMETER);
            return SID_PTR();
        }
        subAuthorities[count++] = *value++;
    }

    void* sid = nullptr;
    if (!AllocateSystemSid(authority, count, subAuthorities, sid)) {
        LogFailure(u"AllocateAndInitializeSid failed. %s. Error code = %lu.", GetLastErrorCode());
        return SID_PTR();
    }
    return SID_PTR(sid, FreeSystemSid);
}

// --- privileges ------------------------------------------------------------------------------

void FREE_TOKEN_PRIVILEGES::operator()(PRIVILEGE_LIST* privileges) const { FreeTokenPrivileges(privileges); }

void FreeTokenPrivileges(PRIVILEGE_LIST* privileges) { std::free(privileges); }

PRIVILEGE_LIST* CreateTokenPrivilegesHelper(uint32_t attributes, std::initializer_list<const char16_t*> names) {
    const uint32_t count = static_cast<uint32_t>(names.size());
    // 16 bytes for one name, 12 more for each further one.
    TOKEN_PRIVILEGES_PTR privileges(static_cast<PRIVILEGE_LIST*>(std::calloc(1, PrivilegeListSize(count > 0 ? count : 1))));
    if (privileges == nullptr) {
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    privileges->Count = count;
    uint32_t index = 0;
    for (const char16_t* name : names) {
        PRIVILEGE_ENTRY& entry = privileges->Privileges[index++];
        if (name == nullptr || !LookupPrivilegeLuid(name, entry.LuidLow, entry.LuidHigh)) {
            const uint32_t code = name == nullptr ? ERR_INVALID_PARAMETER : GetLastErrorCode();
            DebugLog(u"CreateTokenPrivilegesHelper: Unable to lookup privilege \"%s\". %s. Error code = %lu.",
                     name != nullptr ? name : u"", GetErrorText(code), code);
            SetLastErrorCode(code);
            return nullptr;
        }
        entry.Attributes = attributes;
    }
    return privileges.release();
}

uint32_t SetTokenPrivileges(const PRIVILEGE_LIST* privileges, PRIVILEGE_LIST** previous) {
    if (previous != nullptr) *previous = nullptr;
    if (privileges == nullptr) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return ERR_INVALID_PARAMETER;
    }
    TOKEN_HANDLE token;
    if (!token.OpenProcessToken(TOKEN_RIGHT_ADJUST_PRIVILEGES | TOKEN_RIGHT_QUERY)) {
        const uint32_t code = GetLastErrorCode();
        LogFailure(u"SetTokenPrivileges: Unable to open the process token. %s. Error code = %lu.", code);
        return code;
    }

    TOKEN_PRIVILEGES_PTR before;
    uint32_t beforeSize = 0;
    if (previous != nullptr) {
        beforeSize = PrivilegeListSize(privileges->Count > 0 ? privileges->Count : 1);
        before.reset(static_cast<PRIVILEGE_LIST*>(std::calloc(1, beforeSize)));
        if (before == nullptr) {
            SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
            return ERR_NOT_ENOUGH_MEMORY;
        }
    }
    uint32_t returned = 0;
    if (!AdjustTokenPrivilegeList(token.NativeHandle(), privileges, beforeSize, before.get(),
                                  before != nullptr ? &returned : nullptr)) {
        const uint32_t code = GetLastErrorCode();
        LogFailure(u"SetTokenPrivileges: Unable to adjust token privileges.%s. Error code = %lu.", code);
        return code;
    }
    // Success still says whether every privilege was held: 0, or 1300 for some that were not.
    const uint32_t result = GetLastErrorCode();
    if (previous != nullptr) *previous = before.release();
    SetLastErrorCode(result);
    return result;
}

}  // namespace qv
