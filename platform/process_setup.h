// Per-process and per-thread set-up that some platforms need around the program's work.
#pragma once

namespace qv {

// COM for the calling thread (apartment model) for as long as the object lives. Windows only
// needs it (directory lookups go through COM); elsewhere there is nothing to set up.
class COM_APARTMENT {
public:
    COM_APARTMENT();
    ~COM_APARTMENT();
    COM_APARTMENT(const COM_APARTMENT&) = delete;
    COM_APARTMENT& operator=(const COM_APARTMENT&) = delete;

private:
    [[maybe_unused]] bool Initialized = false;  // only Windows has COM to set up
};

// Gives back the sockets library at the end of the service's work (Windows: WSACleanup; the
// TCP components start it). POSIX sockets need no library set-up.
void CleanUpSockets();

// A peer that has gone away must show as a failed write, never end the process. POSIX sends
// SIGPIPE to a process that writes to a connection its peer closed, and not every library
// writes with MSG_NOSIGNAL (the directory's LDAP library does not), so the process ignores
// the signal once, at its start. Windows has no such signal.
void IgnoreBrokenConnectionSignals();

}  // namespace qv
