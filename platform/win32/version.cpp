// The version resource on Windows: the file's VERSIONINFO block, read with the version API.
#include "platform/version_resource.h"

#include "platform/win32/win32.h"

namespace qv {

namespace {

constexpr DWORD PATH_UNITS = MAX_PATH;  // a path and its terminator: at most 259 characters

}  // namespace

uint32_t VERSION_RESOURCE::Load(const char16_t* fileName) {
    Block.Free();
    wchar_t path[PATH_UNITS];
    DWORD length;
    if (fileName != nullptr) {
        length = SearchPathW(nullptr, AsWide(fileName), nullptr, PATH_UNITS, path, nullptr);
    } else {
        length = GetModuleFileNameW(nullptr, path, PATH_UNITS);
    }
    // 0: not found; PATH_UNITS or more: the path did not fit (SearchPathW then gives the size
    // it needs, GetModuleFileNameW a cut path of exactly the buffer's size).
    if (length == 0 || length >= PATH_UNITS) return ERR_FILE_NOT_FOUND;

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
        const DWORD code = GetLastError();
        return code != ERROR_SUCCESS ? code : ERR_INVALID_DATA;
    }
    if (!Block.Resize(size)) return ERR_NOT_ENOUGH_MEMORY;
    if (!GetFileVersionInfoW(path, 0, size, Block.Data())) {
        const DWORD code = GetLastError();
        Block.Free();
        return code != ERROR_SUCCESS ? code : ERR_INVALID_DATA;
    }
    return ERR_SUCCESS;
}

uint32_t VERSION_RESOURCE::TranslationCount() const {
    if (Block.Data() == nullptr) return 0;
    void* pairs = nullptr;
    UINT bytes = 0;
    // VerQueryValueW takes the block as writable but only reads it here.
    if (!VerQueryValueW(const_cast<uint8_t*>(Block.Data()), L"\\VarFileInfo\\Translation", &pairs, &bytes) ||
        pairs == nullptr) {
        return 0;
    }
    return bytes / sizeof(DWORD);
}

VERSION_TRANSLATION VERSION_RESOURCE::Translation(uint32_t index) const {
    void* pairs = nullptr;
    UINT bytes = 0;
    if (Block.Data() == nullptr ||
        !VerQueryValueW(const_cast<uint8_t*>(Block.Data()), L"\\VarFileInfo\\Translation", &pairs, &bytes) ||
        pairs == nullptr || index >= bytes / sizeof(DWORD)) {
        return {0, 0};
    }
    const auto* words = static_cast<const WORD*>(pairs);
    return {words[index * 2], words[index * 2 + 1]};
}

bool VERSION_RESOURCE::QueryString(const char16_t* path, STRING& value) const {
    value.Clear();
    if (Block.Data() == nullptr) return false;
    void* text = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(const_cast<uint8_t*>(Block.Data()), AsWide(path), &text, &units) || text == nullptr) {
        return false;
    }
    // The length counts the terminator (or not, depending on who wrote the resource).
    const auto* characters = static_cast<const char16_t*>(text);
    uint32_t length = 0;
    while (length < units && characters[length] != 0) ++length;
    value.Assign(characters, length);
    return true;
}

uint16_t VERSION_RESOURCE::ThreadLanguage() { return LANGIDFROMLCID(GetThreadLocale()); }

}  // namespace qv
