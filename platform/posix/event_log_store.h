// The event logs of the POSIX build: where Windows has the event log service, we keep each log
// as files under the data root, holding records in exactly the EVENTLOGRECORD layout the
// Windows API delivers, so the reader above sees the same bytes on both platforms.
//
//   <data root>/eventlog/<log name>/
//       records     a 64-byte header, then whole records back to back, oldest first
//       .lock       flock()ed: shared by readers while they look, exclusive by writers
//
// The header ("QVEVTLOG", version, generation, record count, oldest and next record number,
// bytes of records, maximum size) is the publication point: a writer appends the record
// bytes after the published end, syncs them, and only then writes the header that covers
// them, all under the exclusive lock; readers look under the shared lock and never beyond the
// published end, so nobody ever sees half a record.
//
// Clearing writes a fresh file with a new random generation and renames it over the old one;
// a reader that opened the log before sees the generation change and reports
// ERR_EVENTLOG_FILE_CHANGED (1503) until it reopens. When the log outgrows its maximum size the
// oldest records are dropped by moving the header's start past them; the space they took is
// given back by rewriting the file (same generation) once it amounts to a quarter of the
// maximum size, so a steady stream of appends does not copy the whole log each time. Either
// way a reader in the middle simply goes on with the records that are left.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/event_log_record.h"
#include "platform/posix/file_descriptor.h"

namespace qv {

// The Windows default for the Security log.
constexpr uint64_t DEFAULT_EVENT_LOG_MAXIMUM_SIZE = 20u * 1024 * 1024;
// ReadEventLogW takes buffers of at most 0x7FFFF bytes, so no record may be bigger.
constexpr uint32_t MAX_EVENT_LOG_RECORD_SIZE = 0x7FFFC;

struct EVENT_LOG_INFO {
    uint32_t Count = 0;
    uint32_t OldestRecord = 0;  // 0 while the log is empty
    uint32_t NextRecord = 1;    // the number the next appended record gets
    uint32_t Generation = 0;    // changes when the log is cleared
    uint64_t Bytes = 0;         // of all records together
    uint64_t Start = 0;         // where the first record lies, counted from the end of the header
    uint64_t MaximumSize = DEFAULT_EVENT_LOG_MAXIMUM_SIZE;
};

// The folder of a log ("" for a name that cannot be one: empty, "." or "..", or with "/" or
// control characters).
std::string EventLogFolder(const char16_t* logName);

// The folder and lock of one log, opened, with the log created empty when it was missing.
class EVENT_LOG_FILES {
public:
    uint32_t Open(const char16_t* logName);
    void Close();
    bool IsOpen() const { return Folder.IsValid(); }
    int FolderFd() const { return Folder.Get(); }
    int LockFd() const { return Lock.Get(); }
    const std::string& Path() const { return FolderPath; }

private:
    FILE_DESCRIPTOR Folder;
    FILE_DESCRIPTOR Lock;
    std::string FolderPath;
};

// Writes to a log: any number of writers in any number of processes, one at a time.
class EVENT_LOG_WRITER {
public:
    uint32_t Open(const char16_t* logName) { return Files.Open(logName); }
    void Close() { Files.Close(); }

    // Appends records laid out by BuildEventLogRecord (their record numbers are written here),
    // in order, in one step. A record gets the next number, or its entry of 'wantedNumbers'
    // (when given, one per record) if that is greater than the last number in the log;
    // 'assigned' receives the numbers given. When the log then exceeds its maximum size the
    // oldest records are dropped (never the newest one). 'assigned' is filled once the records
    // are published, so after a failure that comes later (dropping the oldest records) it
    // says the records are in the log all the same.
    uint32_t AppendRecords(std::span<std::vector<uint8_t>> records, std::span<const uint32_t> wantedNumbers = {},
                           std::vector<uint32_t>* assigned = nullptr);
    // The same for records still to be laid out. (Inline: the layout belongs to the event log
    // code, which the platform layer does not link.)
    uint32_t Append(std::span<const NEW_EVENT_RECORD> records, std::span<const uint32_t> wantedNumbers = {},
                    std::vector<uint32_t>* assigned = nullptr) {
        std::vector<std::vector<uint8_t>> built;
        built.reserve(records.size());
        for (const NEW_EVENT_RECORD& record : records) built.push_back(BuildEventLogRecord(record, 0));
        return AppendRecords(built, wantedNumbers, assigned);
    }
    uint32_t Append(const NEW_EVENT_RECORD& record, uint32_t* recordNumber = nullptr) {
        std::vector<uint32_t> numbers;
        const uint32_t code = Append(std::span<const NEW_EVENT_RECORD>(&record, 1), {}, &numbers);
        if (code == 0 && recordNumber != nullptr && !numbers.empty()) *recordNumber = numbers.front();
        return code;
    }
    // Empties the log; record numbers start again at 1 and readers see 1503.
    uint32_t Clear();
    // Bytes of records the log may hold (at least 1); drops the oldest records at once when
    // the log is bigger.
    uint32_t SetMaximumSize(uint64_t bytes);
    uint32_t Info(EVENT_LOG_INFO& info);

private:
    EVENT_LOG_FILES Files;
};

// A reading handle with ReadEventLogW's rules: one position per handle, the last record
// delivered. A sequential forwards read starts after it (at the oldest record on the first
// read), a backwards read before it (at the newest record on the first read); both move it.
class EVENT_LOG_CURSOR {
public:
    uint32_t Open(const char16_t* logName);
    void Close();
    bool IsOpen() const { return Files.IsOpen(); }
    const std::string& Folder() const { return Files.Path(); }

    uint32_t Read(uint32_t flags, uint32_t recordOffset, void* buffer, uint32_t size, uint32_t& bytesRead,
                  uint32_t& bytesNeeded);
    uint32_t Info(EVENT_LOG_INFO& info);

private:
    struct ENTRY {
        uint32_t Number;
        uint32_t Length;
        uint64_t Offset;
    };

    uint32_t Refresh(EVENT_LOG_INFO& info);
    uint32_t ReadForwards(size_t first, uint8_t* buffer, uint32_t size, uint32_t& bytesRead, uint32_t& bytesNeeded);
    uint32_t ReadBackwards(size_t first, uint8_t* buffer, uint32_t size, uint32_t& bytesRead, uint32_t& bytesNeeded);

    EVENT_LOG_FILES Files;
    FILE_DESCRIPTOR Data;
    dev_t DataDevice = 0;
    ino_t DataInode = 0;
    uint32_t Generation = 0;
    std::vector<ENTRY> Index;  // every published record of the file Data, in file order
    uint64_t IndexedEnd = 0;  // file offset up to which Index covers the records
    bool HasPosition = false;
    uint32_t LastRead = 0;
};

}  // namespace qv
