// How the LDAP half of the directory binds, read from the Ad* values of the settings key:
//   AdBindMethod     REG_SZ  GSSAPI (default), LDAPS, StartTLS, or Plain (a simple bind in
//                            clear text: only when the administrator sets it)
//   AdKeytab         REG_SZ  GSSAPI: the client keytab to take the account's key from
//                            (empty: the default Kerberos credentials of the process)
//   AdUser           REG_SZ  GSSAPI: the keytab's principal (empty: its first); simple binds:
//                            the account (DOMAIN\user, user@dns.domain or a DN)
//   AdPassword       REG_SZ  simple binds: the account's password
//   AdCaFile         REG_SZ  TLS: the CA certificates that vouch for the directory servers
//                            (empty: the system's trust store); the certificate and its host
//                            name are always verified
//   AdGlobalCatalog  REG_SZ  the global catalog for look-ups without a named server (empty:
//                            this machine, which as a domain controller is one)
#pragma once

#include <cstdint>
#include <string>

namespace qv {

enum class LDAP_BIND_METHOD { Gssapi, Ldaps, StartTls, Plain };

struct LDAP_BIND_SETTINGS {
    LDAP_BIND_METHOD Method = LDAP_BIND_METHOD::Gssapi;
    std::string Keytab;  // UTF-8 throughout: the LDAP and Kerberos libraries take it so
    std::string User;
    std::string Password;
    std::string CaFile;
    std::string GlobalCatalog;

    bool operator==(const LDAP_BIND_SETTINGS&) const = default;
};

// The settings as they stand now; defaults for values (or a key) that are missing.
LDAP_BIND_SETTINGS ReadLdapBindSettings();

}  // namespace qv
