#include "platform/posix/ldap_settings.h"

#include <mutex>
#include <string>
#include <vector>

#include "base/string.h"
#include "platform/directory_access.h"
#include "platform/posix/reg_file.h"
#include "platform/registry_values.h"
#include "platform/system_text.h"

namespace qv {

namespace {

std::mutex KeyLock;
STRING SettingsKeyPath;

// A string value of the key's values, read once for all of them: the settings are read each
// time the directory is asked, so one read of the values file rather than one per value.
std::string TextValue(const std::vector<REG_VALUE>& values, const char16_t* name) {
    const ptrdiff_t index = FindRegValue(values, name, std::char_traits<char16_t>::length(name));
    if (index < 0) return std::string();
    const REG_VALUE& found = values[static_cast<size_t>(index)];
    STRING value;
    if (!RegistryTextFromBytes(found.Type, found.Data.data(), static_cast<uint32_t>(found.Data.size()), value)) {
        return std::string();
    }
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
    std::vector<REG_VALUE> values;
    if (path.IsEmpty() || ReadRegistryKeyValues(path.Text(), values) != 0) return settings;
    settings.Method = ParseMethod(TextValue(values, u"AdBindMethod"));
    settings.Keytab = TextValue(values, u"AdKeytab");
    settings.User = TextValue(values, u"AdUser");
    settings.Password = TextValue(values, u"AdPassword");
    settings.CaFile = TextValue(values, u"AdCaFile");
    settings.GlobalCatalog = TextValue(values, u"AdGlobalCatalog");
    return settings;
}

}  // namespace qv
