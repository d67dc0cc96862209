#include "platform/posix/ldap_settings.h"

#include <mutex>

#include "base/string.h"
#include "platform/directory_access.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "platform/system_text.h"

namespace qv {

namespace {

std::mutex KeyLock;
STRING SettingsKeyPath;

std::string ReadText(const REGISTRY_KEY& key, const char16_t* name) {
    STRING value;
    if (!ReadRegistryString(key, name, value)) return std::string();
    STRING_A utf8(value);
    return std::string(utf8.Text(), utf8.Length());
}

LDAP_BIND_METHOD ParseMethod(const std::string& text) {
    if (EqualsIgnoringCase(text.c_str(), "LDAPS")) return LDAP_BIND_METHOD::Ldaps;
    if (EqualsIgnoringCase(text.c_str(), "StartTLS")) return LDAP_BIND_METHOD::StartTls;
    if (EqualsIgnoringCase(text.c_str(), "Plain")) return LDAP_BIND_METHOD::Plain;
    return LDAP_BIND_METHOD::Gssapi;
}

}  // namespace

void SetDirectorySettingsKey(const char16_t* keyPath) {
    std::lock_guard lock(KeyLock);
    SettingsKeyPath = keyPath ? keyPath : u"";
}

LDAP_BIND_SETTINGS ReadLdapBindSettings() {
    LDAP_BIND_SETTINGS settings;
    STRING path;
    {
        std::lock_guard lock(KeyLock);
        path = SettingsKeyPath;
    }
    REGISTRY_KEY key;
    if (path.IsEmpty() || key.Open(path.Text(), false) != 0) return settings;
    settings.Method = ParseMethod(ReadText(key, u"AdBindMethod"));
    settings.Keytab = ReadText(key, u"AdKeytab");
    settings.User = ReadText(key, u"AdUser");
    settings.Password = ReadText(key, u"AdPassword");
    settings.CaFile = ReadText(key, u"AdCaFile");
    settings.GlobalCatalog = ReadText(key, u"AdGlobalCatalog");
    return settings;
}

}  // namespace qv
