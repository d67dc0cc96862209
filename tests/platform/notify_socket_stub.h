// systemd's end of the notification socket, for tests (POSIX): a datagram socket bound under
// /tmp and named by NOTIFY_SOCKET while the object lives, and the messages it receives.
#pragma once

#if !defined(_WIN32)

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

namespace qv::test {

class NOTIFY_SOCKET_STUB {
public:
    NOTIFY_SOCKET_STUB() {
        static std::atomic<unsigned> serial{0};
        Path = "/tmp/qv-notify-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, Path.c_str(), sizeof(address.sun_path) - 1);
        unlink(Path.c_str());
        Socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (Socket >= 0 && bind(Socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            setenv("NOTIFY_SOCKET", Path.c_str(), 1);
        }
    }
    NOTIFY_SOCKET_STUB(const NOTIFY_SOCKET_STUB&) = delete;
    NOTIFY_SOCKET_STUB& operator=(const NOTIFY_SOCKET_STUB&) = delete;
    ~NOTIFY_SOCKET_STUB() {
        unsetenv("NOTIFY_SOCKET");
        if (Socket >= 0) close(Socket);
        unlink(Path.c_str());
    }

    // The next message, or "" when none comes within the time.
    std::string Receive(int timeoutMs = 5000) {
        pollfd ready{Socket, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) != 1) return std::string();
        char message[4096];
        const ssize_t got = recv(Socket, message, sizeof(message), 0);
        return got > 0 ? std::string(message, static_cast<size_t>(got)) : std::string();
    }

private:
    std::string Path;
    int Socket = -1;
};

}  // namespace qv::test

#endif
