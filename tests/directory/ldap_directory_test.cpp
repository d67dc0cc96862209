// The look-ups over LDAP against a real Active Directory: the Samba domain controller that
// tests/e2e/samba_dc.sh starts on 127.0.0.50 (its dc.env is named by QV_SAMBA_DC_ENV). Every
// bind here is a secure one except where clear text is turned on on purpose.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "directory/directory_cache.h"
#include "directory/directory_guard.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "tests/directory/directory_test_support.h"
#include "tests/platform/temp_data_root.h"
#include "tests/support/log_capture.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

constexpr char16_t KEY[] = u"SOFTWARE\\Tarnwell Systems\\QuorvaneDirectoryTest";

std::u16string Wide(const std::string& text) {
    STRING wide(text.c_str());
    return std::u16string(wide.Text(), wide.Length());
}

using test::GroupNames;

class LdapDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        Dc = test::ReadDcEnvironment(getenv("QV_SAMBA_DC_ENV"));
        if (Dc.empty()) GTEST_SKIP() << "the Samba domain controller is not running (see tests/e2e/samba_dc.sh)";
        ASSERT_TRUE(Root.IsValid());
        ASSERT_EQ(CreateRegistryKey(KEY), 0u);
        ASSERT_EQ(Key.Open(KEY, true), 0u);
        SetDirectorySettingsKey(KEY);
        setenv("KRB5_CONFIG", Dc["QV_DC_KRB5_CONFIG"].c_str(), 1);
        DirectoryCache().Clear();
        ResetDirectoryGuard();
        // The administrator over LDAPS, verified against the domain's CA, unless a test says otherwise.
        Bind(u"LDAPS", Wide("Administrator@" + Dc["QV_DC_DNS_DOMAIN"]), Wide(Dc["QV_DC_ADMIN_PASSWORD"]));
        Set(u"AdGlobalCatalog", Wide(Dc["QV_DC_ADDRESS"]));
    }
    void TearDown() override {
        SetDirectorySettingsKey(nullptr);
        DirectoryCache().Clear();
        ResetDirectoryGuard();
    }

    void Set(const char16_t* name, const std::u16string& value) {
        ASSERT_TRUE(WriteRegistryString(Key, name, value.c_str()));
        EndDirectoryPause();  // as the service does when its settings change
    }
    void Bind(const char16_t* method, const std::u16string& user, const std::u16string& password) {
        Set(u"AdBindMethod", method);
        Set(u"AdUser", user);
        Set(u"AdPassword", password);
        Set(u"AdCaFile", Wide(Dc["QV_DC_CA_FILE"]));
    }

    std::string Dn(const std::string& name) { return "CN=" + name + ",OU=Quorvane Test," + Dc["QV_DC_BASE_DN"]; }
    std::string Netbios(const std::string& name) { return Dc["QV_DC_NETBIOS"] + "\\" + name; }

    STRING Translate(uint32_t from, const std::string& name, uint32_t to) {
        STRING result;
        EXPECT_TRUE(TranslateName(from, Wide(name).c_str(), to, Binding, result)) << name;
        return result;
    }
    GROUP_LIST Groups(const std::string& user) {
        GROUP_LIST groups;
        EXPECT_TRUE(GetUserGroups(Wide(Netbios(user)).c_str(), groups, Binding)) << user;
        return groups;
    }
    size_t Count(const std::string& text) { return Log.LinesWith(text).size(); }

    std::map<std::string, std::string> Dc;
    test::TEMP_DATA_ROOT Root{"directory"};
    REGISTRY_KEY Key;
    DIRECTORY_BINDING Binding;  // the global catalog
    test::LOG_CAPTURE Log{0x2 | 0x100 | 0x200};
};

TEST_F(LdapDirectoryTest, NamesTranslateBothWaysAsActiveDirectoryDoesIt) {
    EXPECT_EQ(Utf8(Translate(ADS_NAME_TYPE_NT4, Netbios("alice"), ADS_NAME_TYPE_1779)), Dn("alice"));
    EXPECT_EQ(Utf8(Translate(ADS_NAME_TYPE_1779, Dn("alice"), ADS_NAME_TYPE_NT4)), Netbios("alice"));
    // Kerberos names: the user's and the computer account's, with the DNS domain in any case.
    EXPECT_EQ(Utf8(Translate(ADS_NAME_TYPE_DOMAIN_SIMPLE, "alice@" + Dc["QV_DC_REALM"], ADS_NAME_TYPE_NT4)),
              Netbios("alice"));
    STRING computer;
    EXPECT_TRUE(DomainNameToNtName(Wide("PC7$@" + Dc["QV_DC_DNS_DOMAIN"]).c_str(), Binding, computer));
    EXPECT_EQ(Utf8(computer), Netbios("PC7$"));
    // SID to DN, the way the primary group is found.
    STRING sid = Translate(ADS_NAME_TYPE_NT4, Netbios("bob"), ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME);
    EXPECT_EQ(Utf8(sid).rfind("S-1-5-21-", 0), 0u);
    EXPECT_EQ(Utf8(Translate(ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME, Utf8(sid), ADS_NAME_TYPE_1779)), Dn("bob"));
    // The domain by its DNS name: its NetBIOS name, which is not the DNS name's first label.
    STRING netbios;
    EXPECT_TRUE(DomainNetbiosName(Wide(Dc["QV_DC_REALM"]).c_str(), Binding, netbios));
    EXPECT_EQ(Utf8(netbios), Dc["QV_DC_NETBIOS"]);

    // A computer account and a DN with "/" in it, with their OU paths.
    STRING dn;
    EXPECT_TRUE(NtNameToDn(Wide(Netbios("pc7$")).c_str(), Binding, dn));
    EXPECT_EQ(Utf8(GetOuPath(dn.Text())), "Desks.Quorvane Test");
    EXPECT_TRUE(NtNameToDn(Wide(Netbios("dave")).c_str(), Binding, dn));
    EXPECT_EQ(Utf8(dn), "CN=dave,OU=Branch/East,OU=Quorvane Test," + Dc["QV_DC_BASE_DN"]);
    EXPECT_EQ(Utf8(GetOuPath(dn.Text())), "Branch/East.Quorvane Test");

    EXPECT_FALSE(NtNameToDn(Wide(Netbios("nobody")).c_str(), Binding, dn));
    EXPECT_EQ(Count("    Name translation: Could not find the name or insufficient right to see name. Error code = "
                    "0x80072116."),
              1u);
}

TEST_F(LdapDirectoryTest, GroupsAreWalkedAsTheDirectoryHoldsThem) {
    // Nested groups and a cycle (Staff and Everyone Else are in each other).
    // (Domain Users is itself in the built-in Users group, which BUILTIN names, as the directory does.)
    EXPECT_EQ(GroupNames(Groups("alice")), (std::vector<std::string>{Netbios("Domain Users"), "BUILTIN\\Users", Netbios("Sales"),
                                                                Netbios("Staff"), Netbios("Everyone Else")}));
    EXPECT_EQ(Count("AddGroup: \"" + Dn("Staff") + "\" already in list; ignoring"), 1u);
    // No memberOf at all: the primary group alone.
    EXPECT_EQ(GroupNames(Groups("bob")), (std::vector<std::string>{Netbios("Domain Users"), "BUILTIN\\Users"}));
    // The primary group comes round again through memberOf: once, at the front.
    std::vector<std::string> carol = GroupNames(Groups("carol"));
    ASSERT_EQ(carol.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(carol.begin(), carol.begin() + 3),
              (std::vector<std::string>{Netbios("Sales"), Netbios("Staff"), Netbios("Everyone Else")}));
    std::sort(carol.begin() + 3, carol.end());
    EXPECT_EQ(std::vector<std::string>(carol.begin() + 3, carol.end()),
              (std::vector<std::string>{"BUILTIN\\Users", Netbios("Domain Users"), Netbios("Managers")}));
    EXPECT_EQ(Count("AddGroup: \"" + Dn("Sales") + "\" already in list; ignoring"), 1u);
    // A user whose DN holds a "/" is opened through the escaped path.
    std::vector<std::string> dave = GroupNames(Groups("dave"));
    EXPECT_EQ(dave.size(), 6u);
    // A named server answers as the global catalog does.
    Binding.SetServer(Wide(Dc["QV_DC_ADDRESS"]).c_str());
    EXPECT_EQ(GroupNames(Groups("alice")).size(), 5u);
}

TEST_F(LdapDirectoryTest, SecureBindsWorkAndTheServerCertificateIsVerified) {
    STRING dn;
    // GSSAPI with the domain controller's own machine account from its keytab.
    Set(u"AdBindMethod", u"GSSAPI");
    Set(u"AdKeytab", Wide(Dc["QV_DC_KEYTAB"]));
    Set(u"AdUser", Wide(Dc["QV_DC_MACHINE_ACCOUNT"]));
    EXPECT_TRUE(NtNameToDn(Wide(Netbios("alice")).c_str(), Binding, dn));
    // A simple bind after StartTLS.
    DirectoryCache().Clear();
    Bind(u"StartTLS", Wide(Netbios("alice")), Wide(Dc["QV_DC_USER_PASSWORD"]));
    EXPECT_TRUE(NtNameToDn(Wide(Netbios("bob")).c_str(), Binding, dn));
    // A CA that did not sign the server's certificate: no connection, however right the password.
    DirectoryCache().Clear();
    Set(u"AdCaFile", Wide(Dc["QV_DC_KRB5_CONFIG"]));
    EXPECT_FALSE(NtNameToDn(Wide(Netbios("bob")).c_str(), Binding, dn));
    EXPECT_EQ(Count("    Unable to initialize IADsNameTranslate."), 1u);
    // A wrong password.
    Bind(u"LDAPS", Wide(Netbios("alice")), u"wrong");
    EXPECT_FALSE(NtNameToDn(Wide(Netbios("bob")).c_str(), Binding, dn));
    EXPECT_EQ(Count("    The user name or password is incorrect. Error code = 0x8007052e."), 2u);  // and the pause
    // Clear text only when asked for.
    Bind(u"Plain", Wide(Netbios("alice")), Wide(Dc["QV_DC_USER_PASSWORD"]));
    EXPECT_TRUE(NtNameToDn(Wide(Netbios("bob")).c_str(), Binding, dn));
}

TEST_F(LdapDirectoryTest, AnUnreachableDirectoryGivesThePartsFailureLines) {
    Binding.SetServer(u"127.0.0.50:1");
    STRING dn;
    EXPECT_FALSE(NtNameToDn(Wide(Netbios("alice")).c_str(), Binding, dn));
    EXPECT_EQ(Count("NT name = \"" + Netbios("alice") + "\"."), 1u);
    EXPECT_EQ(Count("    Unable to initialize IADsNameTranslate."), 1u);
    // The failure and the pause of look-ups it starts both say why.
    EXPECT_EQ(Count("    The server is not operational. Error code = 0x8007203a."), 2u);
    EXPECT_EQ(Count("Directory look-ups pause for 30 seconds"), 1u);
    // What follows fails at once, without a line of its own.
    EXPECT_FALSE(OpenObject(u"User", Wide(Dn("alice")).c_str(), Binding));
    EXPECT_EQ(Count("ADsOpenObject failed:"), 0u);
    // Once the pause is over, the directory is tried again and its failure told again.
    EndDirectoryPause();
    EXPECT_FALSE(OpenObject(u"User", Wide(Dn("alice")).c_str(), Binding));
    EXPECT_EQ(Count("ADsOpenObject failed:"), 1u);
    EXPECT_EQ(Count("Directory look-ups pause for 60 seconds"), 1u);
}

TEST_F(LdapDirectoryTest, ARepeatLookUpOfAKnownUserCostsNoRoundTrip) {
    auto report = [&] {
        STRING dn, computer;
        NtNameToDn(Wide(Netbios("alice")).c_str(), Binding, dn);
        NtNameToDn(Wide(Netbios("PC7$")).c_str(), Binding, computer);
        return Groups("alice");
    };
    uint64_t start = DirectoryRoundTrips();
    GROUP_LIST cold = report();
    uint64_t coldTrips = DirectoryRoundTrips() - start;
    GROUP_LIST warm = report();
    EXPECT_GT(coldTrips, 0u);
    EXPECT_EQ(DirectoryRoundTrips() - start, coldTrips);
    EXPECT_EQ(GroupNames(warm), GroupNames(cold));
}

}  // namespace
}  // namespace qv

#endif
