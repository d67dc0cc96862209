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
                               std::chrono::milliseconds rotationGrace)
    : LogPath(std::move(path)), Sink(sink), Note(std::move(note)), RotationGrace(rotationGrace), Buffer(CHUNK) {
    const size_t slash = LogPath.rfind('/');
    Folder = slash == std::string::npos ? "." : slash == 0 ? "/" : LogPath.substr(0, slash);
    BaseName = slash == std::string::npos ? LogPath : LogPath.substr(slash + 1);
}

bool AUDIT_FOLLOWER::OpenCurrent(FILE_DESCRIPTOR& file, FILE_PLACE& place) const {
    file.Reset(::open(LogPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!file.IsValid() || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        file.Reset();
        return false;
    }
    place = PlaceOf(status);
    return true;
}

bool AUDIT_FOLLOWER::Start(const AUDIT_POSITION& saved, bool fromStart) {
    FILE_DESCRIPTOR current;
    FILE_PLACE currentPlace;
    const bool haveCurrent = OpenCurrent(current, currentPlace);
    if (!saved.Known) {
        if (!haveCurrent) return true;  // everything the file will hold is new
        File = std::move(current);
        Place = currentPlace;
        if (!fromStart) {
            // From the end of the last complete line: a line being written is the first one taken.
            struct stat status {};
            ::fstat(File.Get(), &status);
            const uint64_t size = static_cast<uint64_t>(status.st_size);
            const uint64_t tail = std::min<uint64_t>(size, CHUNK);
            const ssize_t got = ReadAt(File.Get(), Buffer.data(), tail, size - tail);
            const void* newline = got > 0 ? ::memrchr(Buffer.data(), '\n', static_cast<size_t>(got)) : nullptr;
            Place.Offset = newline == nullptr ? (got > 0 && tail == CHUNK ? size : 0)
                                              : size - tail + (static_cast<const char*>(newline) - Buffer.data()) + 1;
            SkippingLongLine = newline == nullptr && Place.Offset == size && size > 0;
            ExtendHead(File.Get(), Place);
        }
        return Sink.Take(LogPath, {}, Place);
    }

    Place = saved.Place;
    if (haveCurrent && Place.SameFile(currentPlace)) {
        struct stat status {};
        if (::fstat(current.Get(), &status) == 0 && static_cast<uint64_t>(status.st_size) >= Place.Offset &&
            HeadMatches(current.Get(), Place)) {
            File = std::move(current);
            return true;
        }
    }
    // The log holds another file than the one we were reading: that one was rotated while we
    // were away.
    if (!TakeRestOfRotated(Place, "was rotated while qvsamba was stopped")) return false;
    if (!haveCurrent) return true;
    File = std::move(current);
    Place = currentPlace;
    return Sink.Take(LogPath, {}, Place);
}

// The file we were reading at 'place' lives on under another name beside the log (renamed, or
// copied before the log was truncated): what it holds after 'place' is read to its end.
bool AUDIT_FOLLOWER::TakeRestOfRotated(const FILE_PLACE& place, const char* why) {
    if (place.Offset == 0) return true;  // nothing was read from it, so any file is a new one
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(Folder.c_str()), ::closedir);
    std::string found;
    FILE_DESCRIPTOR foundFile;
    FILE_PLACE foundPlace;
    for (dirent* entry = directory ? ::readdir(directory.get()) : nullptr; entry != nullptr;
         entry = ::readdir(directory.get())) {
        const std::string name = entry->d_name;
        if (name.size() <= BaseName.size() || name.compare(0, BaseName.size(), BaseName) != 0) continue;
        const std::string path = Folder + "/" + name;
        FILE_DESCRIPTOR candidate(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (!candidate.IsValid() || ::fstat(candidate.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
            static_cast<uint64_t>(status.st_size) < place.Offset || !HeadMatches(candidate.Get(), place)) {
            continue;
        }
        // The renamed file itself beats a copy of it.
        const bool renamed = place.SameFile(PlaceOf(status));
        if (found.empty() || renamed) {
            found = path;
            foundFile = std::move(candidate);
            foundPlace = place;
            foundPlace.Device = status.st_dev;
            foundPlace.Inode = status.st_ino;
            if (renamed) break;
        }
    }
    if (found.empty()) {
        Note("The audit log " + LogPath + " " + why + ", and the file it was read from (" +
             std::to_string(place.Offset) + " bytes in) is no longer beside it; whatever it held after that is lost");
        return true;
    }
    Note("The audit log " + LogPath + " " + why + "; reading the rest of " + found + " from offset " +
         std::to_string(place.Offset));
    SkippingLongLine = false;
    return ReadLines(foundFile.Get(), found, foundPlace, true);
}

bool AUDIT_FOLLOWER::ReadLines(int fd, const std::string& name, FILE_PLACE& place, bool finished) {
    for (;;) {
        const ssize_t got = ReadAt(fd, Buffer.data(), CHUNK, place.Offset);
        if (got < 0) {
            Note("Cannot read " + name + ": " + std::strerror(errno));
            return false;
        }
        const size_t size = static_cast<size_t>(got);
        if (size == 0) return true;
        size_t start = 0;
        if (SkippingLongLine) {
            const char* end = static_cast<const char*>(std::memchr(Buffer.data(), '\n', size));
            start = end == nullptr ? size : static_cast<size_t>(end - Buffer.data()) + 1;
            SkippingLongLine = end == nullptr;
        }
        Lines.clear();
        for (size_t at = start; at < size;) {
            const char* end = static_cast<const char*>(std::memchr(Buffer.data() + at, '\n', size - at));
            if (end == nullptr) break;
            size_t length = static_cast<size_t>(end - (Buffer.data() + at));
            if (length > 0 && Buffer[at + length - 1] == '\r') --length;
            Lines.push_back({std::string_view(Buffer.data() + at, length), place.Offset + at});
            at = static_cast<size_t>(end - Buffer.data()) + 1;
            start = at;
        }
        const bool partial = start < size;
        if (partial && start == 0 && size == CHUNK) {
            Note("Skipping a line longer than " + std::to_string(CHUNK) + " bytes in " + Describe(name, place.Offset));
            SkippingLongLine = true;
            start = size;
        } else if (partial && finished && size < CHUNK) {
            // The file will not grow any more: its last line stays incomplete.
            Note("Skipping an incomplete last line in " + Describe(name, place.Offset + start));
            start = size;
        }
        if (start == 0) return true;  // only the beginning of a line so far
        FILE_PLACE after = place;
        after.Offset += start;
        ExtendHead(fd, after);
        if (!Sink.Take(name, Lines, after)) return false;
        place = after;
        if (start < size && size < CHUNK) return true;  // the rest is a line still being written
    }
}

bool AUDIT_FOLLOWER::CurrentIsAnotherFile() const {
    struct stat status {};
    return ::stat(LogPath.c_str(), &status) == 0 && !Place.SameFile(PlaceOf(status));
}

bool AUDIT_FOLLOWER::SwitchToCurrent() {
    FILE_DESCRIPTOR current;
    FILE_PLACE currentPlace;
    RotationSeen = false;
    SkippingLongLine = false;
    if (!OpenCurrent(current, currentPlace)) {
        File.Reset();
        return true;
    }
    if (!Sink.Take(LogPath, {}, currentPlace)) return false;
    File = std::move(current);
    Place = currentPlace;
    return true;
}

bool AUDIT_FOLLOWER::Poll() {
    if (!File.IsValid()) {
        if (::access(LogPath.c_str(), F_OK) != 0) return true;  // not there (yet, or again)
        if (!SwitchToCurrent()) return false;
        if (!File.IsValid()) return true;
    }
    // Truncated in place (copy and truncate), or rewritten under the same inode.
    struct stat status {};
    if (::fstat(File.Get(), &status) == 0 &&
        (static_cast<uint64_t>(status.st_size) < Place.Offset || !HeadMatches(File.Get(), Place))) {
        if (!TakeRestOfRotated(Place, "was truncated")) return false;
        FILE_PLACE start = PlaceOf(status);
        if (!Sink.Take(LogPath, {}, start)) return false;
        Place = start;
        SkippingLongLine = false;
    }
    if (!ReadLines(File.Get(), LogPath, Place, false)) return false;
    if (!CurrentIsAnotherFile()) return true;

    // Rotated: the file we hold was renamed away or deleted, and the log is a new file. Its
    // writer may not have moved to the new file yet (logrotate makes it before Samba reopens
    // its log), so the old file is read on until it has been quiet for a moment.
    const uint64_t size = ::fstat(File.Get(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
    const auto now = std::chrono::steady_clock::now();
    if (!RotationSeen || size != RotationSize) {
        RotationSeen = true;
        RotationSince = now;
        RotationSize = size;
    }
    if (now - RotationSince < RotationGrace) return true;
    if (!ReadLines(File.Get(), LogPath, Place, true)) return false;
    if (!SwitchToCurrent()) return false;
    return !File.IsValid() || ReadLines(File.Get(), LogPath, Place, false);
}

}  // namespace qv
