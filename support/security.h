// Security helpers: SIDs and their names, the process's token, user and session, and token
// privileges. Every failure is logged in the one failure-message form and leaves its code as the
// thread's last-error value, so a caller that only sees "false" can still ask why. What these
// mean on POSIX is described in platform/security.h.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

#include "base/byte_buffer.h"
#include "base/string.h"
#include "platform/security.h"

namespace qv {

// An owned SID, released the way it was allocated: by the system's SID release for a SID the
// system built (AllocateSid), by free() for a copy (GetTokenUserSid).
class SID_PTR {
public:
    using RELEASE = void (*)(void* sid);

    SID_PTR() = default;
    SID_PTR(void* sid, RELEASE release) : Sid(sid), Release(release) {}
    SID_PTR(const SID_PTR&) = delete;
    SID_PTR& operator=(const SID_PTR&) = delete;
    SID_PTR(SID_PTR&& other) noexcept;
    SID_PTR& operator=(SID_PTR&& other) noexcept;
    ~SID_PTR() { Reset(); }

    void* Get() const { return Sid; }
    explicit operator bool() const { return Sid != nullptr; }
    void Reset();

private:
    void* Sid = nullptr;
    RELEASE Release = nullptr;
};

// "S-1-5-7": the text form of a SID; empty for an invalid one.
STRING SidToText(const void* sid);

// --- the local policy and SID names ---

// Opens the local policy for name lookups once for the process; it stays open for the life of
// the process. False when it can't be opened (logged with the code in hex).
bool OpenLsaPolicy();

// The domain and account names of a SID, through the policy; 'kind', when given, receives what
// the SID names (SID_KIND_*). Without an open policy both names are emptied. An invalid or
// unknown SID empties both and gives false. Names are kept at their exact lengths; a
// translation that names no domain leaves 'domain' as it was.
bool LookupSidName(const void* sid, STRING& domain, STRING& account, uint32_t* kind = nullptr);

// The account and domain names of a SID on the local system (each output optional).
bool GetAccountName(const void* sid, STRING* account, STRING* domain = nullptr, uint32_t* kind = nullptr);

// --- tokens ---

// Owns an access token and closes it when destroyed.
class TOKEN_HANDLE {
public:
    TOKEN_HANDLE() = default;
    explicit TOKEN_HANDLE(void* native) : Native(native) {}
    TOKEN_HANDLE(const TOKEN_HANDLE&) = delete;
    TOKEN_HANDLE& operator=(const TOKEN_HANDLE&) = delete;
    TOKEN_HANDLE(TOKEN_HANDLE&& other) noexcept;
    TOKEN_HANDLE& operator=(TOKEN_HANDLE&& other) noexcept;
    ~TOKEN_HANDLE() { Close(); }

    // Opens the current process's token with the given access (TOKEN_RIGHT_*).
    bool OpenProcessToken(uint32_t access);
    bool IsOpen() const { return Native != nullptr; }
    void* NativeHandle() const { return Native; }
    void Close();

    // One class of token information (TOKEN_CLASS_*), in a heap block of exactly its size.
    // False, with the block freed, when the token can't give it.
    bool GetInformation(uint32_t infoClass, BYTE_BUFFER& block) const;

private:
    void* Native = nullptr;
};

bool GetTokenSessionId(const TOKEN_HANDLE& token, uint32_t& sessionId);
// The token's user SID, copied into a block of exactly its length.
bool GetTokenUserSid(const TOKEN_HANDLE& token, SID_PTR& sid);
// The process's user and session; true only when both were read.
bool GetProcessUserAndSession(SID_PTR& user, uint32_t& sessionId);

// --- building SIDs ---

// Authorities of AllocateSid by index: 0 null (0), 1 world (1), 2 local (2), 3 creator (3),
// 4 non-unique (4), 5 NT (5), 6 resource manager (9).
constexpr uint32_t SID_AUTHORITY_NULL = 0;
constexpr uint32_t SID_AUTHORITY_WORLD = 1;
constexpr uint32_t SID_AUTHORITY_LOCAL = 2;
constexpr uint32_t SID_AUTHORITY_CREATOR = 3;
constexpr uint32_t SID_AUTHORITY_NON_UNIQUE = 4;
constexpr uint32_t SID_AUTHORITY_NT = 5;
constexpr uint32_t SID_AUTHORITY_RESOURCE_MANAGER = 6;
// Marks the next value of AllocateSid's list as a sub-authority.
constexpr uint32_t SID_SUB_AUTHORITY = 0xFFFFFFFF;
constexpr uint32_t SID_BUILD_MAXIMUM_SUB_AUTHORITIES = 8;

// Builds a SID from an authority index, then pairs (SID_SUB_AUTHORITY, value), then 0:
//     AllocateSid({SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 7, 0})   -> S-1-5-7
// At most 8 sub-authorities. A list that does not keep to this (an unknown authority, a value
// other than SID_SUB_AUTHORITY or the closing 0, a missing value) gives no SID and 87.
SID_PTR AllocateSid(std::span<const uint32_t> values);

inline SID_PTR AllocateSid(std::initializer_list<uint32_t> values) {
    return AllocateSid(std::span<const uint32_t>(values.begin(), values.size()));
}

template <typename... VALUES>
    requires(std::integral<VALUES> && ...)
SID_PTR AllocateSid(VALUES... values) {
    return AllocateSid(std::initializer_list<uint32_t>{static_cast<uint32_t>(values)...});
}

// --- privileges ---

struct FREE_TOKEN_PRIVILEGES {
    void operator()(PRIVILEGE_LIST* privileges) const;
};
using TOKEN_PRIVILEGES_PTR = std::unique_ptr<PRIVILEGE_LIST, FREE_TOKEN_PRIVILEGES>;

// A privilege list (the TOKEN_PRIVILEGES layout) of the named privileges, each with the given
// attributes (PRIVILEGE_ENABLED, or 0 to disable). Null when a name is unknown (logged) or the
// block can't be allocated (8). Free it with FreeTokenPrivileges.
PRIVILEGE_LIST* CreateTokenPrivilegesHelper(uint32_t attributes, std::initializer_list<const char16_t*> names);

template <typename... NAMES>
    requires(std::convertible_to<const NAMES&, const char16_t*> && ...)
PRIVILEGE_LIST* CreateTokenPrivilegesHelper(uint32_t attributes, const NAMES&... names) {
    return CreateTokenPrivilegesHelper(attributes, {static_cast<const char16_t*>(names)...});
}

void FreeTokenPrivileges(PRIVILEGE_LIST* privileges);

// Applies a privilege list to the process's token. 0 when every privilege was set, 1300 when
// some are not held by the process, else the error. With 'previous', the state the change
// replaced is returned there (free it with FreeTokenPrivileges); it is null on failure.
uint32_t SetTokenPrivileges(const PRIVILEGE_LIST* privileges, PRIVILEGE_LIST** previous = nullptr);

}  // namespace qv
