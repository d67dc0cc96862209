// SIGINT, SIGTERM and SIGHUP as a waitable object: while installed, the three signals no longer
// end the process; their handler only writes the signal's number to a pipe, which is all a
// signal handler may safely do, and whoever waits on the pipe's read end takes the numbers and
// acts on a thread of its own. One instance at a time; the previous actions come back on
// Uninstall. What SIGHUP means is the taker's business: the terminal went away (a stop, as a
// closed console is on Windows), or, for a daemon, "read your settings again".
#pragma once

#include <csignal>
#include <cstdint>

#include "platform/wait.h"

namespace qv {

class STOP_SIGNALS : public WAITABLE {
public:
    STOP_SIGNALS() = default;
    ~STOP_SIGNALS() { Uninstall(); }

    // False, with the last-error value set, when the pipe or a handler could not be set up.
    bool Install();
    void Uninstall();

    // The signals that have arrived since the last call, emptying the pipe: the last one's
    // number, or 0 when none had; 'seen', when given, receives (1 << number) of each of them.
    int Take(uint32_t* seen = nullptr);

private:
    bool Installed = false;
    struct sigaction PreviousInterrupt {};
    struct sigaction PreviousTerminate {};
    struct sigaction PreviousHangUp {};
};

// "SIGINT", "SIGTERM", "SIGHUP", or "signal" for another number.
const char16_t* StopSignalName(int signalNumber);

}  // namespace qv
