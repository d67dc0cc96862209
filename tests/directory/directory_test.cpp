// The look-ups above the directory calls, against a fake directory: paths and bind flags,
// the translator's initialisation, every failure line, the group walk's order and result,
// OU paths, error texts, and the cache's invisibility.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/directory_cache.h"
#include "directory/directory_guard.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "tests/directory/directory_test_support.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

constexpr uint32_t LOG_AD_VERBOSE = 0x2 | 0x100 | 0x200;
const std::u16string OU = u"OU=Test,DC=corp,DC=example";

std::u16string Dn(const std::u16string& name) { return u"CN=" + name + u"," + OU; }

using test::GroupNames;

class DirectoryTest : public ::testing::Test {
protected:
    // alice: primary group Domain Users; memberOf Sales (in Staff, in Everyone, in Staff: a
    // cycle) and Staff again.
    void AddAliceAndGroups() {
        Directory.AddGroup(u"CORP\\Domain Users", Dn(u"Domain Users"), 513, {});
        Directory.AddGroup(u"CORP\\Sales", Dn(u"Sales"), 1101, {Dn(u"Staff")});
        Directory.AddGroup(u"CORP\\Staff", Dn(u"Staff"), 1102, {Dn(u"Everyone")});
        Directory.AddGroup(u"CORP\\Everyone", Dn(u"Everyone"), 1103, {Dn(u"Staff")});
        Directory.AddUser(u"CORP\\alice", Dn(u"alice"), 1104, 513, {Dn(u"Sales"), Dn(u"STAFF").c_str()});
    }

    size_t Count(const std::string& text) { return Log.LinesWith(text).size(); }

    test::LOG_CAPTURE Log{LOG_AD_VERBOSE};
    test::FAKE_DIRECTORY_ACCESS Directory;
    DIRECTORY_BINDING GlobalCatalog;
};

TEST_F(DirectoryTest, BindingsChooseTheServerAndKeepCredentialsOnlyAsAPair) {
    DIRECTORY_BINDING binding;
    EXPECT_EQ(binding.InitType, ADS_NAME_INITTYPE_GC);
    binding.SetServer(u"dc1", u"CORP\\svc", u"secret");
    EXPECT_EQ(binding.InitType, ADS_NAME_INITTYPE_SERVER);
    binding.SetServer(u"dc2", u"CORP\\other");
    EXPECT_EQ(Utf8(binding.Server), "dc2");
    EXPECT_EQ(Utf8(binding.User), "CORP\\svc");
    EXPECT_EQ(Utf8(binding.Password), "secret");
}

TEST_F(DirectoryTest, PathsAndBindFlagsFollowTheBindingAndEscapeSlashes) {
    Directory.AddAccount(u"CORP\\dave", u"CN=dave,OU=Branch/East,DC=corp", 1105);
    EXPECT_TRUE(OpenObject(u"User", u"CN=dave,OU=Branch/East,DC=corp", GlobalCatalog));
    DIRECTORY_BINDING server;
    server.SetServer(u"dc1");
    EXPECT_TRUE(OpenObject(u"User", u"CN=dave,OU=Branch/East,DC=corp", server));
    DIRECTORY_BINDING withAccount;
    withAccount.SetServer(u"dc1", u"CORP\\svc", u"secret");
    DirectoryCache().Clear();
    EXPECT_TRUE(OpenObject(u"User", u"CN=dave,OU=Branch/East,DC=corp", withAccount));

    ASSERT_EQ(Directory.Opened.size(), 3u);
    EXPECT_EQ(Utf8(Directory.Opened[0].Path.c_str()), "LDAP://CN=dave,OU=Branch\\/East,DC=corp");
    EXPECT_EQ(Directory.Opened[0].Flags, 0x1u);
    EXPECT_FALSE(Directory.Opened[0].WithCredentials);
    EXPECT_EQ(Utf8(Directory.Opened[1].Path.c_str()), "LDAP://dc1/CN=dave,OU=Branch\\/East,DC=corp");
    EXPECT_EQ(Directory.Opened[1].Flags, 0x201u);
    EXPECT_TRUE(Directory.Opened[2].WithCredentials);
}

TEST_F(DirectoryTest, AnObjectThatCannotBeOpenedShowsItsDnAndTheEscapedFormWhenThereIsOne) {
    EXPECT_FALSE(OpenObject(u"Group", u"CN=gone,DC=corp", GlobalCatalog));
    EXPECT_FALSE(OpenObject(u"User", u"CN=a/b,DC=corp", GlobalCatalog));
    EXPECT_EQ(Count("ADsOpenObject failed:"), 2u);
    EXPECT_EQ(Count("    Group DN = \"CN=gone,DC=corp\""), 1u);
    EXPECT_EQ(Count("    User DN = \"CN=a/b,DC=corp\""), 1u);
    EXPECT_EQ(Count("    User DN escaped = \"CN=a\\/b,DC=corp\""), 1u);
    // The system's text for the code, then the code (Wine's texts differ from Windows').
    EXPECT_EQ(Count(Utf8(AdsErrorText(0x80072030)) + ". Error code = 0x80072030."), 2u);
}

TEST_F(DirectoryTest, TranslationInitialisesAsTheBindingSaysAndLogsOnlyWhenVerbose) {
    Directory.AddName(ADS_NAME_TYPE_NT4, u"CORP\\alice", ADS_NAME_TYPE_1779, Dn(u"alice"));
    STRING dn;
    EXPECT_TRUE(NtNameToDn(u"CORP\\alice", GlobalCatalog, dn));
    EXPECT_EQ(Utf8(dn), "CN=alice,OU=Test,DC=corp,DC=example");
    EXPECT_EQ(Count("Translated NT name \"CORP\\alice\" to Distinguished name \"CN=alice,OU=Test,DC=corp,DC=example\""), 1u);

    DIRECTORY_BINDING server;
    server.SetServer(u"dc1");
    EXPECT_TRUE(NtNameToDn(u"CORP\\alice", server, dn));
    DIRECTORY_BINDING withAccount;
    withAccount.SetServer(u"dc1", u"CORP\\svc", u"secret");
    EXPECT_TRUE(NtNameToDn(u"CORP\\alice", withAccount, dn));
    ASSERT_EQ(Directory.Inits.size(), 3u);
    EXPECT_EQ(Directory.Inits[0].InitType, 3u);
    EXPECT_TRUE(Directory.Inits[0].Path.empty());
    EXPECT_EQ(Directory.Inits[1].InitType, 2u);
    EXPECT_EQ(Utf8(Directory.Inits[1].Path.c_str()), "dc1");
    EXPECT_FALSE(Directory.Inits[1].Extended);
    EXPECT_TRUE(Directory.Inits[2].Extended);
    EXPECT_EQ(Utf8(Directory.Inits[2].User.c_str()), "svc");
    EXPECT_EQ(Utf8(Directory.Inits[2].Domain.c_str()), "CORP");
    EXPECT_EQ(Utf8(Directory.Inits[2].Password.c_str()), "secret");

    SetDebugOutputMode(0x2 | 0x200);
    DirectoryCache().Clear();
    EXPECT_TRUE(NtNameToDn(u"CORP\\alice", GlobalCatalog, dn));
    EXPECT_EQ(Count("Translated NT name"), 3u);  // the three above, none more
}

TEST_F(DirectoryTest, EachTranslationStepHasItsFailureLineAndCode) {
    struct CASE {
        uint32_t test::FAKE_DIRECTORY_ACCESS::*Failure;
        uint32_t Code;
        const char* Line;
        const char* Detail;
    } cases[] = {
        {&test::FAKE_DIRECTORY_ACCESS::CreateFailure, 0x80040154, "Domain name = \"bob@corp.example\".",
         "    Unable to create IADsNameTranslate object."},
        {&test::FAKE_DIRECTORY_ACCESS::InitFailure, 0x8007203A, "Domain name = \"bob@corp.example\".",
         "    Unable to initialize IADsNameTranslate."},
        {&test::FAKE_DIRECTORY_ACCESS::SetFailure, 0x80072116, "IADsNameTranslate::Set failed.",
         "    Domain name = \"bob@corp.example\"."},
        {&test::FAKE_DIRECTORY_ACCESS::GetFailure, 0x80005008, "IADsNameTranslate::Get failed.",
         "    Bad parameter. Error code = 0x80005008."},
    };
    for (const CASE& item : cases) {
        // Each case asks afresh: neither a remembered answer nor a pause after the last.
        DirectoryCache().Clear();
        ResetDirectoryGuard();
        Directory.*item.Failure = item.Code;
        size_t lines = Count(item.Line), details = Count(item.Detail);
        STRING name(u"left over");
        uint32_t code = 0;
        SetLastErrorCode(0);
        EXPECT_FALSE(TranslateName(ADS_NAME_TYPE_DOMAIN_SIMPLE, u"bob@corp.example", ADS_NAME_TYPE_NT4, GlobalCatalog,
                                   name, &code));
        EXPECT_TRUE(name.IsEmpty());
        EXPECT_EQ(code, item.Code);
        EXPECT_EQ(GetLastErrorCode(), item.Code);
        EXPECT_EQ(Count(item.Line), lines + 1) << item.Line;
        EXPECT_EQ(Count(item.Detail), details + 1) << item.Detail;
        Directory.*item.Failure = 0;
    }
    // The code's own text follows, or the system's when the directory range has none.
    EXPECT_EQ(Count("Error code = 0x80072116."), 1u);
}

TEST_F(DirectoryTest, DirectoryErrorsReadFromTheStringTableThenTheSystem) {
    EXPECT_EQ(Utf8(AdsErrorText(0x80005000)), "Bad pathname");
    EXPECT_EQ(Utf8(AdsErrorText(0x8000500D)), "Property not found");
    EXPECT_EQ(Utf8(AdsErrorText(0x80005010)), "Column not set");
    EXPECT_EQ(Utf8(AdsErrorText(0x80005014)), "Invalid filter");
    EXPECT_EQ(Utf8(AdsErrorText(0x80005011)), "Unknown Active Directory error");
    // Other codes take the system's text, when it has one.
    STRING system = GetErrorText(0x8007203A);
    EXPECT_EQ(Utf8(AdsErrorText(0x8007203A)), system.IsEmpty() ? "Unknown Active Directory error" : Utf8(system));
#if !defined(_WIN32)
    EXPECT_EQ(Utf8(system), "The server is not operational");
#endif
}

TEST_F(DirectoryTest, OuPathsJoinTheOuValuesInDnOrder) {
    EXPECT_EQ(Utf8(GetOuPath(u"CN=Ann,OU=Sales,OU=East,DC=x,DC=y")), "Sales.East");
    EXPECT_EQ(Utf8(GetOuPath(u"CN=Ann,DC=x,DC=y")), "");
    EXPECT_EQ(Utf8(GetOuPath(u"OU=A,DC=x")), "A");
    EXPECT_EQ(Utf8(GetOuPath(u"cn=b,ou=a,dc=x")), "a");
    EXPECT_EQ(Utf8(GetOuPath(u"CN=c,OUX=no,O=no,OU=Branch/East,DC=x")), "Branch/East");
    // An escaped comma belongs to its value.
    EXPECT_EQ(Utf8(GetOuPath(u"CN=Smith\\, Ann,OU=Sales\\, East,DC=x")), "Sales, East");
    // Hex pairs are UTF-8 bytes, alone or beside escaped characters.
    EXPECT_EQ(Utf8(GetOuPath(u"CN=x,OU=Caf\\C3\\A9,OU=\\23top\\,,DC=x")), "Caf\u00e9.#top,");
    EXPECT_EQ(Utf8(GetOuPath(nullptr)), "");
}

TEST_F(DirectoryTest, GroupsComePrimaryFirstThenDepthFirstEachOnce) {
    AddAliceAndGroups();
    GROUP_LIST groups;
    EXPECT_TRUE(GetUserGroups(u"CORP\\alice", groups, GlobalCatalog));
    EXPECT_EQ(GroupNames(groups), (std::vector<std::string>{"CORP\\Domain Users", "CORP\\Sales", "CORP\\Staff", "CORP\\Everyone"}));
    EXPECT_EQ(Utf8(groups[1].Dn), "CN=Sales,OU=Test,DC=corp,DC=example");
    EXPECT_EQ(Count("Getting groups for \"CN=alice,OU=Test,DC=corp,DC=example\""), 1u);
    EXPECT_EQ(Count("GetPrimaryGroup: DN = \"CN=Domain Users,OU=Test,DC=corp,DC=example\"."), 1u);
    // The cycle back to Staff, and Staff again (in other case) from alice's own memberOf.
    EXPECT_EQ(Count("AddGroup: \"CN=Staff,OU=Test,DC=corp,DC=example\" already in list; ignoring"), 1u);
    EXPECT_EQ(Count("AddGroup: \"CN=STAFF,OU=Test,DC=corp,DC=example\" already in list; ignoring"), 1u);
    EXPECT_EQ(Count("    Domain = \"CORP\\Everyone\","), 1u);
}

TEST_F(DirectoryTest, APrimaryGroupAlsoInMemberOfStaysAtTheFrontAndNoMemberOfIsNoFailure) {
    Directory.AddGroup(u"CORP\\Sales", Dn(u"Sales"), 1101, {});
    Directory.AddUser(u"CORP\\carol", Dn(u"carol"), 1106, 1101, {Dn(u"Sales")});
    Directory.AddUser(u"CORP\\bob", Dn(u"bob"), 1107, 1101, {});
    GROUP_LIST groups;
    EXPECT_TRUE(GetUserGroups(u"CORP\\carol", groups, GlobalCatalog));
    EXPECT_EQ(GroupNames(groups), (std::vector<std::string>{"CORP\\Sales"}));
    groups.clear();
    EXPECT_TRUE(GetUserGroups(u"CORP\\bob", groups, GlobalCatalog));
    EXPECT_EQ(GroupNames(groups), (std::vector<std::string>{"CORP\\Sales"}));
}

TEST_F(DirectoryTest, AGroupThatCannotBeOpenedEndsItsArrayAndTheWalkFails) {
    Directory.AddGroup(u"CORP\\Domain Users", Dn(u"Domain Users"), 513, {});
    Directory.AddGroup(u"CORP\\First", Dn(u"First"), 1101, {});
    Directory.AddGroup(u"CORP\\Last", Dn(u"Last"), 1103, {});
    Directory.AddName(ADS_NAME_TYPE_1779, Dn(u"Gone"), ADS_NAME_TYPE_NT4, u"CORP\\Gone");
    Directory.AddUser(u"CORP\\alice", Dn(u"alice"), 1104, 513, {Dn(u"First"), Dn(u"Gone"), Dn(u"Last")});
    GROUP_LIST groups;
    EXPECT_FALSE(GetUserGroups(u"CORP\\alice", groups, GlobalCatalog));
    EXPECT_EQ(GroupNames(groups), (std::vector<std::string>{"CORP\\Domain Users", "CORP\\First", "CORP\\Gone"}));
    EXPECT_EQ(Count("    Group DN = \"CN=Gone,OU=Test,DC=corp,DC=example\""), 1u);
}

TEST_F(DirectoryTest, PropertyFailuresAndOddValuesEndTheirStepWithTheirLine) {
    AddAliceAndGroups();
    auto& alice = Directory.Objects[Dn(u"alice")];
    alice.GetEx[u"memberOf"].Code = 0x80070005;
    alice.Get[u"primaryGroupID"].Code = 0x8000500D;
    GROUP_LIST groups;
    EXPECT_FALSE(GetUserGroups(u"CORP\\alice", groups, GlobalCatalog));
    EXPECT_TRUE(groups.empty());
    EXPECT_EQ(Count("GetPrimaryGroup: Unable to get \"primaryGroupID\" property for \"CN=alice,OU=Test,DC=corp,DC=example\"."), 1u);
    EXPECT_EQ(Count("    Property not found. Error code = 0x8000500d."), 1u);
    EXPECT_EQ(Count("AddObjectGroups: Unable to get \"memberOf\" property for \"CN=alice,OU=Test,DC=corp,DC=example\"."), 1u);
    EXPECT_EQ(Count(Utf8(AdsErrorText(0x80070005)) + ". Error code = 0x80070005."), 1u);

    // A SID that is not a byte array, and memberOf as a number.
    DirectoryCache().Clear();
    alice.Get[u"primaryGroupID"] = {0, {}};
    alice.Get[u"primaryGroupID"].Value.Type = VARIANT_I4;
    alice.Get[u"objectSid"].Value.Type = VARIANT_BSTR;
    alice.GetEx[u"memberOf"] = {0, {}};
    alice.GetEx[u"memberOf"].Value.Type = VARIANT_I4;
    EXPECT_FALSE(GetUserGroups(u"CORP\\alice", groups, GlobalCatalog));
    EXPECT_EQ(Count("AddObjectGroups: Unexpected VARIANT type = 0x8"), 1u);
    EXPECT_EQ(Count("AddObjectGroups: Unexpected VARIANT type = 0x3"), 1u);

    // Bytes that are no SID, and a SID whose group the directory does not know.
    DirectoryCache().Clear();
    alice.Get[u"objectSid"].Value = test::FAKE_DIRECTORY_ACCESS::SidValue(1104);
    alice.Get[u"objectSid"].Value.Bytes.pop_back();
    GetUserGroups(u"CORP\\alice", groups, GlobalCatalog);
    EXPECT_EQ(Count("GetPrimaryGroup: Unable to convert primary group SID to a string."), 1u);
    DirectoryCache().Clear();
    alice.Get[u"objectSid"].Value = test::FAKE_DIRECTORY_ACCESS::SidValue(1104);
    alice.Get[u"primaryGroupID"].Value.Number = 999;
    GetUserGroups(u"CORP\\alice", groups, GlobalCatalog);
    EXPECT_EQ(Count("GetPrimaryGroup: Unable to convert SID \"S-1-5-21-1-2-3-999\" to a DN."), 1u);
    DirectoryCache().Clear();
    alice.Get[u"objectSid"].Value.BytesCode = 0x8000FFFF;
    GetUserGroups(u"CORP\\alice", groups, GlobalCatalog);
    EXPECT_EQ(Count("GetPrimaryGroup: Unable to access \"objectSid\" array data for \"CN=alice,OU=Test,DC=corp,DC=example\"."), 1u);
}

TEST_F(DirectoryTest, TheCacheAnswersRepeatsWithTheSameGroupsAndLinesUntilTheyAge) {
    uint64_t now = 1000;
    DirectoryCache().Configure(60000, 1000, [&now] { return now; });
    AddAliceAndGroups();
    GROUP_LIST first, second;
    EXPECT_TRUE(GetUserGroups(u"CORP\\alice", first, GlobalCatalog));
    int cold = Directory.RoundTrips;
    size_t lines = Log.Lines().size();
    EXPECT_TRUE(GetUserGroups(u"CORP\\alice", second, GlobalCatalog));
    EXPECT_EQ(Directory.RoundTrips, cold);  // a repeat costs nothing
    EXPECT_EQ(GroupNames(second), GroupNames(first));
    EXPECT_EQ(Log.Lines().size(), 2 * lines);  // and writes what the first walk wrote

    // A group change shows once the answers have aged.
    test::FAKE_DIRECTORY_ACCESS::SetMemberOf(Directory.Objects[Dn(u"alice")], {});
    now += 59999;
    second.clear();
    GetUserGroups(u"CORP\\alice", second, GlobalCatalog);
    EXPECT_EQ(second.size(), 4u);
    now += 1;
    second.clear();
    GetUserGroups(u"CORP\\alice", second, GlobalCatalog);
    EXPECT_EQ(GroupNames(second), (std::vector<std::string>{"CORP\\Domain Users"}));

    // A name the directory does not know is asked again only after a minute, and meanwhile
    // fails with the same line; the cache holds no more than its limit.
    STRING dn;
    int before = Directory.RoundTrips;
    EXPECT_FALSE(NtNameToDn(u"CORP\\nobody", GlobalCatalog, dn));
    now += 59999;
    EXPECT_FALSE(NtNameToDn(u"CORP\\nobody", GlobalCatalog, dn));
    EXPECT_EQ(Directory.RoundTrips, before + 1);
    EXPECT_EQ(Count("    NT name = \"CORP\\nobody\"."), 2u);
    now += 1;
    EXPECT_FALSE(NtNameToDn(u"CORP\\nobody", GlobalCatalog, dn));
    EXPECT_EQ(Directory.RoundTrips, before + 2);
    DirectoryCache().Configure(60000, 3, [&now] { return now; });
    Directory.SetFailure = 0;
    GetUserGroups(u"CORP\\alice", second, GlobalCatalog);
    EXPECT_LE(DirectoryCache().Size(), 6u);
    DirectoryCache().Configure(DIRECTORY_CACHE_AGE_MILLISECONDS, DIRECTORY_CACHE_ENTRIES);
}

TEST_F(DirectoryTest, DomainNamesTranslateAndDomainsGiveTheirNetbiosName) {
    Directory.AddName(ADS_NAME_TYPE_DOMAIN_SIMPLE, u"a-jbrown@THREEBEESCO.COM", ADS_NAME_TYPE_NT4, u"3B\\a-jbrown");
    Directory.AddName(ADS_NAME_TYPE_CANONICAL, u"THREEBEESCO.COM/", ADS_NAME_TYPE_NT4, u"3B\\");
    STRING name;
    EXPECT_TRUE(DomainNameToNtName(u"a-jbrown@THREEBEESCO.COM", GlobalCatalog, name));
    EXPECT_EQ(Utf8(name), "3B\\a-jbrown");
    EXPECT_TRUE(DomainNetbiosName(u"THREEBEESCO.COM", GlobalCatalog, name));
    EXPECT_EQ(Utf8(name), "3B");
    EXPECT_FALSE(DomainNetbiosName(u"OTHER.COM", GlobalCatalog, name));
    EXPECT_TRUE(name.IsEmpty());
    EXPECT_EQ(Count("DomainNetbiosName: Unable to find the NetBIOS name of domain \"OTHER.COM\"."), 1u);
}

}  // namespace
}  // namespace qv
