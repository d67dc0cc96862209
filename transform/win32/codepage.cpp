// Code pages on Windows: the system's own conversions, as the Windows Installer uses them.
#include "transform/codepage.h"

#include "platform/win32/win32.h"

namespace qv {

struct CODEPAGE_STATE {
    UINT Codepage;
};

namespace {

// Code pages that take no flags (UTF-7 and a few others) refuse the invalid-characters flag.
int ToWide(UINT codepage, const std::string& bytes, wchar_t* wide, int size) {
    const int length = MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                           wide, size);
    if (length != 0 || GetLastError() != ERROR_INVALID_FLAGS) return length;
    return MultiByteToWideChar(codepage, 0, bytes.data(), static_cast<int>(bytes.size()), wide, size);
}

}  // namespace

CODEPAGE_TEXT::CODEPAGE_TEXT(uint32_t codepage)
    : Platform(std::make_unique<CODEPAGE_STATE>(CODEPAGE_STATE{codepage != NEUTRAL_CODEPAGE ? codepage : CP_ACP})) {}
CODEPAGE_TEXT::~CODEPAGE_TEXT() = default;

bool CODEPAGE_TEXT::Decode(const std::string& bytes, std::string& utf8) {
    utf8.clear();
    if (bytes.empty()) return true;
    const int length = ToWide(Platform->Codepage, bytes, nullptr, 0);
    if (length <= 0) return false;
    STRING wide(static_cast<uint32_t>(length));
    if (ToWide(Platform->Codepage, bytes, AsWide(wide.Buffer()), length) != length) return false;
    const STRING_A text(wide);
    utf8.assign(text.Text(), text.Length());
    return true;
}

bool CODEPAGE_TEXT::Encode(const std::string& utf8, std::string& bytes) {
    bytes.clear();
    if (utf8.empty()) return true;
    const STRING wide(utf8.c_str());
    const auto convert = [&](char* output, int size) {
        return WideCharToMultiByte(Platform->Codepage, 0, AsWide(wide.Text()), static_cast<int>(wide.Length()), output,
                                   size, nullptr, nullptr);
    };
    const int length = convert(nullptr, 0);
    if (length <= 0) return false;
    bytes.resize(static_cast<size_t>(length));
    if (convert(bytes.data(), length) != length) return false;
    // A character the code page lacks becomes its default character or a look-alike: only a
    // text that comes back unchanged is held.
    std::string back;
    return Decode(bytes, back) && back == utf8;
}

}  // namespace qv
