// One accepted connection as a stream of bytes, plain or TLS, over a non-blocking socket. Every
// wait is cut into short slices so that a stopping server is never held up by a silent peer.
#pragma once

#include "tools/identity_server/socket_handle.h"
#include "tools/identity_server/tls_context.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qv::identity_server {

enum class READ_RESULT { DATA, CLOSED, FAILED, STOPPING, IDLE };

class BYTE_CHANNEL {
public:
    // tls null: plain TCP.
    BYTE_CHANNEL(SOCKET_HANDLE socket, SSL_CTX* tls, const std::atomic<bool>& stopping);
    BYTE_CHANNEL(const BYTE_CHANNEL&) = delete;
    BYTE_CHANNEL& operator=(const BYTE_CHANNEL&) = delete;
    ~BYTE_CHANNEL();

    // The TLS handshake; true at once on plain connections.
    bool Accept(std::string& problem);
    // idleMs non-zero: IDLE when nothing arrives for that long.
    READ_RESULT Read(uint8_t* buffer, size_t capacity, size_t& received, std::string& problem, uint32_t idleMs = 0);
    bool WriteAll(std::span<const uint8_t> bytes, std::string& problem);
    // Ends the connection (with a TLS close_notify where the session is up).
    void Close();
    // Ends the connection with a TCP reset, as a peer that discards an idle connection does.
    void Reset();

    bool IsTls() const { return Session != nullptr; }
    bool IsOpen() const { return Socket.Valid(); }
    std::string TlsVersion() const;

private:
    enum class READINESS { READY, STOPPING, FAILED, IDLE };
    // Waits until the socket is ready for 'events', the server stops or (with a deadline)
    // the deadline passes.
    READINESS WaitFor(short events, std::string& problem,
                      std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    // After an SSL call that did not complete: waits as OpenSSL asks, or says why it failed.
    READINESS WaitAfterTls(int result, const char* operation, std::string& problem);

    SOCKET_HANDLE Socket;
    SSL_HANDLE Session;
    const std::atomic<bool>& Stopping;
    bool HandshakeDone = false;
};

// Sleeps milliseconds in short slices; false when the server started stopping meanwhile.
bool SleepUnlessStopping(uint32_t milliseconds, const std::atomic<bool>& stopping);

}  // namespace qv::identity_server
