#include "platform/posix/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "base/error_codes.h"
#include "platform/last_error.h"

namespace qv {

namespace {

// One pipe for the life of the process. It is never closed, so a handler that runs while an
// instance is being removed can never write into a descriptor that has meanwhile been reused.
int PipeEnds[2] = {-1, -1};
std::once_flag PipeMade;
int PipeError = 0;
std::atomic<bool> InUse{false};

void OnStopSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    // A full pipe already says that a stop was asked for.
    [[maybe_unused]] const ssize_t written = write(PipeEnds[1], &number, 1);
    errno = savedErrno;
}

void Drain(int fd, int& last, uint32_t& seen) {
    unsigned char numbers[64];
    for (;;) {
        const ssize_t got = read(fd, numbers, sizeof(numbers));
        if (got > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                if (numbers[i] < 32) seen |= 1u << numbers[i];
            }
            last = numbers[got - 1];
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return;
    }
}

bool Fail(uint32_t code) {
    SetLastErrorCode(code);
    return false;
}

}  // namespace

bool STOP_SIGNALS::Install() {
    if (Installed) return true;
    std::call_once(PipeMade, [] {
        if (pipe2(PipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
            PipeError = errno;
            PipeEnds[0] = PipeEnds[1] = -1;
        }
    });
    if (PipeEnds[0] < 0) return Fail(ErrorFromErrno(PipeError));
    bool expected = false;
    if (!InUse.compare_exchange_strong(expected, true)) return Fail(ERR_BUSY);

    const int reader = fcntl(PipeEnds[0], F_DUPFD_CLOEXEC, 0);
    if (reader < 0) {
        InUse = false;
        return Fail(ErrorFromErrno(errno));
    }
    Adopt(reader, false);
    int stale = 0;
    uint32_t staleSeen = 0;
    Drain(reader, stale, staleSeen);

    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, &PreviousInterrupt) != 0) {
        const uint32_t code = ErrorFromErrno(errno);
        Close();
        InUse = false;
        return Fail(code);
    }
    if (sigaction(SIGTERM, &action, &PreviousTerminate) != 0) {
        const uint32_t code = ErrorFromErrno(errno);
        sigaction(SIGINT, &PreviousInterrupt, nullptr);
        Close();
        InUse = false;
        return Fail(code);
    }
    if (sigaction(SIGHUP, &action, &PreviousHangUp) != 0) {
        const uint32_t code = ErrorFromErrno(errno);
        sigaction(SIGINT, &PreviousInterrupt, nullptr);
        sigaction(SIGTERM, &PreviousTerminate, nullptr);
        Close();
        InUse = false;
        return Fail(code);
    }
    Installed = true;
    return true;
}

void STOP_SIGNALS::Uninstall() {
    if (!Installed) return;
    sigaction(SIGINT, &PreviousInterrupt, nullptr);
    sigaction(SIGTERM, &PreviousTerminate, nullptr);
    sigaction(SIGHUP, &PreviousHangUp, nullptr);
    Installed = false;
    Close();
    InUse = false;
}

int STOP_SIGNALS::Take(uint32_t* seen) {
    int last = 0;
    uint32_t numbers = 0;
    if (IsValid()) Drain(NativeHandle(), last, numbers);
    if (seen != nullptr) *seen = numbers;
    return last;
}

const char16_t* StopSignalName(int signalNumber) {
    switch (signalNumber) {
        case SIGINT:
            return u"SIGINT";
        case SIGTERM:
            return u"SIGTERM";
        case SIGHUP:
            return u"SIGHUP";
        default:
            return u"signal";
    }
}

}  // namespace qv
