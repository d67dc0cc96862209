// EVENT_LOG follows the Security event log from its current end and hands every record written
// after that point, in log order, to the logon event handlers. It runs on the service's worker
// thread, which owns the one instance, opens the log through it and calls Process in a loop.
#pragma once

#include <cstdint>
#include <memory>

#include "base/byte_buffer.h"
#include "base/string.h"
#include "eventlog/event_handlers.h"
#include "eventlog/event_log_context.h"
#include "eventlog/event_record.h"
#include "eventlog/logon_tables.h"
#include "platform/event_log.h"
#include "platform/wait.h"
#include "support/time_value.h"

namespace qv {

// Results of EVENT_LOG::Process.
constexpr uint32_t PROCESS_FAILED = 0;
constexpr uint32_t PROCESS_STOP = 1;
constexpr uint32_t PROCESS_SETTINGS_CHANGED = 2;

// Records seen in one batch.
struct RECORD_RANGE {
    uint32_t Count = 0;
    uint32_t First = 0;
    uint32_t Last = 0;
};

// The reader's pace. Tests shorten it; the service keeps the defaults.
struct EVENT_LOG_TIMING {
    uint32_t OpenRetryMs = 60000;     // between attempts to open the log
    uint32_t ChangeWaitMs = 15000;    // longest wait for new records (expiry runs at least this often)
    uint32_t ExpiryIntervalMs = 60000;  // least time between two expiry runs
    uint32_t TicketLifetimeMs = 60000;  // a service ticket not taken by a logon is dropped after this
};

constexpr uint32_t RECORD_BUFFER_SIZE = 65536;

class EVENT_LOG {
public:
    EVENT_LOG(const EVENT_LOG_CONTEXT& context, std::unique_ptr<EVENT_LOG_API> api = CreateSystemEventLog(),
              const EVENT_LOG_TIMING& timing = EVENT_LOG_TIMING());
    EVENT_LOG(const EVENT_LOG&) = delete;
    EVENT_LOG& operator=(const EVENT_LOG&) = delete;
    virtual ~EVENT_LOG();

    // Retries every OpenRetryMs until the log opens; false when 'stopEvent' is signalled or the
    // wait on it fails (which stops the service).
    bool Open(const char16_t* logName, const WAITABLE& stopEvent);
    bool Close();
    // PROCESS_FAILED, PROCESS_STOP or PROCESS_SETTINGS_CHANGED.
    uint32_t Process(const EVENT& stopEvent, const EVENT& settingsChangedEvent);
    // 0 with the bytes read, else a Win32 error code. The buffer grows to fit a record.
    uint32_t Read(uint32_t flags, BYTE_BUFFER& buffer, uint32_t& bytesRead);
    // The same with a record number for a seek read.
    uint32_t Read(uint32_t flags, uint32_t recordOffset, BYTE_BUFFER& buffer, uint32_t& bytesRead);
    // One record of 'length' bytes (a length already found to fit the buffer). Always true:
    // a malformed record is logged and skipped, and no handler can stop the batch.
    bool DispatchRecord(const uint8_t* bytes, uint32_t length, RECORD_RANGE& range);
    // Every record of a buffer, in order; false when a stop came before the last.
    bool DispatchRecords(const uint8_t* buffer, uint32_t size, RECORD_RANGE& range);
    // Expires old table entries and sends heartbeats, at most once per ExpiryIntervalMs.
    void Expire();
    // Goes back to the identity server itself when a fallback has been used long enough, and
    // sends the live logons again to a server that does not know them yet (after a change of
    // server, or any reconnect when so set): each logon once per change.
    void FollowServer();

    const STRING& LogName() const { return Name; }
    const DUMP_SWITCHES& Switches() const { return Context.Switches; }
    LOGON_FILTER_SLOT* LogonFilters() const { return Context.LogonFilters; }
    const WAITABLE* StopEvent() const { return Context.StopEvent; }
    const STOPWATCH& SinceLastExpiry() const { return LastExpiry; }
    SERVICE_TICKET_TABLE& ServiceTickets() { return Tickets; }
    LOGON_TABLE& Logons() { return LogonEntries; }

protected:
    // Runs the kind's handler. A seam for observing dispatch.
    virtual void RunHandler(const EVENT_KIND& kind, const EVENT_RECORD& record);

private:
    uint32_t PositionToEnd(BYTE_BUFFER& buffer);
    // Where a call of Process starts reading: at the end of the log when it was just opened
    // at start or cleared, else right after the last record seen.
    uint32_t Resume(BYTE_BUFFER& buffer);
    uint32_t SeekPastLastRecord(BYTE_BUFFER& buffer);
    // Reads and dispatches what was written while nobody read; records older than the logon
    // time-to-live are passed over, their logons would expire at once.
    // 'bytesSought': records already in the buffer from a seek read.
    uint32_t CatchUp(BYTE_BUFFER& buffer, uint32_t bytesSought);
    void WriteStatistics();
    // After a batch: how many records the log holds past the last one read, for the health.
    void NoteBacklog();
    // After a cleared log: the next call starts at the end again.
    void ForgetPosition();
    uint32_t CountRecords(uint32_t flags, BYTE_BUFFER& buffer, RECORD_RANGE& range);
    // Reads forwards and dispatches until the end of the log (38), another failure, or a stop
    // (ERR_CANCELLED), which is looked for before each record.
    uint32_t ReadBatch(BYTE_BUFFER& buffer, RECORD_RANGE& range);
    bool StopRequested() const;

    // The place kept between runs: where the first call of Process starts, and what it saves.
    uint32_t RestorePosition(BYTE_BUFFER& buffer);
    void NoteHandedOn(uint32_t recordNumber, uint32_t timeGenerated);
    // Saves the place when it moved: at once with 'now', else at most every few seconds.
    void SavePosition(bool now);

    EVENT_LOG_CONTEXT Context;
    std::unique_ptr<EVENT_LOG_API> Api;
    EVENT_LOG_TIMING Timing;
    STRING Name;
    STOPWATCH LastExpiry;  // set to now at construction
    EVENT_RECORD Record;  // the view of the record being dispatched; its Strings block is reused
    SERVICE_TICKET_TABLE Tickets;
    LOGON_TABLE LogonEntries;

    // The reading position across calls of Process and reopenings of the log.
    enum class START { AT_END, AFTER_LAST_RECORD, SEEK_AFTER_LAST_RECORD };
    START Start = START::AT_END;
    uint32_t LastRecordNumber = 0;  // the last record positioned over or dispatched
    uint32_t OldestToDispatch = 0;  // while catching up: seconds since 1970 of the oldest record taken
    uint32_t SkippedAsOld = 0;
    uint32_t SeenUpTo = 0;  // while reading on after a seek: records up to here were dispatched
    uint64_t ResentInEpoch = 0;  // the connection's resend epoch the live logons were last sent in

    const WAITABLE* Stop = nullptr;  // the stop event of the Process call under way
    bool Restoring = true;  // the first start reads on from the place kept, if there is one
    READ_POSITION HandedOn;  // the last record handed on (or positioned over)
    bool HaveHandedOn = false;
    READ_POSITION Saved;
    bool HaveSaved = false;
    STOPWATCH SinceSave;
};

}  // namespace qv
