#include "tools/identity_server/server_options.h"

#include <arpa/inet.h>

#include <charconv>
#include <limits>

namespace qv::identity_server {
namespace {

bool IsAddress(const std::string& text)
{
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

template <typename NUMBER>
bool ParseNumber(const std::string& text, NUMBER& value)
{
    uint64_t parsed = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, parsed);
    if (text.empty() || result.ec != std::errc() || result.ptr != end ||
        parsed > std::numeric_limits<NUMBER>::max())
        return false;
    value = static_cast<NUMBER>(parsed);
    return true;
}

// Walks the arguments, accepting "--name value" and "--name=value".
class ARGUMENT_CURSOR {
public:
    explicit ARGUMENT_CURSOR(const std::vector<std::string>& arguments) : Arguments(arguments) {}

    bool Next()
    {
        if (Index >= Arguments.size())
            return false;
        const std::string& argument = Arguments[Index++];
        const size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            Name = argument.substr(0, equals);
            InlineValue = argument.substr(equals + 1);
        } else {
            Name = argument;
            InlineValue.reset();
        }
        return true;
    }

    const std::string& Option() const { return Name; }
    bool HasInlineValue() const { return InlineValue.has_value(); }

    bool Value(std::string& value, std::string& problem)
    {
        if (InlineValue) {
            value = *InlineValue;
            InlineValue.reset();
            return true;
        }
        if (Index >= Arguments.size()) {
            problem = Name + " needs a value";
            return false;
        }
        value = Arguments[Index++];
        return true;
    }

    template <typename NUMBER>
    bool Number(NUMBER& value, std::string& problem)
    {
        std::string text;
        if (!Value(text, problem))
            return false;
        if (!ParseNumber(text, value)) {
            problem = Name + " needs a whole number from 0 to " + std::to_string(std::numeric_limits<NUMBER>::max()) +
                      ", not \"" + text + "\"";
            return false;
        }
        return true;
    }

private:
    const std::vector<std::string>& Arguments;
    size_t Index = 0;
    std::string Name;
    std::optional<std::string> InlineValue;
};

bool ParseOne(ARGUMENT_CURSOR& cursor, SERVER_OPTIONS& options, std::string& problem)
{
    const std::string& name = cursor.Option();
    MISBEHAVIOUR& misbehave = options.Misbehave;
    auto flag = [&](bool& target) {
        if (cursor.HasInlineValue()) {
            problem = name + " takes no value";
            return false;
        }
        target = true;
        return true;
    };
    auto optionalNumber = [&](std::optional<uint32_t>& target) {
        uint32_t value = 0;
        if (!cursor.Number(value, problem))
            return false;
        target = value;
        return true;
    };

    if (name == "--address") {
        if (!cursor.Value(options.Address, problem))
            return false;
        if (!IsAddress(options.Address)) {
            problem = "--address needs a numeric IPv4 or IPv6 address, not \"" + options.Address + "\"";
            return false;
        }
        return true;
    }
    if (name == "--plain-port")
        return cursor.Number(options.PlainPort, problem);
    if (name == "--tls-port")
        return cursor.Number(options.TlsPort, problem);
    if (name == "--no-plain" || name == "--no-tls") {
        bool set = false;
        if (!flag(set))
            return false;
        (name == "--no-plain" ? options.PlainPort : options.TlsPort) = 0;
        return true;
    }
    if (name == "--cert")
        return cursor.Value(options.CertFile, problem);
    if (name == "--key")
        return cursor.Value(options.KeyFile, problem);
    if (name == "--write-cert")
        return cursor.Value(options.WriteCertFile, problem);
    if (name == "--status")
        return cursor.Number(options.Status, problem);
    if (name == "--print")
        return flag(options.Print);
    if (name == "--record")
        return cursor.Value(options.RecordFile, problem);
    if (name == "--ready-file")
        return cursor.Value(options.ReadyFile, problem);
    if (name == "--down-file")
        return cursor.Value(options.DownFile, problem);
    if (name == "--count")
        return cursor.Number(options.Count, problem);
    if (name == "--delay-ms")
        return cursor.Number(misbehave.DelayMs, problem);
    if (name == "--wrong-id")
        return flag(misbehave.WrongId);
    if (name == "--no-flag")
        return flag(misbehave.NoFlag);
    if (name == "--response-length")
        return optionalNumber(misbehave.ResponseLength);
    if (name == "--split-response")
        return optionalNumber(misbehave.SplitResponseMs);
    if (name == "--drop")
        return flag(misbehave.Drop);
    if (name == "--drop-after") {
        misbehave.Drop = true;
        return cursor.Number(misbehave.After, problem);
    }
    if (name == "--close-after-answer")
        return optionalNumber(misbehave.CloseAfterAnswerMs);
    if (name == "--per-connection")
        return flag(misbehave.PerConnection);
    if (name == "--reset-idle")
        return cursor.Number(misbehave.ResetIdleMs, problem);
    if (name == "--chaos")
        return optionalNumber(options.ChaosSeed);
    if (name == "--chaos-late-ms")
        return cursor.Number(options.ChaosLateMs, problem);
    if (name == "--misbehave-after")
        return cursor.Number(misbehave.After, problem);
    if (name == "--misbehave-count")
        return cursor.Number(misbehave.Count, problem);
    problem = "unknown argument \"" + name + "\"";
    return false;
}

bool CheckCombination(const SERVER_OPTIONS& options, std::string& problem)
{
    if (options.PlainPort == 0 && options.TlsPort == 0) {
        problem = "both listeners are disabled; leave at least one of plain and TLS on";
        return false;
    }
    if (options.PlainPort != 0 && options.PlainPort == options.TlsPort) {
        problem = "the plain and the TLS port are both " + std::to_string(options.PlainPort);
        return false;
    }
    if (options.CertFile.empty() != options.KeyFile.empty()) {
        problem = "--cert and --key go together";
        return false;
    }
    if (options.Misbehave.ResponseLength && *options.Misbehave.ResponseLength > 65535) {
        problem = "--response-length is at most 65535";
        return false;
    }
    return true;
}

}  // namespace

PARSE_OUTCOME ParseServerOptions(const std::vector<std::string>& arguments, SERVER_OPTIONS& options,
                                 std::string& problem)
{
    ARGUMENT_CURSOR cursor(arguments);
    while (cursor.Next()) {
        if (cursor.Option() == "--help" || cursor.Option() == "-h")
            return PARSE_OUTCOME::HELP;
        if (!ParseOne(cursor, options, problem))
            return PARSE_OUTCOME::BAD_ARGUMENTS;
    }
    return CheckCombination(options, problem) ? PARSE_OUTCOME::RUN : PARSE_OUTCOME::BAD_ARGUMENTS;
}

const char* UsageText()
{
    return "Usage: identity_server [options]\n"
           "A reference identity server: accepts identity reports on TCP (plain) and TLS, decodes\n"
           "each request strictly and answers it.\n"
           "\n"
           "Listening:\n"
           "  --address ADDR          bind this numeric address only (default: every address)\n"
           "  --plain-port N          plain TCP port (default 1306; 0 disables)\n"
           "  --tls-port N            TLS port (default 1308; 0 disables)\n"
           "  --no-plain, --no-tls    offer only the other protocol\n"
           "  --cert FILE --key FILE  PEM certificate and key for TLS (default: a self-signed\n"
           "                          certificate made at start, CN = the address or localhost)\n"
           "  --write-cert FILE       write the certificate in use to FILE (PEM)\n"
           "\n"
           "Answers and output:\n"
           "  --status N              Status in every answer (default 0)\n"
           "  --print                 one readable line per request on stdout\n"
           "  --record FILE           append one JSON object per request to FILE\n"
           "  --ready-file FILE       write FILE once the listeners are up\n"
           "  --count N               exit after N requests\n"
           "\n"
           "Misbehaviour for fault tests:\n"
           "  --delay-ms N            answer N ms late\n"
           "  --wrong-id              answer with RequestId + 1\n"
           "  --no-flag               answer with code 0x0010 (response flag missing)\n"
           "  --response-length N     send N bytes instead of 14 (cut or padded with zeros)\n"
           "  --split-response MS     send the answer in two pieces MS ms apart\n"
           "  --drop                  close the connection instead of answering\n"
           "  --drop-after K          answer K requests, then drop (same as --drop --misbehave-after K)\n"
           "  --misbehave-after K     the first K requests are answered properly\n"
           "  --misbehave-count K     only K requests misbehave (default: all after the first K)\n"
           "  --close-after-answer MS close the connection MS ms after answering\n"
           "  --per-connection        number requests within each connection for the rules above\n"
           "  --reset-idle MS         reset (TCP RST) every connection idle for MS ms\n"
           "  --down-file FILE        while FILE exists the server is down: no listeners (connections\n"
           "                          are refused) and every connection ended; up again once it is gone\n"
           "  --chaos SEED            at random, answer 4% of requests late, drop the connection\n"
           "                          instead of answering 3% and close it after answering 3%\n"
           "  --chaos-late-ms MS      how late a late answer comes (default 2500)\n"
           "\n"
           "Requests are numbered across all connections unless --per-connection is given. SIGTERM or SIGINT ends the server with\n"
           "exit code 0; bad arguments give exit code 2.\n";
}

}  // namespace qv::identity_server
