#include "directory/directory.h"

#include <atomic>
#include <string>

#include "directory/directory_cache.h"
#include "directory/directory_guard.h"
#include "platform/error_text.h"
#include "platform/resource_string.h"

namespace qv {

namespace {

std::atomic<DIRECTORY_ACCESS*> InstalledAccess{nullptr};

constexpr uint32_t ADS_FIRST_ERROR = 0x80005000;
constexpr uint32_t ADS_LAST_ERROR = 0x80005014;
constexpr uint32_t ADS_FIRST_ERROR_STRING = 104;
constexpr uint32_t ADS_INVALID_FILTER_STRING = 121;
constexpr uint32_t ADS_UNKNOWN_ERROR_STRING = 122;

// The string-table number for a code of the directory range; 0 for codes it has no text for.
uint32_t AdsErrorString(uint32_t code) {
    if (code == E_ADS_INVALID_FILTER) return ADS_INVALID_FILTER_STRING;
    if (code >= ADS_FIRST_ERROR && code <= ADS_FIRST_ERROR + (ADS_INVALID_FILTER_STRING - ADS_FIRST_ERROR_STRING - 1)) {
        return ADS_FIRST_ERROR_STRING + (code - ADS_FIRST_ERROR);
    }
    return 0;
}

// 0 to 15 for a hex digit, else -1.
int HexDigitValue(char16_t unit) {
    if (unit >= u'0' && unit <= u'9') return unit - u'0';
    if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
    if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
    return -1;
}

}  // namespace

void DIRECTORY_BINDING::SetServer(const char16_t* server, const char16_t* user, const char16_t* password) {
    InitType = ADS_NAME_INITTYPE_SERVER;
    Server = server ? server : u"";
    if (user && password) {
        User = user;
        Password = password;
    }
}

STRING AdsErrorText(uint32_t code) {
    static_assert(ADS_LAST_ERROR == E_ADS_INVALID_FILTER);
    if (uint32_t number = AdsErrorString(code)) return LoadResourceString(number);
    STRING text;
    if (GetErrorText(code, text) && !text.IsEmpty()) return text;
    return LoadResourceString(ADS_UNKNOWN_ERROR_STRING);
}

STRING GetOuPath(const char16_t* dn) {
    // Components end at a comma that no backslash escapes; an escaped character belongs to
    // the value ("OU=Sales\, East" is the OU "Sales, East"), and escaped hex pairs are the
    // bytes of UTF-8 text ("OU=Caf\C3\A9" is the OU "Café").
    STRING path;
    std::u16string attribute, value;
    std::string escapedBytes;
    bool inValue = false;
    auto target = [&]() -> std::u16string& { return inValue ? value : attribute; };
    auto takeEscapedBytes = [&] {
        if (escapedBytes.empty()) return;
        STRING decoded{STRING_A(escapedBytes.data(), static_cast<uint32_t>(escapedBytes.size()))};
        target().append(decoded.Text(), decoded.Length());
        escapedBytes.clear();
    };
    auto endComponent = [&] {
        takeEscapedBytes();
        if (inValue && attribute.size() == 2 && (attribute[0] == u'O' || attribute[0] == u'o') &&
            (attribute[1] == u'U' || attribute[1] == u'u')) {
            std::u16string joined(path.Text(), path.Length());
            if (!joined.empty()) joined += u'.';
            joined += value;
            path.Assign(joined.c_str(), static_cast<uint32_t>(joined.size()));
        }
        attribute.clear();
        value.clear();
        inValue = false;
    };
    for (const char16_t* at = dn ? dn : u""; *at; ++at) {
        if (*at == u'\\' && at[1] != 0) {
            const int high = HexDigitValue(at[1]);
            const int low = high >= 0 ? HexDigitValue(at[2]) : -1;
            if (low >= 0) {
                escapedBytes += static_cast<char>(high * 16 + low);
                at += 2;
                continue;
            }
            takeEscapedBytes();
            target() += *++at;
            continue;
        }
        takeEscapedBytes();
        if (*at == u',') {
            endComponent();
        } else if (*at == u'=' && !inValue) {
            inValue = true;
        } else {
            target() += *at;
        }
    }
    endComponent();
    return path;
}

DIRECTORY_ACCESS& CurrentDirectoryAccess() {
    DIRECTORY_ACCESS* access = InstalledAccess.load();
    return access ? *access : SystemDirectoryAccess();
}

void SetDirectoryAccess(DIRECTORY_ACCESS* access) {
    InstalledAccess.store(access);
    DirectoryCache().Clear();
    ResetDirectoryGuard();
}

}  // namespace qv
