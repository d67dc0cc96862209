// The reference identity servers a test run starts before these tests (tests/e2e/
// identity_servers.sh), each on its own loopback address because the ports are fixed. When
// they are not running (the test program started by hand without --identity-servers) the
// tests that need them skip.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace qv::test {

constexpr const char16_t* SERVER_GOOD = u"127.0.0.11";          // plain and TLS, self-signed
constexpr const char16_t* SERVER_WRONG_ID = u"127.0.0.12";      // echoes another identifier
constexpr const char16_t* SERVER_SHORT = u"127.0.0.13";         // 13-byte responses
constexpr const char16_t* SERVER_LONG = u"127.0.0.14";          // 15-byte responses
constexpr const char16_t* SERVER_NO_FLAG = u"127.0.0.15";       // code 0x0010 in the response
constexpr const char16_t* SERVER_SPLIT = u"127.0.0.16";         // each response in two pieces
constexpr const char16_t* SERVER_DROPS_SECOND = u"127.0.0.17";  // drops each connection at its 2nd request
constexpr const char16_t* SERVER_PLAIN_ONLY = u"127.0.0.18";    // no TLS listener
constexpr const char16_t* SERVER_NONE = u"127.0.0.19";          // nothing listens
constexpr const char16_t* SERVER_STATUS_7 = u"127.0.0.20";      // status 7
constexpr const char16_t* SERVER_RESETS_IDLE = u"127.0.0.21";   // resets a connection idle for 300 ms
constexpr const char16_t* SERVER_FIRST_LATE = u"127.0.0.22";    // answers each connection's 1st request after 1.5 s
constexpr const char16_t* SERVER_CLOSES = u"127.0.0.23";        // closes the connection 300 ms after every answer
constexpr const char16_t* SERVER_DROPS_ALL = u"127.0.0.24";     // closes the connection at every request, unanswered
// TLS only, each with a certificate of its own (certificates/ in the state folder).
constexpr const char16_t* SERVER_CA_SIGNED = u"127.0.0.101";    // from the test authority, for its address
constexpr const char16_t* SERVER_WRONG_NAME = u"127.0.0.102";   // from the test authority, for another name
constexpr const char16_t* SERVER_EXPIRED = u"127.0.0.103";      // from the test authority, expired in 2020
constexpr const char16_t* SERVER_SELF_SIGNED = u"127.0.0.104";  // its own, made at start
// Failover: a primary that is down while its down file exists, and a fallback.
constexpr const char16_t* SERVER_PRIMARY = u"127.0.0.105";
constexpr const char16_t* SERVER_FALLBACK = u"127.0.0.106";

extern bool IdentityServersRunning;
extern std::string IdentityServerState;
inline bool ReferenceServersRunning() { return IdentityServersRunning; }

// A file of the servers' state folder as this program names it: the folder is a POSIX path,
// which a Windows program under Wine reaches through drive Z:.
inline std::string ServerStateFile(const std::string& name) {
    std::string path = IdentityServerState + "/" + name;
#if defined(_WIN32)
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    path = "Z:" + path;
#endif
    return path;
}

inline std::string ReadServerStateFile(const std::string& name) {
    std::ifstream file(ServerStateFile(name), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace qv::test

// The servers and their state folder (certificates, records, down files).
#define REQUIRE_REFERENCE_SERVER_STATE()                                                       \
    do {                                                                                       \
        if (!::qv::test::ReferenceServersRunning() || ::qv::test::IdentityServerState.empty()) \
            GTEST_SKIP() << "the reference identity servers are not running (see tests/e2e)";  \
    } while (0)

#define REQUIRE_REFERENCE_SERVERS()                                                          \
    do {                                                                                     \
        if (!::qv::test::ReferenceServersRunning())                                          \
            GTEST_SKIP() << "the reference identity servers are not running (see tests/e2e)"; \
    } while (0)
