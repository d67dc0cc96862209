// The local addresses as the system lists them. On Linux the test makes a network namespace
// of its own (root only) with interfaces that are down, up without a carrier, and working, so
// the machine's own interfaces play no part.
#include "platform/host_resolver.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/temp_data_root.h"

namespace qv {
namespace {

constexpr int CANNOT_SET_UP = 77;

std::vector<std::string> LocalAddressTexts() {
    std::vector<std::vector<uint8_t>> addresses;
    std::vector<std::string> texts;
    if (SystemHostResolver().LocalAddresses(addresses) != 0) return texts;
    for (const std::vector<uint8_t>& address : addresses) {
        char text[INET6_ADDRSTRLEN] = {};
        const auto* socketAddress = reinterpret_cast<const sockaddr*>(address.data());
        if (socketAddress->sa_family == AF_INET) {
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(socketAddress)->sin_addr, text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(socketAddress)->sin6_addr, text, sizeof text);
        }
        texts.emplace_back(text);
    }
    return texts;
}

bool Contains(const std::vector<std::string>& texts, const char* text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(HostResolverTest, InterfacesThatAreDownAreLeftOut) {
    if (geteuid() != 0) GTEST_SKIP() << "a network namespace of the test's own needs root";
    const pid_t child = test::StartChild([] {
        if (unshare(CLONE_NEWNET) != 0) return CANNOT_SET_UP;
        // Made first, so they come first in the kernel's order: one interface down, and one
        // up whose peer is down, so it has no carrier. Then a working pair.
        const char* setUp =
            "ip link add qvdown type veth peer name qvnocarrier"
            " && ip link add qvup type veth peer name qvpeer"
            " && ip addr add 10.99.1.1/24 dev qvdown && ip addr add 10.99.1.2/24 dev qvnocarrier"
            " && ip addr add 10.99.2.1/24 dev qvup"
            " && ip link set qvnocarrier up && ip link set qvup up && ip link set qvpeer up && ip link set lo up";
        if (std::system((std::string(setUp) + " >/dev/null 2>&1").c_str()) != 0) return CANNOT_SET_UP;
        // The kernel marks a link as working a moment after it comes up.
        std::vector<std::string> texts = LocalAddressTexts();
        for (int wait = 0; wait < 1000 && !Contains(texts, "10.99.2.1"); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            texts = LocalAddressTexts();
        }
        if (!Contains(texts, "10.99.2.1") || !Contains(texts, "127.0.0.1")) return 1;
        if (Contains(texts, "10.99.1.1") || Contains(texts, "10.99.1.2")) return 2;
        return 0;
    });
    const int status = test::WaitChild(child);
    if (status == CANNOT_SET_UP) GTEST_SKIP() << "no network namespace with veth interfaces here";
    EXPECT_NE(status, 1) << "a working interface's address is missing";
    EXPECT_NE(status, 2) << "an interface that is down gave an address";
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace qv

#endif
