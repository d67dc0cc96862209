#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/process_setup.h"

namespace qv::test {
// Set by --identity-servers: the test run started the reference identity servers.
bool IdentityServersRunning = false;
// Set by --identity-server-state DIR: where they keep their records, certificates and switches.
std::string IdentityServerState;
}  // namespace qv::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qv::IgnoreBrokenConnectionSignals();  // as the program does
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--identity-servers") == 0) qv::test::IdentityServersRunning = true;
        if (std::strcmp(argv[i], "--identity-server-state") == 0 && i + 1 < argc) {
            qv::test::IdentityServerState = argv[++i];
        }
    }
    return RUN_ALL_TESTS();
}
