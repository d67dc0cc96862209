// The values file of one key of the POSIX settings store, in the text form regedit exports
// (".reg", version 5.00), so an administrator can read and edit it with any text editor:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwell Systems\Quorvane]
//   "IdentServer"="ident.example.com"
//   "Heartbeat"=dword:0000003c
//   @="the default value"
//   "Path"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00
//
// Types and bytes are kept exactly: a value goes out in its readable form only when reading
// that form back gives the very same bytes; anything else is written as hex(N) of its raw
// bytes. Reading is strict: a file that is not in this form is refused (ERR_BADDB) rather
// than half understood, and a write never replaces a file the reader refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Windows' own limit on value names; data is limited to what a settings store needs.
constexpr uint32_t REG_MAX_VALUE_NAME = 16383;
constexpr uint32_t REG_MAX_VALUE_DATA = 1024 * 1024;

struct REG_VALUE {
    std::u16string Name;  // empty: the key's default value, "@" in the file
    uint32_t Type = 0;
    std::vector<uint8_t> Data;
};

// Reads a whole values file (UTF-8 with or without a byte-order mark, or UTF-16LE with one
// as regedit itself saves; LF or CRLF line ends). An empty file holds no values. ERR_SUCCESS,
// or ERR_BADDB for anything malformed. May throw std::bad_alloc.
uint32_t ParseRegFile(const char* text, size_t length, std::vector<REG_VALUE>& values);

// The whole file for a key ('keyPath' below HKEY_LOCAL_MACHINE, empty for the root itself),
// UTF-8 with LF line ends. May throw std::bad_alloc.
void FormatRegFile(const std::u16string& keyPath, const std::vector<REG_VALUE>& values, std::string& text);

// The index of the value whose name equals 'name' ignoring case, or -1.
ptrdiff_t FindRegValue(const std::vector<REG_VALUE>& values, const char16_t* name, size_t length);

// UTF-8 <-> UTF-16 for the store's texts (file contents, folder names). May throw std::bad_alloc.
std::u16string RegTextToUtf16(std::string_view text);
std::string RegTextToUtf8(std::u16string_view text);

// Every value of the store's key at 'path' (below HKEY_LOCAL_MACHINE, backslashes between
// the names), in the file's order, from one read of its values file: for a caller that wants
// the whole key, since REGISTRY_KEY::EnumValue reads the file again for every value it gives.
// The store (registry.cpp) answers it; codes as REGISTRY_KEY's.
uint32_t ReadRegistryKeyValues(const char16_t* path, std::vector<REG_VALUE>& values);

// True for a name the file can hold: no line breaks and well-formed UTF-16 (the file is
// UTF-8, which cannot carry a lone surrogate).
bool IsStorableValueName(const char16_t* name, size_t length);

}  // namespace qv
