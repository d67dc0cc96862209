#include "directory/directory.h"

#include <atomic>

namespace qv {

namespace {

// Finds nothing: every report goes out without DNs, OUs and groups.
class NO_DIRECTORY : public DIRECTORY {
public:
    bool NtNameToDn(const DIRECTORY_BINDING&, const char16_t*, STRING& dn) override {
        dn.Clear();
        return false;
    }
    bool GetOuPath(const char16_t*, STRING& ou) override {
        ou.Clear();
        return false;
    }
    bool GetUserGroups(const DIRECTORY_BINDING&, const char16_t*, GROUP_LIST& groups) override {
        groups.clear();
        return false;
    }
};

std::atomic<DIRECTORY*> InstalledDirectory{nullptr};

}  // namespace

void DIRECTORY_BINDING::SetServer(const char16_t* server, const char16_t* user, const char16_t* password) {
    ServerName = server ? server : u"";
    UserName = user ? user : u"";
    Password = password ? password : u"";
}

DIRECTORY& CurrentDirectory() {
    static NO_DIRECTORY none;
    DIRECTORY* directory = InstalledDirectory.load();
    return directory ? *directory : none;
}

void SetDirectory(DIRECTORY* directory) { InstalledDirectory.store(directory); }

}  // namespace qv
