// The program's message table as compiled-in text, for platforms without message-table
// resources. Generated from resources/messages.mc by cmake/GenerateMessageTable.cmake; each
// entry is the full 32-bit message number and the text exactly as the message compiler
// stores it (every text line ending with CR LF).
#pragma once

#include <cstdint>

namespace qv {

struct MESSAGE_TABLE_ENTRY {
    uint32_t Number;
    const char16_t* Text;  // null ends the table
};

extern const MESSAGE_TABLE_ENTRY ProgramMessageTable[];

}  // namespace qv
