// The POSIX event log store (see event_log_store.h).
#include "platform/posix/event_log_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/data_root.h"
#include "platform/event_log.h"
#include "platform/last_error.h"
#include "platform/posix/guarded_call.h"
#include "platform/posix/reg_file.h"
#include "platform/posix/safe_file.h"

namespace qv {

namespace {

constexpr char LOGS_FOLDER[] = "eventlog";
constexpr char DATA_FILE[] = "records";
constexpr char TEMP_FILE[] = ".records.tmp";
constexpr char LOCK_FILE[] = ".lock";
// The Security log is for administrators only.
constexpr mode_t FOLDER_MODE = 0750;
constexpr mode_t SHARED_FOLDER_MODE = 0755;
constexpr mode_t FILE_MODE = 0640;

constexpr char MAGIC[8] = {'Q', 'V', 'E', 'V', 'T', 'L', 'O', 'G'};
constexpr uint32_t VERSION = 1;
constexpr uint32_t HEADER_SIZE = 64;
constexpr size_t MAX_LOG_NAME = 255;

// Header field offsets.
namespace header {
constexpr uint32_t Version = 8;
constexpr uint32_t HeaderSize = 12;
constexpr uint32_t Generation = 16;
constexpr uint32_t Count = 20;
constexpr uint32_t Oldest = 24;
constexpr uint32_t Next = 28;
constexpr uint32_t Bytes = 32;
constexpr uint32_t MaximumSize = 40;
constexpr uint32_t Start = 48;
}  // namespace header

void Put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
void Put64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint64_t Get64(const uint8_t* at) {
    return static_cast<uint64_t>(GetRecordUInt32(at, 0)) | static_cast<uint64_t>(GetRecordUInt32(at, 4)) << 32;
}

void EncodeHeader(const EVENT_LOG_INFO& info, uint8_t (&bytes)[HEADER_SIZE]) {
    std::memset(bytes, 0, sizeof(bytes));
    std::memcpy(bytes, MAGIC, sizeof(MAGIC));
    Put32(bytes + header::Version, VERSION);
    Put32(bytes + header::HeaderSize, HEADER_SIZE);
    Put32(bytes + header::Generation, info.Generation);
    Put32(bytes + header::Count, info.Count);
    Put32(bytes + header::Oldest, info.OldestRecord);
    Put32(bytes + header::Next, info.NextRecord);
    Put64(bytes + header::Bytes, info.Bytes);
    Put64(bytes + header::MaximumSize, info.MaximumSize);
    Put64(bytes + header::Start, info.Start);
}

// --- whole reads and writes at an offset -------------------------------------------------------

uint32_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    auto* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t got = pread(fd, out, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ErrorFromErrno(errno);
        if (got == 0) return ERR_EVENTLOG_FILE_CORRUPT;  // shorter than its header says
        out += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return ERR_SUCCESS;
}

uint32_t WriteAt(int fd, const void* data, size_t size, uint64_t offset) {
    const auto* in = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t put = pwrite(fd, in, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return ErrorFromErrno(errno);
        in += put;
        size -= static_cast<size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return ERR_SUCCESS;
}

uint32_t Sync(int fd) {
    if (fdatasync(fd) != 0 && errno != EINVAL) return ErrorFromErrno(errno);
    return ERR_SUCCESS;
}

uint32_t ReadHeader(int fd, EVENT_LOG_INFO& info) {
    uint8_t bytes[HEADER_SIZE];
    if (const uint32_t code = ReadAt(fd, bytes, sizeof(bytes), 0)) return code;
    if (std::memcmp(bytes, MAGIC, sizeof(MAGIC)) != 0 || GetRecordUInt32(bytes, header::Version) != VERSION ||
        GetRecordUInt32(bytes, header::HeaderSize) != HEADER_SIZE) {
        return ERR_EVENTLOG_FILE_CORRUPT;
    }
    info.Generation = GetRecordUInt32(bytes, header::Generation);
    info.Count = GetRecordUInt32(bytes, header::Count);
    info.OldestRecord = GetRecordUInt32(bytes, header::Oldest);
    info.NextRecord = GetRecordUInt32(bytes, header::Next);
    info.Bytes = Get64(bytes + header::Bytes);
    info.MaximumSize = Get64(bytes + header::MaximumSize);
    info.Start = Get64(bytes + header::Start);
    struct stat status {};
    if (fstat(fd, &status) != 0) return ErrorFromErrno(errno);
    if (status.st_size < static_cast<off_t>(HEADER_SIZE)) return ERR_EVENTLOG_FILE_CORRUPT;
    const uint64_t limit = static_cast<uint64_t>(status.st_size) - HEADER_SIZE;
    if (info.Start > limit || info.Bytes > limit - info.Start) return ERR_EVENTLOG_FILE_CORRUPT;
    return ERR_SUCCESS;
}

uint32_t WriteHeader(int fd, const EVENT_LOG_INFO& info) {
    uint8_t bytes[HEADER_SIZE];
    EncodeHeader(info, bytes);
    return WriteAt(fd, bytes, sizeof(bytes), 0);
}

// A generation no reader can hold yet: random, so even a log that was deleted and made again
// differs from the one a reader opened.
uint32_t NewGeneration(uint32_t old) {
    std::random_device random;
    for (;;) {
        const uint32_t value = random();
        if (value != old && value != 0) return value;
    }
}

// --- the flock --------------------------------------------------------------------------------

class LOCK_HOLDER {
public:
    LOCK_HOLDER(int fd, int kind) : Fd(fd) {
        while (flock(fd, kind) != 0) {
            if (errno != EINTR) {
                Code = ErrorFromErrno(errno);
                return;
            }
        }
        Held = true;
    }
    LOCK_HOLDER(const LOCK_HOLDER&) = delete;
    LOCK_HOLDER& operator=(const LOCK_HOLDER&) = delete;
    ~LOCK_HOLDER() {
        if (Held) flock(Fd, LOCK_UN);
    }
    uint32_t Result() const { return Code; }

private:
    int Fd;
    bool Held = false;
    uint32_t Code = ERR_SUCCESS;
};

// Writes a whole new data file: the header, then 'size' bytes of records copied from 'source'
// at 'sourceOffset', synced, and renamed over the data file (the folder synced after). The
// caller holds the exclusive lock.
uint32_t ReplaceDataFile(int folder, const EVENT_LOG_INFO& info, int source, uint64_t sourceOffset, uint64_t size) {
    unlinkat(folder, TEMP_FILE, 0);  // left by a writer that died
    FILE_DESCRIPTOR output;
    if (const uint32_t code = OpenFileSafely(folder, TEMP_FILE, O_WRONLY | O_CREAT | O_EXCL, FILE_MODE, output)) {
        return code;
    }
    uint32_t code = WriteHeader(output.Get(), info);
    std::vector<uint8_t> chunk(size > 0 ? std::min<uint64_t>(size, 1024 * 1024) : 0);
    for (uint64_t done = 0; code == ERR_SUCCESS && done < size;) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done));
        code = ReadAt(source, chunk.data(), part, sourceOffset + done);
        if (code == ERR_SUCCESS) code = WriteAt(output.Get(), chunk.data(), part, HEADER_SIZE + done);
        done += part;
    }
    if (code == ERR_SUCCESS && fsync(output.Get()) != 0) code = ErrorFromErrno(errno);
    output.Reset();
    if (code == ERR_SUCCESS && renameat(folder, TEMP_FILE, folder, DATA_FILE) != 0) code = ErrorFromErrno(errno);
    if (code != ERR_SUCCESS) {
        unlinkat(folder, TEMP_FILE, 0);
        return code;
    }
    if (fsync(folder) != 0 && errno != EINVAL) return ErrorFromErrno(errno);
    return ERR_SUCCESS;
}

// The data file is never reached through a link, and only as a regular file with one name
// whose owner we trust: root appends to it too.
uint32_t OpenData(int folder, int flags, FILE_DESCRIPTOR& data) { return OpenFileSafely(folder, DATA_FILE, flags, 0, data); }

// Drops the oldest records until the rest fits the maximum size, keeping at least the newest,
// and gives their space back once it is worth a rewrite. The caller holds the exclusive lock;
// 'data' is the open data file (read and write), 'info' its header.
uint32_t DropOldest(int folder, int data, EVENT_LOG_INFO& info) {
    if (info.Bytes <= info.MaximumSize || info.Count <= 1) return ERR_SUCCESS;
    EVENT_LOG_INFO kept = info;
    uint8_t head[EVENTLOG_RECORD_HEADER_SIZE];
    while (kept.Bytes > kept.MaximumSize && kept.Count > 1) {
        if (const uint32_t code = ReadAt(data, head, sizeof(head), HEADER_SIZE + kept.Start)) return code;
        const uint32_t length = GetRecordUInt32(head, record_offset::Length);
        if (length < EVENTLOG_RECORD_HEADER_SIZE || length >= kept.Bytes) return ERR_EVENTLOG_FILE_CORRUPT;
        kept.Start += length;
        kept.Bytes -= length;
        --kept.Count;
    }
    if (const uint32_t code = ReadAt(data, head, sizeof(head), HEADER_SIZE + kept.Start)) return code;
    kept.OldestRecord = GetRecordUInt32(head, record_offset::RecordNumber);

    if (kept.Start >= std::max<uint64_t>(kept.MaximumSize / 4, 64 * 1024)) {
        const uint64_t from = HEADER_SIZE + kept.Start;
        kept.Start = 0;
        if (const uint32_t code = ReplaceDataFile(folder, kept, data, from, kept.Bytes)) return code;
    } else {
        if (const uint32_t code = WriteHeader(data, kept)) return code;
        if (const uint32_t code = Sync(data)) return code;
    }
    info = kept;
    return ERR_SUCCESS;
}

bool IsUsableLogName(const std::u16string& name) {
    if (name.empty() || name.size() > MAX_LOG_NAME || name == u"." || name == u"..") return false;
    for (char16_t c : name) {
        if (c < 0x20 || c == u'/') return false;
    }
    return IsStorableValueName(name.data(), name.size());
}

// mkdir -p: every missing folder of 'path' is made with 'mode'.
uint32_t MakeFolders(const std::string& path, mode_t mode) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string partial = path.substr(0, slash);
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return ErrorFromErrno(errno);
        if (slash == std::string::npos) return ERR_SUCCESS;
    }
}

// Runs 'change(data, header)' under the exclusive lock with the data file open for writing and
// its header read; with 'evenIfDamaged' an unreadable header is passed on as a default one.
template <typename CHANGE>
uint32_t WithExclusiveLog(const EVENT_LOG_FILES& files, bool evenIfDamaged, CHANGE change) {
    return GuardedCall([&]() -> uint32_t {
        if (!files.IsOpen()) return ERR_INVALID_HANDLE;
        LOCK_HOLDER exclusive(files.LockFd(), LOCK_EX);
        if (exclusive.Result() != ERR_SUCCESS) return exclusive.Result();
        FILE_DESCRIPTOR data;
        if (const uint32_t code = OpenData(files.FolderFd(), O_RDWR, data)) return code;
        EVENT_LOG_INFO info;
        if (const uint32_t code = ReadHeader(data.Get(), info)) {
            if (!evenIfDamaged) return code;
            info = EVENT_LOG_INFO();
        }
        return change(data.Get(), info);
    });
}

// The header as last published, read under the shared lock.
uint32_t ReadPublishedState(const EVENT_LOG_FILES& files, EVENT_LOG_INFO& info) {
    return GuardedCall([&]() -> uint32_t {
        if (!files.IsOpen()) return ERR_INVALID_HANDLE;
        LOCK_HOLDER shared(files.LockFd(), LOCK_SH);
        if (shared.Result() != ERR_SUCCESS) return shared.Result();
        FILE_DESCRIPTOR data;
        if (const uint32_t code = OpenData(files.FolderFd(), O_RDONLY, data)) return code;
        return ReadHeader(data.Get(), info);
    });
}

}  // namespace

std::string EventLogFolder(const char16_t* logName) {
    if (logName == nullptr) return std::string();
    const std::u16string name(logName);
    if (!IsUsableLogName(name)) return std::string();
    const STRING_A root = DataRoot();
    return std::string(root.Text(), root.Length()) + "/" + LOGS_FOLDER + "/" + RegTextToUtf8(name);
}

// --- EVENT_LOG_FILES --------------------------------------------------------------------------

uint32_t EVENT_LOG_FILES::Open(const char16_t* logName) {
    Close();
    return GuardedCall([&]() -> uint32_t {
        const std::string path = EventLogFolder(logName);
        if (path.empty()) return ERR_INVALID_NAME;
        // The data root as configured; below it nothing is reached through a link. The data
        // root and the folder of all logs are open to look into; each log's own folder is not.
        const STRING_A root = DataRoot();
        const std::string dataRoot(root.Text(), root.Length());
        if (const uint32_t code = MakeFolders(dataRoot, SHARED_FOLDER_MODE)) return code;
        const FILE_DESCRIPTOR top(open(dataRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!top.IsValid()) return ErrorFromErrno(errno);
        FILE_DESCRIPTOR logs;
        if (const uint32_t code = OpenFolderSafely(top.Get(), LOGS_FOLDER, true, SHARED_FOLDER_MODE, logs)) return code;
        FILE_DESCRIPTOR folder;
        const std::string logFolder = RegTextToUtf8(std::u16string(logName));
        if (const uint32_t code = OpenFolderSafely(logs.Get(), logFolder.c_str(), true, FOLDER_MODE, folder)) return code;
        // Opened read-only: flock needs no write access, so a reader without it can share.
        FILE_DESCRIPTOR lock;
        if (const uint32_t code = OpenFileSafely(folder.Get(), LOCK_FILE, O_RDONLY | O_CREAT, FILE_MODE, lock)) return code;

        // A log that is not there yet is made empty, as Windows always has its Security log.
        struct stat existing {};
        if (fstatat(folder.Get(), DATA_FILE, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
            LOCK_HOLDER exclusive(lock.Get(), LOCK_EX);
            if (exclusive.Result() != ERR_SUCCESS) return exclusive.Result();
            if (fstatat(folder.Get(), DATA_FILE, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) return ErrorFromErrno(errno);
                EVENT_LOG_INFO empty;
                empty.Generation = NewGeneration(0);
                if (const uint32_t code = ReplaceDataFile(folder.Get(), empty, -1, 0, 0)) return code;
            }
        }
        // Reading the records is what opening a log needs; someone without that right is refused here.
        FILE_DESCRIPTOR probe;
        if (const uint32_t code = OpenData(folder.Get(), O_RDONLY, probe)) return code;

        Folder = std::move(folder);
        Lock = std::move(lock);
        FolderPath = path;
        return ERR_SUCCESS;
    });
}

void EVENT_LOG_FILES::Close() {
    Folder.Reset();
    Lock.Reset();
    FolderPath.clear();
}

// --- EVENT_LOG_WRITER -------------------------------------------------------------------------

uint32_t EVENT_LOG_WRITER::AppendRecords(std::span<std::vector<uint8_t>> records, std::span<const uint32_t> wantedNumbers,
                                         std::vector<uint32_t>* assigned) {
    if (!wantedNumbers.empty() && wantedNumbers.size() != records.size()) return FinishCall(ERR_INVALID_PARAMETER);
    for (const std::vector<uint8_t>& record : records) {
        if (record.size() > MAX_EVENT_LOG_RECORD_SIZE ||
            !IsWellFormedEventLogRecord(record.data(), static_cast<uint32_t>(record.size())) ||
            GetRecordUInt32(record.data(), record_offset::Length) != record.size()) {
            return FinishCall(ERR_INVALID_PARAMETER);
        }
    }
    if (records.empty()) return FinishCall(Files.IsOpen() ? ERR_SUCCESS : ERR_INVALID_HANDLE);
    return WithExclusiveLog(Files, false, [&](int data, EVENT_LOG_INFO& info) -> uint32_t {
        std::vector<uint8_t> staged;
        std::vector<uint32_t> numbers;
        EVENT_LOG_INFO after = info;
        for (size_t i = 0; i < records.size(); ++i) {
            const uint32_t last = after.NextRecord - 1;
            const uint32_t wanted = wantedNumbers.empty() ? 0 : wantedNumbers[i];
            const uint32_t number = wanted > last ? wanted : after.NextRecord;
            if (number == 0) return ERR_LOG_FILE_FULL;  // the numbers have run out
            Put32(records[i].data() + record_offset::RecordNumber, number);
            staged.insert(staged.end(), records[i].begin(), records[i].end());
            numbers.push_back(number);
            if (after.Count == 0) after.OldestRecord = number;
            ++after.Count;
            after.NextRecord = number + 1;
        }
        after.Bytes += staged.size();

        // Whatever lies past the published end was left by a writer that died before publishing.
        const uint64_t end = HEADER_SIZE + info.Start + info.Bytes;
        if (ftruncate(data, static_cast<off_t>(end)) != 0) return ErrorFromErrno(errno);
        if (const uint32_t code = WriteAt(data, staged.data(), staged.size(), end)) return code;
        if (const uint32_t code = Sync(data)) return code;
        // Publication: from here on readers see the new records.
        if (const uint32_t code = WriteHeader(data, after)) return code;
        if (const uint32_t code = Sync(data)) return code;
        if (assigned != nullptr) *assigned = numbers;
        return DropOldest(Files.FolderFd(), data, after);
    });
}

uint32_t EVENT_LOG_WRITER::Clear() {
    // A damaged log can still be cleared; it gets the default size then.
    return WithExclusiveLog(Files, true, [&](int, EVENT_LOG_INFO& info) -> uint32_t {
        EVENT_LOG_INFO empty;
        empty.Generation = NewGeneration(info.Generation);
        empty.MaximumSize = info.MaximumSize;
        return ReplaceDataFile(Files.FolderFd(), empty, -1, 0, 0);
    });
}

uint32_t EVENT_LOG_WRITER::SetMaximumSize(uint64_t bytes) {
    if (bytes == 0) return FinishCall(ERR_INVALID_PARAMETER);
    return WithExclusiveLog(Files, false, [&](int data, EVENT_LOG_INFO& info) -> uint32_t {
        info.MaximumSize = bytes;
        if (const uint32_t code = WriteHeader(data, info)) return code;
        if (const uint32_t code = Sync(data)) return code;
        return DropOldest(Files.FolderFd(), data, info);
    });
}

uint32_t EVENT_LOG_WRITER::Info(EVENT_LOG_INFO& info) { return ReadPublishedState(Files, info); }

// --- EVENT_LOG_CURSOR -------------------------------------------------------------------------

uint32_t EVENT_LOG_CURSOR::Open(const char16_t* logName) {
    Close();
    if (const uint32_t code = Files.Open(logName)) return code;
    EVENT_LOG_INFO info;
    // The generation at opening is the one this handle belongs to.
    Generation = 0;
    const uint32_t code = GuardedCall([&]() -> uint32_t {
        LOCK_HOLDER shared(Files.LockFd(), LOCK_SH);
        if (shared.Result() != ERR_SUCCESS) return shared.Result();
        if (const uint32_t opened = OpenData(Files.FolderFd(), O_RDONLY, Data)) return opened;
        if (const uint32_t read = ReadHeader(Data.Get(), info)) return read;
        struct stat status {};
        if (fstat(Data.Get(), &status) != 0) return ErrorFromErrno(errno);
        DataDevice = status.st_dev;
        DataInode = status.st_ino;
        Generation = info.Generation;
        return ERR_SUCCESS;
    });
    if (code != ERR_SUCCESS) Close();
    return code;
}

void EVENT_LOG_CURSOR::Close() {
    Files.Close();
    Data.Reset();
    Index.clear();
    Index.shrink_to_fit();
    IndexedEnd = 0;
    HasPosition = false;
    LastRead = 0;
    Generation = 0;
}

// Follows a rewritten data file and extends the index to the published end. The caller holds
// the shared lock.
uint32_t EVENT_LOG_CURSOR::Refresh(EVENT_LOG_INFO& info) {
    struct stat named {};
    if (fstatat(Files.FolderFd(), DATA_FILE, &named, 0) != 0) {
        // The log's file was taken away: for this handle the log is gone as if cleared.
        return errno == ENOENT ? ERR_EVENTLOG_FILE_CHANGED : ErrorFromErrno(errno);
    }
    if (named.st_dev != DataDevice || named.st_ino != DataInode) {
        if (const uint32_t code = OpenData(Files.FolderFd(), O_RDONLY, Data)) return code;
        struct stat status {};
        if (fstat(Data.Get(), &status) != 0) return ErrorFromErrno(errno);
        DataDevice = status.st_dev;
        DataInode = status.st_ino;
        Index.clear();
        IndexedEnd = 0;
    }
    if (const uint32_t code = ReadHeader(Data.Get(), info)) return code;
    if (info.Generation != Generation) return ERR_EVENTLOG_FILE_CHANGED;

    // Records dropped from the front since the last look leave the index.
    const uint64_t liveStart = HEADER_SIZE + info.Start;
    const uint64_t liveEnd = liveStart + info.Bytes;
    const auto firstLive = std::find_if(Index.begin(), Index.end(), [&](const ENTRY& entry) { return entry.Offset >= liveStart; });
    Index.erase(Index.begin(), firstLive);
    if (Index.empty()) IndexedEnd = liveStart;
    if (IndexedEnd < liveStart || IndexedEnd > liveEnd) return ERR_EVENTLOG_FILE_CORRUPT;

    std::vector<uint8_t> record;
    while (IndexedEnd < liveEnd) {
        uint8_t length[4];
        if (const uint32_t code = ReadAt(Data.Get(), length, sizeof(length), IndexedEnd)) return code;
        const uint32_t size = GetRecordUInt32(length, 0);
        if (size < EVENTLOG_RECORD_HEADER_SIZE || size > MAX_EVENT_LOG_RECORD_SIZE || size > liveEnd - IndexedEnd) {
            return ERR_EVENTLOG_FILE_CORRUPT;
        }
        record.resize(size);
        if (const uint32_t code = ReadAt(Data.Get(), record.data(), size, IndexedEnd)) return code;
        if (!IsWellFormedEventLogRecord(record.data(), size)) return ERR_EVENTLOG_FILE_CORRUPT;
        const uint32_t number = GetRecordUInt32(record.data(), record_offset::RecordNumber);
        if (!Index.empty() && number <= Index.back().Number) return ERR_EVENTLOG_FILE_CORRUPT;
        Index.push_back(ENTRY{number, size, IndexedEnd});
        IndexedEnd += size;
    }
    return ERR_SUCCESS;
}

uint32_t EVENT_LOG_CURSOR::Read(uint32_t flags, uint32_t recordOffset, void* buffer, uint32_t size,
                                uint32_t& bytesRead, uint32_t& bytesNeeded) {
    bytesRead = 0;
    bytesNeeded = 0;
    return GuardedCall([&]() -> uint32_t {
        if (!IsOpen()) return ERR_INVALID_HANDLE;
        const bool sequential = (flags & EVENTLOG_READ_SEQUENTIAL) != 0;
        const bool seek = (flags & EVENTLOG_READ_SEEK) != 0;
        const bool forwards = (flags & EVENTLOG_READ_FORWARDS) != 0;
        const bool backwards = (flags & EVENTLOG_READ_BACKWARDS) != 0;
        if (sequential == seek || forwards == backwards || buffer == nullptr) return ERR_INVALID_PARAMETER;

        LOCK_HOLDER shared(Files.LockFd(), LOCK_SH);
        if (shared.Result() != ERR_SUCCESS) return shared.Result();
        EVENT_LOG_INFO info;
        if (const uint32_t code = Refresh(info)) return code;

        const auto byNumber = [](const ENTRY& entry, uint32_t number) { return entry.Number < number; };
        size_t first = 0;
        if (seek) {
            const auto found = std::lower_bound(Index.begin(), Index.end(), recordOffset, byNumber);
            if (found == Index.end() || found->Number != recordOffset) return ERR_INVALID_PARAMETER;
            first = static_cast<size_t>(found - Index.begin());
        } else if (forwards) {
            // After the last record delivered; records dropped meanwhile are passed over.
            const uint32_t start = HasPosition ? LastRead + 1 : 0;
            if (HasPosition && start == 0) return ERR_HANDLE_EOF;
            first = static_cast<size_t>(std::lower_bound(Index.begin(), Index.end(), start, byNumber) - Index.begin());
            if (first == Index.size()) return ERR_HANDLE_EOF;
        } else {
            const size_t end = HasPosition ? static_cast<size_t>(std::lower_bound(Index.begin(), Index.end(), LastRead,
                                                                                    byNumber) - Index.begin())
                                           : Index.size();
            if (end == 0) return ERR_HANDLE_EOF;
            first = end - 1;
        }
        auto* out = static_cast<uint8_t*>(buffer);
        return forwards ? ReadForwards(first, out, size, bytesRead, bytesNeeded)
                        : ReadBackwards(first, out, size, bytesRead, bytesNeeded);
    });
}

// Records first, first + 1, ... as many as fit; they lie back to back in the file, so one read.
uint32_t EVENT_LOG_CURSOR::ReadForwards(size_t first, uint8_t* buffer, uint32_t size, uint32_t& bytesRead,
                                        uint32_t& bytesNeeded) {
    uint64_t total = 0;
    size_t end = first;
    while (end < Index.size() && total + Index[end].Length <= size) total += Index[end++].Length;
    if (end == first) {
        bytesNeeded = Index[first].Length;
        return ERR_INSUFFICIENT_BUFFER;
    }
    if (const uint32_t code = ReadAt(Data.Get(), buffer, static_cast<size_t>(total), Index[first].Offset)) return code;
    bytesRead = static_cast<uint32_t>(total);
    HasPosition = true;
    LastRead = Index[end - 1].Number;
    return ERR_SUCCESS;
}

// Records first, first - 1, ... newest first, as many as fit.
uint32_t EVENT_LOG_CURSOR::ReadBackwards(size_t first, uint8_t* buffer, uint32_t size, uint32_t& bytesRead,
                                         uint32_t& bytesNeeded) {
    if (Index[first].Length > size) {
        bytesNeeded = Index[first].Length;
        return ERR_INSUFFICIENT_BUFFER;
    }
    uint32_t total = 0;
    size_t next = first + 1;
    while (next > 0 && total + Index[next - 1].Length <= size) {
        const ENTRY& entry = Index[next - 1];
        if (const uint32_t code = ReadAt(Data.Get(), buffer + total, entry.Length, entry.Offset)) return code;
        total += entry.Length;
        --next;
    }
    bytesRead = total;
    HasPosition = true;
    LastRead = Index[next].Number;
    return ERR_SUCCESS;
}

uint32_t EVENT_LOG_CURSOR::Info(EVENT_LOG_INFO& info) { return ReadPublishedState(Files, info); }

}  // namespace qv
