// The settings store on Windows: the registry itself, under HKEY_LOCAL_MACHINE. The calls
// already speak the store's vocabulary (error codes, value types, one-shot change
// notification), so this is a thin layer that only converts handles, text and sizes.
#include "platform/registry.h"

#include <utility>

#include "base/string.h"
#include "platform/last_error.h"
#include "platform/win32/win32.h"

namespace qv {

namespace {

// Value names are at most 16383 characters, key names at most 255 (plus the terminator).
constexpr DWORD VALUE_NAME_CAPACITY = 16384;
constexpr DWORD KEY_NAME_CAPACITY = 256;

HKEY KeyOf(void* native) { return static_cast<HKEY>(native); }

uint32_t Finish(LSTATUS status) {
    const auto code = static_cast<uint32_t>(status);
    if (code != ERR_SUCCESS) SetLastErrorCode(code);
    return code;
}

// RegQueryValueExW and RegEnumValueW report through DWORDs; the interface speaks uint32_t.
struct VALUE_OUT {
    VALUE_OUT(uint32_t* type, uint32_t* size) : TypeOut(type), SizeOut(size), Size(size != nullptr ? *size : 0) {}

    DWORD* TypePointer() { return TypeOut != nullptr ? &Type : nullptr; }
    DWORD* SizePointer() { return SizeOut != nullptr ? &Size : nullptr; }

    // The type and size are given on success and, for a buffer too small, the size needed.
    void Deliver(LSTATUS status) {
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return;
        if (TypeOut != nullptr) *TypeOut = Type;
        if (SizeOut != nullptr) *SizeOut = Size;
    }

    uint32_t* TypeOut;
    uint32_t* SizeOut;
    DWORD Type = 0;
    DWORD Size;
};

}  // namespace


void REGISTRY_KEY::Close() {
    // Closing the key also sets an event armed on it; the system does that by itself.
    if (Native != nullptr) RegCloseKey(KeyOf(std::exchange(Native, nullptr)));
}

uint32_t REGISTRY_KEY::Open(const char16_t* path, bool writeAccess) {
    Close();
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(path != nullptr ? path : u""), 0,
                                         writeAccess ? KEY_ALL_ACCESS : KEY_READ, &key);
    if (status == ERROR_SUCCESS) Native = key;
    return Finish(status);
}

uint32_t REGISTRY_KEY::CreateSubkey(const char16_t* name, REGISTRY_KEY& subkey) const {
    if (Native == nullptr) return Finish(ERROR_INVALID_HANDLE);
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(KeyOf(Native), AsWide(name != nullptr ? name : u""), 0, nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return Finish(status);
    // Only now, as 'subkey' may be this very key.
    subkey.Close();
    subkey.Native = key;
    return ERR_SUCCESS;
}

uint32_t REGISTRY_KEY::QueryValue(const char16_t* name, uint32_t* type, void* data, uint32_t* size) const {
    if (Native == nullptr) return Finish(ERROR_INVALID_HANDLE);
    VALUE_OUT out(type, size);
    const LSTATUS status = RegQueryValueExW(KeyOf(Native), AsWide(name), nullptr, out.TypePointer(),
                                            static_cast<BYTE*>(data), out.SizePointer());
    out.Deliver(status);
    return Finish(status);
}

uint32_t REGISTRY_KEY::SetValue(const char16_t* name, uint32_t type, const void* data, uint32_t size) const {
    if (Native == nullptr) return Finish(ERROR_INVALID_HANDLE);
    return Finish(RegSetValueExW(KeyOf(Native), AsWide(name), 0, type, static_cast<const BYTE*>(data), size));
}

uint32_t REGISTRY_KEY::DeleteValue(const char16_t* name) const {
    if (Native == nullptr) return Finish(ERROR_INVALID_HANDLE);
    return Finish(RegDeleteValueW(KeyOf(Native), AsWide(name)));
}

uint32_t REGISTRY_KEY::EnumValue(uint32_t index, STRING& name, uint32_t* type, void* data, uint32_t* size) const {
    if (Native == nullptr) return Finish(ERROR_INVALID_HANDLE);
    try {
        STRING found(VALUE_NAME_CAPACITY);
        DWORD length = VALUE_NAME_CAPACITY + 1;  // the STRING has room for its terminator too
        VALUE_OUT out(type, size);
        const LSTATUS status = RegEnumValueW(KeyOf(Native), index, AsWide(found.Buffer()), &length, nullptr,
                                             out.TypePointer(), static_cast<BYTE*>(data), out.SizePointer());
        out.Deliver(status);
        if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
            found.SetLength(length);
            name = std::move(found);
        }
        return Finish(status);
    } catch (const STRING_NO_MEMORY&) {
        return Finish(ERROR_NOT_ENOUGH_MEMORY);
    }
}

uint32_t REGISTRY_KEY::EnumSubkey(uint32_t index, STRING& name) const {
    if (Native == nullptr) return Finish(ERROR_INVALID_HANDLE);
    wchar_t found[KEY_NAME_CAPACITY + 1];
    DWORD length = KEY_NAME_CAPACITY + 1;
    const LSTATUS status = RegEnumKeyExW(KeyOf(Native), index, found, &length, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return Finish(status);
    try {
        name.Assign(AsUtf16(found), length);
    } catch (const STRING_NO_MEMORY&) {
        return Finish(ERROR_NOT_ENOUGH_MEMORY);
    }
    return ERR_SUCCESS;
}

uint32_t REGISTRY_KEY::NotifyValueChange(EVENT& event) {
    if (Native == nullptr || !event.IsValid()) return Finish(ERROR_INVALID_HANDLE);
    // Value changes of this key only, asynchronously: the event is set and the call returns now.
    // The registration belongs to the calling thread and lapses when that thread ends, so the
    // thread that waits for the event is the one that arms it.
    return Finish(RegNotifyChangeKeyValue(KeyOf(Native), FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                          AsHandle(event.NativeHandle()), TRUE));
}

uint32_t CreateRegistryKey(const char16_t* path) {
    HKEY key = nullptr;
    const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, AsWide(path != nullptr ? path : u""), 0, nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return Finish(status);
}

}  // namespace qv
