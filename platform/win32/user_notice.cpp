#include "platform/user_notice.h"

#include "platform/win32/win32.h"

namespace qv {

void ShowWarning(const char16_t* text, const char16_t* caption) {
    MessageBoxW(nullptr, AsWide(text), AsWide(caption), MB_ICONWARNING | MB_OK);
}

}  // namespace qv
