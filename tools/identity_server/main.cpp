// The reference identity server: the peer that Quorvane reports identities to, for tests and
// for checking a deployment by hand.
#include "tools/identity_server/identity_server.h"
#include "tools/identity_server/server_options.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

qv::identity_server::IDENTITY_SERVER* RunningServer = nullptr;

void OnStopSignal(int)
{
    if (RunningServer)
        RunningServer->Stop();
}

constexpr int EXIT_BAD_ARGUMENTS = 2;

}  // namespace

int main(int argc, char** argv)
{
    using namespace qv::identity_server;
    SERVER_OPTIONS options;
    std::string problem;
    const PARSE_OUTCOME outcome = ParseServerOptions(std::vector<std::string>(argv + 1, argv + argc), options, problem);
    if (outcome == PARSE_OUTCOME::HELP) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (outcome == PARSE_OUTCOME::BAD_ARGUMENTS) {
        std::fprintf(stderr, "identity_server: %s\nTry identity_server --help.\n", problem.c_str());
        return EXIT_BAD_ARGUMENTS;
    }

    std::signal(SIGPIPE, SIG_IGN);  // a client gone mid-answer must not end the server
    IDENTITY_SERVER server(options);
    if (!server.Start(problem)) {
        std::fprintf(stderr, "identity_server: %s\n", problem.c_str());
        return 1;
    }
    RunningServer = &server;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::fprintf(stderr, "identity_server: listening on %s, plain port %u, TLS port %u\n",
                 options.Address.empty() ? "every address" : options.Address.c_str(), options.PlainPort,
                 options.TlsPort);
    server.Run();
    RunningServer = nullptr;
    return 0;
}
