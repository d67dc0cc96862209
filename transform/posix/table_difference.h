// The difference between two installer databases, row by row: what a transform must carry to
// turn the reference into the database.
#pragma once

#include <string>
#include <vector>

#include "transform/posix/database_content.h"

namespace qv {

enum class ROW_CHANGE_KIND {
    INSERT,  // the whole row
    DELETE,  // the key fields name the row
    MODIFY,  // the key fields and the fields that changed
};

struct ROW_CHANGE {
    ROW_CHANGE_KIND Kind;
    ROW Fields;
    // For MODIFY: which columns changed.
    std::vector<bool> Changed;
};

struct TABLE_CHANGES {
    std::string Name;
    std::vector<COLUMN> Columns;
    std::vector<ROW_CHANGE> Rows;
};

// The changes that turn 'reference' into 'database', table by table: _Tables and _Columns
// first (for the tables the database adds), then the other tables by name; only tables that
// change are listed. False, with the reason in 'problem', for a difference that a transform of
// rows can't carry here: a removed table, a changed column definition, or changed stream data.
bool DifferenceBetween(const DATABASE_CONTENT& database, const DATABASE_CONTENT& reference,
                       std::vector<TABLE_CHANGES>& changes, std::string& problem);

}  // namespace qv
