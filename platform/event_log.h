// Reading a system event log the way the Windows event log API does: sequential reads
// forwards or backwards from a per-handle position into a caller's buffer of whole
// EVENTLOGRECORD-layout records, the record count and oldest record number, and a change
// notification. On Windows this is OpenEventLogW and its friends; on POSIX it is the event
// log store of our own under the data root (platform/posix/event_log_store.h).
//
// The reader's platform calls are this one narrow interface, so that tests can drive it
// with replayed record buffers. Every operation returns a Win32 error code (0 on success).
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/wait.h"

namespace qv {

constexpr uint32_t EVENTLOG_READ_SEQUENTIAL = 0x0001;
constexpr uint32_t EVENTLOG_READ_SEEK = 0x0002;
constexpr uint32_t EVENTLOG_READ_FORWARDS = 0x0004;
constexpr uint32_t EVENTLOG_READ_BACKWARDS = 0x0008;

class EVENT_LOG_API {
public:
    virtual ~EVENT_LOG_API() = default;

    // Opens the named log of the local machine (closing one opened before).
    virtual uint32_t Open(const char16_t* logName) = 0;
    // 0 when nothing was open or the close succeeded; the handle is gone in any case.
    virtual uint32_t Close() = 0;
    virtual bool IsOpen() const = 0;

    // As ReadEventLogW: whole records into the buffer. 38 at the end of the log; 122 when
    // the next record does not fit, with its size in bytesNeeded; 1503 once the log was
    // cleared after the handle was opened.
    virtual uint32_t Read(uint32_t flags, uint32_t recordOffset, void* buffer, uint32_t size,
                          uint32_t& bytesRead, uint32_t& bytesNeeded) = 0;

    // As NotifyChangeEventLog: the event is set whenever records are added to the log. On
    // POSIX a handle sets one event, the one registered last.
    virtual uint32_t NotifyChange(const EVENT& event) = 0;
    virtual uint32_t NumberOfRecords(uint32_t& count) = 0;
    virtual uint32_t OldestRecord(uint32_t& recordNumber) = 0;

    // The reader's wait on change, stop and settings-changed events; WaitForAny by default.
    virtual uint32_t Wait(std::span<const WAITABLE* const> objects, uint32_t timeoutMs);
};

// The platform's own event log.
std::unique_ptr<EVENT_LOG_API> CreateSystemEventLog();

}  // namespace qv
