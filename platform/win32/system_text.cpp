#include "platform/system_text.h"

#include "base/string.h"
#include "platform/win32/format_message.h"
#include "platform/win32/win32.h"

namespace qv {

bool SystemMessageText(uint32_t code, MODULE_HANDLE module, STRING& text) {
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    return FormatMessageText(flags, module, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), nullptr, text);
}

bool LoadStringTableEntry(uint32_t number, MODULE_HANDLE module, STRING& text) {
    HMODULE image = module != nullptr ? static_cast<HMODULE>(module) : GetModuleHandleW(nullptr);
    // With a buffer size of 0, LoadStringW hands back a pointer to the resource text itself
    // (not terminated) and its exact length.
    const wchar_t* resource = nullptr;
    int length = LoadStringW(image, number, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || resource == nullptr) {
        text.Clear();
        return false;
    }
    text.Assign(AsUtf16(resource), static_cast<uint32_t>(length));
    return true;
}

STRING UpperCaseText(const char16_t* text) {
    const STRING source(text != nullptr ? text : u"");
    STRING upper(source.Length());
    // The invariant upper-case mapping is the one ordinal comparison without case uses.
    if (!source.IsEmpty() &&
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, AsWide(source.Text()), static_cast<int>(source.Length()),
                      AsWide(upper.Buffer()), static_cast<int>(upper.Length()), nullptr, nullptr, 0) == 0) {
        return source;
    }
    return upper;
}

int CompareTextIgnoringCase(const char16_t* left, uint32_t leftLength, const char16_t* right, uint32_t rightLength) {
    int result = CompareStringOrdinal(AsWide(left), static_cast<int>(leftLength), AsWide(right),
                                      static_cast<int>(rightLength), TRUE);
    return result == CSTR_EQUAL ? 0 : result == CSTR_LESS_THAN ? -1 : 1;
}

}  // namespace qv
