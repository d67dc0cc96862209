#include "platform/resource_string.h"

#include "platform/system_text.h"

namespace qv {

STRING LoadResourceString(uint32_t number, MODULE_HANDLE module) {
    STRING text;
    if (number < 0x10000 && !LoadStringTableEntry(number, module, text)) text.Clear();
    return text;
}

}  // namespace qv
