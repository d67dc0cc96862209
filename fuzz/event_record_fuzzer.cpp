// libFuzzer target: the fuzz input is one buffer of records as a read of the log delivers it.
// It goes through the whole reader (positioning, one batch, dispatch with both dump switches
// on), and every record that parses is dumped once more with its message text, and has its
// own first string used as a message text for its replacement strings.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/error_codes.h"
#include "eventlog/event_log.h"
#include "eventlog/event_log_context.h"
#include "eventlog/event_record.h"
#include "eventlog/record_dump.h"
#include "platform/event_log.h"
#include "support/debug_log.h"
#include "support/debug_log_test_hooks.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/identity/fake_host_resolver.h"

namespace qv {
namespace {

// Every line is formatted and then dropped, so the log costs no input or output.
class QUIET_LOG_ENVIRONMENT : public DEBUG_LOG_ENVIRONMENT {
public:
    void DebuggerOutput(const char16_t*) override {}
    void KernelDebuggerOutput(const char*) override {}
    void ConsoleOutput(const char16_t*) override {}
};

// Serves the input as the first forwards read, after an empty backwards read.
class ONE_BUFFER_LOG : public EVENT_LOG_API {
public:
    ONE_BUFFER_LOG(const uint8_t* data, size_t size) : Data(data), Size(static_cast<uint32_t>(size)) {}

    uint32_t Open(const char16_t*) override { return 0; }
    uint32_t Close() override { return 0; }
    bool IsOpen() const override { return true; }
    uint32_t Read(uint32_t flags, uint32_t, void* buffer, uint32_t size, uint32_t& bytesRead,
                  uint32_t& bytesNeeded) override {
        bytesRead = 0;
        bytesNeeded = 0;
        if ((flags & EVENTLOG_READ_BACKWARDS) != 0 || Served || !InBatch) return ERR_HANDLE_EOF;
        if (Size > size) {
            bytesNeeded = Size;
            return ERR_INSUFFICIENT_BUFFER;
        }
        if (Size != 0) std::memcpy(buffer, Data, Size);
        bytesRead = Size;
        Served = true;
        return 0;
    }
    uint32_t NotifyChange(const EVENT&) override { return 0; }
    uint32_t NumberOfRecords(uint32_t& count) override {
        count = 0;
        return 0;
    }
    uint32_t OldestRecord(uint32_t& recordNumber) override {
        recordNumber = 0;
        return 0;
    }
    // First the change event, then the stop event.
    uint32_t Wait(std::span<const WAITABLE* const>, uint32_t) override {
        if (InBatch) return 1;
        InBatch = true;
        return 0;
    }

private:
    const uint8_t* Data;
    uint32_t Size;
    bool Served = false;
    bool InBatch = false;
};

QUIET_LOG_ENVIRONMENT& QuietLog() {
    static QUIET_LOG_ENVIRONMENT environment;
    // Logons the records carry find no host name and no directory: nothing leaves the process.
    static test::FAKE_HOST_RESOLVER resolver;
    static test::FAKE_DIRECTORY_ACCESS directory;
    static const bool installed = [] {
        directory.CreateFailure = directory.OpenFailure = 0x80040154;
        ResetDebugLogForTest(&environment);
        SetDebugOutputMode(DBGOUT_DEBUGGER | DBGOUT_VERBOSE | DBGOUT_NO_TIME_STAMP);
        return true;
    }();
    (void)installed;
    return environment;
}

// Records of the input taken one by one, each in a block of its own exact size.
void DumpEachRecord(const uint8_t* data, uint32_t size, const EVENT_LOG& log) {
    EVENT_RECORD record;
    for (uint32_t offset = 0; offset < size;) {
        const uint32_t length = TrustedRecordLength(data, size, offset);
        if (length == 0) return;
        std::unique_ptr<uint8_t[]> copy(new uint8_t[length]);
        std::memcpy(copy.get(), data + offset, length);
        offset += length;
        if (ParseEventRecord(copy.get(), length, record) != nullptr) continue;
        // The dispatch has dumped strings and data already; here the message texts.
        DumpRecord(record, log, DUMP_MESSAGE | DUMP_FORMATTED_MESSAGE);
        if (!record.Strings.empty()) {
            STRING text(record.Strings[0]);
            InsertReplacementStrings(text, record.Strings);
        }
    }
}

}  // namespace
}  // namespace qv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qv;
    if (size > 0x7FFFF) return 0;  // no read of the log delivers more
    QuietLog();

    DUMP_SWITCHES switches;
    switches.DumpPertinent = true;
    switches.DumpNonPertinent = true;
    EVENT_LOG log(EVENT_LOG_CONTEXT{switches}, std::make_unique<ONE_BUFFER_LOG>(data, size));
    EVENT stop;
    EVENT settingsChanged;
    if (!stop.Create(true, false) || !settingsChanged.Create(false, false)) return 0;
    if (!log.Open(u"Security", stop)) return 0;
    log.Process(stop, settingsChanged);

    DumpEachRecord(data, static_cast<uint32_t>(size), log);
    return 0;
}
