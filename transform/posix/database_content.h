// A whole installer database as plain values: its tables, their columns as the installer
// defines them, and every row. Setupsmith compares two of these to write a transform.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "transform/posix/libmsi_forward.h"
#include "transform/table_format.h"

namespace qv {

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

}  // namespace qv
