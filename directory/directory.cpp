#include "directory/directory.h"

#include <atomic>

#include "directory/directory_cache.h"
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
    // the value ("OU=Sales\, East" is the OU "Sales, East").
    STRING path;
    std::u16string attribute, value;
    bool inValue = false;
    auto endComponent = [&] {
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
            (inValue ? value : attribute) += *++at;
        } else if (*at == u',') {
            endComponent();
        } else if (*at == u'=' && !inValue) {
            inValue = true;
        } else {
            (inValue ? value : attribute) += *at;
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
}

}  // namespace qv
