// Typed reads and writes of settings-store values, with the type and size rules every part
// of the service relies on. Each returns success, leaving the system error code as the
// thread's last-error value on failure.
#pragma once

#include <cstdint>
#include <vector>

#include "base/string.h"
#include "platform/registry.h"

namespace qv {

// Succeeds only for an existing REG_DWORD of exactly 4 bytes; another type or size fails
// with 1804 (invalid data type).
bool ReadRegistryDword(const REGISTRY_KEY& key, const char16_t* name, uint32_t& value);
// REG_SZ or REG_EXPAND_SZ (not expanded); another type fails with 1804. Zero bytes read as
// the empty string; the text ends at its first NUL.
bool ReadRegistryString(const REGISTRY_KEY& key, const char16_t* name, STRING& value);
// The text of a value's bytes by the same rules, for a caller that has read them already.
bool RegistryTextFromBytes(uint32_t type, const uint8_t* data, uint32_t size, STRING& value);
// The most a list of strings is read to: 1 MiB, the most the POSIX store holds in a value.
constexpr uint32_t MAXIMUM_STRINGS_BYTES = 1024 * 1024;
// The strings of a REG_MULTI_SZ, in order, empty ones (and what follows the list's end) left
// out; a REG_SZ or REG_EXPAND_SZ reads as its one text (none when empty). Another type fails
// with 1804; a value of more than 'maximumBytes' fails with 13 (invalid data) without being
// read.
bool ReadRegistryStrings(const REGISTRY_KEY& key, const char16_t* name, std::vector<STRING>& values,
                         uint32_t maximumBytes = MAXIMUM_STRINGS_BYTES);
bool RegistryValueExists(const REGISTRY_KEY& key, const char16_t* name);
bool WriteRegistryDword(const REGISTRY_KEY& key, const char16_t* name, uint32_t value);
// REG_SZ including the terminating NUL.
bool WriteRegistryString(const REGISTRY_KEY& key, const char16_t* name, const char16_t* text);
// REG_MULTI_SZ: each text with its terminator, then the list's own terminator.
bool WriteRegistryStrings(const REGISTRY_KEY& key, const char16_t* name, const std::vector<STRING>& values);
// REG_QWORD of exactly 8 bytes, as ReadRegistryDword.
bool ReadRegistryQword(const REGISTRY_KEY& key, const char16_t* name, uint64_t& value);
bool WriteRegistryQword(const REGISTRY_KEY& key, const char16_t* name, uint64_t value);
// A missing value counts as deleted.
bool DeleteRegistryValue(const REGISTRY_KEY& key, const char16_t* name);

}  // namespace qv
