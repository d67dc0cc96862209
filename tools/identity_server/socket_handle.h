// Sockets of the server: an owning descriptor, the listeners, and peer addresses as text.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace qv::identity_server {

class SOCKET_HANDLE {
public:
    SOCKET_HANDLE() = default;
    explicit SOCKET_HANDLE(int descriptor) : Descriptor(descriptor) {}
    SOCKET_HANDLE(const SOCKET_HANDLE&) = delete;
    SOCKET_HANDLE& operator=(const SOCKET_HANDLE&) = delete;
    SOCKET_HANDLE(SOCKET_HANDLE&& other) noexcept : Descriptor(other.Release()) {}
    SOCKET_HANDLE& operator=(SOCKET_HANDLE&& other) noexcept;
    ~SOCKET_HANDLE() { Close(); }

    int Get() const { return Descriptor; }
    bool Valid() const { return Descriptor >= 0; }
    int Release();
    void Close();

private:
    int Descriptor = -1;
};

// A non-blocking listening socket on address (empty: every IPv6 and IPv4 address) and port.
bool OpenListener(const std::string& address, uint16_t port, SOCKET_HANDLE& listener, std::string& problem);

// "127.0.0.1:50123" or "[::1]:50123".
std::string SocketAddressText(const sockaddr_storage& address);

}  // namespace qv::identity_server
