// A stand-in for a network path to a server, for the end-to-end tests: it listens on
// ADDRESS:PORT and relays every connection to TARGET:PORT, or, without a target, accepts
// connections and never answers (a server that hangs, or a firewall that drops replies).
// Killing it is a server that has gone away; starting it again, one that is back.
// Usage: tcp_relay ADDRESS:PORT [TARGET:PORT] [--ready-file FILE]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ParseEndpoint(const std::string& text, sockaddr_in& address) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

struct PAIR {
    int Client = -1;
    int Server = -1;  // -1: a silent connection
};

void ClosePair(PAIR& pair) {
    if (pair.Client >= 0) close(pair.Client);
    if (pair.Server >= 0) close(pair.Server);
    pair.Client = pair.Server = -1;
}

// Moves what one side has to the other; false when either side is done.
bool Pass(int from, int to) {
    char bytes[16384];
    const ssize_t count = read(from, bytes, sizeof bytes);
    if (count <= 0) return false;
    for (ssize_t sent = 0; sent < count;) {
        const ssize_t written = send(to, bytes + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
        if (written <= 0) return false;
        sent += written;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    sockaddr_in listenAddress{}, targetAddress{};
    bool relay = false;
    const char* readyFile = nullptr;
    if (argc < 2 || !ParseEndpoint(argv[1], listenAddress)) {
        std::fprintf(stderr, "usage: tcp_relay ADDRESS:PORT [TARGET:PORT] [--ready-file FILE]\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ready-file") == 0 && i + 1 < argc) {
            readyFile = argv[++i];
        } else if (ParseEndpoint(argv[i], targetAddress)) {
            relay = true;
        } else {
            std::fprintf(stderr, "tcp_relay: bad argument %s\n", argv[i]);
            return 2;
        }
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(listener, reinterpret_cast<sockaddr*>(&listenAddress), sizeof listenAddress) != 0 ||
        listen(listener, 64) != 0) {
        std::perror("tcp_relay: listen");
        return 1;
    }
    if (readyFile) {
        if (FILE* ready = std::fopen(readyFile, "w")) std::fclose(ready);
    }

    std::vector<PAIR> pairs;
    for (;;) {
        std::vector<pollfd> watched{{listener, POLLIN, 0}};
        for (const PAIR& pair : pairs) {
            watched.push_back({pair.Client, POLLIN, 0});
            watched.push_back({pair.Server, static_cast<short>(pair.Server >= 0 ? POLLIN : 0), 0});
        }
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        for (size_t i = 0; i < pairs.size(); ++i) {
            PAIR& pair = pairs[i];
            const pollfd& client = watched[1 + 2 * i];
            const pollfd& server = watched[2 + 2 * i];
            bool open = true;
            if (client.revents & (POLLIN | POLLHUP | POLLERR)) {
                if (relay) {
                    open = Pass(pair.Client, pair.Server);
                } else {
                    // A silent connection reads what it is sent and answers nothing.
                    char discard[4096];
                    open = read(pair.Client, discard, sizeof discard) > 0;
                }
            }
            if (open && relay && (server.revents & (POLLIN | POLLHUP | POLLERR))) open = Pass(pair.Server, pair.Client);
            if (!open) ClosePair(pair);
        }
        std::erase_if(pairs, [](const PAIR& pair) { return pair.Client < 0; });
        if (watched[0].revents & POLLIN) {
            PAIR pair;
            pair.Client = accept(listener, nullptr, nullptr);
            if (pair.Client < 0) continue;
            if (relay) {
                pair.Server = socket(AF_INET, SOCK_STREAM, 0);
                if (connect(pair.Server, reinterpret_cast<sockaddr*>(&targetAddress), sizeof targetAddress) != 0) {
                    ClosePair(pair);
                    continue;
                }
            }
            pairs.push_back(pair);
        }
    }
}
