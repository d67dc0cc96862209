// The optional settings of the connection to the identity server, beside the others in the
// settings key:
//   TlsVerify          REG_DWORD     0 (default): any certificate; 1: a trusted chain that names
//                                    the server; 2: a pinned certificate or public key
//   TlsCaFile          REG_SZ        with 1: the CA certificates (PEM) trusted instead of the
//                                    system's store
//   TlsPins            REG_MULTI_SZ  with 2: SHA-256 fingerprints of certificates (DER) or of
//                                    public keys (SubjectPublicKeyInfo, DER)
//   IdentServerFallback REG_MULTI_SZ further identity servers, in order
//   ResendOnReconnect  REG_DWORD     1: the live logons are sent again after every reconnect
// With none of them set the connection behaves and logs exactly as it does without them.
// Each is logged at load when set and when it changes; all take effect from the next
// connection.
#pragma once

#include <vector>

#include "base/string.h"
#include "identity/certificate_trust.h"
#include "platform/registry.h"

namespace qv {

struct CONNECTION_SETTINGS {
    TLS_TRUST Trust;
    std::vector<STRING> Fallbacks;
    bool ResendOnReconnect = false;
};

// A copy, taken under the settings' own lock.
CONNECTION_SETTINGS GetConnectionSettings();

// 'protocol' is the identity protocol setting in force, for the warning that verification
// cannot apply to plain TCP.
void LoadConnectionSettings(const REGISTRY_KEY& key, uint32_t protocol);
void ReloadConnectionSettings(const REGISTRY_KEY& key, uint32_t protocol);

}  // namespace qv
