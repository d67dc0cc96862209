#include "eventlog/event_log.h"

#include <utility>

#include "base/error_codes.h"
#include "eventlog/record_dump.h"
#include "platform/error_text.h"
#include "platform/event_log_record.h"
#include "platform/last_error.h"
#include "support/debug_log.h"

namespace qv {

namespace {

constexpr uint32_t READ_BACKWARDS = EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_BACKWARDS;  // 9
constexpr uint32_t READ_FORWARDS = EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_FORWARDS;    // 5

// What the dispatch asks a dump to show: replacement strings and data.
constexpr uint32_t DISPATCH_DUMP_CONTENT = DUMP_STRINGS | DUMP_DATA;

// Indices in the reader's wait set, in the order the wait takes them.
constexpr uint32_t WAIT_CHANGE = 0;
constexpr uint32_t WAIT_STOP = 1;
constexpr uint32_t WAIT_SETTINGS_CHANGED = 2;

void NoteRecord(RECORD_RANGE& range, uint32_t recordNumber) {
    if (range.Count == 0) range.First = recordNumber;
    range.Last = recordNumber;
    ++range.Count;
}

// Calls visit(offset, length) for each record of the buffer. A record whose Length cannot be
// trusted to find the next one ends the walk with one line, since nothing after it can be
// found either.
template <typename VISIT>
void WalkRecords(const uint8_t* buffer, uint32_t size, const char16_t* operation, VISIT visit) {
    uint32_t offset = 0;
    while (offset < size) {
        const uint32_t length = TrustedRecordLength(buffer, size, offset);
        if (length == 0) {
            const uint32_t declared = size - offset >= 4 ? GetRecordUInt32(buffer, offset) : 0;
            DebugLog(u"%s: Record %lu at offset %lu has an unusable length of %lu; the last %lu bytes of the buffer are skipped",
                     operation, RecordNumberAt(buffer, size, offset), offset, declared, size - offset);
            return;
        }
        visit(offset, length);
        offset += length;
    }
}

}  // namespace

EVENT_LOG::EVENT_LOG(const EVENT_LOG_CONTEXT& context, std::unique_ptr<EVENT_LOG_API> api,
                     const EVENT_LOG_TIMING& timing)
    : Context(context), Api(std::move(api)), Timing(timing) {}

EVENT_LOG::~EVENT_LOG() { Close(); }

bool EVENT_LOG::Open(const char16_t* logName, const WAITABLE& stopEvent) {
    const WAITABLE* const objects[] = {&stopEvent};
    for (;;) {
        DebugLog(u"Opening %s event log ...", logName);
        const uint32_t code = Api->Open(logName);
        if (code == ERR_SUCCESS) {
            Name = logName;
            return true;
        }
        DebugLog(u"Uable to open the \"%s\" event log. %s. Error code = %lu.", logName, GetErrorText(code), code);
        const uint32_t result = Api->Wait(objects, Timing.OpenRetryMs);
        if (result == 0) return false;
        if (result == WAIT_TIMED_OUT) continue;
        Context.RequestStop(u"open event log wait failure");
        return false;
    }
}

bool EVENT_LOG::Close() { return Api->Close() == ERR_SUCCESS; }

uint32_t EVENT_LOG::Read(uint32_t flags, BYTE_BUFFER& buffer, uint32_t& bytesRead) {
    for (;;) {
        uint32_t needed = 0;
        bytesRead = 0;
        const uint32_t code = Api->Read(flags, 0, buffer.Data(), buffer.Size(), bytesRead, needed);
        switch (code) {
        case ERR_SUCCESS:
            // Never trust the platform to stay within the buffer it was given.
            if (bytesRead > buffer.Size()) bytesRead = buffer.Size();
            return ERR_SUCCESS;
        case ERR_HANDLE_EOF:
            bytesRead = 0;
            return code;
        case ERR_INSUFFICIENT_BUFFER:
            // A size that would not grow the buffer would repeat this read for ever.
            if (needed > buffer.Size()) {
                if (!buffer.Resize(needed)) {
                    DebugLog(u"Failed to reallocate %lu bytes of memory.", needed);
                    bytesRead = 0;
                    return ERR_NOT_ENOUGH_MEMORY;
                }
                continue;
            }
            break;
        case ERR_INVALID_PARAMETER:
            if ((flags & EVENTLOG_READ_SEEK) != 0) {
                bytesRead = 0;
                return code;
            }
            break;
        case ERR_EVENTLOG_FILE_CHANGED: {
            bytesRead = 0;
            DebugLog(u"%s event log has been cleared", Name);
            Api->Close();
            const uint32_t openCode = Api->Open(Name.Text());
            if (openCode != ERR_SUCCESS) {
                DebugLog(u"Uable to reopen the %s event log. %s. Error code = %lu.", Name, GetErrorText(openCode),
                         openCode);
                return openCode;
            }
            DebugLog(u"%s event log reopened", Name);
            return code;
        }
        default:
            break;
        }
        DebugLog(u"Unable to read the %s event log. %s. Error code = %lu.", Name, GetErrorText(code), code);
        bytesRead = 0;
        return code;
    }
}

uint32_t EVENT_LOG::CountRecords(uint32_t flags, BYTE_BUFFER& buffer, RECORD_RANGE& range) {
    uint32_t bytesRead = 0;
    const uint32_t code = Read(flags, buffer, bytesRead);
    if (code != ERR_SUCCESS) return code;
    const uint8_t* bytes = buffer.Data();
    WalkRecords(bytes, bytesRead, u"PositionToEnd", [&](uint32_t offset, uint32_t) {
        NoteRecord(range, GetRecordUInt32(bytes, offset + record_offset::RecordNumber));
    });
    return ERR_SUCCESS;
}

// Moves the handle's read position past the last record, counting what it passes. One
// backwards read puts the position at the end; the forwards reads then go on until the end of
// the log, so that no record that was already there reaches a handler even when more of them
// follow than one buffer holds.
uint32_t EVENT_LOG::PositionToEnd(BYTE_BUFFER& buffer) {
    RECORD_RANGE backwards;
    uint32_t code = CountRecords(READ_BACKWARDS, buffer, backwards);
    if (code != ERR_SUCCESS) return code;
    DebugLog(u"PositionToEnd: BACKWARDS, Records: Count = %lu, First = %lu, Last = %lu", backwards.Count,
             backwards.First, backwards.Last);
    RECORD_RANGE forwards;
    do {
        code = CountRecords(READ_FORWARDS, buffer, forwards);
    } while (code == ERR_SUCCESS);
    DebugLog(u"PositionToEnd: FORWARDS, Records: Count = %lu, First = %lu, Last = %lu", forwards.Count,
             forwards.First, forwards.Last);
    return code;
}

uint32_t EVENT_LOG::ReadBatch(BYTE_BUFFER& buffer, RECORD_RANGE& range) {
    for (;;) {
        uint32_t bytesRead = 0;
        const uint32_t code = Read(READ_FORWARDS, buffer, bytesRead);
        if (code != ERR_SUCCESS) return code;
        DispatchRecords(buffer.Data(), bytesRead, range);
    }
}

uint32_t EVENT_LOG::Process(const EVENT& stopEvent, const EVENT& settingsChangedEvent) {
    BYTE_BUFFER buffer;
    if (!buffer.Resize(RECORD_BUFFER_SIZE)) return PROCESS_FAILED;
    EVENT changeEvent;
    if (!changeEvent.Create(true, false)) return PROCESS_FAILED;
    const WAITABLE* const waitSet[] = {&changeEvent, &stopEvent, &settingsChangedEvent};

    for (;;) {
        // Registering.
        changeEvent.Reset();
        if (Api->NotifyChange(changeEvent) != ERR_SUCCESS) return PROCESS_FAILED;

        uint32_t count = 0;
        uint32_t code = Api->NumberOfRecords(count);
        if (code == ERR_SUCCESS) {
            DebugLog(u"EVENT_LOG::Process: RecordCount = %lu", count);
        } else {
            DebugLog(u"Unable to get event record count. %s. Error code = %lu.", GetErrorText(code), code);
        }
        uint32_t oldest = 0;
        code = Api->OldestRecord(oldest);
        if (code == ERR_SUCCESS) {
            DebugLog(u"EVENT_LOG::Process: OldestRecordNumber = %lu", oldest);
        } else {
            DebugLog(u"Unable to get oldest event record number. %s. Error code = %lu.", GetErrorText(code), code);
        }

        // Positioning.
        code = PositionToEnd(buffer);
        if (code == ERR_EVENTLOG_FILE_CHANGED) continue;
        if (code != ERR_HANDLE_EOF) return PROCESS_FAILED;

        // Waiting and reading batches until the log is cleared.
        for (;;) {
            const uint32_t result = Api->Wait(waitSet, Timing.ChangeWaitMs);
            if (result == WAIT_STOP) return PROCESS_STOP;
            if (result == WAIT_SETTINGS_CHANGED) return PROCESS_SETTINGS_CHANGED;
            if (result == WAIT_FAILED_RESULT) {
                const uint32_t error = GetLastErrorCode();
                DebugLog(u"EVENT_LOG::Process: Wait for event log changes failed. %s. Error code = %lu.",
                         GetErrorText(error), error);
                return PROCESS_FAILED;
            }
            if (result != WAIT_CHANGE && result != WAIT_TIMED_OUT) continue;
            // The change event is manual-reset: clear it before reading, so that records added
            // during the batch signal it again.
            if (result == WAIT_CHANGE) changeEvent.Reset();

            Expire();
            RECORD_RANGE range;
            code = ReadBatch(buffer, range);
            DebugLogEx(DBGOUT_VERBOSE,
                       result == WAIT_TIMED_OUT
                           ? u"EVENT_LOG::Process: Time-out, Records: Count = %lu, First = %lu, Last = %lu"
                           : u"EVENT_LOG::Process: Signaled, Records: Count = %lu, First = %lu, Last = %lu",
                       range.Count, range.First, range.Last);
            if (code == ERR_HANDLE_EOF) continue;
            if (code == ERR_EVENTLOG_FILE_CHANGED) break;
            return PROCESS_FAILED;
        }
    }
}

void EVENT_LOG::DispatchRecords(const uint8_t* buffer, uint32_t size, RECORD_RANGE& range) {
    WalkRecords(buffer, size, u"EVENT_LOG::DispatchRecord",
                [&](uint32_t offset, uint32_t length) { DispatchRecord(buffer + offset, length, range); });
}

bool EVENT_LOG::DispatchRecord(const uint8_t* bytes, uint32_t length, RECORD_RANGE& range) {
    const uint32_t recordNumber = GetRecordUInt32(bytes, record_offset::RecordNumber);
    NoteRecord(range, recordNumber);
    const char16_t* fault = ParseEventRecord(bytes, length, Record);
    if (fault != nullptr) {
        DebugLog(u"EVENT_LOG::DispatchRecord: Record %lu skipped: %s", recordNumber, fault);
        return true;
    }
    const EVENT_KIND* kind = FindEventKind(Record.EventID);
    if (kind != nullptr && kind->Handler != nullptr) {
        if (Switches().DumpPertinent) DumpRecord(Record, *this, DISPATCH_DUMP_CONTENT);
        RunHandler(*kind, Record);
    } else if (Switches().DumpNonPertinent) {
        DumpRecord(Record, *this, DISPATCH_DUMP_CONTENT);
    }
    Record.Strings.clear();
    return true;
}

void EVENT_LOG::RunHandler(const EVENT_KIND& kind, const EVENT_RECORD& record) { kind.Handler(*this, record); }

void EVENT_LOG::Expire() {
    if (LastExpiry.ElapsedMilliseconds() <= Timing.ExpiryIntervalMs) return;
    LastExpiry.Restart();
}

}  // namespace qv
