// The byte layout of an installer transform's streams: the string pool that every text is
// referred to by, the change records of each table, and the installer's packed stream names.
//
// A change record starts with a 16-bit mask. With its low bit set, the record holds the first
// (mask >> 8) fields of the row: an inserted row, or a row replaced as a whole. Otherwise
// each set bit i names a changed column i, and the record holds the key fields and those; a
// mask of 0 deletes the row its keys name. Texts are string-pool numbers (0 for null);
// integers are stored offset so that 0 means null (16-bit: value + 0x8000; 32-bit: value with
// its top bit flipped).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "transform/posix/table_difference.h"

namespace qv {

// The texts of a transform, numbered from 1 in the order they are first added.
class STRING_POOL {
public:
    // Adds a text (UTF-8) and counts one more use; the empty text is null and has number 0.
    void Add(const std::string& text);
    uint32_t NumberOf(const std::string& text) const;
    // 2 bytes per reference, or 3 when the pool has more numbers than 16 bits hold.
    uint32_t ReferenceSize() const;
    // The _StringPool and _StringData streams with the texts in 'codepage' (0: the system's
    // ANSI code page). False, with the reason in 'problem', for a text the code page can't
    // hold.
    bool Encode(uint32_t codepage, std::string& pool, std::string& data, std::string& problem) const;

private:
    std::vector<std::string> Texts;
    std::vector<uint32_t> Uses;
    std::map<std::string, uint32_t> Numbers;
};

// Adds every text of the table's records to the pool.
void AddTexts(const TABLE_CHANGES& table, STRING_POOL& pool);
// The table's stream: one record per changed row. False, with the reason in 'problem', for a
// row the record format can't carry.
bool EncodeTableChanges(const TABLE_CHANGES& table, const STRING_POOL& pool, std::string& stream,
                        std::string& problem);

}  // namespace qv
