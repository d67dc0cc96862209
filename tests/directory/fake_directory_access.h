// A directory that answers from tables a test fills, installed for the life of the object:
// names by (from type, name, to type), objects by DN with their property values, and
// failures injected at any step. It records what it was asked.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "directory/directory.h"

namespace qv::test {

class FAKE_DIRECTORY_ACCESS : public DIRECTORY_ACCESS {
public:
    struct PROPERTY {
        uint32_t Code = 0;
        DIRECTORY_VALUE Value;
    };
    struct OBJECT {
        std::map<std::u16string, PROPERTY> Get;
        std::map<std::u16string, PROPERTY> GetEx;
    };
    struct INIT_CALL {
        uint32_t InitType;
        std::u16string Path, User, Domain, Password;
        bool Extended;
    };
    struct OPEN_CALL {
        std::u16string Path;
        bool WithCredentials;
        uint32_t Flags;
    };

    FAKE_DIRECTORY_ACCESS() { SetDirectoryAccess(this); }
    ~FAKE_DIRECTORY_ACCESS() override { SetDirectoryAccess(nullptr); }

    // --- filling --------------------------------------------------------------------------
    void AddName(uint32_t from, const std::u16string& name, uint32_t to, const std::u16string& result) {
        Names[{from, name, to}] = result;
    }
    // An account: DOMAIN\name <-> DN, and its object with a SID whose last part is rid.
    OBJECT& AddAccount(const std::u16string& ntName, const std::u16string& dn, uint32_t rid) {
        AddName(ADS_NAME_TYPE_NT4, ntName, ADS_NAME_TYPE_1779, dn);
        AddName(ADS_NAME_TYPE_1779, dn, ADS_NAME_TYPE_NT4, ntName);
        AddName(ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME, u"S-1-5-21-1-2-3-" + Number(rid), ADS_NAME_TYPE_1779, dn);
        OBJECT& object = Objects[dn];
        object.Get[u"objectSid"].Value = SidValue(rid);
        return object;
    }
    OBJECT& AddUser(const std::u16string& ntName, const std::u16string& dn, uint32_t rid, uint32_t primaryGroupRid,
                    const std::vector<std::u16string>& memberOf) {
        OBJECT& user = AddAccount(ntName, dn, rid);
        user.Get[u"primaryGroupID"].Value.Type = VARIANT_I4;
        user.Get[u"primaryGroupID"].Value.Number = static_cast<int32_t>(primaryGroupRid);
        SetMemberOf(user, memberOf);
        return user;
    }
    OBJECT& AddGroup(const std::u16string& ntName, const std::u16string& dn, uint32_t rid,
                     const std::vector<std::u16string>& memberOf) {
        OBJECT& group = AddAccount(ntName, dn, rid);
        SetMemberOf(group, memberOf);
        return group;
    }
    static void SetMemberOf(OBJECT& object, const std::vector<std::u16string>& memberOf) {
        if (memberOf.empty()) {
            object.GetEx[u"memberOf"].Code = E_ADS_PROPERTY_NOT_FOUND;
            return;
        }
        PROPERTY& property = object.GetEx[u"memberOf"];
        property.Code = 0;
        property.Value = DIRECTORY_VALUE();
        property.Value.Type = VARIANT_ARRAY | VARIANT_VARIANT;
        for (const std::u16string& dn : memberOf) property.Value.Strings.push_back(STRING(dn.c_str()));
    }
    // S-1-5-21-1-2-3-rid in its binary form.
    static DIRECTORY_VALUE SidValue(uint32_t rid) {
        DIRECTORY_VALUE value;
        value.Type = VARIANT_ARRAY | VARIANT_UI1;
        value.Bytes = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
        for (int i = 0; i < 4; ++i) value.Bytes.push_back(static_cast<uint8_t>(rid >> (8 * i)));
        return value;
    }
    static std::u16string Number(uint32_t value) {
        std::string digits = std::to_string(value);
        return std::u16string(digits.begin(), digits.end());
    }

    // --- DIRECTORY_ACCESS -----------------------------------------------------------------
    uint32_t CreateNameTranslator(std::unique_ptr<NAME_TRANSLATOR>& translator) override {
        if (CreateFailure) return CreateFailure;
        translator = std::make_unique<TRANSLATOR>(*this);
        return 0;
    }

    uint32_t OpenObject(const char16_t* path, const char16_t* user, const char16_t* password, uint32_t flags,
                        std::unique_ptr<DIRECTORY_OBJECT>& object) override {
        ++RoundTrips;
        std::u16string text(path);
        Opened.push_back({text, user != nullptr && password != nullptr, flags});
        if (OpenFailure) return OpenFailure;
        // The DN is what follows "LDAP://" or "LDAP://server/", with "\/" standing for "/".
        std::u16string rest = text.substr(7);
        if (flags & ADS_SERVER_BIND) rest = rest.substr(rest.find(u'/') + 1);
        std::u16string dn;
        for (size_t i = 0; i < rest.size(); ++i) {
            if (rest[i] == u'\\' && i + 1 < rest.size() && rest[i + 1] == u'/') continue;
            dn += rest[i];
        }
        auto found = Objects.find(dn);
        if (found == Objects.end()) return 0x80072030;  // no such object
        object = std::make_unique<FAKE_OBJECT>(found->second);
        return 0;
    }

    std::map<std::tuple<uint32_t, std::u16string, uint32_t>, std::u16string> Names;
    std::map<std::u16string, OBJECT> Objects;
    uint32_t CreateFailure = 0;
    uint32_t InitFailure = 0;
    uint32_t SetFailure = 0;
    uint32_t GetFailure = 0;
    uint32_t OpenFailure = 0;
    std::function<void()> BeforeSet;  // runs as a name is set (a directory that takes its time)
    std::vector<INIT_CALL> Inits;
    std::vector<OPEN_CALL> Opened;
    int RoundTrips = 0;

private:
    class TRANSLATOR : public NAME_TRANSLATOR {
    public:
        explicit TRANSLATOR(FAKE_DIRECTORY_ACCESS& owner) : Owner(owner) {}
        uint32_t Init(uint32_t initType, const char16_t* path) override {
            Owner.Inits.push_back({initType, path ? path : u"", u"", u"", u"", false});
            return Owner.InitFailure;
        }
        uint32_t InitEx(uint32_t initType, const char16_t* path, const char16_t* user, const char16_t* domain,
                        const char16_t* password) override {
            Owner.Inits.push_back({initType, path, user, domain, password, true});
            return Owner.InitFailure;
        }
        uint32_t Set(uint32_t nameType, const char16_t* name) override {
            if (Owner.BeforeSet) Owner.BeforeSet();
            ++Owner.RoundTrips;
            From = nameType;
            Name = name;
            return Owner.SetFailure;
        }
        uint32_t Get(uint32_t nameType, STRING& name) override {
            if (Owner.GetFailure) return Owner.GetFailure;
            auto found = Owner.Names.find({From, Name, nameType});
            if (found == Owner.Names.end()) return 0x80072116;  // name not found
            name = found->second.c_str();
            return 0;
        }

    private:
        FAKE_DIRECTORY_ACCESS& Owner;
        uint32_t From = 0;
        std::u16string Name;
    };

    class FAKE_OBJECT : public DIRECTORY_OBJECT {
    public:
        explicit FAKE_OBJECT(const OBJECT& object) : Object(object) {}
        uint32_t Get(const char16_t* property, DIRECTORY_VALUE& value) override {
            return Read(Object.Get, property, value);
        }
        uint32_t GetEx(const char16_t* property, DIRECTORY_VALUE& value) override {
            return Read(Object.GetEx, property, value);
        }

    private:
        static uint32_t Read(const std::map<std::u16string, PROPERTY>& properties, const char16_t* name,
                             DIRECTORY_VALUE& value) {
            auto found = properties.find(name);
            if (found == properties.end()) return E_ADS_PROPERTY_NOT_FOUND;
            value = found->second.Value;
            return found->second.Code;
        }
        OBJECT Object;
    };
};

}  // namespace qv::test
