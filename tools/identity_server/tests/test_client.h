// The other end for the server's end-to-end tests: the server program started as a child
// process on its own loopback address and free ports, and a small plain/TLS client.
#pragma once

#include <openssl/ssl.h>

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qv::identity_server::test {

class SERVER_PROCESS {
public:
    SERVER_PROCESS();
    SERVER_PROCESS(const SERVER_PROCESS&) = delete;
    SERVER_PROCESS& operator=(const SERVER_PROCESS&) = delete;
    ~SERVER_PROCESS();

    // Starts the server with the given options plus its address, ports, ready file and record
    // file; waits for the ready file. False when the server exited or did not get ready.
    bool Start(const std::vector<std::string>& options);
    // Runs the program to its end with exactly these arguments; returns the exit code.
    int RunToEnd(const std::vector<std::string>& arguments);
    // SIGTERM and the exit code (-1 when it did not exit in time or died by a signal).
    int Stop();
    // The exit code once the server ends by itself, -1 when it is still running after timeoutMs.
    int WaitForExit(int timeoutMs);
    // The record's lines, once at least count of them are there (or what is there after timeoutMs).
    std::vector<std::string> RecordLines(size_t count, int timeoutMs = 5000) const;
    std::string StandardOutput() const;
    std::string StandardError() const;
    std::string ReadyFileText() const;

    std::string Address;
    uint16_t PlainPort = 0;
    uint16_t TlsPort = 0;
    std::string Directory;

private:
    pid_t Child = -1;
};

class TEST_CLIENT {
public:
    TEST_CLIENT() = default;
    TEST_CLIENT(const TEST_CLIENT&) = delete;
    TEST_CLIENT& operator=(const TEST_CLIENT&) = delete;
    ~TEST_CLIENT();

    // tlsVersion 0: plain TCP; else TLS limited to that version (TLS1_2_VERSION, TLS1_1_VERSION).
    bool Connect(const std::string& address, uint16_t port, int tlsVersion = 0);
    bool Send(const std::vector<uint8_t>& bytes);
    // Reads until count bytes came, the server closed, or timeoutMs passed without new bytes.
    std::vector<uint8_t> Receive(size_t count, int timeoutMs = 5000);
    // Waits for the server to close the connection (true) or timeoutMs to pass (false).
    bool WaitForClose(int timeoutMs = 5000);
    std::string TlsVersion() const;

private:
    // One read of what is there within timeoutMs; 0 bytes with closed set when the peer closed.
    size_t ReadSome(uint8_t* buffer, size_t capacity, int timeoutMs, bool& closed);

    int Socket = -1;
    SSL_CTX* Context = nullptr;
    SSL* Session = nullptr;
};

// A loopback address of this test process's own, so parallel test runs do not meet.
std::string OwnLoopbackAddress();
// A port that was free on address a moment ago.
uint16_t FreePort(const std::string& address);

}  // namespace qv::identity_server::test
