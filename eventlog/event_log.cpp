#include "eventlog/event_log.h"

#include <algorithm>
#include <utility>

#include "base/error_codes.h"
#include "eventlog/logon_filter.h"
#include "eventlog/record_dump.h"
#include "identity/identity_request.h"
#include "platform/error_text.h"
#include "platform/event_log_record.h"
#include "platform/last_error.h"
#include "platform/registry_values.h"
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
            // A log opened again after a failure is read on from where reading stopped.
            if (Start != START::AT_END) Start = START::SEEK_AFTER_LAST_RECORD;
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

uint32_t EVENT_LOG::Read(uint32_t flags, BYTE_BUFFER& buffer, uint32_t& bytesRead) { return Read(flags, 0, buffer, bytesRead); }

uint32_t EVENT_LOG::Read(uint32_t flags, uint32_t recordOffset, BYTE_BUFFER& buffer, uint32_t& bytesRead) {
    for (;;) {
        uint32_t needed = 0;
        bytesRead = 0;
        const uint32_t code = Api->Read(flags, recordOffset, buffer.Data(), buffer.Size(), bytesRead, needed);
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
    LastRecordNumber = std::max({LastRecordNumber, backwards.First, forwards.Last});
    return code;
}

uint32_t EVENT_LOG::Resume(BYTE_BUFFER& buffer) {
    uint32_t code = ERR_HANDLE_EOF;
    switch (Start) {
    case START::AT_END:
        code = PositionToEnd(buffer);
        break;
    case START::AFTER_LAST_RECORD:
        code = CatchUp(buffer, 0);
        break;
    case START::SEEK_AFTER_LAST_RECORD:
        code = SeekPastLastRecord(buffer);
        break;
    }
    if (code == ERR_HANDLE_EOF) Start = START::AFTER_LAST_RECORD;
    return code;
}

// A handle opened again starts at the oldest record: it is moved past the last record seen
// before. When that record is gone (the log wrapped past it), everything in the log is new.
uint32_t EVENT_LOG::SeekPastLastRecord(BYTE_BUFFER& buffer) {
    if (LastRecordNumber == 0) return CatchUp(buffer, 0);
    uint32_t bytesRead = 0;
    // The last record itself is sought: the one after it may not have been written yet.
    uint32_t code = Read(EVENTLOG_READ_SEEK | EVENTLOG_READ_FORWARDS, LastRecordNumber, buffer, bytesRead);
    if (code == ERR_SUCCESS) {
        DebugLog(u"EVENT_LOG::Process: Reading on after record %lu", LastRecordNumber);
        return CatchUp(buffer, bytesRead);
    }
    if (code != ERR_INVALID_PARAMETER) return code;
    uint32_t oldest = 0;
    if (Api->OldestRecord(oldest) == ERR_SUCCESS && oldest > LastRecordNumber) {
        DebugLog(u"EVENT_LOG::Process: Record %lu is no longer in the log; reading on from record %lu",
                 LastRecordNumber, oldest);
        return CatchUp(buffer, 0);
    }
    return PositionToEnd(buffer);
}

uint32_t EVENT_LOG::CatchUp(BYTE_BUFFER& buffer, uint32_t bytesSought) {
    const uint64_t now = (TIME_VALUE::Now().Count - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND;
    const uint64_t ttl = Context.LogonTimeToLive() / 1000;
    OldestToDispatch = now > ttl ? static_cast<uint32_t>(now - ttl) : 0;
    SkippedAsOld = 0;
    RECORD_RANGE range;
    if (bytesSought != 0) {
        // The sought record was dispatched before the log was opened again.
        SeenUpTo = LastRecordNumber;
        DispatchRecords(buffer.Data(), bytesSought, range);
        SeenUpTo = 0;
    }
    const uint32_t code = ReadBatch(buffer, range);
    OldestToDispatch = 0;
    DebugLog(u"EVENT_LOG::Process: Caught up, Records: Count = %lu, First = %lu, Last = %lu; %lu older than the "
             u"logon time-to-live passed over",
             range.Count, range.First, range.Last, SkippedAsOld);
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

        // Positioning (at start and after a cleared log), or reading on where reading stopped.
        code = Resume(buffer);
        if (code == ERR_EVENTLOG_FILE_CHANGED) {
            ForgetPosition();
            continue;
        }
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
            if (code == ERR_EVENTLOG_FILE_CHANGED) {
                ForgetPosition();
                break;
            }
            return PROCESS_FAILED;
        }
    }
}

void EVENT_LOG::DispatchRecords(const uint8_t* buffer, uint32_t size, RECORD_RANGE& range) {
    WalkRecords(buffer, size, u"EVENT_LOG::DispatchRecord",
                [&](uint32_t offset, uint32_t length) { DispatchRecord(buffer + offset, length, range); });
}

void EVENT_LOG::ForgetPosition() {
    Start = START::AT_END;
    LastRecordNumber = 0;
}

bool EVENT_LOG::DispatchRecord(const uint8_t* bytes, uint32_t length, RECORD_RANGE& range) {
    const uint32_t recordNumber = GetRecordUInt32(bytes, record_offset::RecordNumber);
    if (SeenUpTo != 0 && recordNumber <= SeenUpTo) return true;
    NoteRecord(range, recordNumber);
    LastRecordNumber = recordNumber;
    if (OldestToDispatch != 0 && GetRecordUInt32(bytes, record_offset::TimeGenerated) < OldestToDispatch) {
        ++SkippedAsOld;
        return true;
    }
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
    const uint64_t now = STOPWATCH::Now();
    // Every age test is strict: exactly the limit does not expire.
    auto age = [now](uint64_t since) { return now > since ? now - since : 0; };

    Tickets.RemoveWhere([&](const SERVICE_TICKET& ticket) {
        if (age(ticket.Created) <= Timing.TicketLifetimeMs) return false;
        DebugLog(u"Service ticket expired,\n    NtUserName = \"%s\",\n    IpAddress = \"%s\",\n    NtComputerName = "
                 u"\"%s\"",
                 ticket.NtUserName, ticket.IpAddress, ticket.NtComputerName);
        return true;
    });

    const uint64_t timeToLive = Context.LogonTimeToLive();
    const uint64_t heartbeatInterval = Context.HeartbeatInterval();
    LogonEntries.RemoveWhere([&](LOGON_ENTRY& entry) {
        if (age(entry.TtlStart) > timeToLive) {
            DebugLog(u"Logon expired: User name = \"%s\", IP address = \"%s\"", entry.UserName(), entry.AddressText());
            return true;
        }
        if (age(entry.LastHeartbeat) > heartbeatInterval) {
            IdentityReportHeartbeat(entry.Request);
            // Whatever the result: a failed heartbeat is tried again an interval later.
            entry.LastHeartbeat = STOPWATCH::Now();
        }
        return false;
    });

    WriteStatistics();
    LastExpiry.Restart();
}

void EVENT_LOG::WriteStatistics() {
    DebugLogEx(DBGOUT_VERBOSE, u"Updating statistics");
    const REGISTRY_KEY* key = Context.StatisticsKey;
    if (key == nullptr || !key->IsOpen()) return;
    WriteRegistryDword(*key, u"ServiceTickets", Tickets.Count());
    WriteRegistryDword(*key, u"Logons", LogonEntries.Count());
    const LOGON_FILTER_SLOT* filters = Context.LogonFilters;
    if (filters != nullptr && filters->WasUsed()) WriteRegistryDword(*key, u"Ignored", filters->PassedOverCount());
}

}  // namespace qv
