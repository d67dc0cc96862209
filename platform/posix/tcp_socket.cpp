// TCP client sockets on POSIX. The waitable is an epoll descriptor: poll() reports it readable
// while any descriptor in its set is ready, and epoll in its default level-triggered mode keeps
// it so for as long as the condition lasts, which gives the "signalled while there is work"
// rule without any consuming read. The set holds the socket, an eventfd for the owner's own
// work and a timerfd for the alarm.
#include "platform/tcp_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "platform/last_error.h"

namespace qv {

namespace {

class EPOLL_WAITABLE : public WAITABLE {
public:
    void Take(int fd) { Adopt(fd, false); }
};

class DESCRIPTOR {
public:
    DESCRIPTOR() = default;
    explicit DESCRIPTOR(int fd) : Fd(fd) {}
    DESCRIPTOR(const DESCRIPTOR&) = delete;
    DESCRIPTOR& operator=(const DESCRIPTOR&) = delete;
    ~DESCRIPTOR() { Reset(); }
    void Reset(int fd = -1) {
        if (Fd >= 0) ::close(Fd);
        Fd = fd;
    }
    int Get() const { return Fd; }

private:
    int Fd = -1;
};

struct ADDRESS {
    sockaddr_storage Storage{};
    socklen_t Length = 0;
};

uint32_t ResolveError(int result) {
    switch (result) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
            return ERR_WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return ERR_WSATRY_AGAIN;
        case EAI_FAMILY: return ERR_WSAEAFNOSUPPORT;
        case EAI_MEMORY: return ERR_WSAENOBUFS;
        case EAI_SYSTEM: return SocketErrorFromErrno(errno);
        default: return ERR_WSANO_RECOVERY;
    }
}

void Drain(int fd) {
    uint64_t value = 0;
    while (read(fd, &value, sizeof(value)) > 0) {
    }
}

}  // namespace

struct TCP_SOCKET::STATE {
    EPOLL_WAITABLE Epoll;
    DESCRIPTOR Work;   // eventfd: the owner's own work
    DESCRIPTOR Alarm;  // timerfd
    DESCRIPTOR Socket;
    bool Writable = false;
    // Whether the eventfd or the timerfd may be readable; they are read only then, which
    // saves two system calls per round on a busy connection.
    bool WorkSignalled = false;
    bool AlarmSet = false;
    std::vector<ADDRESS> Addresses;
    size_t NextAddress = 0;

    bool Register(int fd, uint32_t events, int operation) {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        return epoll_ctl(Epoll.NativeHandle(), operation, fd, &event) == 0;
    }

    uint32_t SocketEvents() const { return EPOLLIN | EPOLLRDHUP | (Writable ? EPOLLOUT : 0u); }

    void CloseSocket() {
        if (Socket.Get() < 0) return;
        epoll_ctl(Epoll.NativeHandle(), EPOLL_CTL_DEL, Socket.Get(), nullptr);
        Socket.Reset();
    }

    // Starts connecting to the next address; 0 when under way, else the error of the last
    // address that could not even be started.
    uint32_t ConnectNext() {
        uint32_t error = ERR_WSAHOST_NOT_FOUND;
        while (NextAddress < Addresses.size()) {
            const ADDRESS& address = Addresses[NextAddress++];
            CloseSocket();
            const int fd = socket(address.Storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0) {
                error = SocketErrorFromErrno(errno);
                continue;
            }
            Socket.Reset(fd);
            // Requests and responses are small: each should leave at once, not wait for Nagle.
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            int result = 0;
            do {
                result = connect(fd, reinterpret_cast<const sockaddr*>(&address.Storage), address.Length);
            } while (result != 0 && errno == EINTR);
            if (result != 0 && errno != EINPROGRESS) {
                error = SocketErrorFromErrno(errno);
                continue;
            }
            Writable = true;
            if (!Register(fd, SocketEvents(), EPOLL_CTL_ADD)) {
                error = SocketErrorFromErrno(errno);
                continue;
            }
            return ERR_SUCCESS;
        }
        CloseSocket();
        return error;
    }
};

TCP_SOCKET::TCP_SOCKET() : State(std::make_unique<STATE>()) {
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return;
    State->Epoll.Take(epoll);
    State->Work.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    State->Alarm.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (State->Work.Get() < 0 || State->Alarm.Get() < 0 || !State->Register(State->Work.Get(), EPOLLIN, EPOLL_CTL_ADD) ||
        !State->Register(State->Alarm.Get(), EPOLLIN, EPOLL_CTL_ADD)) {
        State->Epoll.Close();
    }
}

TCP_SOCKET::~TCP_SOCKET() { Close(); }

bool TCP_SOCKET::IsUsable() const { return State->Epoll.IsValid(); }

uint32_t TCP_SOCKET::StartConnect(const char* host, uint16_t port) {
    Close();
    if (!IsUsable()) return ERR_WSAENOBUFS;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    int result = getaddrinfo(host, service.c_str(), &hints, &found);
    if (result == EAI_NONAME || result == EAI_ADDRFAMILY) {
        // AI_ADDRCONFIG hides loopback-only address families on hosts without other
        // interfaces; ask again without it before giving up.
        hints.ai_flags = AI_NUMERICSERV;
        result = getaddrinfo(host, service.c_str(), &hints, &found);
    }
    if (result != 0) return ResolveError(result);
    State->Addresses.clear();
    State->NextAddress = 0;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        ADDRESS address;
        std::memcpy(&address.Storage, entry->ai_addr, entry->ai_addrlen);
        address.Length = entry->ai_addrlen;
        State->Addresses.push_back(address);
    }
    freeaddrinfo(found);
    return State->ConnectNext();
}

uint32_t TCP_SOCKET::CheckConnect() {
    if (!IsOpen()) return ERR_WSAENOTCONN;
    pollfd check{State->Socket.Get(), POLLOUT, 0};
    if (poll(&check, 1, 0) <= 0) return ERR_WSAEWOULDBLOCK;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(State->Socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) return ERR_SUCCESS;
    const uint32_t failure = SocketErrorFromErrno(error);
    return State->ConnectNext() == ERR_SUCCESS ? ERR_WSAEWOULDBLOCK : failure;
}

uint32_t TCP_SOCKET::Send(const uint8_t* bytes, size_t count, size_t& sent) {
    sent = 0;
    if (!IsOpen()) return ERR_WSAENOTCONN;
    while (sent < count) {
        const ssize_t result = send(State->Socket.Get(), bytes + sent, count - sent, MSG_NOSIGNAL);
        if (result >= 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ERR_SUCCESS;
        return SocketErrorFromErrno(errno);
    }
    return ERR_SUCCESS;
}

uint32_t TCP_SOCKET::Receive(uint8_t* buffer, size_t capacity, size_t& received) {
    received = 0;
    if (!IsOpen()) return ERR_WSAENOTCONN;
    for (;;) {
        const ssize_t result = recv(State->Socket.Get(), buffer, capacity, 0);
        if (result >= 0) {
            received = static_cast<size_t>(result);
            return ERR_SUCCESS;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ERR_WSAEWOULDBLOCK;
        return SocketErrorFromErrno(errno);
    }
}

void TCP_SOCKET::Close() {
    State->CloseSocket();
    State->Addresses.clear();
    State->NextAddress = 0;
    State->Writable = false;
}

bool TCP_SOCKET::IsOpen() const { return State->Socket.Get() >= 0; }

const WAITABLE& TCP_SOCKET::Readiness() const { return State->Epoll; }

void TCP_SOCKET::RearmReadiness() {
    if (!IsUsable()) return;
    if (State->WorkSignalled) Drain(State->Work.Get());
    if (State->AlarmSet) Drain(State->Alarm.Get());
    State->WorkSignalled = false;
}

void TCP_SOCKET::WatchWritable(bool watch) {
    if (watch == State->Writable) return;
    State->Writable = watch;
    if (IsOpen()) State->Register(State->Socket.Get(), State->SocketEvents(), EPOLL_CTL_MOD);
}

void TCP_SOCKET::SignalWork() {
    if (!IsUsable()) return;
    State->WorkSignalled = true;
    const uint64_t one = 1;
    while (write(State->Work.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void TCP_SOCKET::SetAlarm(uint32_t milliseconds) {
    if (!IsUsable()) return;
    itimerspec timing{};
    timing.it_value.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    timing.it_value.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
    // Setting it also clears an expiry not yet taken.
    timerfd_settime(State->Alarm.Get(), 0, &timing, nullptr);
    State->AlarmSet = milliseconds != 0;
}

}  // namespace qv
