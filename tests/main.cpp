#include <gtest/gtest.h>

#include <cstring>

namespace qv::test {
// Set by --identity-servers: the test run started the reference identity servers.
bool IdentityServersRunning = false;
}  // namespace qv::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--identity-servers") == 0) qv::test::IdentityServersRunning = true;
    }
    return RUN_ALL_TESTS();
}
