#include "tools/qvsamba/audit_position.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/posix/file_descriptor.h"

namespace qv {
namespace {

// Version 2 adds the renamed file's place; a position without one is still written as
// version 1, which earlier releases read.
constexpr char HEADER_1[] = "qvsamba position 1";
constexpr char HEADER_2[] = "qvsamba position 2";

std::string SystemProblem(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::string PlaceText(const FILE_PLACE& place) {
    char text[128];
    std::snprintf(text, sizeof text, "%" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu32 " %016" PRIx64, place.Device,
                  place.Inode, place.Offset, place.HeadLength, place.HeadHash);
    return text;
}

bool ReadPlace(std::istringstream& line, FILE_PLACE& place) {
    line >> place.Device >> place.Inode >> place.Offset >> place.HeadLength >> std::hex >> place.HeadHash >> std::dec;
    return !line.fail();
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool LoadAuditPosition(const std::string& path, AUDIT_POSITION& position, std::string& problem) {
    position = AUDIT_POSITION();
    std::ifstream file(path);
    if (!file) {
        if (errno == ENOENT) return true;
        problem = SystemProblem("Cannot read", path);
        return false;
    }
    std::string text;
    bool haveFile = false, haveBatches = false;
    if (!std::getline(file, text) || (text != HEADER_1 && text != HEADER_2)) {
        problem = path + " is not a position file";
        return false;
    }
    const bool two = text == HEADER_2;
    while (std::getline(file, text)) {
        std::istringstream line(text);
        std::string name;
        line >> name;
        bool good = true;
        if (name == "file") {
            good = haveFile = ReadPlace(line, position.Places.Log);
        } else if (name == "rotated" && two) {
            good = position.Places.HasRotated = ReadPlace(line, position.Places.Rotated);
        } else if (name == "batches") {
            line >> position.Batches;
            good = haveBatches = !line.fail();
        } else if (name == "pending") {
            good = position.Pending = ReadPlace(line, position.PendingPlaces.Log);
        } else if (name == "pending-rotated" && two) {
            good = position.PendingPlaces.HasRotated = ReadPlace(line, position.PendingPlaces.Rotated);
        } else {
            good = false;
        }
        if (!good) {
            problem = path + ": damaged line \"" + text + "\"";
            return false;
        }
    }
    if (!haveFile || !haveBatches || (position.PendingPlaces.HasRotated && !position.Pending)) {
        problem = path + " is incomplete";
        return false;
    }
    position.Known = true;
    return true;
}

bool SaveAuditPosition(const std::string& path, const AUDIT_POSITION& position, std::string& problem) {
    const bool two = position.Places.HasRotated || (position.Pending && position.PendingPlaces.HasRotated);
    std::string text = std::string(two ? HEADER_2 : HEADER_1) + "\nfile " + PlaceText(position.Places.Log) + "\n";
    if (position.Places.HasRotated) text += "rotated " + PlaceText(position.Places.Rotated) + "\n";
    text += "batches " + std::to_string(position.Batches) + "\n";
    if (position.Pending) {
        text += "pending " + PlaceText(position.PendingPlaces.Log) + "\n";
        if (position.PendingPlaces.HasRotated) {
            text += "pending-rotated " + PlaceText(position.PendingPlaces.Rotated) + "\n";
        }
    }

    const std::string temporary = path + ".new";
    FILE_DESCRIPTOR file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (!file.IsValid()) {
        problem = SystemProblem("Cannot write", temporary);
        return false;
    }
    if (!WriteAll(file.Get(), text) || ::fsync(file.Get()) != 0) {
        problem = SystemProblem("Cannot write", temporary);
        return false;
    }
    file.Reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        problem = SystemProblem("Cannot replace", path);
        return false;
    }
    // The rename itself must last too.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    FILE_DESCRIPTOR directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.IsValid()) ::fsync(directory.Get());
    return true;
}

}  // namespace qv
