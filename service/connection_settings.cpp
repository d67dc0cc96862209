#include "service/connection_settings.h"

#include <mutex>

#include "base/error_codes.h"
#include "identity/identity_context.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/registry_values.h"
#include "support/debug_log.h"
#include "support/format.h"

namespace qv {

namespace {

constexpr const char16_t* TLS_VERIFY = u"TlsVerify";
constexpr const char16_t* TLS_CA_FILE = u"TlsCaFile";
constexpr const char16_t* TLS_PINS = u"TlsPins";
constexpr const char16_t* FALLBACKS = u"IdentServerFallback";
constexpr const char16_t* RESEND_ON_RECONNECT = u"ResendOnReconnect";

// The settings as read, with what was wrong with them in words.
struct READ_SETTINGS {
    CONNECTION_SETTINGS Settings;
    bool VerifySet = false;
    bool ResendSet = false;
    std::vector<STRING> Problems;
};

std::mutex Lock;
CONNECTION_SETTINGS Current;

void Problem(READ_SETTINGS& read, const STRING& text) { read.Problems.push_back(text); }

void ReadFailure(READ_SETTINGS& read, const char16_t* name, uint32_t code) {
    STRING text;
    FormatString(text, u"Unable to load registry value = %s. %s. Error code = %lu.", name, GetErrorText(code), code);
    Problem(read, text);
}

// A value that is there but cannot be used asks for verification all the same: a mistyped
// security setting must not turn it off.
void ReadVerify(const REGISTRY_KEY& key, READ_SETTINGS& read) {
    uint32_t value = TLS_VERIFY_NONE;
    if (ReadRegistryDword(key, TLS_VERIFY, value)) {
        read.VerifySet = true;
        if (value <= TLS_VERIFY_PIN) {
            read.Settings.Trust.Verify = value;
            return;
        }
        STRING text;
        FormatString(text, u"TlsVerify = %lu is not 0, 1 or 2; certificates are verified as with 1", value);
        Problem(read, text);
    } else {
        const uint32_t code = GetLastErrorCode();
        if (code == ERR_FILE_NOT_FOUND) return;
        read.VerifySet = true;
        ReadFailure(read, TLS_VERIFY, code);
        Problem(read, STRING(u"TlsVerify cannot be read; certificates are verified as with 1"));
    }
    read.Settings.Trust.Verify = TLS_VERIFY_CHAIN;
}

void ReadText(const REGISTRY_KEY& key, const char16_t* name, READ_SETTINGS& read, STRING& value) {
    if (ReadRegistryString(key, name, value)) return;
    value.Clear();
    const uint32_t code = GetLastErrorCode();
    if (code != ERR_FILE_NOT_FOUND) ReadFailure(read, name, code);
}

void ReadList(const REGISTRY_KEY& key, const char16_t* name, READ_SETTINGS& read, std::vector<STRING>& values) {
    if (ReadRegistryStrings(key, name, values)) return;
    values.clear();
    const uint32_t code = GetLastErrorCode();
    if (code != ERR_FILE_NOT_FOUND) ReadFailure(read, name, code);
}

READ_SETTINGS Read(const REGISTRY_KEY& key, uint32_t protocol) {
    READ_SETTINGS read;
    TLS_TRUST& trust = read.Settings.Trust;
    ReadVerify(key, read);
    ReadText(key, TLS_CA_FILE, read, trust.CaFile);

    std::vector<STRING> pins;
    ReadList(key, TLS_PINS, read, pins);
    for (const STRING& text : pins) {
        SHA256_DIGEST pin{};
        if (ParsePin(text.Text(), pin)) {
            trust.Pins.push_back(pin);
            continue;
        }
        STRING problem;
        FormatString(problem, u"TlsPins: \"%s\" is not a SHA-256 fingerprint (64 hexadecimal digits); it is left out",
                     text);
        Problem(read, problem);
    }

    ReadList(key, FALLBACKS, read, read.Settings.Fallbacks);

    uint32_t resend = 0;
    if (ReadRegistryDword(key, RESEND_ON_RECONNECT, resend)) {
        read.ResendSet = true;
        read.Settings.ResendOnReconnect = resend != 0;
    } else if (GetLastErrorCode() != ERR_FILE_NOT_FOUND) {
        ReadFailure(read, RESEND_ON_RECONNECT, GetLastErrorCode());
    }

    if (trust.Verify != TLS_VERIFY_NONE && protocol == PROTOCOL_TCP) {
        STRING text;
        FormatString(text, u"TlsVerify = %lu has no effect: IdentProtocol = TCP sends reports unencrypted and unverified",
                     trust.Verify);
        Problem(read, text);
    }
    if (trust.Verify == TLS_VERIFY_PIN && trust.Pins.empty()) {
        Problem(read, STRING(u"TlsVerify = 2 but TlsPins holds no pin: every certificate will be refused"));
    }
    if (trust.Verify != TLS_VERIFY_CHAIN && !trust.CaFile.IsEmpty()) {
        Problem(read, STRING(u"TlsCaFile is used only with TlsVerify = 1"));
    }
    return read;
}

const char16_t* VerifyName(uint32_t verify) {
    switch (verify) {
        case TLS_VERIFY_CHAIN: return u"a trusted chain that names the server";
        case TLS_VERIFY_PIN: return u"a pinned certificate or public key";
        default: return u"none, any certificate is accepted";
    }
}

STRING ServerListText(const std::vector<STRING>& servers) {
    STRING text;
    for (const STRING& server : servers) {
        STRING joined;
        FormatString(joined, text.IsEmpty() ? u"%s\"%s\"" : u"%s, \"%s\"", text, server);
        text = std::move(joined);
    }
    return text.IsEmpty() ? STRING(u"none") : text;
}

bool SameList(const std::vector<STRING>& a, const std::vector<STRING>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!a[i].Equals(b[i])) return false;
    }
    return true;
}

void LogProblems(const READ_SETTINGS& read) {
    for (const STRING& problem : read.Problems) DebugLog(u"%s", problem);
}

}  // namespace

CONNECTION_SETTINGS GetConnectionSettings() {
    std::lock_guard lock(Lock);
    return Current;
}

void LoadConnectionSettings(const REGISTRY_KEY& key, uint32_t protocol) {
    READ_SETTINGS read = Read(key, protocol);
    const CONNECTION_SETTINGS& settings = read.Settings;
    if (read.VerifySet) {
        DebugLog(u"TLS certificate verification = %lu (%s)", settings.Trust.Verify, VerifyName(settings.Trust.Verify));
    }
    if (!settings.Trust.CaFile.IsEmpty()) DebugLog(u"TLS CA file = \"%s\"", settings.Trust.CaFile);
    if (!settings.Trust.Pins.empty()) {
        DebugLog(u"TLS pins = %lu", static_cast<uint32_t>(settings.Trust.Pins.size()));
    }
    if (!settings.Fallbacks.empty()) DebugLog(u"Identity server fallbacks = %s", ServerListText(settings.Fallbacks));
    if (read.ResendSet) {
        DebugLog(u"Resend live logons on reconnect = %s", settings.ResendOnReconnect ? u"yes" : u"no");
    }
    LogProblems(read);
    std::lock_guard lock(Lock);
    Current = std::move(read.Settings);
}

void ReloadConnectionSettings(const REGISTRY_KEY& key, uint32_t protocol) {
    READ_SETTINGS read = Read(key, protocol);
    const CONNECTION_SETTINGS& settings = read.Settings;
    std::lock_guard lock(Lock);
    bool changed = false;
    if (settings.Trust.Verify != Current.Trust.Verify) {
        DebugLog(u"TLS certificate verification changed to %lu (%s)", settings.Trust.Verify,
                 VerifyName(settings.Trust.Verify));
        changed = true;
    }
    if (!settings.Trust.CaFile.Equals(Current.Trust.CaFile)) {
        DebugLog(u"TLS CA file changed to \"%s\"", settings.Trust.CaFile);
        changed = true;
    }
    if (settings.Trust.Pins != Current.Trust.Pins) {
        DebugLog(u"TLS pins changed: %lu pin(s)", static_cast<uint32_t>(settings.Trust.Pins.size()));
        changed = true;
    }
    if (!SameList(settings.Fallbacks, Current.Fallbacks)) {
        DebugLog(u"Identity server fallbacks changed to %s", ServerListText(settings.Fallbacks));
        changed = true;
    }
    if (settings.ResendOnReconnect != Current.ResendOnReconnect) {
        DebugLog(u"Resend live logons on reconnect changed to %s", settings.ResendOnReconnect ? u"yes" : u"no");
        changed = true;
    }
    // What is wrong is said again only when something changed, not at every reload.
    if (changed) LogProblems(read);
    Current = std::move(read.Settings);
}

}  // namespace qv
