#include "eventlog/event_log.h"

#include <algorithm>
#include <utility>

#include "base/error_codes.h"
#include "eventlog/logon_filter.h"
#include "eventlog/record_dump.h"
#include "identity/identity_protocol.h"
#include "identity/identity_request.h"
#include "platform/error_text.h"
#include "platform/event_log_record.h"
#include "platform/last_error.h"
#include "platform/registry_values.h"
#include "support/debug_log.h"
#include "support/health.h"

namespace qv {

namespace {

constexpr uint32_t READ_BACKWARDS = EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_BACKWARDS;  // 9
constexpr uint32_t READ_FORWARDS = EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_FORWARDS;    // 5

// What the dispatch asks a dump to show: replacement strings and data.
constexpr uint32_t DISPATCH_DUMP_CONTENT = DUMP_STRINGS | DUMP_DATA;

// Indices in the reader's wait set, in the order the wait takes them: a stop comes first, so
// that new records never hold it back (they are read at the next start).
constexpr uint32_t WAIT_STOP = 0;
constexpr uint32_t WAIT_CHANGE = 1;
constexpr uint32_t WAIT_SETTINGS_CHANGED = 2;

// The reading position is saved at most this often while records come in, and at every stop.
constexpr uint64_t POSITION_SAVE_INTERVAL_MS = 5000;

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
        const uint32_t recordNumber = GetRecordUInt32(bytes, offset + record_offset::RecordNumber);
        NoteRecord(range, recordNumber);
        // The newest record passed over is where reading stands.
        if (recordNumber >= HandedOn.RecordNumber) {
            NoteHandedOn(recordNumber, GetRecordUInt32(bytes, offset + record_offset::TimeGenerated));
        }
    });
    return ERR_SUCCESS;
}

// Moves the handle's read position past the last record, counting what it passes. One
// backwards read puts the position at the end; the forwards reads then go on until the end of
// the log, so that no record that was already there reaches a handler even when more of them
// follow than one buffer holds.
uint32_t EVENT_LOG::PositionToEnd(BYTE_BUFFER& buffer) {
    // An empty log leaves reading before its first record.
    NoteHandedOn(0, 0);
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
        code = Restoring ? RestorePosition(buffer) : PositionToEnd(buffer);
        Restoring = false;
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

// The first start reads on from where the last run stopped reading, when it kept its place and
// the log is still the same (the record there is the one read then). A first start, a log
// cleared since, or a place the log has wrapped past starts at the end, saying why.
uint32_t EVENT_LOG::RestorePosition(BYTE_BUFFER& buffer) {
    if (!Context.LoadPosition) return PositionToEnd(buffer);
    READ_POSITION kept;
    if (!Context.LoadPosition(kept)) {
        DebugLog(u"EVENT_LOG::Process: No reading position was kept by an earlier run; starting at the end of the %s "
                 u"event log",
                 Name);
        return PositionToEnd(buffer);
    }
    Saved = kept;
    HaveSaved = true;
    if (kept.RecordNumber == 0) {
        DebugLog(u"EVENT_LOG::Process: The %s event log was empty when reading stopped; reading it from its start", Name);
        NoteHandedOn(0, 0);
        return CatchUp(buffer, 0);
    }
    uint32_t bytesRead = 0;
    const uint32_t code = Read(EVENTLOG_READ_SEEK | EVENTLOG_READ_FORWARDS, kept.RecordNumber, buffer, bytesRead);
    if (code != ERR_SUCCESS && code != ERR_INVALID_PARAMETER) return code;
    const uint8_t* bytes = buffer.Data();
    const bool found = code == ERR_SUCCESS && TrustedRecordLength(bytes, bytesRead, 0) != 0 &&
                       GetRecordUInt32(bytes, record_offset::RecordNumber) == kept.RecordNumber;
    if (found && GetRecordUInt32(bytes, record_offset::TimeGenerated) == kept.TimeGenerated) {
        DebugLog(u"EVENT_LOG::Process: Reading on after record %lu, where reading stopped before the restart",
                 kept.RecordNumber);
        LastRecordNumber = kept.RecordNumber;
        NoteHandedOn(kept.RecordNumber, kept.TimeGenerated);
        return CatchUp(buffer, bytesRead);
    }
    uint32_t oldest = 0;
    if (found) {
        DebugLog(u"EVENT_LOG::Process: Record %lu is not the record read before the restart: the %s event log was "
                 u"cleared; starting at its end",
                 kept.RecordNumber, Name);
    } else if (Api->OldestRecord(oldest) == ERR_SUCCESS && oldest > kept.RecordNumber) {
        DebugLog(u"EVENT_LOG::Process: Record %lu, where reading stopped before the restart, is no longer in the %s "
                 u"event log; starting at its end",
                 kept.RecordNumber, Name);
    } else {
        DebugLog(u"EVENT_LOG::Process: Record %lu, where reading stopped before the restart, is not in the %s event "
                 u"log: it was cleared; starting at its end",
                 kept.RecordNumber, Name);
    }
    // A fresh handle, so that the backwards read starts at the end, not at the record sought.
    Api->Close();
    if (const uint32_t reopened = Api->Open(Name.Text())) return reopened;
    return PositionToEnd(buffer);
}

uint32_t EVENT_LOG::CatchUp(BYTE_BUFFER& buffer, uint32_t bytesSought) {
    const uint64_t now = (TIME_VALUE::Now().Count - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND;
    const uint64_t ttl = Context.LogonTimeToLive() / 1000;
    OldestToDispatch = now > ttl ? static_cast<uint32_t>(now - ttl) : 0;
    SkippedAsOld = 0;
    RECORD_RANGE range;
    bool stopped = false;
    if (bytesSought != 0) {
        // The sought record was dispatched before the log was opened again.
        SeenUpTo = LastRecordNumber;
        stopped = !DispatchRecords(buffer.Data(), bytesSought, range);
        SeenUpTo = 0;
    }
    const uint32_t code = stopped ? ERR_CANCELLED : ReadBatch(buffer, range);
    OldestToDispatch = 0;
    DebugLog(code == ERR_CANCELLED
                 ? u"EVENT_LOG::Process: Stopped while catching up, Records: Count = %lu, First = %lu, Last = %lu; %lu "
                   u"older than the logon time-to-live passed over"
                 : u"EVENT_LOG::Process: Caught up, Records: Count = %lu, First = %lu, Last = %lu; %lu older than the "
                   u"logon time-to-live passed over",
             range.Count, range.First, range.Last, SkippedAsOld);
    return code;
}

uint32_t EVENT_LOG::ReadBatch(BYTE_BUFFER& buffer, RECORD_RANGE& range) {
    for (;;) {
        if (StopRequested()) return ERR_CANCELLED;
        uint32_t bytesRead = 0;
        const uint32_t code = Read(READ_FORWARDS, buffer, bytesRead);
        if (code != ERR_SUCCESS) return code;
        const bool finished = DispatchRecords(buffer.Data(), bytesRead, range);
        SavePosition(false);
        if (!finished) return ERR_CANCELLED;
    }
}

bool EVENT_LOG::StopRequested() const { return Stop != nullptr && WaitForOne(*Stop, 0) == 0; }

void EVENT_LOG::NoteHandedOn(uint32_t recordNumber, uint32_t timeGenerated) {
    HandedOn = READ_POSITION{recordNumber, timeGenerated};
    HaveHandedOn = true;
}

void EVENT_LOG::SavePosition(bool now) {
    if (!Context.SavePosition || !HaveHandedOn) return;
    if (HaveSaved && Saved == HandedOn) return;
    if (!now && HaveSaved && SinceSave.ElapsedMilliseconds() < POSITION_SAVE_INTERVAL_MS) return;
    Context.SavePosition(HandedOn);
    Saved = HandedOn;
    HaveSaved = true;
    SinceSave.Restart();
}

uint32_t EVENT_LOG::Process(const EVENT& stopEvent, const EVENT& settingsChangedEvent) {
    BYTE_BUFFER buffer;
    if (!buffer.Resize(RECORD_BUFFER_SIZE)) return PROCESS_FAILED;
    EVENT changeEvent;
    if (!changeEvent.Create(true, false)) return PROCESS_FAILED;
    const WAITABLE* const waitSet[] = {&stopEvent, &changeEvent, &settingsChangedEvent};
    // However this call ends, the place reached is kept.
    Stop = &stopEvent;
    struct KEEP_PLACE {
        EVENT_LOG& Log;
        ~KEEP_PLACE() {
            Log.SavePosition(true);
            Log.Stop = nullptr;
        }
    } keepPlace{*this};
    // A connection made again before this call may be to another server.
    FollowServer();

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
        if (code == ERR_CANCELLED) return PROCESS_STOP;
        if (code != ERR_HANDLE_EOF) return PROCESS_FAILED;
        SavePosition(false);

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

            FollowServer();
            Expire();
            RECORD_RANGE range;
            code = ReadBatch(buffer, range);
            DebugLogEx(DBGOUT_VERBOSE,
                       result == WAIT_TIMED_OUT
                           ? u"EVENT_LOG::Process: Time-out, Records: Count = %lu, First = %lu, Last = %lu"
                           : u"EVENT_LOG::Process: Signaled, Records: Count = %lu, First = %lu, Last = %lu",
                       range.Count, range.First, range.Last);
            if (code == ERR_HANDLE_EOF) {
                SavePosition(false);
                NoteBacklog();
                // A change of server during the batch: the live logons follow it now.
                FollowServer();
                continue;
            }
            if (code == ERR_CANCELLED) return PROCESS_STOP;
            if (code == ERR_EVENTLOG_FILE_CHANGED) {
                ForgetPosition();
                break;
            }
            return PROCESS_FAILED;
        }
    }
}

bool EVENT_LOG::DispatchRecords(const uint8_t* buffer, uint32_t size, RECORD_RANGE& range) {
    bool stopped = false;
    WalkRecords(buffer, size, u"EVENT_LOG::DispatchRecord", [&](uint32_t offset, uint32_t length) {
        // A stop is looked for before each record; those left are read at the next start.
        if (stopped || (stopped = StopRequested())) return;
        DispatchRecord(buffer + offset, length, range);
    });
    return !stopped;
}

void EVENT_LOG::ForgetPosition() {
    Start = START::AT_END;
    LastRecordNumber = 0;
}

bool EVENT_LOG::DispatchRecord(const uint8_t* bytes, uint32_t length, RECORD_RANGE& range) {
    const uint32_t recordNumber = GetRecordUInt32(bytes, record_offset::RecordNumber);
    if (SeenUpTo != 0 && recordNumber <= SeenUpTo) return true;
    NoteRecord(range, recordNumber);
    Health().Add(HEALTH_RECORDS_READ);
    LastRecordNumber = recordNumber;
    const uint32_t timeGenerated = GetRecordUInt32(bytes, record_offset::TimeGenerated);
    if (OldestToDispatch != 0 && timeGenerated < OldestToDispatch) {
        ++SkippedAsOld;
        NoteHandedOn(recordNumber, timeGenerated);
        return true;
    }
    const char16_t* fault = ParseEventRecord(bytes, length, Record);
    if (fault != nullptr) {
        DebugLog(u"EVENT_LOG::DispatchRecord: Record %lu skipped: %s", recordNumber, fault);
        NoteHandedOn(recordNumber, timeGenerated);
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
    // A record whose handling a stop cut short counts as not handed on: the next start
    // handles it again (a report sent twice is harmless; one never sent loses an identity).
    if (!StopRequested()) NoteHandedOn(recordNumber, timeGenerated);
    return true;
}

void EVENT_LOG::RunHandler(const EVENT_KIND& kind, const EVENT_RECORD& record) { kind.Handler(*this, record); }

void EVENT_LOG::Expire() {
    if (LastExpiry.ElapsedMilliseconds() <= Timing.ExpiryIntervalMs) return;
    // Each entry's age is taken when it is tested: a heartbeat before it may have waited long
    // for its answer. Every age test is strict: exactly the limit does not expire.
    auto age = [](uint64_t since) {
        const uint64_t now = STOPWATCH::Now();
        return now > since ? now - since : 0;
    };

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
    Context.StatisticsWritten();
}

void EVENT_LOG::NoteBacklog() {
    // The newest record in the log against the last one read.
    uint32_t count = 0;
    uint32_t oldest = 0;
    if (Api->NumberOfRecords(count) != ERR_SUCCESS || Api->OldestRecord(oldest) != ERR_SUCCESS || count == 0) return;
    const uint32_t newest = oldest + count - 1;
    Health().Set(HEALTH_RECORDS_BEHIND, newest > LastRecordNumber ? newest - LastRecordNumber : 0);
}

void EVENT_LOG::FollowServer() {
    IDENTITY_PROTOCOL* connection = CurrentConnection();
    if (connection == nullptr) return;
    connection->ReturnToPrimaryIfDue();
    const uint64_t epoch = connection->ResendEpoch();
    if (epoch == ResentInEpoch) return;
    ResentInEpoch = epoch;
    uint32_t waiting = 0;
    LogonEntries.RemoveWhere([&](const LOGON_ENTRY& entry) {
        waiting += entry.Request.ReportedInEpoch != epoch;
        return false;
    });
    if (waiting == 0) return;
    DebugLog(u"Sending the %lu live logon(s) again to Identity server = \"%s\"", waiting, connection->ServerName());
    LogonEntries.RemoveWhere([&](LOGON_ENTRY& entry) {
        // A stop ends the round; the rest are not sent, and are not marked as sent either.
        if (entry.Request.ReportedInEpoch == epoch || connection->Stopping()) return false;
        // Once, whatever the answer, so that a failing report is not tried again and again;
        // but a report that failed on the way to yet another server is owed to that one.
        if (!IdentityResendLogon(entry.Request) && connection->ResendEpoch() == epoch) {
            entry.Request.ReportedInEpoch = epoch;
        }
        entry.LastHeartbeat = STOPWATCH::Now();
        return false;
    });
}

}  // namespace qv
