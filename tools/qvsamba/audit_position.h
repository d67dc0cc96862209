// Where qvsamba is in Samba's audit log, kept in the data root so that a restart goes on at
// the same line: which file (device and inode, and a fingerprint of its first bytes, since an
// inode number is reused once a file is gone), how far into it, and how many batches of
// records it has written. After a rotation by renaming there are two places: the new file
// under the log's name, and the renamed one, which a writer may still append to. A batch about
// to be written is announced first ("pending"); its records carry the batch's number, so after
// a stop between the two steps the Security log itself says whether the batch got there.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

struct FILE_PLACE {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    uint64_t Offset = 0;      // the start of the first line not yet taken
    uint32_t HeadLength = 0;  // how many of the file's first bytes HeadHash covers
    uint64_t HeadHash = 0;

    bool SameFile(const FILE_PLACE& other) const { return Device == other.Device && Inode == other.Inode; }
    bool operator==(const FILE_PLACE&) const = default;
};

struct AUDIT_PLACES {
    FILE_PLACE Log;           // the file under the log's name (all zero before there is one)
    bool HasRotated = false;  // a file renamed away from the log is still followed
    FILE_PLACE Rotated;
    bool operator==(const AUDIT_PLACES&) const = default;
};

struct AUDIT_POSITION {
    bool Known = false;  // false before the first run
    AUDIT_PLACES Places;
    uint64_t Batches = 0;  // batches of records written; the next one is Batches + 1
    bool Pending = false;  // batch Batches + 1 was being written; it ends at PendingPlaces
    AUDIT_PLACES PendingPlaces;
};

// A missing file leaves 'position' unknown and succeeds; a damaged one fails with 'problem'.
// Files of earlier versions (one place only) are read too.
bool LoadAuditPosition(const std::string& path, AUDIT_POSITION& position, std::string& problem);
// Written whole or not at all: a temporary file, synced, renamed over the old one.
bool SaveAuditPosition(const std::string& path, const AUDIT_POSITION& position, std::string& problem);

}  // namespace qv
