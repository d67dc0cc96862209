// The administrator's filters on their own: account names in their three forms with
// wildcards, address ranges of both families with IPv4-mapped addresses, and entries that
// cannot be read, which are refused one by one and never widen or empty a list.
#include "eventlog/logon_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/format.h"
#include "tests/test_text.h"

namespace qv {
namespace {

using test::Utf8;

std::vector<STRING> Entries(std::initializer_list<const char16_t*> texts) {
    std::vector<STRING> entries;
    for (const char16_t* text : texts) entries.emplace_back(text);
    return entries;
}

// The entry that matched, or "" for none.
std::string Matched(const ACCOUNT_PATTERNS& patterns, const char16_t* domain, const char16_t* name,
                    const char16_t* otherDomain = nullptr) {
    const STRING* entry = patterns.Match(ACCOUNT_FORMS(domain, name, otherDomain));
    return entry != nullptr ? Utf8(*entry) : "";
}

std::string Matched(const NETWORK_RANGES& ranges, const char16_t* address) {
    PARSED_ADDRESS parsed;
    EXPECT_TRUE(ParseAddressText(address, TextLength(address), parsed)) << Utf8(STRING(address));
    const STRING* entry = ranges.Match(parsed);
    return entry != nullptr ? Utf8(*entry) : "";
}

TEST(AccountPatternsTest, EntriesMatchTheAccountInAnyOfItsFormsWithoutCaseAndWithWildcards) {
    ACCOUNT_PATTERNS patterns;
    STRING problem;
    for (const char16_t* entry : {u"svc_*", u"CORP\\backup*", u"*\\scanner", u"Alice@corp.example.test", u"bob",
                                  u"j?hn", u"svc_monitor", u"3B\\lgrove", u"*adm*in*"}) {
        EXPECT_TRUE(patterns.Add(STRING(entry), problem)) << Utf8(problem);
    }
    EXPECT_EQ(patterns.Count(), 9u);
    EXPECT_EQ(patterns.PatternCount(), 5u);

    EXPECT_EQ(Matched(patterns, u"CORP", u"svc_backup"), "svc_*");  // the name alone
    EXPECT_EQ(Matched(patterns, u"CORP", u"SVC_"), "svc_*");
    EXPECT_EQ(Matched(patterns, u"CORP", u"svc"), "");
    EXPECT_EQ(Matched(patterns, u"CORP", u"xsvc_a"), "");
    EXPECT_EQ(Matched(patterns, u"CORP", u"svc_monitor"), "svc_monitor");  // an exact name before a pattern
    EXPECT_EQ(Matched(patterns, u"corp", u"Backup01"), "CORP\\backup*");    // DOMAIN\name
    EXPECT_EQ(Matched(patterns, u"OTHER", u"backup01"), "");
    EXPECT_EQ(Matched(patterns, u"LAB", u"SCANNER"), "*\\scanner");
    EXPECT_EQ(Matched(patterns, u"LAB", u"scanner2"), "");
    EXPECT_EQ(Matched(patterns, u"CORP.EXAMPLE.TEST", u"alice"), "Alice@corp.example.test");  // name@domain
    EXPECT_EQ(Matched(patterns, u"CORP", u"alice"), "");
    EXPECT_EQ(Matched(patterns, u"ANY", u"BOB"), "bob");
    EXPECT_EQ(Matched(patterns, u"CORP", u"john"), "j?hn");
    EXPECT_EQ(Matched(patterns, u"CORP", u"jooohn"), "");
    EXPECT_EQ(Matched(patterns, u"CORP", u"sysadmin01"), "*adm*in*");
    // A Kerberos logon names the DNS domain; the entry names the NetBIOS one the report uses.
    EXPECT_EQ(Matched(patterns, u"THREEBEESCO.COM", u"lgrove"), "");
    EXPECT_EQ(Matched(patterns, u"THREEBEESCO.COM", u"lgrove", u"3B"), "3B\\lgrove");
    // Going back over many stars stays quick and right.
    EXPECT_TRUE(WildcardMatch(u"*A*A*A*A*A*B", 12, u"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAB", 42));
    EXPECT_FALSE(WildcardMatch(u"*A*A*A*A*A*B", 12, u"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", 42));
}

TEST(AccountPatternsTest, ThousandsOfNamesAreEachFoundOnceAndRepeatsKeepTheirFirstEntry) {
    ACCOUNT_PATTERNS patterns;
    STRING problem;
    for (uint32_t i = 0; i < 5000; ++i) ASSERT_TRUE(patterns.Add(Format(u"CORP\\svc%05lu", i), problem));
    ASSERT_TRUE(patterns.Add(STRING(u"corp\\SVC00007"), problem));
    for (uint32_t i = 0; i < 5000; ++i) {
        const STRING name = Format(u"svc%05lu", i);
        ASSERT_EQ(Matched(patterns, u"corp", name.Text()), "CORP\\" + Utf8(name));
    }
    EXPECT_EQ(Matched(patterns, u"CORP", u"svc05000"), "");
    EXPECT_EQ(Matched(patterns, u"OTHER", u"svc00001"), "");
}

TEST(AccountPatternsTest, AnEntryThatCanNameNoAccountIsRefusedWithItsReason) {
    const struct {
        const char16_t* Entry;
        const char* Reason;
    } CASES[] = {
        {u"   ", "it is empty"},
        {u"svc/backup", "no account name holds the character /"},
        {u"a,b", "no account name holds the character ,"},
        {u"CORP\\", "a domain and a name go on either side of the \\"},
        {u"\\alice", "a domain and a name go on either side of the \\"},
        {u"alice@", "a name and a domain go on either side of the @"},
        {u"A\\B\\c", "it names more than one domain (one \\ or one @ at most)"},
        {u"CORP\\a@b", "it names more than one domain (one \\ or one @ at most)"},
        {u"tab\there", "it holds a control character"},
    };
    ACCOUNT_PATTERNS patterns;
    for (const auto& item : CASES) {
        STRING problem;
        EXPECT_FALSE(patterns.Add(STRING(item.Entry), problem)) << item.Reason;
        EXPECT_EQ(Utf8(problem), item.Reason);
    }
    STRING problem;
    EXPECT_FALSE(patterns.Add(STRING(std::u16string(1025, u'a').c_str()), problem));
    EXPECT_EQ(Utf8(problem), "it is longer than 1024 characters");
    EXPECT_TRUE(patterns.IsEmpty());
    EXPECT_TRUE(patterns.Add(STRING(u"  svc_a  "), problem));  // blanks around an entry are not part of it
    EXPECT_EQ(Matched(patterns, u"CORP", u"svc_a"), "svc_a");
}

TEST(NetworkRangesTest, RangesOfBothFamiliesHoldTheirAddressesAndMappedIpv4IsIpv4) {
    NETWORK_RANGES ranges;
    STRING problem;
    for (const char16_t* entry : {u"10.0.0.0/8", u"10.1.0.0/16", u"192.168.5.7", u"2001:db8::/32", u"fe80::1",
                                  u"::ffff:172.16.0.0/108", u"0.0.0.0/32", u"2001:db8:1::/48"}) {
        EXPECT_TRUE(ranges.Add(STRING(entry), problem)) << Utf8(STRING(entry)) << ": " << Utf8(problem);
    }
    ranges.Seal();
    EXPECT_EQ(Matched(ranges, u"10.200.1.1"), "10.0.0.0/8");
    EXPECT_EQ(Matched(ranges, u"10.1.2.3"), "10.1.0.0/16");  // the most specific range
    EXPECT_EQ(Matched(ranges, u"10.2.0.0"), "10.0.0.0/8");   // after a nested range, its parent
    EXPECT_EQ(Matched(ranges, u"11.0.0.0"), "");
    EXPECT_EQ(Matched(ranges, u"9.255.255.255"), "");
    EXPECT_EQ(Matched(ranges, u"192.168.5.7"), "192.168.5.7");  // a bare address is one host
    EXPECT_EQ(Matched(ranges, u"192.168.5.8"), "");
    EXPECT_EQ(Matched(ranges, u"::ffff:10.1.1.5"), "10.1.0.0/16");  // mapped IPv6 is its IPv4
    EXPECT_EQ(Matched(ranges, u"172.16.200.9"), "::ffff:172.16.0.0/108");
    EXPECT_EQ(Matched(ranges, u"172.32.0.1"), "");
    EXPECT_EQ(Matched(ranges, u"2001:DB8:ffff::1"), "2001:db8::/32");
    EXPECT_EQ(Matched(ranges, u"2001:db8:1:2::3"), "2001:db8:1::/48");
    EXPECT_EQ(Matched(ranges, u"2001:db9::1"), "");
    EXPECT_EQ(Matched(ranges, u"fe80::1"), "fe80::1");
    EXPECT_EQ(Matched(ranges, u"fe80::2"), "");
    EXPECT_EQ(Matched(ranges, u"0.0.0.0"), "0.0.0.0/32");
    EXPECT_EQ(Matched(ranges, u"::"), "");  // IPv6 is not IPv4's zero

    // The handler's own addresses, as the socket layer parsed them.
    IP_ADDRESS logon;
    ASSERT_TRUE(IpAddressFromText(logon, u"::ffff:10.1.200.1"));
    PARSED_ADDRESS parsed;
    ASSERT_TRUE(AddressOfLogon(logon, parsed));
    EXPECT_EQ(parsed.Version, 4u);
    EXPECT_EQ(Utf8(*ranges.Match(parsed)), "10.1.0.0/16");
}

TEST(NetworkRangesTest, AnEntryThatIsNoRangeIsRefusedWithItsReason) {
    const struct {
        const char16_t* Entry;
        const char* Reason;
    } CASES[] = {
        {u"", "it is empty"},
        {u"10.0.0/8", "it is no IPv4 address (four numbers from 0 to 255)"},
        {u"10.0.0.256", "it is no IPv4 address (four numbers from 0 to 255)"},
        {u"010.0.0.1", "it is no IPv4 address (four numbers from 0 to 255)"},
        {u"pc7.corp", "it is no IPv4 address (four numbers from 0 to 255)"},
        {u"2001:db8:::/32", "it is no IPv6 address"},
        {u"fe80::1%eth0", "it is no IPv6 address"},
        {u"1:2:3:4:5:6:7:8:9", "it is no IPv6 address"},
        {u"10.0.0.0/33", "the prefix length after / must be a number from 0 to 32"},
        {u"10.0.0.0/", "the prefix length after / must be a number from 0 to 32"},
        {u"10.0.0.0/-8", "the prefix length after / must be a number from 0 to 32"},
        {u"2001:db8::/129", "the prefix length after / must be a number from 0 to 128"},
        {u"10.1.1.5/8", "the address has bits set past its first 8; a range starts at its network's address"},
        {u"2001:db8::1/32", "the address has bits set past its first 32; a range starts at its network's address"},
    };
    NETWORK_RANGES ranges;
    for (const auto& item : CASES) {
        STRING problem;
        EXPECT_FALSE(ranges.Add(STRING(item.Entry), problem)) << Utf8(STRING(item.Entry));
        EXPECT_EQ(Utf8(problem), item.Reason) << Utf8(STRING(item.Entry));
    }
    EXPECT_TRUE(ranges.IsEmpty());
}

TEST(LogonFilterTest, ExcludedAddressesThenIncludedOnesThenAccountsAndBadEntriesAreLeftOut) {
    FILTER_LISTS lists;
    lists.IgnoreUsers = Entries({u"svc_*", u"bad/name"});
    lists.IncludeNetworks = Entries({u"10.0.0.0/8", u"2001:db8::/32", u"10.0.0.0/99"});
    lists.ExcludeNetworks = Entries({u"10.9.0.0/16"});
    std::vector<FILTER_PROBLEM> problems;
    const LOGON_FILTER filter(lists, problems);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].List, IGNORE_USERS);
    EXPECT_EQ(Utf8(problems[0].Entry), "bad/name");
    EXPECT_EQ(problems[1].List, INCLUDE_NETWORKS);
    EXPECT_EQ(Utf8(problems[1].Entry), "10.0.0.0/99");

    auto decide = [&](const char16_t* name, const char16_t* address) {
        IP_ADDRESS parsed;
        EXPECT_TRUE(IpAddressFromText(parsed, address));
        PASS_OVER why;
        if (!filter.PassesOver({u"CORP", name, nullptr, &parsed}, why)) return std::string("reported");
        return Utf8(STRING(why.List)) + (why.Entry != nullptr ? " " + Utf8(*why.Entry) : "");
    };
    EXPECT_EQ(decide(u"alice", u"10.1.1.5"), "reported");
    EXPECT_EQ(decide(u"alice", u"2001:db8::5"), "reported");
    EXPECT_EQ(decide(u"alice", u"10.9.1.5"), "ExcludeNetworks 10.9.0.0/16");
    EXPECT_EQ(decide(u"svc_backup", u"10.9.1.5"), "ExcludeNetworks 10.9.0.0/16");
    EXPECT_EQ(decide(u"alice", u"192.168.1.5"), "IncludeNetworks");
    EXPECT_EQ(decide(u"alice", u"::ffff:192.168.1.5"), "IncludeNetworks");
    EXPECT_EQ(decide(u"svc_backup", u"10.1.1.5"), "IgnoreUsers svc_*");

    // An include list whose every entry is malformed restricts nothing.
    lists = FILTER_LISTS();
    lists.IncludeNetworks = Entries({u"10.0.0.0/99"});
    problems.clear();
    const LOGON_FILTER unusable(lists, problems);
    EXPECT_EQ(problems.size(), 1u);
    EXPECT_TRUE(unusable.IsEmpty());
}

}  // namespace
}  // namespace qv
