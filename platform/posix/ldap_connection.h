// One bound LDAP connection to a directory server (a named domain controller or the global
// catalog), kept open and shared between look-ups: the first use connects, secures and binds;
// later look-ups cost one request each. A connection that the server dropped is made again
// once per request. Every request sent is counted (DirectoryRoundTrips).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/ldap_settings.h"

typedef struct ldap LDAP;

namespace qv {

// One entry of a search result; attribute values as the raw bytes the server sent.
struct LDAP_ENTRY {
    struct ATTRIBUTE {
        std::string Name;
        std::vector<std::string> Values;
    };
    std::string Dn;
    std::vector<ATTRIBUTE> Attributes;

    // Null when the entry has no such attribute (names compared ignoring case).
    const std::vector<std::string>* Find(const char* name) const;
};

// A domain of the forest as the configuration naming context's CN=Partitions lists it.
struct LDAP_DOMAIN {
    std::string NetbiosName;
    std::string DnsRoot;
    std::string NamingContext;  // the domain's DN
};

constexpr int LDAP_SCOPE_OF_BASE = 0;
constexpr int LDAP_SCOPE_OF_SUBTREE = 2;

class LDAP_CONNECTION {
public:
    // server: host or host:port; empty for the global catalog. user and password: explicit
    // credentials for a simple bind; empty for the configured way of binding.
    LDAP_CONNECTION(std::string server, std::string user, std::string password, LDAP_BIND_SETTINGS settings);
    ~LDAP_CONNECTION();
    LDAP_CONNECTION(const LDAP_CONNECTION&) = delete;
    LDAP_CONNECTION& operator=(const LDAP_CONNECTION&) = delete;

    // Connects and binds unless already bound; an HRESULT.
    uint32_t Open();
    uint32_t Search(const std::string& base, int scope, const std::string& filter,
                    const std::vector<const char*>& attributes, std::vector<LDAP_ENTRY>& entries);
    // The forest's domains, read once and again when a name is not among them (at most
    // once a minute).
    uint32_t Domains(std::vector<LDAP_DOMAIN>& domains, bool refresh);

private:
    uint32_t Connect();
    uint32_t Bind();
    uint32_t SearchOnce(const std::string& base, int scope, const std::string& filter,
                        const std::vector<const char*>& attributes, std::vector<LDAP_ENTRY>& entries, int& rc);
    void Close();

    const std::string Server;
    const std::string User;
    const std::string Password;
    const LDAP_BIND_SETTINGS Settings;
    std::mutex Lock;
    LDAP* Handle = nullptr;
    std::vector<LDAP_DOMAIN> KnownDomains;
    int64_t DomainsReadAt = 0;  // steady-clock seconds; 0: never
};

// The shared connection for a server (empty: the global catalog) and credentials, made or
// re-made when the bind settings changed; an HRESULT.
uint32_t ConnectDirectory(const std::string& server, const std::string& user, const std::string& password,
                          std::shared_ptr<LDAP_CONNECTION>& connection);

// Escapes a value for an LDAP filter (RFC 4515).
std::string EscapeFilterValue(const std::string& value);

void CountDirectoryRoundTrip();

}  // namespace qv
