#include "tools/identity_server/tests/test_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qv::identity_server::test {
namespace {

using CLOCK = std::chrono::steady_clock;

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool ReapChild(pid_t child, int timeoutMs, int& exitCode)
{
    const auto deadline = CLOCK::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t result = waitpid(child, &status, WNOHANG);
        if (result == child) {
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }
        if (result < 0 || CLOCK::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The server program with its output going to files in directory; -1 when it cannot start.
pid_t SpawnServer(const std::vector<std::string>& arguments, const std::string& directory)
{
    std::vector<std::string> command = {IDENTITY_SERVER_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : command)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (directory + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (directory + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
}

sockaddr_in LoopbackAddress(const std::string& address, uint16_t port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr);
    return socketAddress;
}

}  // namespace

std::string OwnLoopbackAddress()
{
    const unsigned pid = static_cast<unsigned>(getpid());
    return "127.0." + std::to_string((pid / 250) % 250 + 1) + "." + std::to_string(pid % 250 + 2);
}

uint16_t FreePort(const std::string& address)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in socketAddress = LoopbackAddress(address, 0);
    socklen_t size = sizeof socketAddress;
    uint16_t port = 0;
    if (bind(socket, reinterpret_cast<sockaddr*>(&socketAddress), size) == 0 &&
        getsockname(socket, reinterpret_cast<sockaddr*>(&socketAddress), &size) == 0)
        port = ntohs(socketAddress.sin_port);
    close(socket);
    return port;
}

SERVER_PROCESS::SERVER_PROCESS() : Address(OwnLoopbackAddress())
{
    char pattern[] = "/tmp/identity_server_test.XXXXXX";
    if (mkdtemp(pattern))
        Directory = pattern;
}

SERVER_PROCESS::~SERVER_PROCESS()
{
    if (Child > 0) {
        kill(Child, SIGKILL);
        int ignored = 0;
        ReapChild(Child, 5000, ignored);
    }
    if (!Directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(Directory, ignored);
    }
}

bool SERVER_PROCESS::Start(const std::vector<std::string>& options)
{
    PlainPort = FreePort(Address);
    TlsPort = FreePort(Address);
    std::vector<std::string> arguments = {"--address", Address, "--plain-port", std::to_string(PlainPort),
                                          "--tls-port", std::to_string(TlsPort), "--ready-file",
                                          Directory + "/ready", "--record", Directory + "/record.jsonl"};
    arguments.insert(arguments.end(), options.begin(), options.end());

    Child = SpawnServer(arguments, Directory);
    if (Child < 0)
        return false;
    // Making the RSA key takes a moment, longer under the sanitizers.
    const auto deadline = CLOCK::now() + std::chrono::seconds(30);
    while (CLOCK::now() < deadline) {
        if (std::filesystem::exists(Directory + "/ready"))
            return true;
        int exitCode = 0;
        if (ReapChild(Child, 0, exitCode)) {
            Child = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int SERVER_PROCESS::RunToEnd(const std::vector<std::string>& arguments)
{
    const pid_t child = SpawnServer(arguments, Directory);
    int exitCode = -1;
    if (child < 0 || !ReapChild(child, 30000, exitCode))
        return -1;
    return exitCode;
}

int SERVER_PROCESS::Stop()
{
    if (Child <= 0)
        return -1;
    kill(Child, SIGTERM);
    return WaitForExit(10000);
}

int SERVER_PROCESS::WaitForExit(int timeoutMs)
{
    int exitCode = -1;
    if (Child <= 0 || !ReapChild(Child, timeoutMs, exitCode))
        return -1;
    Child = -1;
    return exitCode;
}

std::vector<std::string> SERVER_PROCESS::RecordLines(size_t count, int timeoutMs) const
{
    const auto deadline = CLOCK::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::string> lines;
    for (;;) {
        lines.clear();
        std::istringstream text(ReadWholeFile(Directory + "/record.jsonl"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        if (lines.size() >= count || CLOCK::now() > deadline)
            return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string SERVER_PROCESS::StandardOutput() const
{
    return ReadWholeFile(Directory + "/stdout");
}

std::string SERVER_PROCESS::StandardError() const
{
    return ReadWholeFile(Directory + "/stderr");
}

std::string SERVER_PROCESS::ReadyFileText() const
{
    return ReadWholeFile(Directory + "/ready");
}

TEST_CLIENT::~TEST_CLIENT()
{
    if (Session)
        SSL_free(Session);
    if (Context)
        SSL_CTX_free(Context);
    if (Socket >= 0)
        close(Socket);
}

bool TEST_CLIENT::Connect(const std::string& address, uint16_t port, int tlsVersion)
{
    Socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // From the server's own loopback address too, so the client address it reports is known.
    const sockaddr_in localAddress = LoopbackAddress(address, 0);
    if (bind(Socket, reinterpret_cast<const sockaddr*>(&localAddress), sizeof localAddress) != 0)
        return false;
    const sockaddr_in socketAddress = LoopbackAddress(address, port);
    if (connect(Socket, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress) != 0)
        return false;
    if (tlsVersion == 0)
        return true;
    Context = SSL_CTX_new(TLS_client_method());
    // The server's certificate is self-signed; these tests are about the bytes, not trust.
    SSL_CTX_set_verify(Context, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_security_level(Context, 0);
    SSL_CTX_set_min_proto_version(Context, tlsVersion);
    SSL_CTX_set_max_proto_version(Context, tlsVersion);
    Session = SSL_new(Context);
    SSL_set_fd(Session, Socket);
    return SSL_connect(Session) == 1;
}

bool TEST_CLIENT::Send(const std::vector<uint8_t>& bytes)
{
    if (Session)
        return SSL_write(Session, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    return send(Socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

size_t TEST_CLIENT::ReadSome(uint8_t* buffer, size_t capacity, int timeoutMs, bool& closed)
{
    closed = false;
    if (!Session || SSL_pending(Session) == 0) {
        pollfd entry{Socket, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0)
            return 0;
    }
    const ssize_t result = Session ? SSL_read(Session, buffer, static_cast<int>(capacity))
                                   : recv(Socket, buffer, capacity, 0);
    if (result <= 0) {
        closed = true;
        return 0;
    }
    return static_cast<size_t>(result);
}

std::vector<uint8_t> TEST_CLIENT::Receive(size_t count, int timeoutMs)
{
    std::vector<uint8_t> received;
    uint8_t buffer[4096];
    while (received.size() < count) {
        bool closed = false;
        const size_t got = ReadSome(buffer, std::min(sizeof buffer, count - received.size()), timeoutMs, closed);
        if (got == 0)
            break;
        received.insert(received.end(), buffer, buffer + got);
    }
    return received;
}

bool TEST_CLIENT::WaitForClose(int timeoutMs)
{
    uint8_t buffer[256];
    const auto deadline = CLOCK::now() + std::chrono::milliseconds(timeoutMs);
    while (CLOCK::now() < deadline) {
        bool closed = false;
        ReadSome(buffer, sizeof buffer, 100, closed);
        if (closed)
            return true;
    }
    return false;
}

std::string TEST_CLIENT::TlsVersion() const
{
    return Session ? SSL_get_version(Session) : "";
}

}  // namespace qv::identity_server::test
