#include "platform/posix/ldap_connection.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <ldap.h>
#include <sasl/sasl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>

#include "base/error_codes.h"
#include "platform/directory_access.h"
#include "platform/system_text.h"

namespace qv {

namespace {

constexpr int CONNECT_TIMEOUT_SECONDS = 5;
constexpr int REQUEST_TIMEOUT_SECONDS = 15;
constexpr int64_t DOMAINS_REFRESH_SECONDS = 60;
constexpr size_t POOL_LIMIT = 8;
constexpr const char* KERBEROS_CACHE = "MEMORY:quorvane-directory";

std::atomic<uint64_t> RoundTrips{0};
// Raised by AbandonDirectoryRequests; a request that sees it change gives up.
std::atomic<uint64_t> AbandonedUpTo{0};
// How often a request waiting for its answer looks whether it has been given up.
constexpr int ANSWER_SLICE_MILLISECONDS = 50;

int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The Win32 code ADSI reports for an LDAP result, as an HRESULT.
uint32_t HresultFromLdap(int rc) {
    switch (rc) {
        case LDAP_SUCCESS: return 0;
        case LDAP_SERVER_DOWN:
        case LDAP_CONNECT_ERROR: return HresultFromWin32(WIN32_DS_SERVER_DOWN);
        case LDAP_TIMEOUT:
        case LDAP_TIMELIMIT_EXCEEDED: return HresultFromWin32(WIN32_TIMEOUT);
        case LDAP_USER_CANCELLED: return HresultFromWin32(ERR_CANCELLED);
        case LDAP_INVALID_CREDENTIALS:
        case LDAP_INAPPROPRIATE_AUTH:
        case LDAP_AUTH_UNKNOWN:
        case LDAP_LOCAL_ERROR: return HresultFromWin32(WIN32_LOGON_FAILURE);
        case LDAP_INSUFFICIENT_ACCESS: return HresultFromWin32(WIN32_ACCESS_DENIED);
        case LDAP_STRONG_AUTH_REQUIRED:
        case LDAP_CONFIDENTIALITY_REQUIRED: return HresultFromWin32(WIN32_DS_STRONG_AUTH_REQUIRED);
        case LDAP_NO_SUCH_OBJECT:
        case LDAP_REFERRAL: return HresultFromWin32(WIN32_DS_NO_SUCH_OBJECT);
        case LDAP_INVALID_DN_SYNTAX: return HresultFromWin32(WIN32_DS_INVALID_DN_SYNTAX);
        case LDAP_FILTER_ERROR: return E_ADS_INVALID_FILTER;
        case LDAP_NO_MEMORY: return HRESULT_OUT_OF_MEMORY;
        default: return HresultFromWin32(WIN32_DS_OPERATIONS_ERROR);
    }
}

// GSSAPI asks nothing of a keytab or a ticket cache; every prompt takes its default.
int AnswerSaslPrompts(LDAP*, unsigned, void*, void* prompts) {
    for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt->id != SASL_CB_LIST_END; ++prompt) {
        prompt->result = prompt->defresult ? prompt->defresult : "";
        prompt->len = static_cast<unsigned>(std::strlen(static_cast<const char*>(prompt->result)));
    }
    return LDAP_SUCCESS;
}

// Kerberos credentials from the configured keytab, kept in a cache of this process only.
class KEYTAB_CREDENTIALS {
public:
    KEYTAB_CREDENTIALS(const std::string& keytab, const std::string& principal) {
        OM_uint32 minor = 0;
        gss_name_t name = GSS_C_NO_NAME;
        if (!principal.empty()) {
            gss_buffer_desc text{principal.size(), const_cast<char*>(principal.data())};
            if (gss_import_name(&minor, &text, GSS_KRB5_NT_PRINCIPAL_NAME, &name) != GSS_S_COMPLETE) return;
        }
        gss_key_value_element_desc elements[] = {{"client_keytab", keytab.c_str()}, {"ccache", KERBEROS_CACHE}};
        gss_key_value_set_desc store{2, elements};
        Status = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, GSS_C_NO_OID_SET, GSS_C_INITIATE, &store,
                                       &Credentials, nullptr, nullptr);
        if (name != GSS_C_NO_NAME) gss_release_name(&minor, &name);
    }
    ~KEYTAB_CREDENTIALS() {
        OM_uint32 minor = 0;
        if (Credentials != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &Credentials);
    }
    KEYTAB_CREDENTIALS(const KEYTAB_CREDENTIALS&) = delete;
    KEYTAB_CREDENTIALS& operator=(const KEYTAB_CREDENTIALS&) = delete;

    bool Ok() const { return Status == GSS_S_COMPLETE && Credentials != GSS_C_NO_CREDENTIAL; }

private:
    OM_uint32 Status = GSS_S_FAILURE;
    gss_cred_id_t Credentials = GSS_C_NO_CREDENTIAL;
};

int GssapiBind(LDAP* handle) {
    return ldap_sasl_interactive_bind_s(handle, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET, AnswerSaslPrompts,
                                        nullptr);
}

std::string LocalHostName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return "localhost";
    return host;
}

bool UsesLdaps(const LDAP_BIND_SETTINGS& settings) { return settings.Method == LDAP_BIND_METHOD::Ldaps; }

// ldap://host:port or ldaps://host:port. A server given with its own port keeps it.
std::string ServerUrl(const std::string& server, const LDAP_BIND_SETTINGS& settings) {
    bool globalCatalog = server.empty();
    std::string host = globalCatalog ? settings.GlobalCatalog : server;
    if (host.empty()) host = LocalHostName();
    bool ldaps = UsesLdaps(settings);
    bool hasPort = host.find(':') != std::string::npos && host.find(':') == host.rfind(':');
    std::string url = ldaps ? "ldaps://" : "ldap://";
    url += host;
    if (!hasPort) {
        if (globalCatalog) url += ldaps ? ":3269" : ":3268";
        else url += ldaps ? ":636" : ":389";
    }
    return url;
}

std::string ReadValue(const berval* value) { return std::string(value->bv_val, value->bv_len); }

// Waits for the answer to one request, in short slices so that it can be given up: when the
// requests are abandoned (LDAP_USER_CANCELLED) or after the request time-out (LDAP_TIMEOUT).
// Either way the request is abandoned on the connection. LDAP_SUCCESS: 'result' holds the
// answer, whose own code ldap_parse_result gives.
int AwaitAnswer(LDAP* handle, int messageId, LDAPMessage*& result) {
    const uint64_t generation = AbandonedUpTo.load();
    const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(REQUEST_TIMEOUT_SECONDS);
    result = nullptr;
    for (;;) {
        timeval slice{0, ANSWER_SLICE_MILLISECONDS * 1000};
        const int type = ldap_result(handle, messageId, LDAP_MSG_ALL, &slice, &result);
        if (type > 0) return LDAP_SUCCESS;
        if (type < 0) {
            int code = LDAP_SERVER_DOWN;
            ldap_get_option(handle, LDAP_OPT_RESULT_CODE, &code);
            return code == LDAP_SUCCESS ? LDAP_SERVER_DOWN : code;
        }
        const bool abandoned = AbandonedUpTo.load() != generation;
        if (abandoned || std::chrono::steady_clock::now() >= giveUpAt) {
            ldap_abandon_ext(handle, messageId, nullptr, nullptr);
            return abandoned ? LDAP_USER_CANCELLED : LDAP_TIMEOUT;
        }
    }
}

}  // namespace

void CountDirectoryRoundTrip() { ++RoundTrips; }

void AbandonDirectoryRequests() { ++AbandonedUpTo; }

uint64_t DirectoryRoundTrips() { return RoundTrips.load(); }

const std::vector<std::string>* LDAP_ENTRY::Find(const char* name) const {
    for (const ATTRIBUTE& attribute : Attributes) {
        if (EqualsIgnoringCase(attribute.Name.c_str(), name)) return &attribute.Values;
    }
    return nullptr;
}

std::string EscapeFilterValue(const std::string& value) {
    static const char HEX[] = "0123456789abcdef";
    std::string escaped;
    for (unsigned char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
            escaped += '\\';
            escaped += HEX[c >> 4];
            escaped += HEX[c & 15];
        } else {
            escaped += static_cast<char>(c);
        }
    }
    return escaped;
}

LDAP_CONNECTION::LDAP_CONNECTION(std::string server, std::string user, std::string password,
                                 LDAP_BIND_SETTINGS settings)
    : Server(std::move(server)), User(std::move(user)), Password(std::move(password)), Settings(std::move(settings)) {}

LDAP_CONNECTION::~LDAP_CONNECTION() { Close(); }

void LDAP_CONNECTION::Close() {
    if (Handle) ldap_unbind_ext_s(Handle, nullptr, nullptr);
    Handle = nullptr;
}

uint32_t LDAP_CONNECTION::Open() {
    std::lock_guard lock(Lock);
    if (Handle) return 0;
    uint32_t code = Connect();
    if (code == 0) code = Bind();
    if (code != 0) Close();
    return code;
}

uint32_t LDAP_CONNECTION::Connect() {
    std::string url = ServerUrl(Server, Settings);
    if (ldap_initialize(&Handle, url.c_str()) != LDAP_SUCCESS || !Handle) {
        Handle = nullptr;
        return E_ADS_BAD_PATHNAME;
    }
    int version = LDAP_VERSION3;
    ldap_set_option(Handle, LDAP_OPT_PROTOCOL_VERSION, &version);
    // Active Directory answers subtree searches with continuation references that would
    // each cost another bind elsewhere; what this server holds is enough.
    ldap_set_option(Handle, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    timeval connectTimeout{CONNECT_TIMEOUT_SECONDS, 0};
    timeval requestTimeout{REQUEST_TIMEOUT_SECONDS, 0};
    ldap_set_option(Handle, LDAP_OPT_NETWORK_TIMEOUT, &connectTimeout);
    ldap_set_option(Handle, LDAP_OPT_TIMEOUT, &requestTimeout);

    bool tls = Settings.Method == LDAP_BIND_METHOD::Ldaps || Settings.Method == LDAP_BIND_METHOD::StartTls ||
               (Settings.Method == LDAP_BIND_METHOD::Gssapi && !User.empty());
    if (tls) {
        int demand = LDAP_OPT_X_TLS_DEMAND;
        ldap_set_option(Handle, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
        int minimum = LDAP_OPT_X_TLS_PROTOCOL_TLS1_2;
        ldap_set_option(Handle, LDAP_OPT_X_TLS_PROTOCOL_MIN, &minimum);
        if (!Settings.CaFile.empty()) ldap_set_option(Handle, LDAP_OPT_X_TLS_CACERTFILE, Settings.CaFile.c_str());
        int server = 0;
        if (ldap_set_option(Handle, LDAP_OPT_X_TLS_NEWCTX, &server) != LDAP_OPT_SUCCESS) {
            return HresultFromWin32(WIN32_DS_SERVER_DOWN);
        }
    }
    if (tls && !UsesLdaps(Settings)) {
        CountDirectoryRoundTrip();
        int rc = ldap_start_tls_s(Handle, nullptr, nullptr);
        if (rc != LDAP_SUCCESS) return HresultFromLdap(rc == LDAP_CONNECT_ERROR ? LDAP_SERVER_DOWN : rc);
    }
    return 0;
}

uint32_t LDAP_CONNECTION::Bind() {
    CountDirectoryRoundTrip();
    bool simple = !User.empty() || Settings.Method != LDAP_BIND_METHOD::Gssapi;
    if (simple) {
        const std::string& user = User.empty() ? Settings.User : User;
        const std::string& password = User.empty() ? Settings.Password : Password;
        // An empty password would make an unauthenticated bind that "succeeds" and then sees
        // nothing: refuse it as the server would refuse a wrong one.
        if (user.empty() || password.empty()) return HresultFromWin32(WIN32_LOGON_FAILURE);
        berval credentials{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
        int messageId = 0;
        int rc = ldap_sasl_bind(Handle, user.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, &messageId);
        LDAPMessage* result = nullptr;
        if (rc == LDAP_SUCCESS) rc = AwaitAnswer(Handle, messageId, result);
        if (rc == LDAP_SUCCESS) {
            int bound = LDAP_OTHER;
            rc = ldap_parse_result(Handle, result, &bound, nullptr, nullptr, nullptr, nullptr, 1);
            result = nullptr;
            if (rc == LDAP_SUCCESS) rc = bound;
        }
        if (result) ldap_msgfree(result);
        return HresultFromLdap(rc);
    }

    // The service principal comes from the host as configured, not from a reverse lookup.
    ldap_set_option(Handle, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON);
    if (Settings.Keytab.empty()) return HresultFromLdap(GssapiBind(Handle));
    // The ticket the keytab gives (fetched again when it has expired) waits in this process's
    // own cache, which the bind takes as this thread's default for its duration.
    KEYTAB_CREDENTIALS credentials(Settings.Keytab, Settings.User);
    if (!credentials.Ok()) return HresultFromWin32(WIN32_LOGON_FAILURE);
    OM_uint32 minor = 0;
    const char* previous = nullptr;
    if (gss_krb5_ccache_name(&minor, KERBEROS_CACHE, &previous) != GSS_S_COMPLETE) {
        return HresultFromWin32(WIN32_LOGON_FAILURE);
    }
    std::string restore = previous ? previous : "";
    int rc = GssapiBind(Handle);
    gss_krb5_ccache_name(&minor, restore.empty() ? nullptr : restore.c_str(), nullptr);
    return HresultFromLdap(rc);
}

uint32_t LDAP_CONNECTION::SearchOnce(const std::string& base, int scope, const std::string& filter,
                                     const std::vector<const char*>& attributes, std::vector<LDAP_ENTRY>& entries,
                                     int& rc) {
    std::vector<char*> names;
    for (const char* name : attributes) names.push_back(const_cast<char*>(name));
    names.push_back(nullptr);
    LDAPMessage* result = nullptr;
    timeval timeout{REQUEST_TIMEOUT_SECONDS, 0};
    CountDirectoryRoundTrip();
    int messageId = 0;
    rc = ldap_search_ext(Handle, base.c_str(), scope, filter.c_str(), names.data(), 0, nullptr, nullptr, &timeout, 0,
                         &messageId);
    if (rc == LDAP_SUCCESS) rc = AwaitAnswer(Handle, messageId, result);
    if (rc == LDAP_SUCCESS) {
        int searched = LDAP_OTHER;
        rc = ldap_parse_result(Handle, result, &searched, nullptr, nullptr, nullptr, nullptr, 0);
        if (rc == LDAP_SUCCESS) rc = searched;
    }
    if (rc == LDAP_SUCCESS || rc == LDAP_SIZELIMIT_EXCEEDED) {
        for (LDAPMessage* message = ldap_first_entry(Handle, result); message;
             message = ldap_next_entry(Handle, message)) {
            LDAP_ENTRY entry;
            if (char* dn = ldap_get_dn(Handle, message)) {
                entry.Dn = dn;
                ldap_memfree(dn);
            }
            BerElement* position = nullptr;
            for (char* name = ldap_first_attribute(Handle, message, &position); name;
                 name = ldap_next_attribute(Handle, message, position)) {
                LDAP_ENTRY::ATTRIBUTE attribute{name, {}};
                if (berval** values = ldap_get_values_len(Handle, message, name)) {
                    for (berval** value = values; *value; ++value) attribute.Values.push_back(ReadValue(*value));
                    ldap_value_free_len(values);
                }
                ldap_memfree(name);
                entry.Attributes.push_back(std::move(attribute));
            }
            if (position) ber_free(position, 0);
            entries.push_back(std::move(entry));
        }
        rc = LDAP_SUCCESS;
    }
    if (result) ldap_msgfree(result);
    return HresultFromLdap(rc);
}

uint32_t LDAP_CONNECTION::Search(const std::string& base, int scope, const std::string& filter,
                                 const std::vector<const char*>& attributes, std::vector<LDAP_ENTRY>& entries) {
    std::lock_guard lock(Lock);
    entries.clear();
    int rc = LDAP_SERVER_DOWN;
    uint32_t code = 0;
    // A connection the server has dropped (a restart, an idle time-out) is made again once.
    for (int attempt = 0; attempt < 2 && rc == LDAP_SERVER_DOWN; ++attempt) {
        if (!Handle || attempt > 0) {
            Close();
            code = Connect();
            if (code == 0) code = Bind();
            if (code != 0) {
                Close();
                return code;
            }
        }
        entries.clear();
        code = SearchOnce(base, scope, filter, attributes, entries, rc);
    }
    // A server that let a request go unanswered is not trusted with the next one: it gets a
    // new connection.
    if (rc == LDAP_TIMEOUT || rc == LDAP_USER_CANCELLED) Close();
    return code;
}

uint32_t LDAP_CONNECTION::Domains(std::vector<LDAP_DOMAIN>& domains, bool refresh) {
    {
        std::lock_guard lock(Lock);
        bool fresh = DomainsReadAt != 0 && (!refresh || SteadySeconds() - DomainsReadAt < DOMAINS_REFRESH_SECONDS);
        if (fresh) {
            domains = KnownDomains;
            return 0;
        }
    }
    std::vector<LDAP_ENTRY> root;
    uint32_t code = Search("", LDAP_SCOPE_OF_BASE, "(objectClass=*)", {"configurationNamingContext"}, root);
    if (code != 0) return code;
    const std::vector<std::string>* configuration = root.empty() ? nullptr : root[0].Find("configurationNamingContext");
    if (!configuration || configuration->empty()) return HresultFromWin32(WIN32_NO_SUCH_DOMAIN);
    std::vector<LDAP_ENTRY> partitions;
    code = Search("CN=Partitions," + configuration->front(), LDAP_SCOPE_OF_SUBTREE,
                  "(&(objectClass=crossRef)(nETBIOSName=*))", {"nETBIOSName", "dnsRoot", "nCName"}, partitions);
    if (code != 0) return code;
    std::vector<LDAP_DOMAIN> found;
    for (const LDAP_ENTRY& entry : partitions) {
        const auto* netbios = entry.Find("nETBIOSName");
        const auto* dnsRoot = entry.Find("dnsRoot");
        const auto* namingContext = entry.Find("nCName");
        if (!netbios || !dnsRoot || !namingContext || netbios->empty() || dnsRoot->empty() || namingContext->empty()) {
            continue;
        }
        found.push_back({netbios->front(), dnsRoot->front(), namingContext->front()});
    }
    std::lock_guard lock(Lock);
    KnownDomains = found;
    DomainsReadAt = SteadySeconds();
    domains = std::move(found);
    return 0;
}

uint32_t ConnectDirectory(const std::string& server, const std::string& user, const std::string& password,
                          std::shared_ptr<LDAP_CONNECTION>& connection) {
    static std::mutex poolLock;
    static std::map<std::string, std::shared_ptr<LDAP_CONNECTION>> pool;
    static std::map<std::string, LDAP_BIND_SETTINGS> poolSettings;

    LDAP_BIND_SETTINGS settings = ReadLdapBindSettings();
    std::string key = server + '\n' + user + '\n' + password;
    {
        std::lock_guard lock(poolLock);
        auto found = pool.find(key);
        if (found != pool.end() && poolSettings[key] == settings) {
            connection = found->second;
        } else {
            if (pool.size() >= POOL_LIMIT && found == pool.end()) {
                pool.erase(pool.begin());
                poolSettings.erase(poolSettings.begin());
            }
            connection = std::make_shared<LDAP_CONNECTION>(server, user, password, settings);
            pool[key] = connection;
            poolSettings[key] = settings;
        }
    }
    uint32_t code = connection->Open();
    if (code != 0) connection.reset();
    return code;
}

}  // namespace qv
