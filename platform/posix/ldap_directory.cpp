// The directory over LDAP, doing what ADSI does against Active Directory: objects are read by
// DN in one request (as ADSI's property cache fills itself), and names are translated the way
// the directory's own name cracking does: the domain's NetBIOS name and DNS root from
// CN=Partitions of the configuration naming context, the account from sAMAccountName,
// userPrincipalName or objectSid.
#include <cstring>

#include "base/string.h"
#include "platform/directory_access.h"
#include "platform/posix/ldap_connection.h"
#include "platform/system_text.h"

namespace qv {

namespace {

std::string Utf8(const char16_t* text) {
    STRING_A converted(text ? text : u"");
    return std::string(converted.Text(), converted.Length());
}

STRING Utf16(const std::string& text) { return STRING(STRING_A(text.c_str(), static_cast<uint32_t>(text.size()))); }

bool EqualsAscii(const std::string& left, const std::string& right) {
    return left.size() == right.size() && EqualsIgnoringCase(left.c_str(), right.c_str());
}

// Properties whose values are numbers or bytes; everything else reads as text.
bool IsNumberProperty(const char16_t* name) {
    static const char16_t* const NUMBERS[] = {u"primaryGroupID", u"groupType", u"userAccountControl",
                                              u"sAMAccountType", u"instanceType"};
    for (const char16_t* number : NUMBERS) {
        if (EqualsIgnoringCase(STRING(name), number)) return true;
    }
    return false;
}

bool IsBytesProperty(const char16_t* name) {
    return EqualsIgnoringCase(STRING(name), u"objectSid") || EqualsIgnoringCase(STRING(name), u"objectGUID");
}

// "S-1-5-21-...": the text form of a binary SID; empty when the bytes are not a SID.
std::string SidText(const std::string& bytes) {
    const auto* sid = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() < 8 || sid[0] != 1 || bytes.size() != 8 + 4u * sid[1]) return std::string();
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
    std::string text = "S-1-" + std::to_string(authority);
    for (unsigned i = 0; i < sid[1]; ++i) {
        const unsigned char* part = sid + 8 + 4 * i;
        uint32_t value = part[0] | (part[1] << 8) | (part[2] << 16) | (uint32_t{part[3]} << 24);
        text += "-" + std::to_string(value);
    }
    return text;
}

// Whether dn lies in (or is) the naming context, compared ignoring case at a component edge.
bool WithinNamingContext(const std::string& dn, const std::string& context) {
    if (dn.size() < context.size()) return false;
    size_t start = dn.size() - context.size();
    if (!EqualsAscii(dn.substr(start), context)) return false;
    return start == 0 || dn[start - 1] == ',';
}

// The domain that holds a DN: the one with the longest naming context that contains it.
const LDAP_DOMAIN* DomainOf(const std::vector<LDAP_DOMAIN>& domains, const std::string& dn) {
    const LDAP_DOMAIN* best = nullptr;
    for (const LDAP_DOMAIN& domain : domains) {
        if (WithinNamingContext(dn, domain.NamingContext) &&
            (!best || domain.NamingContext.size() > best->NamingContext.size())) {
            best = &domain;
        }
    }
    return best;
}

constexpr const char* BUILTIN_DOMAIN = "BUILTIN";

// Whether the object's SID is one of the built-in domain's (S-1-5-32-...).
bool IsBuiltinObject(const LDAP_ENTRY& object) {
    const auto* sid = object.Find("objectSid");
    if (!sid || sid->empty()) return false;
    return SidText(sid->front()).rfind("S-1-5-32-", 0) == 0;
}

// An object read in one request, its properties answered from what was read.
class LDAP_OBJECT : public DIRECTORY_OBJECT {
public:
    explicit LDAP_OBJECT(LDAP_ENTRY entry) : Entry(std::move(entry)) {}

    uint32_t Get(const char16_t* property, DIRECTORY_VALUE& value) override {
        const std::vector<std::string>* values = Entry.Find(Utf8(property).c_str());
        value = DIRECTORY_VALUE();
        if (!values || values->empty()) return E_ADS_PROPERTY_NOT_FOUND;
        if (IsBytesProperty(property) && values->size() == 1) {
            value.Type = VARIANT_ARRAY | VARIANT_UI1;
            value.Bytes.assign(values->front().begin(), values->front().end());
        } else if (IsNumberProperty(property) && values->size() == 1) {
            value.Type = VARIANT_I4;
            value.Number = static_cast<int32_t>(std::strtoll(values->front().c_str(), nullptr, 10));
        } else if (values->size() == 1) {
            value.Type = VARIANT_BSTR;
            value.Strings.push_back(Utf16(values->front()));
        } else {
            FillArray(*values, value);
        }
        return 0;
    }

    uint32_t GetEx(const char16_t* property, DIRECTORY_VALUE& value) override {
        const std::vector<std::string>* values = Entry.Find(Utf8(property).c_str());
        value = DIRECTORY_VALUE();
        if (!values || values->empty()) return E_ADS_PROPERTY_NOT_FOUND;
        FillArray(*values, value);
        return 0;
    }

private:
    static void FillArray(const std::vector<std::string>& values, DIRECTORY_VALUE& value) {
        value.Type = VARIANT_ARRAY | VARIANT_VARIANT;
        for (const std::string& text : values) value.Strings.push_back(Utf16(text));
    }

    LDAP_ENTRY Entry;
};

// Reads the object at a DN with every attribute a property read may ask for.
uint32_t ReadObject(LDAP_CONNECTION& connection, const std::string& dn, LDAP_ENTRY& entry) {
    std::vector<LDAP_ENTRY> entries;
    uint32_t code = connection.Search(dn, LDAP_SCOPE_OF_BASE, "(objectClass=*)", {"*", "memberOf"}, entries);
    if (code != 0) return code;
    if (entries.empty()) return HresultFromWin32(WIN32_DS_NO_SUCH_OBJECT);
    entry = std::move(entries.front());
    return 0;
}

// Splits "LDAP://server/DN" or "LDAP://DN" at the first "/" not escaped by a backslash, and
// takes the escapes of "/" out of the DN.
bool ParsePath(const std::string& path, std::string& server, std::string& dn) {
    static const char PREFIX[] = "LDAP://";
    if (path.size() < 7 || !EqualsAscii(path.substr(0, 7), PREFIX)) return false;
    std::string rest = path.substr(7);
    size_t split = std::string::npos;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '\\') {
            ++i;
        } else if (rest[i] == '/') {
            split = i;
            break;
        }
    }
    server = split == std::string::npos ? std::string() : rest.substr(0, split);
    std::string escaped = split == std::string::npos ? rest : rest.substr(split + 1);
    dn.clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 1 < escaped.size() && escaped[i + 1] == '/') continue;
        dn += escaped[i];
    }
    return !dn.empty();
}

class LDAP_NAME_TRANSLATOR : public NAME_TRANSLATOR {
public:
    uint32_t Init(uint32_t initType, const char16_t* path) override {
        return Connect(initType, path, std::string(), std::string());
    }

    uint32_t InitEx(uint32_t initType, const char16_t* path, const char16_t* user, const char16_t* domain,
                    const char16_t* password) override {
        std::string account = Utf8(user);
        if (domain && *domain) account = Utf8(domain) + "\\" + account;
        return Connect(initType, path, account, Utf8(password));
    }

    uint32_t Set(uint32_t nameType, const char16_t* name) override {
        Found = false;
        if (!Connection) return E_ADS_BAD_PARAMETER;
        std::string text = Utf8(name);
        uint32_t code = 0;
        switch (nameType) {
            case ADS_NAME_TYPE_1779: code = FindByDn(text); break;
            case ADS_NAME_TYPE_NT4: code = FindNt4(text); break;
            case ADS_NAME_TYPE_DOMAIN_SIMPLE: code = FindDomainSimple(text); break;
            case ADS_NAME_TYPE_CANONICAL: code = FindDomainByDnsRoot(text); break;
            case ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME:
                code = FindOne("<SID=" + text + ">", LDAP_SCOPE_OF_BASE, "(objectClass=*)");
                break;
            default: return E_ADS_BAD_PARAMETER;
        }
        Found = code == 0;
        return code;
    }

    uint32_t Get(uint32_t nameType, STRING& name) override {
        name.Clear();
        if (!Found) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        std::string result;
        const auto* account = Object.Find("sAMAccountName");
        const LDAP_DOMAIN* domain = DomainOf(Domains, Object.Dn);
        bool isDomain = domain && EqualsAscii(domain->NamingContext, Object.Dn);
        switch (nameType) {
            case ADS_NAME_TYPE_1779: result = Object.Dn; break;
            case ADS_NAME_TYPE_NT4:
                if (!domain || (!isDomain && (!account || account->empty()))) {
                    return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
                }
                // The domain that owns the object's SID names it: the groups of CN=Builtin are
                // BUILTIN's (S-1-5-32), wherever their DN sits.
                result = (IsBuiltinObject(Object) ? std::string(BUILTIN_DOMAIN) : domain->NetbiosName) + "\\" +
                         (isDomain ? std::string() : account->front());
                break;
            case ADS_NAME_TYPE_DOMAIN_SIMPLE:
                if (!domain || !account || account->empty()) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
                result = account->front() + "@" + domain->DnsRoot;
                break;
            case ADS_NAME_TYPE_CANONICAL:
                if (!isDomain) return E_ADS_BAD_PARAMETER;
                result = domain->DnsRoot + "/";
                break;
            case ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME: {
                const auto* sid = Object.Find("objectSid");
                result = sid && !sid->empty() ? SidText(sid->front()) : std::string();
                if (result.empty()) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
                break;
            }
            default: return E_ADS_BAD_PARAMETER;
        }
        name = Utf16(result);
        return 0;
    }

private:
    uint32_t Connect(uint32_t initType, const char16_t* path, const std::string& user, const std::string& password) {
        Connection.reset();
        std::string server = initType == ADS_NAME_INITTYPE_SERVER ? Utf8(path) : std::string();
        if (initType == ADS_NAME_INITTYPE_SERVER && server.empty()) return E_ADS_BAD_PARAMETER;
        if (initType != ADS_NAME_INITTYPE_SERVER && initType != ADS_NAME_INITTYPE_GC) return E_ADS_BAD_PARAMETER;
        uint32_t code = ConnectDirectory(server, user, password, Connection);
        if (code != 0) return code;
        return Connection->Domains(Domains, false);
    }

    const LDAP_DOMAIN* DomainBy(bool byNetbios, const std::string& name) {
        for (int pass = 0; pass < 2; ++pass) {
            for (const LDAP_DOMAIN& domain : Domains) {
                if (EqualsAscii(byNetbios ? domain.NetbiosName : domain.DnsRoot, name)) return &domain;
            }
            // A domain added since the list was read.
            if (pass == 0 && Connection->Domains(Domains, true) != 0) return nullptr;
        }
        return nullptr;
    }

    uint32_t FindOne(const std::string& base, int scope, const std::string& filter) {
        std::vector<LDAP_ENTRY> entries;
        uint32_t code = Connection->Search(base, scope, filter, {"sAMAccountName", "objectSid"}, entries);
        if (code == HresultFromWin32(WIN32_DS_NO_SUCH_OBJECT) || code == HresultFromWin32(WIN32_DS_INVALID_DN_SYNTAX)) {
            return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        }
        if (code != 0) return code;
        if (entries.empty()) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        if (entries.size() > 1) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_UNIQUE);
        Object = std::move(entries.front());
        return 0;
    }

    uint32_t FindByDn(const std::string& dn) { return FindOne(dn, LDAP_SCOPE_OF_BASE, "(objectClass=*)"); }

    // DOMAIN\account, or DOMAIN\ for the domain itself.
    uint32_t FindNt4(const std::string& name) {
        size_t backslash = name.find('\\');
        if (backslash == std::string::npos) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        const LDAP_DOMAIN* domain = DomainBy(true, name.substr(0, backslash));
        if (!domain) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        std::string account = name.substr(backslash + 1);
        if (account.empty()) return FindByDn(domain->NamingContext);
        return FindOne(domain->NamingContext, LDAP_SCOPE_OF_SUBTREE,
                       "(sAMAccountName=" + EscapeFilterValue(account) + ")");
    }

    // account@dns.domain: the account's user principal name, else its sAMAccountName in the
    // domain with that DNS root.
    uint32_t FindDomainSimple(const std::string& name) {
        size_t at = name.rfind('@');
        if (at == std::string::npos || at == 0) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        const LDAP_DOMAIN* domain = DomainBy(false, name.substr(at + 1));
        if (!domain) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        std::string account = EscapeFilterValue(name.substr(0, at));
        uint32_t code = FindOne(domain->NamingContext, LDAP_SCOPE_OF_SUBTREE,
                                "(userPrincipalName=" + EscapeFilterValue(name) + ")");
        if (code != HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND)) return code;
        return FindOne(domain->NamingContext, LDAP_SCOPE_OF_SUBTREE, "(sAMAccountName=" + account + ")");
    }

    // "dns.domain/": the domain object.
    uint32_t FindDomainByDnsRoot(const std::string& name) {
        if (name.empty() || name.back() != '/') return E_ADS_BAD_PARAMETER;
        const LDAP_DOMAIN* domain = DomainBy(false, name.substr(0, name.size() - 1));
        if (!domain) return HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
        return FindByDn(domain->NamingContext);
    }

    std::shared_ptr<LDAP_CONNECTION> Connection;
    std::vector<LDAP_DOMAIN> Domains;
    LDAP_ENTRY Object;
    bool Found = false;
};

class LDAP_DIRECTORY_ACCESS : public DIRECTORY_ACCESS {
public:
    uint32_t CreateNameTranslator(std::unique_ptr<NAME_TRANSLATOR>& translator) override {
        translator = std::make_unique<LDAP_NAME_TRANSLATOR>();
        return 0;
    }

    uint32_t OpenObject(const char16_t* path, const char16_t* user, const char16_t* password, uint32_t,
                        std::unique_ptr<DIRECTORY_OBJECT>& object) override {
        object.reset();
        std::string server, dn;
        if (!ParsePath(Utf8(path), server, dn)) return E_ADS_BAD_PATHNAME;
        std::shared_ptr<LDAP_CONNECTION> connection;
        uint32_t code = ConnectDirectory(server, Utf8(user), Utf8(password), connection);
        if (code != 0) return code;
        LDAP_ENTRY entry;
        code = ReadObject(*connection, dn, entry);
        if (code != 0) return code;
        object = std::make_unique<LDAP_OBJECT>(std::move(entry));
        return 0;
    }
};

}  // namespace

DIRECTORY_ACCESS& SystemDirectoryAccess() {
    static LDAP_DIRECTORY_ACCESS access;
    return access;
}

}  // namespace qv
