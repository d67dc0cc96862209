#include "tools/identity_server/server_options.h"

#include <gtest/gtest.h>

namespace qv::identity_server {
namespace {

PARSE_OUTCOME Parse(std::vector<std::string> arguments, SERVER_OPTIONS& options, std::string& problem)
{
    return ParseServerOptions(arguments, options, problem);
}

TEST(ServerOptions, DefaultsListenOnBothFixedPortsOfEveryAddress)
{
    SERVER_OPTIONS options;
    std::string problem;
    ASSERT_EQ(Parse({}, options, problem), PARSE_OUTCOME::RUN);
    EXPECT_EQ(options.Address, "");
    EXPECT_EQ(options.PlainPort, 1306);
    EXPECT_EQ(options.TlsPort, 1308);
    EXPECT_FALSE(options.Misbehave.Applies(1) && options.Misbehave.Drop);
}

TEST(ServerOptions, ReadsValuesInBothSpellings)
{
    SERVER_OPTIONS options;
    std::string problem;
    ASSERT_EQ(Parse({"--address", "::1", "--no-tls", "--status=7", "--count", "3", "--drop-after", "2",
                     "--misbehave-count=1", "--split-response", "50", "--response-length", "13"},
                    options, problem),
              PARSE_OUTCOME::RUN)
        << problem;
    EXPECT_EQ(options.Address, "::1");
    EXPECT_EQ(options.TlsPort, 0);
    EXPECT_EQ(options.Status, 7u);
    EXPECT_EQ(options.Count, 3u);
    EXPECT_TRUE(options.Misbehave.Drop);
    EXPECT_EQ(options.Misbehave.SplitResponseMs, 50u);
    EXPECT_EQ(options.Misbehave.ResponseLength, 13u);
    // Requests 1 and 2 are answered, 3 misbehaves, 4 is answered again.
    EXPECT_FALSE(options.Misbehave.Applies(2));
    EXPECT_TRUE(options.Misbehave.Applies(3));
    EXPECT_FALSE(options.Misbehave.Applies(4));
}

TEST(ServerOptions, RefusesBadArgumentsWithAReason)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "unknown argument \"--bogus\""},
        {{"--status"}, "--status needs a value"},
        {{"--plain-port", "70000"}, "--plain-port needs a whole number from 0 to 65535, not \"70000\""},
        {{"--delay-ms", "-1"}, "--delay-ms needs a whole number from 0 to 4294967295, not \"-1\""},
        {{"--address", "example.org"}, "--address needs a numeric IPv4 or IPv6 address, not \"example.org\""},
        {{"--no-plain", "--tls-port", "0"}, "both listeners are disabled; leave at least one of plain and TLS on"},
        {{"--tls-port", "1306"}, "the plain and the TLS port are both 1306"},
        {{"--cert", "c.pem"}, "--cert and --key go together"},
        {{"--print=yes"}, "--print takes no value"},
    };
    for (const auto& [arguments, expected] : cases) {
        SERVER_OPTIONS options;
        std::string problem;
        EXPECT_EQ(Parse(arguments, options, problem), PARSE_OUTCOME::BAD_ARGUMENTS) << expected;
        EXPECT_EQ(problem, expected);
    }
    SERVER_OPTIONS options;
    std::string problem;
    EXPECT_EQ(Parse({"--status", "1", "--help"}, options, problem), PARSE_OUTCOME::HELP);
}

}  // namespace
}  // namespace qv::identity_server
