#include "platform/registry_values.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "platform/last_error.h"

namespace qv {

namespace {

bool Succeeded(uint32_t code) {
    if (code == ERR_SUCCESS) return true;
    SetLastErrorCode(code);
    return false;
}

// A number of exactly its own size and type.
template <typename NUMBER>
bool ReadRegistryNumber(const REGISTRY_KEY& key, const char16_t* name, uint32_t wantedType, NUMBER& value) {
    uint32_t type = REG_TYPE_NONE;
    NUMBER data = 0;
    uint32_t size = sizeof data;
    uint32_t code = key.QueryValue(name, &type, &data, &size);
    // A value too big for the number answers "more data": that is a wrong size, not a failure to read.
    if (code == ERR_MORE_DATA || (code == ERR_SUCCESS && (type != wantedType || size != sizeof data))) {
        code = ERR_INVALID_DATATYPE;
    }
    if (!Succeeded(code)) return false;
    value = data;
    return true;
}

}  // namespace

bool ReadRegistryDword(const REGISTRY_KEY& key, const char16_t* name, uint32_t& value) {
    return ReadRegistryNumber(key, name, REG_TYPE_DWORD, value);
}

bool ReadRegistryString(const REGISTRY_KEY& key, const char16_t* name, STRING& value) {
    uint32_t type = REG_TYPE_NONE;
    uint32_t size = 0;
    uint32_t code = key.QueryValue(name, &type, nullptr, &size);
    if (code == ERR_MORE_DATA) code = ERR_SUCCESS;
    if (!Succeeded(code)) return false;
    if (size == 0) return RegistryTextFromBytes(type, nullptr, 0, value);
    std::vector<uint8_t> bytes(size);
    uint32_t read = size;
    code = key.QueryValue(name, &type, bytes.data(), &read);
    if (!Succeeded(code)) return false;
    return RegistryTextFromBytes(type, bytes.data(), read, value);
}

bool RegistryTextFromBytes(uint32_t type, const uint8_t* data, uint32_t size, STRING& value) {
    if (type != REG_TYPE_SZ && type != REG_TYPE_EXPAND_SZ) return Succeeded(ERR_INVALID_DATATYPE);
    // Whole characters, an odd last byte counting as one; the stored text may or may not carry
    // its terminator (or carry more than one): it ends at the first NUL.
    std::u16string units((size + 1) / sizeof(char16_t), u'\0');
    if (size != 0) std::memcpy(units.data(), data, size);
    const size_t length = std::min(units.find(u'\0'), units.size());
    value.Assign(units.data(), static_cast<uint32_t>(length));
    return true;
}

bool ReadRegistryStrings(const REGISTRY_KEY& key, const char16_t* name, std::vector<STRING>& values,
                         uint32_t maximumBytes) {
    values.clear();
    uint32_t type = REG_TYPE_NONE;
    uint32_t size = 0;
    uint32_t code = key.QueryValue(name, &type, nullptr, &size);
    if (code == ERR_MORE_DATA) code = ERR_SUCCESS;
    if (!Succeeded(code)) return false;
    if (type != REG_TYPE_MULTI_SZ && type != REG_TYPE_SZ && type != REG_TYPE_EXPAND_SZ) {
        return Succeeded(ERR_INVALID_DATATYPE);
    }
    if (size > maximumBytes) return Succeeded(ERR_INVALID_DATA);
    std::u16string units((size + 1) / sizeof(char16_t), u'\0');
    uint32_t read = size;
    if (size != 0) {
        code = key.QueryValue(name, &type, units.data(), &read);
        // A value that changed between the two queries is read as it is now, within the limit.
        if (code == ERR_MORE_DATA) return ReadRegistryStrings(key, name, values, maximumBytes);
        if (!Succeeded(code)) return false;
        if (type != REG_TYPE_MULTI_SZ && type != REG_TYPE_SZ && type != REG_TYPE_EXPAND_SZ) {
            return Succeeded(ERR_INVALID_DATATYPE);
        }
        units.resize((read + 1) / sizeof(char16_t));
    }
    if (type != REG_TYPE_MULTI_SZ) units.resize(std::min(units.find(u'\0'), units.size()));
    for (size_t start = 0; start < units.size();) {
        const size_t end = std::min(units.find(u'\0', start), units.size());
        if (end > start) values.emplace_back(units.data() + start, static_cast<uint32_t>(end - start));
        start = end + 1;
    }
    return true;
}

bool RegistryValueExists(const REGISTRY_KEY& key, const char16_t* name) {
    uint32_t type = REG_TYPE_NONE;
    uint32_t size = 0;
    uint32_t code = key.QueryValue(name, &type, nullptr, &size);
    return Succeeded(code == ERR_MORE_DATA ? ERR_SUCCESS : code);
}

bool WriteRegistryDword(const REGISTRY_KEY& key, const char16_t* name, uint32_t value) {
    return Succeeded(key.SetValue(name, REG_TYPE_DWORD, &value, sizeof value));
}

bool WriteRegistryString(const REGISTRY_KEY& key, const char16_t* name, const char16_t* text) {
    uint32_t bytes = (TextLength(text) + 1) * static_cast<uint32_t>(sizeof(char16_t));
    return Succeeded(key.SetValue(name, REG_TYPE_SZ, text != nullptr ? text : u"", bytes));
}

bool WriteRegistryStrings(const REGISTRY_KEY& key, const char16_t* name, const std::vector<STRING>& values) {
    std::u16string units;
    for (const STRING& value : values) units.append(value.Text(), value.Length() + 1);
    units.push_back(u'\0');
    return Succeeded(key.SetValue(name, REG_TYPE_MULTI_SZ, units.data(),
                                  static_cast<uint32_t>(units.size() * sizeof(char16_t))));
}

bool ReadRegistryQword(const REGISTRY_KEY& key, const char16_t* name, uint64_t& value) {
    return ReadRegistryNumber(key, name, REG_TYPE_QWORD, value);
}

bool WriteRegistryQword(const REGISTRY_KEY& key, const char16_t* name, uint64_t value) {
    return Succeeded(key.SetValue(name, REG_TYPE_QWORD, &value, sizeof value));
}

bool DeleteRegistryValue(const REGISTRY_KEY& key, const char16_t* name) {
    uint32_t code = key.DeleteValue(name);
    return Succeeded(code == ERR_FILE_NOT_FOUND ? ERR_SUCCESS : code);
}

}  // namespace qv
