// FormatMessageW with a buffer the system allocates, handed back as a STRING and freed.
#pragma once

#include "base/string.h"
#include "platform/win32/win32.h"

namespace qv {

// FORMAT_MESSAGE_ALLOCATE_BUFFER is added to 'flags'. False, with an empty text, when the
// system has no message.
inline bool FormatMessageText(DWORD flags, const void* source, DWORD number, DWORD language, va_list* arguments,
                              STRING& text) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, source, number, language,
                                        reinterpret_cast<LPWSTR>(&buffer), 0, arguments);
    struct LOCAL_BLOCK {
        wchar_t* Block;
        ~LOCAL_BLOCK() {
            if (Block != nullptr) LocalFree(Block);
        }
    } owner{buffer};
    if (length == 0 || buffer == nullptr) {
        text.Clear();
        return false;
    }
    text.Assign(AsUtf16(buffer), length);
    return true;
}

}  // namespace qv
