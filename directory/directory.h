// Directory lookups that enrich an identity report: an account's distinguished name, the
// organisational-unit text of a DN, and a user's groups. The lookups go through one
// replaceable object; until the directory is wired in, the default finds nothing, which
// reports carry exactly as they carry a failed lookup (empty DN and OU, no groups).
#pragma once

#include <vector>

#include "base/string.h"

namespace qv {

// How lookups bind: the global catalog by default, or a configured directory server.
class DIRECTORY_BINDING {
public:
    void SetServer(const char16_t* server, const char16_t* user = nullptr, const char16_t* password = nullptr);
    const STRING& Server() const { return ServerName; }
    bool UsesGlobalCatalog() const { return ServerName.IsEmpty(); }

private:
    STRING ServerName;
    STRING UserName;
    STRING Password;
};

struct GROUP_ENTRY {
    STRING Name;  // DOMAIN\group
    STRING Dn;
};
using GROUP_LIST = std::vector<GROUP_ENTRY>;

class DIRECTORY {
public:
    virtual ~DIRECTORY() = default;
    // DOMAIN\name to the account's distinguished name.
    virtual bool NtNameToDn(const DIRECTORY_BINDING& binding, const char16_t* ntName, STRING& dn) = 0;
    // The OU text of a distinguished name.
    virtual bool GetOuPath(const char16_t* dn, STRING& ou) = 0;
    // Primary group first, then memberOf recursively, without duplicates; true only when the
    // whole walk succeeded.
    virtual bool GetUserGroups(const DIRECTORY_BINDING& binding, const char16_t* userDn, GROUP_LIST& groups) = 0;
};

DIRECTORY& CurrentDirectory();
// Installs another directory (tests, or the real one); null puts the default back.
void SetDirectory(DIRECTORY* directory);

}  // namespace qv
