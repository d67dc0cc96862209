// How an installer package keeps its tables: each table in a stream of its own, named from the
// table's name, its columns defined by the rows of _Columns, and every text in the string pool
// (_StringPool and _StringData) that the tables refer to by number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

// The bits of a column definition (the Type column of _Columns).
constexpr uint32_t COLUMN_WIDTH_MASK = 0x00FF;
constexpr uint32_t COLUMN_VALID = 0x0100;
constexpr uint32_t COLUMN_STRING = 0x0800;
constexpr uint32_t COLUMN_NULLABLE = 0x1000;
constexpr uint32_t COLUMN_KEY = 0x2000;

struct COLUMN {
    std::string Name;
    uint32_t Type = 0;

    bool IsKey() const { return (Type & COLUMN_KEY) != 0; }
    // Stream data, kept in a stream of its own and not in the table.
    bool IsBinary() const { return (Type & ~COLUMN_NULLABLE) == (COLUMN_STRING | COLUMN_VALID); }
    bool IsText() const { return (Type & COLUMN_STRING) != 0 && !IsBinary(); }
    // How many bytes an integer column takes in a table: 2 or 4.
    uint32_t IntegerSize() const { return (Type & COLUMN_WIDTH_MASK) <= 2 ? 2 : 4; }
    bool operator==(const COLUMN&) const = default;
};

inline bool HasBinaryColumn(const std::vector<COLUMN>& columns) {
    for (const COLUMN& column : columns) {
        if (column.IsBinary()) return true;
    }
    return false;
}

// The tables that hold the texts, and the defining tables, which describe the others and are
// not listed among them.
inline constexpr const char* STRING_POOL_TABLE = "_StringPool";
inline constexpr const char* STRING_DATA_TABLE = "_StringData";
inline constexpr const char* TABLES_TABLE = "_Tables";
inline constexpr const char* COLUMNS_TABLE = "_Columns";
std::vector<COLUMN> TablesTableColumns();
std::vector<COLUMN> ColumnsTableColumns();

// The string pool's first word: the code page, with this bit set when references to texts
// take 3 bytes instead of 2.
constexpr uint32_t LONG_STRING_REFERENCES = 0x80000000;
// The code page of a package from (the start of) its string pool. A pool without texts says
// nothing: the installer takes it for neutral.
uint32_t PoolCodepage(const std::string& pool);

// The installer's name for a table's stream, as UTF-8: the mark U+4840, then the name's
// letters, digits, '.' and '_' packed two to a character.
std::string TableStreamName(const std::string& table);
// The table a stream of that name holds, for messages (the name itself when it isn't a
// table's).
std::string TableOfStream(const std::string& streamName);
// The UTF-8 form of the mark that every table's stream name starts with.
inline constexpr const char* TABLE_STREAM_MARK_UTF8 = "\xE4\xA1\x80";

}  // namespace qv
