#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "support/debug_log.h"
#include "support/security.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

#if !defined(_WIN32)
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qv {
namespace {

using test::LOG_CAPTURE;
using test::Utf8;

constexpr uint32_t CAPTURE_MODE = DBGOUT_LOG | DBGOUT_NO_TIME_STAMP;

// --- building SIDs ---------------------------------------------------------------------------

TEST(AllocateSidTest, BuildsFromAnAuthorityAndSubAuthorities) {
    struct CASE {
        std::vector<uint32_t> Values;
        const char* Text;
    };
    const CASE cases[] = {
        {{SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 7, 0}, "S-1-5-7"},
        {{SID_AUTHORITY_NULL, SID_SUB_AUTHORITY, 0, 0}, "S-1-0-0"},
        {{SID_AUTHORITY_WORLD, SID_SUB_AUTHORITY, 0, 0}, "S-1-1-0"},
        {{SID_AUTHORITY_LOCAL, SID_SUB_AUTHORITY, 0, 0}, "S-1-2-0"},
        {{SID_AUTHORITY_CREATOR, SID_SUB_AUTHORITY, 1, 0}, "S-1-3-1"},
        {{SID_AUTHORITY_NON_UNIQUE, SID_SUB_AUTHORITY, 1, 0}, "S-1-4-1"},
        {{SID_AUTHORITY_RESOURCE_MANAGER, SID_SUB_AUTHORITY, 1, 0}, "S-1-9-1"},
        {{SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 32, SID_SUB_AUTHORITY, 544, 0}, "S-1-5-32-544"},
        {{5, 0xFFFFFFFF, 21, 0xFFFFFFFF, 1, 0xFFFFFFFF, 2, 0xFFFFFFFF, 3, 0xFFFFFFFF, 4, 0xFFFFFFFF, 5, 0xFFFFFFFF, 6,
          0xFFFFFFFF, 4294967295u, 0},
         "S-1-5-21-1-2-3-4-5-6-4294967295"},
    };
    for (const CASE& c : cases) {
        SID_PTR sid = AllocateSid(c.Values);
        ASSERT_TRUE(sid) << c.Text;
        EXPECT_EQ(Utf8(SidToText(sid.Get())), c.Text);
    }
    // The same through the argument list.
    SID_PTR anonymous = AllocateSid(5, 0xFFFFFFFF, 7, 0);
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(Utf8(SidToText(anonymous.Get())), "S-1-5-7");
}

TEST(AllocateSidTest, ListsThatBreakTheRulesGiveNoSid) {
    const std::vector<std::vector<uint32_t>> broken = {
        {5, 7, 0},                          // a sub-authority without its marker
        {5, SID_SUB_AUTHORITY, 7},          // no closing 0
        {5, SID_SUB_AUTHORITY},             // the marker without a value
        {7, SID_SUB_AUTHORITY, 1, 0},       // no such authority
        {},                                 // nothing at all
        {5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0},  // values without markers
        {5, SID_SUB_AUTHORITY, 1, SID_SUB_AUTHORITY, 2, SID_SUB_AUTHORITY, 3, SID_SUB_AUTHORITY, 4, SID_SUB_AUTHORITY, 5,
         SID_SUB_AUTHORITY, 6, SID_SUB_AUTHORITY, 7, SID_SUB_AUTHORITY, 8, SID_SUB_AUTHORITY, 9, 0},  // nine
    };
    for (const std::vector<uint32_t>& values : broken) {
        SetLastErrorCode(ERR_SUCCESS);
        SID_PTR sid = AllocateSid(values);
        EXPECT_FALSE(sid) << values.size();
        EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER) << values.size();
    }
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(AllocateSid(5, 7, 0));
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_PARAMETER);
}

TEST(AllocateSidTest, OwnershipMoves) {
    SID_PTR first = AllocateSid(1, SID_SUB_AUTHORITY, 0, 0);
    void* sid = first.Get();
    SID_PTR second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.Get(), sid);
    second.Reset();
    EXPECT_FALSE(second);
}

// --- names -----------------------------------------------------------------------------------

TEST(AccountNameTest, TheAnonymousLogon) {
    SID_PTR sid = AllocateSid(SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 7, 0);
    ASSERT_TRUE(sid);
    STRING account(u"stale"), domain(u"stale");
    uint32_t kind = 0;
    ASSERT_TRUE(GetAccountName(sid.Get(), &account, &domain, &kind)) << GetLastErrorCode();
    EXPECT_FALSE(account.IsEmpty());
#if !defined(_WIN32)
    EXPECT_EQ(Utf8(account), "ANONYMOUS LOGON");
    EXPECT_EQ(Utf8(domain), "NT AUTHORITY");
    EXPECT_EQ(kind, SID_KIND_WELL_KNOWN_GROUP);
#endif
    // Every output is optional.
    STRING only;
    EXPECT_TRUE(GetAccountName(sid.Get(), &only));
    EXPECT_EQ(Utf8(only), Utf8(account));
    EXPECT_TRUE(GetAccountName(sid.Get(), nullptr, nullptr, nullptr));
}

TEST(AccountNameTest, WellKnownNames) {
    struct CASE {
        std::vector<uint32_t> Values;
        const char* Domain;
        const char* Account;
    };
    const CASE cases[] = {
        {{SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 18, 0}, "NT AUTHORITY", "SYSTEM"},
        {{SID_AUTHORITY_WORLD, SID_SUB_AUTHORITY, 0, 0}, "", "Everyone"},
        {{SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 32, SID_SUB_AUTHORITY, 544, 0}, "BUILTIN", "Administrators"},
    };
    for (const CASE& c : cases) {
        SID_PTR sid = AllocateSid(c.Values);
        STRING account, domain;
        ASSERT_TRUE(GetAccountName(sid.Get(), &account, &domain)) << c.Account;
        EXPECT_EQ(Utf8(account), c.Account);
        EXPECT_EQ(Utf8(domain), c.Domain);
    }
}

TEST(AccountNameTest, AnUnknownSidHasNoName) {
    LOG_CAPTURE capture(CAPTURE_MODE);
    SID_PTR sid = AllocateSid(5, SID_SUB_AUTHORITY, 21, SID_SUB_AUTHORITY, 1, SID_SUB_AUTHORITY, 2, SID_SUB_AUTHORITY, 3,
                              SID_SUB_AUTHORITY, 424242, 0);
    ASSERT_TRUE(sid);
    STRING account(u"stale"), domain(u"stale");
    EXPECT_FALSE(GetAccountName(sid.Get(), &account, &domain));
    EXPECT_TRUE(account.IsEmpty());
    EXPECT_TRUE(domain.IsEmpty());
    EXPECT_NE(GetLastErrorCode(), ERR_SUCCESS);
    EXPECT_EQ(capture.LinesWith("LookupAccountSid failed. ").size(), 1u);
#if !defined(_WIN32)
    EXPECT_EQ(GetLastErrorCode(), ERR_NONE_MAPPED);
#endif
}

TEST(LsaPolicyTest, LookupsThroughThePolicy) {
    ASSERT_TRUE(OpenLsaPolicy()) << GetLastErrorCode();
    EXPECT_TRUE(OpenLsaPolicy());  // once per process; asking again is harmless

    SID_PTR anonymous = AllocateSid(SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 7, 0);
    STRING domain, account;
    uint32_t kind = 0;
    ASSERT_TRUE(LookupSidName(anonymous.Get(), domain, account, &kind));
    EXPECT_FALSE(account.IsEmpty());
#if !defined(_WIN32)
    EXPECT_EQ(Utf8(account), "ANONYMOUS LOGON");
    EXPECT_EQ(Utf8(domain), "NT AUTHORITY");
    EXPECT_EQ(kind, SID_KIND_WELL_KNOWN_GROUP);
#endif

    SID_PTR unknown = AllocateSid(5, SID_SUB_AUTHORITY, 21, SID_SUB_AUTHORITY, 7, SID_SUB_AUTHORITY, 8, SID_SUB_AUTHORITY, 9,
                                  SID_SUB_AUTHORITY, 31337, 0);
    // A failed lookup empties both names, whatever they held and whichever way it failed
    // (Windows fails the lookup itself, POSIX names the SID unknown).
    STRING unknownDomain(u"stale"), unknownAccount(u"stale");
    EXPECT_FALSE(LookupSidName(unknown.Get(), unknownDomain, unknownAccount, &kind));
    EXPECT_TRUE(unknownDomain.IsEmpty());
    EXPECT_TRUE(unknownAccount.IsEmpty());
}

// --- the process's token ---------------------------------------------------------------------

TEST(TokenTest, TheProcessUserAndSession) {
    SID_PTR user;
    uint32_t session = 0xFFFFFFFF;
    ASSERT_TRUE(GetProcessUserAndSession(user, session)) << GetLastErrorCode();
    ASSERT_TRUE(user);
    EXPECT_NE(session, 0xFFFFFFFFu);

    STRING account, domain;
    uint32_t kind = 0;
    ASSERT_TRUE(GetAccountName(user.Get(), &account, &domain, &kind)) << Utf8(SidToText(user.Get()));
    EXPECT_FALSE(account.IsEmpty());
#if !defined(_WIN32)
    EXPECT_EQ(Utf8(SidToText(user.Get())), "S-1-22-1-" + std::to_string(geteuid()));
    EXPECT_EQ(session, static_cast<uint32_t>(getsid(0)));
    const passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(Utf8(account), entry->pw_name);
    EXPECT_EQ(Utf8(domain), "Unix User");
    EXPECT_EQ(kind, SID_KIND_USER);
#endif
}

TEST(TokenTest, InformationOfTheToken) {
    TOKEN_HANDLE token;
    ASSERT_TRUE(token.OpenProcessToken(TOKEN_RIGHT_QUERY));
    BYTE_BUFFER block;
    ASSERT_TRUE(token.GetInformation(TOKEN_CLASS_USER, block));
    EXPECT_GE(block.Size(), sizeof(TOKEN_USER_INFO) + 8);
    SID_PTR user;
    ASSERT_TRUE(GetTokenUserSid(token, user));
    EXPECT_EQ(Utf8(SidToText(user.Get())).rfind("S-1-", 0), 0u);
    uint32_t session = 0;
    EXPECT_TRUE(GetTokenSessionId(token, session));

    TOKEN_HANDLE moved(std::move(token));
    EXPECT_FALSE(token.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    moved.Close();
    EXPECT_FALSE(moved.IsOpen());
}

TEST(TokenTest, AClassTheTokenCannotGive) {
    LOG_CAPTURE capture(CAPTURE_MODE);
    TOKEN_HANDLE token;
    ASSERT_TRUE(token.OpenProcessToken(TOKEN_RIGHT_QUERY));
    BYTE_BUFFER block;
    ASSERT_TRUE(block.Resize(16));
    EXPECT_FALSE(token.GetInformation(99, block));
    EXPECT_EQ(block.Data(), nullptr);
    EXPECT_NE(GetLastErrorCode(), ERR_SUCCESS);
    const std::vector<std::string> lines =
        capture.LinesWith("TOKEN_HANDLE::GetInformation: GetTokenInformation class = 99 failed. ");
    EXPECT_EQ(lines.size(), 1u);
}

TEST(TokenTest, ATokenOpenedWithoutQueryAccess) {
    TOKEN_HANDLE token;
    ASSERT_TRUE(token.OpenProcessToken(TOKEN_RIGHT_ADJUST_PRIVILEGES));
    LOG_CAPTURE capture(CAPTURE_MODE);
    uint32_t session = 0;
    if (GetTokenSessionId(token, session)) GTEST_SKIP() << "this system does not check the token's access rights";
    EXPECT_EQ(GetLastErrorCode(), ERR_ACCESS_DENIED);
    EXPECT_EQ(capture.LinesWith("GetTokenInformation class = 12 failed. ").size(), 1u);
}

// --- privileges ------------------------------------------------------------------------------

TEST(PrivilegeTest, AListOfNamedPrivileges) {
    TOKEN_PRIVILEGES_PTR privileges(
        CreateTokenPrivilegesHelper(PRIVILEGE_ENABLED, u"SeSecurityPrivilege", u"SeBackupPrivilege"));
    ASSERT_NE(privileges, nullptr);
    ASSERT_EQ(privileges->Count, 2u);
    const PRIVILEGE_ENTRY* entries = privileges->Privileges;
    EXPECT_EQ(entries[0].LuidLow, 8u);
    EXPECT_EQ(entries[0].LuidHigh, 0);
    EXPECT_EQ(entries[0].Attributes, PRIVILEGE_ENABLED);
    EXPECT_EQ(entries[1].LuidLow, 17u);
    EXPECT_EQ(entries[1].Attributes, PRIVILEGE_ENABLED);
}

TEST(PrivilegeTest, AnUnknownNameGivesNoList) {
    LOG_CAPTURE capture(CAPTURE_MODE);
    PRIVILEGE_LIST* privileges = CreateTokenPrivilegesHelper(PRIVILEGE_ENABLED, {u"SeSecurityPrivilege", u"SeNoSuchPrivilege"});
    EXPECT_EQ(privileges, nullptr);
    EXPECT_EQ(GetLastErrorCode(), ERR_NO_SUCH_PRIVILEGE);
    const std::vector<std::string> lines = capture.LinesWith("CreateTokenPrivilegesHelper: ");
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0];
    const size_t start = line.find("CreateTokenPrivilegesHelper: ");
    EXPECT_EQ(line.substr(start).rfind("CreateTokenPrivilegesHelper: Unable to lookup privilege \"SeNoSuchPrivilege\". ", 0),
              0u)
        << line;
    const std::string ending = ". Error code = 1313.";
    ASSERT_GE(line.size(), ending.size());
    EXPECT_EQ(line.substr(line.size() - ending.size()), ending);
}

TEST(PrivilegeTest, TheSecurityPrivilege) {
    TOKEN_PRIVILEGES_PTR enable(CreateTokenPrivilegesHelper(PRIVILEGE_ENABLED, u"SeSecurityPrivilege"));
    ASSERT_NE(enable, nullptr);
    PRIVILEGE_LIST* previous = nullptr;
    const uint32_t result = SetTokenPrivileges(enable.get(), &previous);
    TOKEN_PRIVILEGES_PTR before(previous);
    EXPECT_TRUE(result == ERR_SUCCESS || result == ERR_NOT_ALL_ASSIGNED) << result;
#if !defined(_WIN32)
    if (geteuid() == 0) {
        EXPECT_EQ(result, ERR_SUCCESS);
    }
#endif
    ASSERT_NE(before, nullptr);
    EXPECT_LE(before->Count, 1u);
    // Putting the previous state back.
    EXPECT_EQ(SetTokenPrivileges(before.get()), ERR_SUCCESS);
    EXPECT_EQ(SetTokenPrivileges(enable.get()), result);
}

#if !defined(_WIN32)
// Without root, the security privilege follows whether the event logs can be read. The process
// changes its user, so it runs in a child of its own.
TEST(PrivilegeTest, WithoutRootTheSecurityPrivilegeFollowsTheEventLogs) {
    if (geteuid() != 0) GTEST_SKIP() << "changing to another user needs root";
    std::error_code error;
    const std::filesystem::path root = std::filesystem::temp_directory_path(error) / "quorvane-privilege-test";
    std::filesystem::remove_all(root, error);
    std::filesystem::create_directories(root / "readable" / "eventlog", error);
    std::filesystem::create_directories(root / "closed" / "eventlog", error);
    std::filesystem::create_directories(root / "missing", error);
    ::chmod(root.c_str(), 0755);
    ::chmod((root / "readable").c_str(), 0755);
    ::chmod((root / "readable" / "eventlog").c_str(), 0755);
    ::chmod((root / "closed").c_str(), 0755);
    ::chmod((root / "closed" / "eventlog").c_str(), 0700);
    ::chmod((root / "missing").c_str(), 0755);

    // Each case: the data root, the privilege, and the result expected.
    struct CASE {
        const char* Root;
        const char16_t* Privilege;
        uint32_t Expected;
    };
    const CASE cases[] = {
        {"readable", u"SeSecurityPrivilege", ERR_SUCCESS},
        {"closed", u"SeSecurityPrivilege", ERR_NOT_ALL_ASSIGNED},
        {"missing", u"SeSecurityPrivilege", ERR_SUCCESS},  // no eventlog folder yet: the root decides
        {"readable", u"SeBackupPrivilege", ERR_NOT_ALL_ASSIGNED},
    };
    for (const CASE& c : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::setenv("QUORVANE_DATA_ROOT", (root / c.Root).c_str(), 1);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
            TOKEN_PRIVILEGES_PTR privileges(CreateTokenPrivilegesHelper(PRIVILEGE_ENABLED, c.Privilege));
            if (privileges == nullptr) ::_exit(101);
            const uint32_t result = SetTokenPrivileges(privileges.get());
            ::_exit(result == c.Expected ? 0 : 102);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.Root << " " << Utf8(c.Privilege);
    }
    std::filesystem::remove_all(root, error);
}
#endif

TEST(SidTextTest, WritesTheSystemsForm) {
    SID_PTR sid = AllocateSid(SID_AUTHORITY_NT, SID_SUB_AUTHORITY, 32, SID_SUB_AUTHORITY, 545, 0);
    EXPECT_EQ(Utf8(SidToText(sid.Get())), "S-1-5-32-545");
    const uint8_t broken[8] = {9, 0, 0, 0, 0, 0, 0, 5};
    EXPECT_TRUE(SidToText(broken).IsEmpty());
    EXPECT_TRUE(SidToText(nullptr).IsEmpty());
}

}  // namespace
}  // namespace qv
