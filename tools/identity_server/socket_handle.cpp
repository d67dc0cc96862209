#include "tools/identity_server/socket_handle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qv::identity_server {
namespace {

std::string SystemProblem(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool BindAndListen(int family, const void* address, uint16_t port, bool dualStack, SOCKET_HANDLE& listener,
                   std::string& problem)
{
    SOCKET_HANDLE socket(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.Valid()) {
        problem = SystemProblem("socket");
        return false;
    }
    const int on = 1;
    setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (family == AF_INET6) {
        const int v6Only = dualStack ? 0 : 1;
        setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        std::memcpy(&v6->sin6_addr, address, sizeof v6->sin6_addr);
        size = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        std::memcpy(&v4->sin_addr, address, sizeof v4->sin_addr);
        size = sizeof *v4;
    }
    if (bind(socket.Get(), reinterpret_cast<sockaddr*>(&storage), size) != 0) {
        problem = SystemProblem("bind to port " + std::to_string(port));
        return false;
    }
    if (listen(socket.Get(), SOMAXCONN) != 0) {
        problem = SystemProblem("listen on port " + std::to_string(port));
        return false;
    }
    listener = std::move(socket);
    return true;
}

}  // namespace

SOCKET_HANDLE& SOCKET_HANDLE::operator=(SOCKET_HANDLE&& other) noexcept
{
    if (this != &other) {
        Close();
        Descriptor = other.Release();
    }
    return *this;
}

int SOCKET_HANDLE::Release()
{
    const int descriptor = Descriptor;
    Descriptor = -1;
    return descriptor;
}

void SOCKET_HANDLE::Close()
{
    if (Descriptor >= 0)
        ::close(Descriptor);
    Descriptor = -1;
}

bool OpenListener(const std::string& address, uint16_t port, SOCKET_HANDLE& listener, std::string& problem)
{
    in_addr v4{};
    in6_addr v6{};
    if (address.empty()) {
        // Both families on one socket where the system has IPv6; IPv4 alone where it has not.
        if (BindAndListen(AF_INET6, &in6addr_any, port, true, listener, problem))
            return true;
        v4.s_addr = htonl(INADDR_ANY);
        return BindAndListen(AF_INET, &v4, port, false, listener, problem);
    }
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return BindAndListen(AF_INET, &v4, port, false, listener, problem);
    if (inet_pton(AF_INET6, address.c_str(), &v6) == 1)
        return BindAndListen(AF_INET6, &v6, port, false, listener, problem);
    problem = "not a numeric address: " + address;
    return false;
}

std::string SocketAddressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        // An IPv4 client of a dual-stack listener reads better as the IPv4 address it is.
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
            return std::string(text) + ":" + std::to_string(ntohs(v6->sin6_port));
        }
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return text;
}

}  // namespace qv::identity_server
