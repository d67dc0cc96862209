// The peer side of the connection tests: a plain blocking listener and connected sockets on
// the loopback interface, written against the sockets API that both POSIX and Winsock offer.
// Waits use select() with a limit, so a test never hangs on a peer that does not answer.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/win32.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <string>
#include <utility>

namespace qv::test {

#if defined(_WIN32)
using SOCKET_HANDLE = SOCKET;
constexpr SOCKET_HANDLE NO_SOCKET = INVALID_SOCKET;
inline void CloseSocketHandle(SOCKET_HANDLE handle) { closesocket(handle); }
#else
using SOCKET_HANDLE = int;
constexpr SOCKET_HANDLE NO_SOCKET = -1;
inline void CloseSocketHandle(SOCKET_HANDLE handle) { ::close(handle); }
#endif

// Holds the Winsock library for as long as it lives (nothing to do on POSIX).
class SOCKETS_LIBRARY {
public:
#if defined(_WIN32)
    SOCKETS_LIBRARY() {
        WSADATA data{};
        Started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~SOCKETS_LIBRARY() {
        if (Started) WSACleanup();
    }

private:
    bool Started = false;
#endif
};

class TEST_SOCKET {
public:
    TEST_SOCKET() = default;
    explicit TEST_SOCKET(SOCKET_HANDLE handle) : Handle(handle) {}
    TEST_SOCKET(TEST_SOCKET&& other) noexcept : Handle(std::exchange(other.Handle, NO_SOCKET)) {}
    TEST_SOCKET& operator=(TEST_SOCKET&& other) noexcept {
        if (this != &other) {
            Close();
            Handle = std::exchange(other.Handle, NO_SOCKET);
        }
        return *this;
    }
    ~TEST_SOCKET() { Close(); }

    bool IsOpen() const { return Handle != NO_SOCKET; }
    SOCKET_HANDLE Get() const { return Handle; }
    void Close() {
        if (Handle != NO_SOCKET) CloseSocketHandle(Handle);
        Handle = NO_SOCKET;
    }

    bool WaitReadable(uint32_t timeoutMs) const {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(Handle, &readable);
        timeval limit{static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
        return select(static_cast<int>(Handle) + 1, &readable, nullptr, nullptr, &limit) > 0;
    }

    bool SendAll(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const int sent = static_cast<int>(::send(Handle, bytes.data() + done, static_cast<int>(bytes.size() - done), 0));
            if (sent <= 0) return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    // Up to 'capacity' bytes appended to 'out': the count, 0 when the peer has closed, -1 on
    // time-out or failure.
    int ReceiveSome(std::string& out, uint32_t timeoutMs, size_t capacity = 65536) const {
        if (!WaitReadable(timeoutMs)) return -1;
        std::string buffer(capacity, '\0');
        const int got = static_cast<int>(::recv(Handle, buffer.data(), static_cast<int>(capacity), 0));
        if (got > 0) out.append(buffer.data(), static_cast<size_t>(got));
        return got < 0 ? -1 : got;
    }

    // Reads until 'count' bytes have come or the peer closes or is silent for timeoutMs.
    std::string ReceiveExactly(size_t count, uint32_t timeoutMs) const {
        std::string out;
        while (out.size() < count && ReceiveSome(out, timeoutMs, count - out.size()) > 0) {
        }
        return out;
    }

private:
    SOCKET_HANDLE Handle = NO_SOCKET;
};

// A listener on 127.0.0.1 at a port the system chooses.
class LOOPBACK_LISTENER {
public:
    LOOPBACK_LISTENER() {
        Socket = TEST_SOCKET(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!Socket.IsOpen()) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof(address);
        if (::bind(Socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(Socket.Get(), 8) != 0 ||
            ::getsockname(Socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            Socket.Close();
            return;
        }
        ListeningPort = ntohs(address.sin_port);
    }

    bool IsListening() const { return Socket.IsOpen(); }
    uint16_t Port() const { return ListeningPort; }
    void Close() { Socket.Close(); }

    // The next connection, or a closed socket when none came in time.
    TEST_SOCKET Accept(uint32_t timeoutMs) const {
        if (!Socket.WaitReadable(timeoutMs)) return TEST_SOCKET();
        return TEST_SOCKET(::accept(Socket.Get(), nullptr, nullptr));
    }

private:
    SOCKETS_LIBRARY Library;
    TEST_SOCKET Socket;
    uint16_t ListeningPort = 0;
};

}  // namespace qv::test
