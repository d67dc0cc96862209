#include "tools/identity_server/byte_channel.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace qv::identity_server {
namespace {

constexpr int SLICE_MS = 100;

}  // namespace

bool SleepUnlessStopping(uint32_t milliseconds, const std::atomic<bool>& stopping)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stopping.load()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(SLICE_MS)));
    }
    return false;
}

BYTE_CHANNEL::BYTE_CHANNEL(SOCKET_HANDLE socket, SSL_CTX* tls, const std::atomic<bool>& stopping)
    : Socket(std::move(socket)), Stopping(stopping)
{
    if (tls) {
        Session.reset(SSL_new(tls));
        if (Session)
            SSL_set_fd(Session.get(), Socket.Get());
    }
}

BYTE_CHANNEL::~BYTE_CHANNEL()
{
    Close();
}

BYTE_CHANNEL::READINESS BYTE_CHANNEL::WaitFor(short events, std::string& problem,
                                              std::chrono::steady_clock::time_point deadline)
{
    while (!Stopping.load()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return READINESS::IDLE;
        pollfd entry{Socket.Get(), events, 0};
        const int ready = poll(&entry, 1, SLICE_MS);
        if (ready > 0)
            return READINESS::READY;  // errors and hang-ups show in the following call
        if (ready < 0 && errno != EINTR) {
            problem = std::string("poll: ") + std::strerror(errno);
            return READINESS::FAILED;
        }
    }
    return READINESS::STOPPING;
}

BYTE_CHANNEL::READINESS BYTE_CHANNEL::WaitAfterTls(int result, const char* operation, std::string& problem)
{
    const int error = SSL_get_error(Session.get(), result);
    if (error == SSL_ERROR_WANT_READ)
        return WaitFor(POLLIN, problem);
    if (error == SSL_ERROR_WANT_WRITE)
        return WaitFor(POLLOUT, problem);
    if (error == SSL_ERROR_SYSCALL && errno != 0)
        problem = std::string(operation) + ": " + std::strerror(errno);
    else
        problem = std::string(operation) + ": " + OpenSslErrorText("connection ended");
    return READINESS::FAILED;
}

bool BYTE_CHANNEL::Accept(std::string& problem)
{
    if (!Session) {
        if (!Socket.Valid())
            problem = "no socket";
        return Socket.Valid();
    }
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int result = SSL_accept(Session.get());
        if (result == 1) {
            HandshakeDone = true;
            return true;
        }
        const READINESS readiness = WaitAfterTls(result, "TLS handshake", problem);
        if (readiness == READINESS::STOPPING)
            problem = "server stopping";
        if (readiness != READINESS::READY)
            return false;
    }
}

READ_RESULT BYTE_CHANNEL::Read(uint8_t* buffer, size_t capacity, size_t& received, std::string& problem,
                               uint32_t idleMs)
{
    received = 0;
    const auto deadline = idleMs != 0 ? std::chrono::steady_clock::now() + std::chrono::milliseconds(idleMs)
                                      : std::chrono::steady_clock::time_point::max();
    for (;;) {
        if (Session) {
            ERR_clear_error();
            errno = 0;
            const int result = SSL_read(Session.get(), buffer, static_cast<int>(std::min<size_t>(capacity, 1 << 20)));
            if (result > 0) {
                received = static_cast<size_t>(result);
                return READ_RESULT::DATA;
            }
            const int error = SSL_get_error(Session.get(), result);
            if (error == SSL_ERROR_ZERO_RETURN)
                return READ_RESULT::CLOSED;
            const READINESS readiness = error == SSL_ERROR_WANT_READ ? WaitFor(POLLIN, problem, deadline)
                                                                     : WaitAfterTls(result, "TLS read", problem);
            if (readiness == READINESS::STOPPING)
                return READ_RESULT::STOPPING;
            if (readiness == READINESS::IDLE)
                return READ_RESULT::IDLE;
            if (readiness == READINESS::FAILED)
                return READ_RESULT::FAILED;
            continue;
        }
        const ssize_t result = recv(Socket.Get(), buffer, capacity, 0);
        if (result > 0) {
            received = static_cast<size_t>(result);
            return READ_RESULT::DATA;
        }
        if (result == 0)
            return READ_RESULT::CLOSED;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            problem = std::string("recv: ") + std::strerror(errno);
            return READ_RESULT::FAILED;
        }
        const READINESS readiness = WaitFor(POLLIN, problem, deadline);
        if (readiness == READINESS::STOPPING)
            return READ_RESULT::STOPPING;
        if (readiness == READINESS::IDLE)
            return READ_RESULT::IDLE;
        if (readiness == READINESS::FAILED)
            return READ_RESULT::FAILED;
    }
}

bool BYTE_CHANNEL::WriteAll(std::span<const uint8_t> bytes, std::string& problem)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const size_t left = bytes.size() - sent;
        READINESS readiness = READINESS::READY;
        if (Session) {
            ERR_clear_error();
            errno = 0;
            const int result = SSL_write(Session.get(), bytes.data() + sent, static_cast<int>(left));
            if (result > 0) {
                sent += static_cast<size_t>(result);
                continue;
            }
            readiness = WaitAfterTls(result, "TLS write", problem);
        } else {
            const ssize_t result = send(Socket.Get(), bytes.data() + sent, left, MSG_NOSIGNAL);
            if (result > 0) {
                sent += static_cast<size_t>(result);
                continue;
            }
            if (result < 0 && errno == EINTR)
                continue;
            if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                problem = std::string("send: ") + std::strerror(errno);
                return false;
            }
            readiness = WaitFor(POLLOUT, problem);
        }
        if (readiness == READINESS::STOPPING)
            problem = "server stopping";
        if (readiness != READINESS::READY)
            return false;
    }
    return true;
}

void BYTE_CHANNEL::Close()
{
    if (Session && HandshakeDone)
        SSL_shutdown(Session.get());  // one attempt: a close_notify if the socket takes it
    Session.reset();
    Socket.Close();
}

void BYTE_CHANNEL::Reset()
{
    // A zero linger time turns the close into a reset, without a TLS close_notify first.
    const linger abortive{1, 0};
    if (Socket.Valid())
        setsockopt(Socket.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Session.reset();
    Socket.Close();
}

std::string BYTE_CHANNEL::TlsVersion() const
{
    return Session ? SSL_get_version(Session.get()) : "";
}

}  // namespace qv::identity_server
