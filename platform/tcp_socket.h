// One non-blocking TCP client socket and a level-triggered waitable that tells when it has
// work. The waitable lives as long as the object, across any number of connections, so a
// waiter can keep it in its wait set. It is signalled while
//   - the socket is readable (data, the peer's close or an error),
//   - the socket is writable and writability is watched (while connecting, or while bytes
//     wait to be sent),
//   - an alarm set with SetAlarm has expired, or
//   - the owner said there is work of its own (SignalWork),
// and it is never consumed by a wait: the owner rearms it at the start of each round of work.
// Errors are Win32/Winsock codes on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/wait.h"

namespace qv {

class TCP_SOCKET {
public:
    TCP_SOCKET();
    TCP_SOCKET(const TCP_SOCKET&) = delete;
    TCP_SOCKET& operator=(const TCP_SOCKET&) = delete;
    ~TCP_SOCKET();

    // False when the waitable could not be made; every operation then fails.
    bool IsUsable() const;

    // Resolves host (UTF-8 name or address text) and starts connecting to its first address;
    // later addresses are tried when an earlier one fails. 0 when the attempt is under way
    // (CheckConnect tells how it ends), else the error.
    uint32_t StartConnect(const char* host, uint16_t port);
    // 0 once connected, ERR_WSAEWOULDBLOCK while the attempt goes on, else the error of the
    // last address tried.
    uint32_t CheckConnect();

    // 0 and the count taken (possibly fewer than offered, 0 when the socket takes nothing
    // now), else the error.
    uint32_t Send(const uint8_t* bytes, size_t count, size_t& sent);
    // 0 and the count received (0 when the peer has closed), ERR_WSAEWOULDBLOCK when nothing
    // is there now, else the error.
    uint32_t Receive(uint8_t* buffer, size_t capacity, size_t& received);
    void Close();
    bool IsOpen() const;

    const WAITABLE& Readiness() const;
    // Starts a round of work: clears the owner's signal and an expired alarm, and takes the
    // socket's recorded readiness, so that the waitable reflects only what comes after.
    void RearmReadiness();
    void WatchWritable(bool watch);
    void SignalWork();
    // Signals the waitable after 'milliseconds'; 0 cancels.
    void SetAlarm(uint32_t milliseconds);

private:
    struct STATE;
    std::unique_ptr<STATE> State;
};

}  // namespace qv
