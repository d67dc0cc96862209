// The settings store: keys and typed values under HKEY_LOCAL_MACHINE. On Windows this is the
// registry itself. On POSIX it is a store of our own under the data root (see data_root.h)
// with the same key paths, value names and types, kept in files an administrator can read
// and edit, written atomically and safe for several processes at once.
//
// Every operation returns a Win32 error code (0 on success) and leaves it as the thread's
// last-error value on failure.
#pragma once

#include <cstdint>

#include "platform/wait.h"

namespace qv {

class EVENT;
class STRING;

constexpr uint32_t REG_TYPE_NONE = 0;
constexpr uint32_t REG_TYPE_SZ = 1;
constexpr uint32_t REG_TYPE_EXPAND_SZ = 2;
constexpr uint32_t REG_TYPE_BINARY = 3;
constexpr uint32_t REG_TYPE_DWORD = 4;
constexpr uint32_t REG_TYPE_MULTI_SZ = 7;
constexpr uint32_t REG_TYPE_QWORD = 11;

class REGISTRY_KEY {
public:
    REGISTRY_KEY() = default;
    REGISTRY_KEY(const REGISTRY_KEY&) = delete;
    REGISTRY_KEY& operator=(const REGISTRY_KEY&) = delete;
    REGISTRY_KEY(REGISTRY_KEY&& other) noexcept;
    REGISTRY_KEY& operator=(REGISTRY_KEY&& other) noexcept;
    ~REGISTRY_KEY();

    // Opens an existing key of HKEY_LOCAL_MACHINE (path with backslashes); never creates it.
    uint32_t Open(const char16_t* path, bool writeAccess);
    // Creates (or opens) a subkey of this key with full access.
    uint32_t CreateSubkey(const char16_t* name, REGISTRY_KEY& subkey) const;
    bool IsOpen() const;
    void Close();

    // As RegQueryValueExW: with a null data pointer only the type and size are given; a
    // buffer too small gives 234 (ERR_MORE_DATA) with the size needed; a missing value 2.
    uint32_t QueryValue(const char16_t* name, uint32_t* type, void* data, uint32_t* size) const;
    uint32_t SetValue(const char16_t* name, uint32_t type, const void* data, uint32_t size) const;
    uint32_t DeleteValue(const char16_t* name) const;

    // As RegEnumValueW: the value at 'index' (0, 1, ...; 259, ERR_NO_MORE_ITEMS, past the
    // last), its name in 'name' and its type and data as QueryValue gives them.
    uint32_t EnumValue(uint32_t index, STRING& name, uint32_t* type, void* data, uint32_t* size) const;
    // As RegEnumKeyExW: the name of the subkey at 'index', or 259 past the last.
    uint32_t EnumSubkey(uint32_t index, STRING& name) const;

    // Arms a one-shot notification: the event is set at the next change of a value of this
    // key itself (not of its subkeys). Arm again after each notification. As on Windows,
    // arming resets the event and closing the key sets an armed event.
    uint32_t NotifyValueChange(EVENT& event);

private:
    void* Native = nullptr;
};

// Creates a key of HKEY_LOCAL_MACHINE (path with backslashes) and any missing parents, as
// setup does; an existing key is left as it is.
uint32_t CreateRegistryKey(const char16_t* path);

}  // namespace qv
