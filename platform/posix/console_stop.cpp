// Console stop requests on POSIX: SIGINT, SIGTERM and SIGHUP (the terminal went away, as a
// console closes on Windows), taken from the signal pipe by a thread of ours and handed to the
// callback there.
#include <atomic>

#include "platform/posix/stop_signals.h"
#include "platform/service_control.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace qv {

namespace {

struct CONSOLE_WATCH {
    STOP_SIGNALS Signals;
    EVENT Quit;
    THREAD Watcher;
    CONSOLE_STOP_HANDLER::STOP_CALLBACK OnStop = nullptr;
};

CONSOLE_WATCH& Watch() {
    static CONSOLE_WATCH watch;
    return watch;
}

uint32_t WatchSignals(void*) {
    CONSOLE_WATCH& watch = Watch();
    const WAITABLE* objects[] = {&watch.Quit, &watch.Signals};
    for (;;) {
        const uint32_t result = WaitForAny(objects, WAIT_INFINITE);
        if (result != 1) return result == 0 ? 0 : 1;
        const int signalNumber = watch.Signals.Take();
        if (signalNumber != 0) watch.OnStop(StopSignalName(signalNumber));
    }
}

}  // namespace

bool CONSOLE_STOP_HANDLER::Install(STOP_CALLBACK onStop) {
    if (Installed) return true;
    CONSOLE_WATCH& watch = Watch();
    watch.OnStop = onStop;
    if (!watch.Quit.Create(true, false)) return false;
    if (!watch.Signals.Install()) {
        watch.Quit.Close();
        return false;
    }
    if (!watch.Watcher.Start(WatchSignals, nullptr)) {
        watch.Signals.Uninstall();
        watch.Quit.Close();
        return false;
    }
    Installed = true;
    return true;
}

void CONSOLE_STOP_HANDLER::Uninstall() {
    if (!Installed) return;
    CONSOLE_WATCH& watch = Watch();
    watch.Quit.Set();
    // The watcher only ever waits or calls the callback, which asks for a stop and returns.
    WaitForOne(watch.Watcher, WAIT_INFINITE);
    watch.Watcher.Close();
    watch.Signals.Uninstall();
    watch.Quit.Close();
    Installed = false;
}

}  // namespace qv
