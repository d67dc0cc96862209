// A directory that answers from tables a test fills, installed for the life of the object.
#pragma once

#include <map>
#include <string>

#include "directory/directory.h"

namespace qv::test {

class FAKE_DIRECTORY : public DIRECTORY {
public:
    FAKE_DIRECTORY() { SetDirectory(this); }
    ~FAKE_DIRECTORY() override { SetDirectory(nullptr); }

    bool NtNameToDn(const DIRECTORY_BINDING& binding, const char16_t* ntName, STRING& dn) override {
        LastServer = std::u16string(binding.Server().Text(), binding.Server().Length());
        auto found = Dns.find(ntName);
        if (found == Dns.end()) return false;
        dn = found->second.c_str();
        return true;
    }
    bool GetOuPath(const char16_t* dn, STRING& ou) override {
        auto found = Ous.find(dn);
        if (found == Ous.end()) return false;
        ou = found->second.c_str();
        return true;
    }
    bool GetUserGroups(const DIRECTORY_BINDING&, const char16_t*, GROUP_LIST& groups) override {
        ++GroupLookups;
        groups.clear();
        for (const GROUP_ENTRY& group : Groups) groups.push_back({STRING(group.Name), STRING(group.Dn)});
        return GroupsFound;
    }

    std::map<std::u16string, std::u16string> Dns;
    std::map<std::u16string, std::u16string> Ous;
    GROUP_LIST Groups;
    bool GroupsFound = true;
    int GroupLookups = 0;
    std::u16string LastServer;
};

}  // namespace qv::test
