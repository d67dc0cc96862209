// A whole installer database as plain values: its tables, their columns as the installer
// defines them, and every row. Setupsmith compares two of these to write a transform.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "transform/posix/libmsi_forward.h"

namespace qv {

// The bits of an installer column definition (the Type column of _Columns).
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

// One field: null, an integer, or text (UTF-8; for a binary column the stream's bytes).
struct FIELD {
    bool Null = true;
    int32_t Integer = 0;
    std::string Text;
    bool operator==(const FIELD&) const = default;
};

using ROW = std::vector<FIELD>;

struct TABLE {
    std::string Name;
    std::vector<COLUMN> Columns;
    std::vector<ROW> Rows;
};

// Tables by name.
using DATABASE_CONTENT = std::map<std::string, TABLE>;

// Reads every table of the database. 0 or an installer error code; what went wrong is in the
// installer's detail (installer_messages.h).
uint32_t ReadDatabaseContent(LibmsiDatabase* database, DATABASE_CONTENT& content);

// The defining tables, which describe the others and are not listed among them.
inline constexpr const char* TABLES_TABLE = "_Tables";
inline constexpr const char* COLUMNS_TABLE = "_Columns";
std::vector<COLUMN> TablesTableColumns();
std::vector<COLUMN> ColumnsTableColumns();

}  // namespace qv
