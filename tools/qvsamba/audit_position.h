// Where qvsamba is in Samba's audit log, kept in the data root so that a restart goes on at
// the same line: which file (device and inode, and a fingerprint of its first bytes, since an
// inode number is reused once a file is gone), how far into it, and how many batches of
// records it has written. A batch about to be written is announced first ("pending"); its
// records carry the batch's number, so after a stop between the two steps the Security log
// itself says whether the batch got there.
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
};

struct AUDIT_POSITION {
    bool Known = false;  // false before the first run
    FILE_PLACE Place;
    uint64_t Batches = 0;  // batches of records written; the next one is Batches + 1
    bool Pending = false;  // batch Batches + 1 was being written; it ends at PendingPlace
    FILE_PLACE PendingPlace;
};

// A missing file leaves 'position' unknown and succeeds; a damaged one fails with 'problem'.
bool LoadAuditPosition(const std::string& path, AUDIT_POSITION& position, std::string& problem);
// Written whole or not at all: a temporary file, synced, renamed over the old one.
bool SaveAuditPosition(const std::string& path, const AUDIT_POSITION& position, std::string& problem);

}  // namespace qv
