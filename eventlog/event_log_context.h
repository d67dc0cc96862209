// What the service hands the Security log reader: the dump switches of its command line and a
// way to ask the whole service to stop. The reader reads the switches as they stand, since
// the service parses its start parameters into the same record again.
#pragma once

#include <functional>

namespace qv {

struct DUMP_SWITCHES {
    bool DumpPertinent = false;
    bool DumpNonPertinent = false;
    bool MiniDump = false;
};

struct EVENT_LOG_CONTEXT {
    const DUMP_SWITCHES& Switches;
    // Stops the service with the reason given; a reader on its own has nothing to stop.
    std::function<void(const char16_t* reason)> RequestStop = [](const char16_t*) {};
};

}  // namespace qv
