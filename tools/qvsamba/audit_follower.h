// Follows Samba's audit log the way `tail -F` would, but without ever losing or repeating a
// line: it hands complete lines to its sink together with the place just after them, and
// moves on only when the sink has taken them. It keeps up with the ways a log is rotated:
//   - renamed away and a new file made (Samba's own "log.old", logrotate's "create"): the old
//     file is read on until it has been quiet for a moment (its writer may not have reopened
//     the log yet, and a last line may still be completed) before the new one is read from
//     its start;
//   - copied and truncated (logrotate's "copytruncate"): what had not been read yet is read
//     from the copy beside it, then the file from its start;
//   - deleted and made again, or replaced by another file.
// After a restart the saved place is found again even when its file was rotated meanwhile:
// a file beside the log whose name starts with the log's and whose first bytes are the same.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "tools/qvsamba/audit_position.h"

namespace qv {

struct AUDIT_LINE_TEXT {
    std::string_view Text;  // without its line end
    uint64_t Offset;        // where it starts in its file
};

class AUDIT_LINE_SINK {
public:
    virtual ~AUDIT_LINE_SINK() = default;
    // The complete lines of 'file' from the place last taken up to 'after' (none when only the
    // place moves on). False: nothing was taken, and the same lines come again.
    virtual bool Take(const std::string& file, std::span<const AUDIT_LINE_TEXT> lines, const FILE_PLACE& after) = 0;
};

using NOTE = std::function<void(const std::string&)>;

class AUDIT_FOLLOWER {
public:
    AUDIT_FOLLOWER(std::string path, AUDIT_LINE_SINK& sink, NOTE note,
                   std::chrono::milliseconds rotationGrace = std::chrono::milliseconds(1000));

    // Begins at the saved place (first reading what was added to its file after it, if that
    // file was rotated away meanwhile), else at the end of the log's last complete line, or
    // at its start when 'fromStart'. False when the sink refused what was left there.
    bool Start(const AUDIT_POSITION& saved, bool fromStart);
    // Reads what is new. False when the sink refused: poll again later.
    bool Poll();
    // A rotated file is still being read until it has been quiet for a moment: poll again soon.
    bool AwaitingRotation() const { return RotationSeen; }
    const std::string& Path() const { return LogPath; }

private:
    static constexpr size_t CHUNK = 1024 * 1024;  // also the longest line taken

    bool OpenCurrent(FILE_DESCRIPTOR& file, FILE_PLACE& place) const;
    bool ReadLines(int fd, const std::string& name, FILE_PLACE& place, bool finished);
    bool TakeRestOfRotated(const FILE_PLACE& place, const char* why);
    bool SwitchToCurrent();
    bool CurrentIsAnotherFile() const;

    std::string LogPath;
    std::string Folder;
    std::string BaseName;
    AUDIT_LINE_SINK& Sink;
    NOTE Note;
    std::chrono::milliseconds RotationGrace;
    FILE_DESCRIPTOR File;
    FILE_PLACE Place;
    bool SkippingLongLine = false;
    bool RotationSeen = false;
    std::chrono::steady_clock::time_point RotationSince;
    uint64_t RotationSize = 0;
    std::vector<char> Buffer;
    std::vector<AUDIT_LINE_TEXT> Lines;
};

// The fingerprint of a file's first bytes (FNV-1a); HeadLength 0 matches any file.
uint64_t HeadHash(std::string_view bytes);
bool HeadMatches(int fd, const FILE_PLACE& place);

}  // namespace qv
