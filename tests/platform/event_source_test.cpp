#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "base/message_format.h"
#include "platform/event_source.h"
#include "platform/last_error.h"
#include "resources/message_numbers.h"
#include "tests/test_text.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>
#endif

namespace qv {
namespace {

using test::Utf8;

const uint32_t EVERY_MESSAGE[] = {
    MSG_SERVICE_STARTED,      MSG_SERVICE_STOPPED,         MSG_GET_MODULE_PATH,     MSG_ENUM_NETWORK_EVENTS,
    MSG_READ_EVENT_ERROR,     MSG_WRITE_EVENT_ERROR,       MSG_RESOLVE_IDENT_SERVER, MSG_SET_SOCKET_OPTION,
    MSG_SOCKET_CONNECT,       MSG_SOCKET_SELECT,           MSG_INVALID_START_PARAMETER, MSG_WINSOCK_STARTUP,
    MSG_WINSOCK_VERSION,      MSG_CREATE_REGISTRY_KEY,     MSG_OPEN_REGISTRY_KEY,   MSG_QUERY_REGISTRY_VALUE,
    MSG_SET_SERVICE_STATUS,   MSG_START_DISPATCHER,        MSG_CREATE_EVENT,        MSG_CREATE_SOCKET,
    MSG_SOCKET_BIND,          MSG_CREATE_SOCKET_EVENT,     MSG_SEND_DATAGRAM,       MSG_SOCKET_EVENT_SELECT,
    MSG_RECEIVE_DATAGRAM,     MSG_OPEN_HTTP_SERVICE,
};

TEST(EventSourceTest, RegistersAndWrites) {
    SYSTEM_EVENT_SOURCE source;
    EXPECT_FALSE(source.IsRegistered());
    ASSERT_TRUE(source.Register(u"Quorvane Tests")) << GetLastErrorCode();
    EXPECT_TRUE(source.IsRegistered());
    const char16_t* strings[] = {u"1.2.5.26"};
    EXPECT_TRUE(source.Write(EVENT_TYPE_INFORMATION, 0, MSG_SERVICE_STARTED, 1, strings, 0, nullptr)) << GetLastErrorCode();
    const uint8_t data[] = {1, 2, 3};
    const char16_t* failure[] = {u"The parameter is incorrect", u"87", u"SOFTWARE\\Tarnwell"};
    EXPECT_TRUE(source.Write(EVENT_TYPE_ERROR, 0, MSG_CREATE_REGISTRY_KEY, 3, failure, sizeof data, data));
    source.Deregister();
    EXPECT_FALSE(source.IsRegistered());
}

TEST(EventSourceTest, AnUnregisteredSourceRefuses) {
    SYSTEM_EVENT_SOURCE source;
    SetLastErrorCode(ERR_SUCCESS);
    EXPECT_FALSE(source.Write(EVENT_TYPE_ERROR, 0, MSG_SOCKET_BIND, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
}

TEST(EventSourceTest, MissingMessagesAreReported) {
    STRING text(u"left over");
    EXPECT_FALSE(FormatModuleMessage(nullptr, 0xC0004321, nullptr, 0, 80, text));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_NE(GetLastErrorCode(), ERR_SUCCESS);
}

// The program's own formatter gives, for every message of the table, the text the system's
// formatter gives (on Windows FormatModuleMessage is FormatMessageW itself), at every width the
// program uses and with inserts long enough to need wrapping.
TEST(EventSourceTest, ThePortableFormatterMatchesForEveryMessage) {
    const char16_t* shortInserts[] = {u"Access is denied", u"5", u"SOFTWARE\\Tarnwell\\Quorvane", u"Settings"};
    const char16_t* longInserts[] = {
        u"A connection attempt failed because the connected party did not properly respond after a period of time, "
        u"or established connection failed because connected host has failed to respond",
        u"10060", u"identity-server.example.internal.tarnwell.test", u"SOFTWARE\\Tarnwell\\Quorvane\\Parameters"};
    const char16_t* const* insertSets[] = {shortInserts, longInserts};
    const uint32_t widths[] = {MESSAGE_KEEP_LINE_BREAKS, 80, 40, MESSAGE_NO_WRAP};  // 80: the log echo's width

    for (uint32_t number : EVERY_MESSAGE) {
        STRING raw;
        ASSERT_TRUE(LoadMessageText(nullptr, number, raw)) << std::hex << number;
        for (const char16_t* const* inserts : insertSets) {
            for (uint32_t width : widths) {
                STRING system;
                STRING portable;
                ASSERT_TRUE(FormatModuleMessage(nullptr, number, inserts, 4, width, system)) << std::hex << number;
                ASSERT_TRUE(FormatMessageText(portable, raw.Text(), raw.Length(), inserts, 4, width));
                EXPECT_EQ(Utf8(portable), Utf8(system)) << std::hex << number << " width " << std::dec << width;
            }
        }
    }
}

TEST(EventSourceTest, FewerInsertsThanTheTextNamesReadAsEmpty) {
    const char16_t* inserts[] = {u"Access is denied"};
    STRING text;
    ASSERT_TRUE(FormatModuleMessage(nullptr, MSG_CREATE_REGISTRY_KEY, inserts, 1, MESSAGE_NO_WRAP, text));
    EXPECT_EQ(Utf8(text), "Unable to create registry key \"\" \r\nAccess is denied. Error code = .\r\n ");
}

#if !defined(_WIN32)

TEST(EventSourceSyslogTest, SeveritiesFollowTheEventType) {
    EXPECT_EQ(EventSyslogSeverity(EVENT_TYPE_ERROR), LOG_ERR);
    EXPECT_EQ(EventSyslogSeverity(EVENT_TYPE_WARNING), LOG_WARNING);
    EXPECT_EQ(EventSyslogSeverity(EVENT_TYPE_INFORMATION), LOG_INFO);
    EXPECT_EQ(EventSyslogSeverity(EVENT_TYPE_SUCCESS), LOG_NOTICE);
    EXPECT_EQ(EventSyslogSeverity(8), LOG_NOTICE);   // audit success
    EXPECT_EQ(EventSyslogSeverity(16), LOG_NOTICE);  // audit failure
}

TEST(EventSourceSyslogTest, ARecordIsTheEventIdAndTheTextOnOneLine) {
    const char16_t* strings[] = {u"The handle is invalid", u"6", u"SOFTWARE\\Tarnwell"};
    EXPECT_EQ(std::string(EventRecordText(MSG_CREATE_REGISTRY_KEY, 3, strings, 0, nullptr).Text()),
              "[event 6] Unable to create registry key \"SOFTWARE\\Tarnwell\" The handle is invalid. Error code = 6.");
    const char16_t* version[] = {u"1.2.5.26", u"Service stopped"};
    EXPECT_EQ(std::string(EventRecordText(MSG_SERVICE_STOPPED, 2, version, 0, nullptr).Text()),
              "[event 3] QRVA Service version 1.2.5.26 stopped. Reason = Service stopped.");
    const char16_t* query[] = {u"Access is denied", u"5", u"Port", u"SOFTWARE\\Tarnwell"};
    EXPECT_EQ(std::string(EventRecordText(MSG_QUERY_REGISTRY_VALUE, 4, query, 0, nullptr).Text()),
              "[event 9] Unable to query registry value \"Port\" in key \"SOFTWARE\\Tarnwell\". Access is denied. "
              "Error code = 5.");
}

TEST(EventSourceSyslogTest, RecordsCarryDataAndSurviveMissingTexts) {
    const char16_t* strings[] = {u"x", u"1"};
    const uint8_t data[] = {0x00, 0x7F, 0xFF};
    EXPECT_EQ(std::string(EventRecordText(MSG_SOCKET_SELECT, 2, strings, sizeof data, data).Text()),
              "[event 512] Socket select failed. x. Error code = 1. Data: 00 7F FF");
    const char16_t* lines[] = {u"first\r\nsecond", u"b"};
    EXPECT_EQ(std::string(EventRecordText(0xC0001234, 2, lines, 0, nullptr).Text()),
              "[event 4660] No message text for this event; its strings: \"first second\", \"b\"");
}

// A syslog daemon of our own for the length of one test: a datagram socket at /dev/log, where
// syslog(3) sends. Only where no daemon listens and the test may create it.
TEST(EventSourceSyslogTest, RecordsReachSyslog) {
    struct stat existing;
    if (::stat("/dev/log", &existing) == 0) GTEST_SKIP() << "a syslog daemon owns /dev/log; its records can't be read here";
    if (geteuid() != 0) GTEST_SKIP() << "creating /dev/log needs root";

    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct CLEANUP {
        int Socket;
        ~CLEANUP() {
            ::close(Socket);
            ::unlink("/dev/log");
            closelog();
        }
    } cleanup{listener};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/dev/log");
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        GTEST_SKIP() << "cannot create /dev/log here";
    }

    SYSTEM_EVENT_SOURCE source;
    ASSERT_TRUE(source.Register(u"Quorvane"));
    const char16_t* strings[] = {u"Access is denied", u"5", u"SOFTWARE\\Tarnwell"};
    ASSERT_TRUE(source.Write(EVENT_TYPE_ERROR, 0, MSG_CREATE_REGISTRY_KEY, 3, strings, 0, nullptr));

    // Other records of this machine may come to our socket too while it is there: ours is the
    // one with the event.
    std::string text;
    for (int records = 0; records < 100 && text.find("[event 6]") == std::string::npos; ++records) {
        pollfd wait{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&wait, 1, 10000), 1) << "no record came";
        char record[2048] = {};
        const ssize_t received = ::recv(listener, record, sizeof record - 1, 0);
        ASSERT_GT(received, 0);
        text.assign(record, static_cast<size_t>(received));
    }
    EXPECT_EQ(text.rfind("<27>", 0), 0u) << text;  // LOG_DAEMON | LOG_ERR
    EXPECT_NE(text.find("Quorvane["), std::string::npos) << text;
    EXPECT_NE(text.find("[event 6] Unable to create registry key \"SOFTWARE\\Tarnwell\" Access is denied. Error code = 5."),
              std::string::npos)
        << text;
}

#endif

}  // namespace
}  // namespace qv
