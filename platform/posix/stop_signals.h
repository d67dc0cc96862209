// SIGINT and SIGTERM as a waitable object: while installed, the two signals no longer end the
// process; their handler only writes the signal's number to a pipe, which is all a signal
// handler may safely do, and whoever waits on the pipe's read end takes the numbers and acts on
// a thread of its own. One instance at a time; the previous actions come back on Uninstall.
#pragma once

#include <csignal>

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
    // number, or 0 when none had.
    int Take();

private:
    bool Installed = false;
    struct sigaction PreviousInterrupt {};
    struct sigaction PreviousTerminate {};
};

// "SIGINT", "SIGTERM", or "signal" for another number.
const char16_t* StopSignalName(int signalNumber);

}  // namespace qv
