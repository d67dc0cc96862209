// An owned POSIX file descriptor, closed when the owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace qv {

class FILE_DESCRIPTOR {
public:
    FILE_DESCRIPTOR() = default;
    explicit FILE_DESCRIPTOR(int fd) : Fd(fd) {}
    FILE_DESCRIPTOR(const FILE_DESCRIPTOR&) = delete;
    FILE_DESCRIPTOR& operator=(const FILE_DESCRIPTOR&) = delete;
    FILE_DESCRIPTOR(FILE_DESCRIPTOR&& other) noexcept : Fd(std::exchange(other.Fd, -1)) {}
    FILE_DESCRIPTOR& operator=(FILE_DESCRIPTOR&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.Fd, -1));
        return *this;
    }
    ~FILE_DESCRIPTOR() { Reset(); }

    int Get() const { return Fd; }
    bool IsValid() const { return Fd >= 0; }
    // Hands the descriptor over; this object owns nothing afterwards.
    int Release() { return std::exchange(Fd, -1); }
    void Reset(int fd = -1) {
        // Linux releases the descriptor even when close() reports EINTR; never retried.
        if (Fd >= 0) ::close(Fd);
        Fd = fd;
    }

private:
    int Fd = -1;
};

}  // namespace qv
