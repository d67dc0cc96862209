// Follows Samba's audit log the way `tail -F` would, but without ever losing or repeating a
// line: it hands complete lines to its sink together with the places just after them, and
// moves on only when the sink has taken them. It keeps up with the ways a log is rotated:
//   - renamed away and a new file made (Samba's own "log.old", logrotate's "create"): Samba's
//     connection processes move to the new file at once, but its main process (the KDC, the
//     LDAP server) writes the renamed file until it is told to reopen its log. So the renamed
//     file is followed as well as the new one, both read as their lines complete, until it is
//     renamed again or deleted, or has been quiet for a long while (a second rotation ends the
//     first);
//   - copied and truncated (logrotate's "copytruncate"): what had not been read yet is read
//     from the copy beside it, then the file from its start;
//   - deleted and made again, or replaced by another file: read to its end, then the new file.
// After a restart both places are found again even when their files were rotated meanwhile: a
// file beside the log whose name starts with the log's, by its inode, or for a copy by its
// first bytes.
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
    // The complete lines of the file 'name' from its place last taken up to its place in
    // 'after' (none when only the places move on). False: nothing was taken, and the same
    // lines come again.
    virtual bool Take(const std::string& name, std::span<const AUDIT_LINE_TEXT> lines, const AUDIT_PLACES& after) = 0;
    // Where the lines taken end. A sink may find that it has taken more than it was told (a
    // batch it could not confirm turned out to be in its log): the follower goes on from there.
    virtual const AUDIT_PLACES& Taken() const = 0;
};

using NOTE = std::function<void(const std::string&)>;

// How long a renamed file must stay quiet before nobody is taken to write it any more.
constexpr std::chrono::milliseconds DEFAULT_ROTATED_QUIET = std::chrono::minutes(10);

class AUDIT_FOLLOWER {
public:
    AUDIT_FOLLOWER(std::string path, AUDIT_LINE_SINK& sink, NOTE note,
                   std::chrono::milliseconds rotatedQuiet = DEFAULT_ROTATED_QUIET);

    // Begins at the saved places (first reading the rest of a file that was copied away while
    // qvsamba was stopped), else at the end of the log's last complete line, or at its start
    // when 'fromStart'. False when the sink refused: start again later.
    bool Start(const AUDIT_POSITION& saved, bool fromStart);
    // Reads what is new. False when the sink refused: poll again later.
    bool Poll();
    // A renamed file is followed as well as the log.
    bool FollowingRotated() const { return Rotated.File.IsValid(); }
    const std::string& Path() const { return LogPath; }

private:
    static constexpr size_t CHUNK = 1024 * 1024;  // also the longest line taken

    struct FOLLOWED {
        FILE_DESCRIPTOR File;
        FILE_PLACE Place;
        bool SkippingLongLine = false;
        bool IsOpen() const { return File.IsValid(); }
    };

    AUDIT_PLACES Places() const;
    bool OpenCurrent(FOLLOWED& followed) const;
    bool FindBeside(const FILE_PLACE& place, bool sameFile, FOLLOWED& found, std::string& name) const;
    bool ReadRestOfCopy(FILE_PLACE place, const std::string& why, FOLLOWED& into);
    bool ReadLines(FOLLOWED& followed, const std::string& name, bool finished);
    bool TakeMove();
    bool CheckTruncated();
    std::string RotatedIsDone();
    bool FinishRotated(const std::string& why);
    bool LogMoved() const;
    bool FollowNewLog();
    void WatchRotated(const std::string& name);
    std::string RotatedLabel() const;

    std::string LogPath;
    std::string Folder;
    std::string BaseName;
    AUDIT_LINE_SINK& Sink;
    NOTE Note;
    std::chrono::milliseconds RotatedQuiet;
    FOLLOWED Log;      // the file under the log's name, as last seen
    FOLLOWED Rotated;  // a file renamed away from it, still followed
    std::string RotatedName;  // where it is ("" when it left the folder)
    std::chrono::steady_clock::time_point RotatedChanged;
    uint64_t RotatedSize = 0;
    std::vector<char> Buffer;
    std::vector<AUDIT_LINE_TEXT> Lines;
};

// The fingerprint of a file's first bytes (FNV-1a); HeadLength 0 matches any file.
uint64_t HeadHash(std::string_view bytes);
bool HeadMatches(int fd, const FILE_PLACE& place);

}  // namespace qv
