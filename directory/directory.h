// Directory look-ups that enrich an identity report and name service tickets: translations
// between name forms, the OU path of a distinguished name, and a user's complete group
// membership (primary group, memberOf, and the groups of those groups). The directory itself
// is reached through DIRECTORY_ACCESS (ADSI on Windows, LDAP elsewhere); what is decided and
// logged above it lives here. Successful answers are kept for a few minutes (see
// directory_cache.h), so a repeat logon of a known user costs no directory round trip.
//
// All look-ups run synchronously on the reporting thread; on Windows that thread must have
// COM initialised (COM_APARTMENT).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/string.h"
#include "platform/directory_access.h"

namespace qv {

// How look-ups bind: the global catalog with the program's own credentials by default.
struct DIRECTORY_BINDING {
    uint32_t InitType = ADS_NAME_INITTYPE_GC;
    STRING Server;
    STRING User;  // DOMAIN\user
    STRING Password;

    // A named server (InitType becomes ADS_NAME_INITTYPE_SERVER); the credentials are replaced
    // only when both are given.
    void SetServer(const char16_t* server, const char16_t* user = nullptr, const char16_t* password = nullptr);
};

// One group of a user: DOMAIN\group (empty when its translation failed) and its DN.
struct GROUP_ENTRY {
    STRING Name;
    STRING Dn;
};
// In the order found; no two DNs equal ignoring case.
using GROUP_LIST = std::vector<GROUP_ENTRY>;

// --- operations --------------------------------------------------------------------------------

// True and the translated name; false, an empty result and the failing code (also left as
// the thread's last error).
bool TranslateName(uint32_t fromType, const char16_t* name, uint32_t toType, const DIRECTORY_BINDING& binding,
                   STRING& result, uint32_t* code = nullptr);
// DOMAIN\name to the account's distinguished name.
bool NtNameToDn(const char16_t* ntName, const DIRECTORY_BINDING& binding, STRING& dn);
// name@dns.domain (a Kerberos user or service name) to DOMAIN\name, with the domain's NetBIOS
// name: what a service-ticket record's names become.
bool DomainNameToNtName(const char16_t* domainName, const DIRECTORY_BINDING& binding, STRING& ntName);
// The NetBIOS name of the domain whose DNS name is given (CORP.EXAMPLE.COM -> CORP), from the
// forest's CN=Partitions; false when the directory cannot say. Quiet except in the AD category.
bool DomainNetbiosName(const char16_t* dnsDomain, const DIRECTORY_BINDING& binding, STRING& netbiosName);

// The OU path of a DN: CN=Ann,OU=Sales,OU=East,DC=x,DC=y gives Sales.East; empty without OUs.
STRING GetOuPath(const char16_t* dn);

// The opened object at a DN, or null after one failure line. kindLabel is "User" or "Group".
std::unique_ptr<DIRECTORY_OBJECT> OpenObject(const char16_t* kindLabel, const char16_t* dn,
                                             const DIRECTORY_BINDING& binding);

// The user's (DOMAIN\user) groups: the primary group first, then memberOf depth-first, each
// DN once. True only when the whole walk succeeded; the list holds what was found either way.
bool GetUserGroups(const char16_t* user, GROUP_LIST& groups, const DIRECTORY_BINDING& binding);
bool AddGroup(const char16_t* dn, GROUP_LIST& groups, const DIRECTORY_BINDING& binding);
bool AddObjectGroups(DIRECTORY_OBJECT& object, const char16_t* name, GROUP_LIST& groups,
                     const DIRECTORY_BINDING& binding);
bool GetPrimaryGroup(DIRECTORY_OBJECT& object, const char16_t* name, GROUP_LIST& groups,
                     const DIRECTORY_BINDING& binding);

// The text for a directory error code: the directory range's own texts from the string table,
// else the system's text, else "Unknown Active Directory error".
STRING AdsErrorText(uint32_t code);

// --- the directory used ----------------------------------------------------------------------

DIRECTORY_ACCESS& CurrentDirectoryAccess();
// Installs another directory (tests); null puts the platform's back. Either way the cache of
// earlier answers is emptied and a pause of look-ups ends.
void SetDirectoryAccess(DIRECTORY_ACCESS* access);

}  // namespace qv
