// Stands in for systemd's end of the notification socket in the end-to-end tests: binds a
// datagram socket at SOCKET and appends each message it receives to OUTPUT, as its lines.
// Usage: notify_recorder SOCKET OUTPUT   (runs until killed)
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: notify_recorder SOCKET OUTPUT\n");
        return 2;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(argv[1]) >= sizeof(address.sun_path)) {
        std::fprintf(stderr, "notify_recorder: socket path too long\n");
        return 2;
    }
    std::strcpy(address.sun_path, argv[1]);
    const int output = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(argv[1]);
    if (output < 0 || socket < 0 || bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::perror("notify_recorder");
        return 1;
    }
    char message[4096];
    for (;;) {
        const ssize_t got = recv(socket, message, sizeof(message) - 1, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::perror("notify_recorder: recv");
            return 1;
        }
        message[got] = '\n';
        if (write(output, message, static_cast<size_t>(got) + 1) < 0) return 1;
    }
}
