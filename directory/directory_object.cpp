// Opening directory objects by DN, through the cache of recent property reads.
#include <string>

#include "directory/directory.h"
#include "directory/directory_cache.h"
#include "directory/directory_guard.h"
#include "support/debug_log.h"
#include "support/format.h"

namespace qv {

namespace {

// An object whose property reads are answered from the cache when the directory answered
// them recently; the directory object itself is opened only when a read is not there.
class CACHED_OBJECT : public DIRECTORY_OBJECT {
public:
    CACHED_OBJECT(std::shared_ptr<OBJECT_PROPERTIES> properties, std::unique_ptr<DIRECTORY_OBJECT> opened, STRING path,
                  const char16_t* user, const char16_t* password, uint32_t flags)
        : Properties(std::move(properties)), Opened(std::move(opened)), Path(std::move(path)),
          User(user ? user : u""), Password(password ? password : u""), HasCredentials(user != nullptr),
          Flags(flags) {}

    uint32_t Get(const char16_t* property, DIRECTORY_VALUE& value) override { return Read(property, false, value); }
    uint32_t GetEx(const char16_t* property, DIRECTORY_VALUE& value) override { return Read(property, true, value); }

private:
    uint32_t Read(const char16_t* property, bool every, DIRECTORY_VALUE& value) {
        std::u16string key = every ? u"GetEx:" : u"Get:";
        key += property;
        {
            std::lock_guard lock(Properties->Lock);
            auto found = Properties->Reads.find(key);
            if (found != Properties->Reads.end()) {
                value = found->second.Value;
                return found->second.Code;
            }
        }
        if (!Opened) {
            uint32_t code = GuardedDirectoryAccess().OpenObject(Path.Text(), HasCredentials ? User.Text() : nullptr,
                                                                HasCredentials ? Password.Text() : nullptr, Flags, Opened);
            if (code != 0 || !Opened) return code != 0 ? code : E_ADS_UNKNOWN_OBJECT;
        }
        uint32_t code = every ? Opened->GetEx(property, value) : Opened->Get(property, value);
        // What the object holds is kept; a failure to read it is not.
        if (code == 0 || code == E_ADS_PROPERTY_NOT_FOUND) {
            std::lock_guard lock(Properties->Lock);
            Properties->Reads[key] = OBJECT_PROPERTIES::READ{code, value};
        }
        return code;
    }

    std::shared_ptr<OBJECT_PROPERTIES> Properties;
    std::unique_ptr<DIRECTORY_OBJECT> Opened;
    STRING Path;
    STRING User;
    STRING Password;
    bool HasCredentials;
    uint32_t Flags;
};

}  // namespace

std::unique_ptr<DIRECTORY_OBJECT> OpenObject(const char16_t* kindLabel, const char16_t* dn,
                                             const DIRECTORY_BINDING& binding) {
    // A "/" in a DN would end the DN part of the path: it is escaped with a backslash.
    std::u16string escaped;
    bool wasEscaped = false;
    for (const char16_t* at = dn ? dn : u""; *at; ++at) {
        if (*at == u'/') {
            escaped += u'\\';
            wasEscaped = true;
        }
        escaped += *at;
    }
    STRING path;
    uint32_t flags = ADS_SECURE_AUTHENTICATION;
    if (binding.InitType == ADS_NAME_INITTYPE_SERVER) {
        FormatString(path, u"LDAP://%s/%s", binding.Server, escaped.c_str());
        flags |= ADS_SERVER_BIND;
    } else {
        FormatString(path, u"LDAP://%s", escaped.c_str());
    }
    bool credentials = !binding.User.IsEmpty() && !binding.Password.IsEmpty();
    const char16_t* user = credentials ? binding.User.Text() : nullptr;
    const char16_t* password = credentials ? binding.Password.Text() : nullptr;

    std::u16string key(path.Text(), path.Length());
    key += u'\n';
    key += user ? user : u"";
    std::shared_ptr<OBJECT_PROPERTIES> properties = DirectoryCache().FindObject(key);
    if (properties) return std::make_unique<CACHED_OBJECT>(properties, nullptr, path, user, password, flags);

    // While look-ups pause, what the cache cannot answer fails without a line.
    if (DirectoryPaused()) return nullptr;
    std::unique_ptr<DIRECTORY_OBJECT> opened;
    uint32_t code = GuardedDirectoryAccess().OpenObject(path.Text(), user, password, flags, opened);
    if (code == 0 && !opened) code = E_ADS_UNKNOWN_OBJECT;
    if (code != 0) {
        if (wasEscaped) {
            DebugLog(u"ADsOpenObject failed:\n    %s DN = \"%s\"\n    %s DN escaped = \"%s\"\n    %s. Error code = %#lx.",
                     kindLabel, dn, kindLabel, escaped.c_str(), AdsErrorText(code), code);
        } else {
            DebugLog(u"ADsOpenObject failed:\n    %s DN = \"%s\"\n    %s. Error code = %#lx.", kindLabel, dn,
                     AdsErrorText(code), code);
        }
        return nullptr;
    }
    properties = std::make_shared<OBJECT_PROPERTIES>();
    DirectoryCache().StoreObject(key, properties);
    return std::make_unique<CACHED_OBJECT>(properties, std::move(opened), path, user, password, flags);
}

}  // namespace qv
