#include "platform/computer_name.h"

#include "platform/win32/win32.h"

#include "platform/last_error.h"

namespace qv {

uint32_t QueryComputerName(char16_t* buffer, uint32_t& size) {
    DWORD units = size;
    if (GetComputerNameW(AsWide(buffer), &units)) {
        size = units;
        return ERR_SUCCESS;
    }
    uint32_t code = GetLastError();
    if (code == ERROR_BUFFER_OVERFLOW) size = units;
    SetLastErrorCode(code);
    return code;
}

}  // namespace qv
