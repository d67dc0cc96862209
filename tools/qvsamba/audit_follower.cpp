#include "tools/qvsamba/audit_follower.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace qv {
namespace {

// How many of a file's first bytes identify it: Samba's first line alone is longer, and its
// time stamp makes it unique.
constexpr uint32_t HEAD_BYTES = 1024;

ssize_t ReadAt(int fd, char* buffer, size_t size, uint64_t offset) {
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR) return got;
    }
}

FILE_PLACE PlaceOf(const struct stat& status) {
    FILE_PLACE place;
    place.Device = status.st_dev;
    place.Inode = status.st_ino;
    return place;
}

// The head fingerprint grows with the lines taken until it covers HEAD_BYTES.
void ExtendHead(int fd, FILE_PLACE& place) {
    const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(place.Offset, HEAD_BYTES));
    if (wanted <= place.HeadLength) return;
    char head[HEAD_BYTES];
    if (ReadAt(fd, head, wanted, 0) != static_cast<ssize_t>(wanted)) return;
    place.HeadLength = wanted;
    place.HeadHash = HeadHash(std::string_view(head, wanted));
}

// Opened for reading only when it is a regular file (a FIFO planted beside the log must not
// block the open).
FILE_DESCRIPTOR OpenRegular(const std::string& path) {
    FILE_DESCRIPTOR file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat status {};
    if (file.IsValid() && (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode))) file.Reset();
    return file;
}

std::string Duration(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
    if (seconds > 0 && seconds % 60 == 0) return std::to_string(seconds / 60) + " minutes";
    return std::to_string(seconds) + " seconds";
}

std::string Describe(const std::string& name, uint64_t offset) { return name + " at offset " + std::to_string(offset); }

}  // namespace

uint64_t HeadHash(std::string_view bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (const char byte : bytes) {
        hash ^= static_cast<uint8_t>(byte);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool HeadMatches(int fd, const FILE_PLACE& place) {
    if (place.HeadLength == 0) return true;
    char head[HEAD_BYTES];
    if (place.HeadLength > HEAD_BYTES || ReadAt(fd, head, place.HeadLength, 0) != static_cast<ssize_t>(place.HeadLength)) {
        return false;
    }
    return HeadHash(std::string_view(head, place.HeadLength)) == place.HeadHash;
}

AUDIT_FOLLOWER::AUDIT_FOLLOWER(std::string path, AUDIT_LINE_SINK& sink, NOTE note,
                               std::chrono::milliseconds rotatedQuiet)
    : LogPath(std::move(path)), Sink(sink), Note(std::move(note)), RotatedQuiet(rotatedQuiet), Buffer(CHUNK) {
    const size_t slash = LogPath.rfind('/');
    Folder = slash == std::string::npos ? "." : slash == 0 ? "/" : LogPath.substr(0, slash);
    BaseName = slash == std::string::npos ? LogPath : LogPath.substr(slash + 1);
}

// A slot without a file has an all-zero place.
AUDIT_PLACES AUDIT_FOLLOWER::Places() const {
    AUDIT_PLACES places;
    places.Log = Log.Place;
    places.HasRotated = Rotated.Place.Inode != 0;
    if (places.HasRotated) places.Rotated = Rotated.Place;
    return places;
}

bool AUDIT_FOLLOWER::OpenCurrent(FOLLOWED& followed) const {
    FILE_DESCRIPTOR file = OpenRegular(LogPath);
    struct stat status {};
    if (!file.IsValid() || ::fstat(file.Get(), &status) != 0) return false;
    followed.File = std::move(file);
    followed.Place = PlaceOf(status);
    followed.SkippingLongLine = false;
    return true;
}

// A file beside the log whose name starts with the log's: 'place's own file (renamed), or when
// not 'sameFile' a copy of it (another file with the same first bytes). Either holds at least
// what was read from it.
bool AUDIT_FOLLOWER::FindBeside(const FILE_PLACE& place, bool sameFile, FOLLOWED& found, std::string& name) const {
    if (!sameFile && place.HeadLength == 0) return false;  // nothing to know a copy by
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(Folder.c_str()), ::closedir);
    for (dirent* entry = directory ? ::readdir(directory.get()) : nullptr; entry != nullptr;
         entry = ::readdir(directory.get())) {
        const std::string_view candidate(entry->d_name);
        if (candidate.size() <= BaseName.size() || !candidate.starts_with(BaseName)) continue;
        const std::string path = Folder + "/" + std::string(candidate);
        FILE_DESCRIPTOR file = OpenRegular(path);
        struct stat status {};
        if (!file.IsValid() || ::fstat(file.Get(), &status) != 0 || place.SameFile(PlaceOf(status)) != sameFile ||
            static_cast<uint64_t>(status.st_size) < place.Offset || !HeadMatches(file.Get(), place)) {
            continue;
        }
        found.File = std::move(file);
        found.Place = place;
        found.Place.Device = status.st_dev;
        found.Place.Inode = status.st_ino;
        found.SkippingLongLine = false;
        name = path;
        return true;
    }
    return false;
}

// The file last read at 'place' is gone, but a copy of it may be beside the log (logrotate's
// copytruncate): what the copy holds after 'place' is read to its end, in the slot 'into'.
bool AUDIT_FOLLOWER::ReadRestOfCopy(FILE_PLACE place, const std::string& why, FOLLOWED& into) {
    into = FOLLOWED();
    if (place.Offset == 0) return true;  // nothing was read from it, so any file is a new one
    std::string name;
    if (!FindBeside(place, false, into, name)) {
        Note("The audit log " + LogPath + " " + why + ", and the file it was read from (" +
             std::to_string(place.Offset) + " bytes in) is no longer beside it; whatever it held after that is lost");
        return true;
    }
    Note("The audit log " + LogPath + " " + why + "; reading the rest of " + name + " from offset " +
         std::to_string(place.Offset));
    if (!ReadLines(into, name, true)) return false;
    into = FOLLOWED();
    return true;
}

bool AUDIT_FOLLOWER::TakeMove() { return Places() == Sink.Taken() || Sink.Take(LogPath, {}, Places()); }

bool AUDIT_FOLLOWER::Start(const AUDIT_POSITION& saved, bool fromStart) {
    Log = FOLLOWED();
    Rotated = FOLLOWED();
    RotatedName.clear();
    if (!saved.Known) {
        if (!OpenCurrent(Log)) return true;  // everything the file will hold is new
        if (!fromStart) {
            // From the end of the last complete line: a line being written is the first one taken.
            struct stat status {};
            ::fstat(Log.File.Get(), &status);
            const uint64_t size = static_cast<uint64_t>(status.st_size);
            const uint64_t tail = std::min<uint64_t>(size, CHUNK);
            const ssize_t got = ReadAt(Log.File.Get(), Buffer.data(), tail, size - tail);
            const void* newline = got > 0 ? ::memrchr(Buffer.data(), '\n', static_cast<size_t>(got)) : nullptr;
            Log.Place.Offset = newline == nullptr ? (got > 0 && tail == CHUNK ? size : 0)
                                                  : size - tail + (static_cast<const char*>(newline) - Buffer.data()) + 1;
            Log.SkippingLongLine = newline == nullptr && Log.Place.Offset == size && size > 0;
            ExtendHead(Log.File.Get(), Log.Place);
        }
        return TakeMove();
    }

    // Each file where it is now: the log's under the log's name (the first poll sees whether it
    // was truncated meanwhile) or renamed beside it, the renamed one beside the log.
    Log.Place = saved.Places.Log;
    if (saved.Places.HasRotated) Rotated.Place = saved.Places.Rotated;
    FOLLOWED current;
    std::string name;
    if (OpenCurrent(current) && current.Place.SameFile(Log.Place)) {
        Log.File = std::move(current.File);
    } else if (Log.Place.Inode != 0) {
        FindBeside(Log.Place, true, Log, name);
    }
    if (Rotated.Place.Inode != 0 && FindBeside(Rotated.Place, true, Rotated, name)) WatchRotated(name);
    // Where only a copy is left, its rest is read now, the older file first.
    const char* why = "was rotated while qvsamba was stopped";
    if (Rotated.Place.Inode != 0 && !Rotated.IsOpen() && !ReadRestOfCopy(Rotated.Place, why, Rotated)) return false;
    if (!Log.IsOpen() && !ReadRestOfCopy(Log.Place, why, Log)) return false;
    return TakeMove();
}

bool AUDIT_FOLLOWER::ReadLines(FOLLOWED& followed, const std::string& name, bool finished) {
    const bool rotated = &followed == &Rotated;
    const int fd = followed.File.Get();
    // The sink may be further on in this file than we are (the same file: its inode, and what
    // it took is still there).
    const AUDIT_PLACES& taken = Sink.Taken();
    for (const FILE_PLACE& place : {taken.Log, taken.Rotated}) {
        struct stat status {};
        if (place.SameFile(followed.Place) && place.Offset > followed.Place.Offset && ::fstat(fd, &status) == 0 &&
            static_cast<uint64_t>(status.st_size) >= place.Offset && HeadMatches(fd, place)) {
            followed.Place = place;
            followed.SkippingLongLine = false;
        }
    }
    for (;;) {
        const ssize_t got = ReadAt(fd, Buffer.data(), CHUNK, followed.Place.Offset);
        if (got < 0) {
            Note("Cannot read " + name + ": " + std::strerror(errno));
            return false;
        }
        const size_t size = static_cast<size_t>(got);
        if (size == 0) return true;
        size_t start = 0;
        if (followed.SkippingLongLine) {
            const char* end = static_cast<const char*>(std::memchr(Buffer.data(), '\n', size));
            start = end == nullptr ? size : static_cast<size_t>(end - Buffer.data()) + 1;
            followed.SkippingLongLine = end == nullptr;
        }
        Lines.clear();
        for (size_t at = start; at < size;) {
            const char* end = static_cast<const char*>(std::memchr(Buffer.data() + at, '\n', size - at));
            if (end == nullptr) break;
            size_t length = static_cast<size_t>(end - (Buffer.data() + at));
            if (length > 0 && Buffer[at + length - 1] == '\r') --length;
            Lines.push_back({std::string_view(Buffer.data() + at, length), followed.Place.Offset + at});
            at = static_cast<size_t>(end - Buffer.data()) + 1;
            start = at;
        }
        const bool partial = start < size;
        if (partial && start == 0 && size == CHUNK) {
            Note("Skipping a line longer than " + std::to_string(CHUNK) + " bytes in " +
                 Describe(name, followed.Place.Offset));
            followed.SkippingLongLine = true;
            start = size;
        } else if (partial && finished && size < CHUNK) {
            // The file will not grow any more: its last line stays incomplete.
            Note("Skipping an incomplete last line in " + Describe(name, followed.Place.Offset + start));
            start = size;
        }
        if (start == 0) return true;  // only the beginning of a line so far
        FILE_PLACE next = followed.Place;
        next.Offset += start;
        ExtendHead(fd, next);
        AUDIT_PLACES after = Places();
        (rotated ? after.Rotated : after.Log) = next;
        if (!Sink.Take(name, Lines, after)) return false;
        followed.Place = next;
        if (start < size && size < CHUNK) return true;  // the rest is a line still being written
    }
}

// Truncated in place (copy and truncate), or rewritten under the same inode: what had not been
// read yet is in the copy beside it, and the log is read again from its start.
bool AUDIT_FOLLOWER::CheckTruncated() {
    struct stat status {};
    if (!Log.IsOpen() || ::fstat(Log.File.Get(), &status) != 0 ||
        (static_cast<uint64_t>(status.st_size) >= Log.Place.Offset && HeadMatches(Log.File.Get(), Log.Place))) {
        return true;
    }
    FOLLOWED truncated = std::move(Log);
    if (!ReadRestOfCopy(truncated.Place, "was truncated", Log)) {
        Log = std::move(truncated);  // the copy is found again, and read on from where the sink took it
        return false;
    }
    Log = std::move(truncated);
    Log.Place = PlaceOf(status);
    Log.SkippingLongLine = false;
    return TakeMove();
}

bool AUDIT_FOLLOWER::LogMoved() const {
    struct stat status {};
    return ::stat(LogPath.c_str(), &status) != 0 || !Log.Place.SameFile(PlaceOf(status));
}

std::string AUDIT_FOLLOWER::RotatedLabel() const {
    return RotatedName.empty() ? "the file renamed away from " + LogPath : RotatedName;
}

void AUDIT_FOLLOWER::WatchRotated(const std::string& name) {
    RotatedName = name;
    struct stat status {};
    RotatedSize = ::fstat(Rotated.File.Get(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
    RotatedChanged = std::chrono::steady_clock::now();
}

// Why nobody will write the renamed file any more ("" while somebody may).
std::string AUDIT_FOLLOWER::RotatedIsDone() {
    struct stat status {};
    if (::fstat(Rotated.File.Get(), &status) != 0 || status.st_nlink == 0) return "it was deleted";
    struct stat named {};
    if (!RotatedName.empty() && (::stat(RotatedName.c_str(), &named) != 0 || !Rotated.Place.SameFile(PlaceOf(named)))) {
        return "it was renamed again";
    }
    const auto now = std::chrono::steady_clock::now();
    if (static_cast<uint64_t>(status.st_size) != RotatedSize) {
        RotatedSize = static_cast<uint64_t>(status.st_size);
        RotatedChanged = now;
        return {};
    }
    if (now - RotatedChanged < RotatedQuiet) return {};
    return "it has been quiet for " + Duration(RotatedQuiet);
}

bool AUDIT_FOLLOWER::FinishRotated(const std::string& why) {
    if (!ReadLines(Rotated, RotatedLabel(), true)) return false;
    Note("Done with " + RotatedLabel() + ": " + why);
    Rotated = FOLLOWED();
    RotatedName.clear();
    return TakeMove();
}

// The log's name holds another file than the one we read, or none.
bool AUDIT_FOLLOWER::FollowNewLog() {
    if (Log.IsOpen()) {
        struct stat status {};
        if (::fstat(Log.File.Get(), &status) == 0 && status.st_nlink == 0) {
            // Deleted, or replaced by another file in one step: nobody can open it any more.
            if (!ReadLines(Log, LogPath, true)) return false;
            Log = FOLLOWED();
        } else {
            // Renamed away: its writers may not have reopened the log yet. A second rotation
            // ends the first.
            if (Rotated.IsOpen() && !FinishRotated("the log was rotated again")) return false;
            Rotated = std::move(Log);
            Log = FOLLOWED();
            std::string name;
            FOLLOWED found;
            FindBeside(Rotated.Place, true, found, name);
            WatchRotated(name);
            Note("The audit log " + LogPath + " was renamed" + (name.empty() ? " out of its folder" : " to " + name) +
                 "; reading it on as well until it has been quiet for " + Duration(RotatedQuiet) +
                 ", or is renamed again or deleted");
        }
    }
    OpenCurrent(Log);
    if (!TakeMove()) return false;
    return !Log.IsOpen() || ReadLines(Log, LogPath, false);
}

bool AUDIT_FOLLOWER::Poll() {
    if (!CheckTruncated()) return false;
    // What is new in both files, the renamed one first: its lines are mostly the older ones.
    if (Rotated.IsOpen() && !ReadLines(Rotated, RotatedLabel(), false)) return false;
    if (Log.IsOpen() && !ReadLines(Log, LogPath, false)) return false;
    if (Rotated.IsOpen()) {
        const std::string why = RotatedIsDone();
        if (!why.empty() && !FinishRotated(why)) return false;
    }
    if (Log.IsOpen() && !LogMoved()) return true;
    if (!Log.IsOpen() && ::access(LogPath.c_str(), F_OK) != 0) return true;  // not there (yet, or again)
    return FollowNewLog();
}

}  // namespace qv
