#include <gtest/gtest.h>

#include <vector>

#include "tests/test_text.h"
#include "transform/command_line.h"
#include "transform/derived_names.h"

namespace qv {
namespace {

using test::Utf8;

struct WALK {
    ARGUMENTS_VERDICT Verdict;
    SETUPSMITH_ARGUMENTS Given;
    STRING Offender;
};

WALK Walk(std::vector<const char16_t*> arguments) {
    arguments.insert(arguments.begin(), u"Setupsmith");
    WALK walk;
    walk.Verdict = WalkArguments(static_cast<uint32_t>(arguments.size()), arguments.data(), walk.Given, walk.Offender);
    return walk;
}

TEST(SetupsmithCommandLineTest, SwitchesTakeEitherPrefixAndAnyCase) {
    for (const auto& arguments : std::vector<std::vector<const char16_t*>>{
             {u"/I", u"setup.msi", u"/SERVER", u"10.1.1.2"},
             {u"-i", u"setup.msi", u"-server", u"10.1.1.2"},
             {u"-SeRvEr", u"10.1.1.2", u"/i", u"setup.msi"}}) {
        const WALK walk = Walk(arguments);
        EXPECT_EQ(walk.Verdict, ARGUMENTS_VERDICT::RUN);
        EXPECT_EQ(Utf8(walk.Given.Input), "setup.msi");
        EXPECT_EQ(Utf8(walk.Given.Server), "10.1.1.2");
    }
}

TEST(SetupsmithCommandLineTest, ValuesAreTakenAsGivenAndLaterOnesWin) {
    const WALK walk = Walk({u"/SERVER", u"-i", u"/I", u"a.msi", u"/I", u"b.msi"});
    EXPECT_EQ(walk.Verdict, ARGUMENTS_VERDICT::RUN);
    EXPECT_EQ(Utf8(walk.Given.Server), "-i");
    EXPECT_EQ(Utf8(walk.Given.Input), "b.msi");
}

TEST(SetupsmithCommandLineTest, HelpAndBadArguments) {
    EXPECT_EQ(Walk({}).Verdict, ARGUMENTS_VERDICT::SHOW_USAGE);
    EXPECT_EQ(Walk({u"?"}).Verdict, ARGUMENTS_VERDICT::SHOW_USAGE);
    EXPECT_EQ(Walk({u"/?"}).Verdict, ARGUMENTS_VERDICT::SHOW_USAGE);
    EXPECT_EQ(Walk({u"-H"}).Verdict, ARGUMENTS_VERDICT::SHOW_USAGE);
    EXPECT_EQ(Walk({u"/I", u"a.msi", u"/h"}).Verdict, ARGUMENTS_VERDICT::SHOW_USAGE);

    WALK walk = Walk({u"/X", u"y"});
    EXPECT_EQ(walk.Verdict, ARGUMENTS_VERDICT::INVALID_SWITCH);
    EXPECT_EQ(Utf8(walk.Offender), "X");
    walk = Walk({u"setup.msi"});
    EXPECT_EQ(walk.Verdict, ARGUMENTS_VERDICT::INVALID_PARAMETER);
    EXPECT_EQ(Utf8(walk.Offender), "setup.msi");
    walk = Walk({u""});
    EXPECT_EQ(walk.Verdict, ARGUMENTS_VERDICT::INVALID_PARAMETER);
}

TEST(SetupsmithCommandLineTest, MissingValues) {
    EXPECT_EQ(Walk({u"/I", u"setup.msi"}).Verdict, ARGUMENTS_VERDICT::NO_SERVER);
    EXPECT_EQ(Walk({u"/SERVER", u"host"}).Verdict, ARGUMENTS_VERDICT::NO_INPUT);
    // A value switch at the end stops the walk; what it would have named is missing.
    EXPECT_EQ(Walk({u"/I", u"setup.msi", u"/SERVER"}).Verdict, ARGUMENTS_VERDICT::NO_SERVER);
    EXPECT_EQ(Walk({u"/I", u"setup.msi", u"/SERVER", u"host", u"/I"}).Verdict, ARGUMENTS_VERDICT::RUN);
    // An empty value names nothing.
    EXPECT_EQ(Walk({u"/I", u"setup.msi", u"/SERVER", u""}).Verdict, ARGUMENTS_VERDICT::NO_SERVER);
    EXPECT_EQ(Walk({u"/I", u"", u"/SERVER", u"host"}).Verdict, ARGUMENTS_VERDICT::NO_INPUT);
}

TEST(SetupsmithDerivedNamesTest, TheLastDotAnywhereInThePathDecides) {
    EXPECT_EQ(Utf8(ModifiedCopyPath(STRING(u"C:\\pkgs\\setup.msi"))), "C:\\pkgs\\setup_Modified.msi");
    EXPECT_EQ(Utf8(TransformPath(STRING(u"C:\\pkgs\\setup.msi"))), "C:\\pkgs\\setup.mst");
    EXPECT_EQ(Utf8(ModifiedCopyPath(STRING(u"C:\\pkg.old\\setup"))), "C:\\pkg_Modified.old\\setup");
    EXPECT_EQ(Utf8(TransformPath(STRING(u"C:\\pkg.old\\setup"))), "C:\\pkg.mst");
    EXPECT_EQ(Utf8(ModifiedCopyPath(STRING(u"/srv/setup"))), "/srv/setup_Modified");
    EXPECT_EQ(Utf8(TransformPath(STRING(u"/srv/setup"))), "/srv/setup.mst");
    EXPECT_EQ(Utf8(ModifiedCopyPath(STRING(u"a.b.msi"))), "a.b_Modified.msi");
    EXPECT_EQ(Utf8(TransformPath(STRING(u"a.b.msi"))), "a.b.mst");
}

}  // namespace
}  // namespace qv
