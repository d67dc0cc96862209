#include <gtest/gtest.h>

#include <cstring>

#include "platform/process_setup.h"

namespace qv::test {
// Set by --identity-servers: the test run started the reference identity servers.
bool IdentityServersRunning = false;
}  // namespace qv::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    qv::IgnoreBrokenConnectionSignals();  // as the program does
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--identity-servers") == 0) qv::test::IdentityServersRunning = true;
    }
    return RUN_ALL_TESTS();
}
