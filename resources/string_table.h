// The program's string table as compiled-in text, for platforms without resource sections.
#pragma once

#include <cstdint>

namespace qv {

struct STRING_TABLE_ENTRY {
    uint32_t Number;
    const char16_t* Text;  // null ends the table
};

extern const STRING_TABLE_ENTRY ProgramStringTable[];

}  // namespace qv
