#include "platform/event_message.h"

#include "platform/win32/format_message.h"
#include "platform/win32/win32.h"

namespace qv {

bool BuiltInEventMessageFiles(const char16_t*, const char16_t*, STRING&) { return false; }

uint32_t ExpandEnvironmentText(const char16_t* text, STRING& expanded) {
    const DWORD size = ExpandEnvironmentStringsW(AsWide(text), nullptr, 0);
    if (size == 0) return GetLastError();
    STRING result(static_cast<uint32_t>(size));
    const DWORD written = ExpandEnvironmentStringsW(AsWide(text), AsWide(result.Buffer()), size);
    if (written == 0) return GetLastError();
    // The variables may have changed between the two calls.
    if (written > size) return ERROR_INSUFFICIENT_BUFFER;
    result.SetLength(written - 1);
    expanded = std::move(result);
    return ERROR_SUCCESS;
}

MESSAGE_FILE::~MESSAGE_FILE() {
    if (Module != nullptr) FreeLibrary(static_cast<HMODULE>(const_cast<void*>(Module)));
}

uint32_t MESSAGE_FILE::Load(const char16_t* path) {
    // As data only: nothing of the file runs, and its dependencies are not loaded.
    HMODULE module = LoadLibraryExW(AsWide(path), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) return GetLastError();
    if (Module != nullptr) FreeLibrary(static_cast<HMODULE>(const_cast<void*>(Module)));
    Module = module;
    return ERROR_SUCCESS;
}

uint32_t MESSAGE_FILE::FindMessage(uint32_t messageId, STRING& text) const {
    if (FormatMessageText(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, Module, messageId, 0, nullptr,
                          text)) {
        return ERROR_SUCCESS;
    }
    return GetLastError();
}

}  // namespace qv
