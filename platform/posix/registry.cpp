// The settings store on POSIX: the registry's keys and values kept as plain files, so an
// administrator can read and change them with the tools at hand.
//
//   <data root>/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Tarnwell Systems/Quorvane/
//       values.reg          the key's values, in regedit's export form (reg_file.h)
//       .values.lock        taken (flock) by every writer for its read-modify-write
//       Statistics/         a subkey: a folder of its own, with its own values.reg
//
// A key exists when its folder exists. Key and value names ignore case, as on Windows, but
// keep the case they were created with.
//
// Nothing in the store is ever reached through a symbolic link, and only regular files with
// one name are opened (safe_file.h): the store belongs to the service's account, and root's
// writes (qvreg, configure mode) must not be led out of it. Values files are made 0600, the
// folders 0700; what root makes in a folder of the service's account is given to that
// account, so either can go on using it. A settings value may be a password.
//
// Writers lock, read, change, and write a temporary file in the same folder that is synced and
// then renamed over values.reg (and the folder synced), so a crash leaves either the old file
// or the new one, never a mixture; a crashed writer's temporary file is removed by the next
// writer. Readers take no lock: the rename replaces the file in one step, so a reader sees a
// whole old file or a whole new one. An open key holds its folder open, so a key deleted
// underneath it reports ERR_KEY_DELETED as a deleted registry key does.
//
// Change notification watches the key's folder with inotify from a small thread (a
// FOLDER_WATCHER) that the key starts on first use and stops when it is closed.
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/data_root.h"
#include "platform/last_error.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/folder_watcher.h"
#include "platform/posix/guarded_call.h"
#include "platform/posix/reg_file.h"
#include "platform/posix/safe_file.h"
#include "platform/posix/settings_reload.h"
#include "platform/system_text.h"

namespace qv {

namespace {

constexpr char STORE_FOLDER[] = "/registry/HKEY_LOCAL_MACHINE";
constexpr const char* STORE_FOLDERS[] = {"registry", "HKEY_LOCAL_MACHINE"};
constexpr char VALUES_FILE[] = "values.reg";
constexpr char LOCK_FILE[] = ".values.lock";
constexpr char TEMP_PREFIX[] = ".values.reg.tmp-";
// Windows' limit on the length of one key name.
constexpr size_t MAX_KEY_NAME = 255;
// A values file is a few kilobytes; anything this large is not one of ours.
constexpr size_t MAX_FILE_SIZE = 256u * 1024 * 1024;
// The data root itself is made open to look into, as the event logs beside the store need;
// the store's own folders and files are the owner's alone.
constexpr mode_t DATA_ROOT_MODE = 0755;
constexpr mode_t FOLDER_MODE = 0700;
constexpr mode_t FILE_MODE = 0600;
// A rewrite keeps the permissions an administrator gave the owner and the group, never any
// for other users.
constexpr mode_t KEPT_MODE_BITS = 0770;

struct DIRECTORY_CLOSER {
    void operator()(DIR* directory) const { closedir(directory); }
};
using DIRECTORY = std::unique_ptr<DIR, DIRECTORY_CLOSER>;

// --- names and paths ---------------------------------------------------------------------------

bool SameNameIgnoringCase(const std::u16string& left, const std::u16string& right) {
    return CompareTextIgnoringCase(left.data(), static_cast<uint32_t>(left.size()), right.data(),
                                   static_cast<uint32_t>(right.size())) == 0;
}

// The store's own files share the key folder with the subkey folders; no key may take their names.
bool IsReservedName(const std::u16string& name) {
    static const std::u16string VALUES = u"values.reg";
    static const std::u16string HIDDEN = u".values.";
    return SameNameIgnoringCase(name, VALUES) ||
           (name.size() >= HIDDEN.size() && SameNameIgnoringCase(name.substr(0, HIDDEN.size()), HIDDEN));
}

// A key name must also be a folder name: no "/", no "." or "..", no control characters.
bool IsUsableKeyName(const std::u16string& name) {
    if (name.empty() || name.size() > MAX_KEY_NAME || name == u"." || name == u"..") return false;
    for (char16_t c : name) {
        if (c < 0x20 || c == u'/') return false;
    }
    return IsStorableValueName(name.data(), name.size()) && !IsReservedName(name);
}

// Splits "A\B\C" into its names. As on Windows, empty names from a doubled or trailing
// backslash are passed over but a leading backslash is refused.
uint32_t SplitKeyPath(const char16_t* path, std::vector<std::u16string>& names) {
    names.clear();
    if (path == nullptr) return ERR_SUCCESS;
    if (path[0] == u'\\') return ERR_INVALID_NAME;
    const char16_t* start = path;
    for (const char16_t* p = path;; ++p) {
        if (*p != u'\\' && *p != u'\0') continue;
        if (p > start) {
            std::u16string name(start, p);
            if (!IsUsableKeyName(name)) return ERR_INVALID_NAME;
            names.push_back(std::move(name));
        }
        if (*p == u'\0') return ERR_SUCCESS;
        start = p + 1;
    }
}

std::string StoreRoot() {
    const STRING_A root = DataRoot();
    return std::string(root.Text(), root.Length()) + STORE_FOLDER;
}

// --- folders -----------------------------------------------------------------------------------

bool FolderIsDeleted(int folder) {
    struct stat info {};
    return fstat(folder, &info) == 0 && info.st_nlink == 0;
}

// A call inside a folder that was removed while we held it open fails with ENOENT; for a
// registry key that state has its own code.
uint32_t ErrorInFolder(int folder, int error) {
    if (error == ENOENT && FolderIsDeleted(folder)) return ERR_KEY_DELETED;
    return ErrorFromErrno(error);
}

uint32_t OpenDirectory(int folder, DIRECTORY& directory) {
    const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrorInFolder(folder, errno);
    directory.reset(fdopendir(fd));
    if (!directory) {
        const int error = errno;
        ::close(fd);
        return ErrorFromErrno(error);
    }
    return ERR_SUCCESS;
}

// The subkey folders of a folder (on-disk names), the store's own files left out.
uint32_t ListSubfolders(int folder, std::vector<std::string>& names) {
    names.clear();
    DIRECTORY directory;
    if (const uint32_t code = OpenDirectory(folder, directory)) return code;
    while (const dirent* entry = readdir(directory.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        // A symbolic link is never a key, wherever it points.
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isFolder = fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
        }
        if (isFolder && !IsReservedName(RegTextToUtf16(name))) names.emplace_back(name);
    }
    return ERR_SUCCESS;
}

// Opens (and with 'create' makes) the subfolder for key 'name'. Names ignore case: when the
// exact spelling is missing, a folder spelled otherwise is the key. 'storedName' receives the
// spelling on disk.
uint32_t OpenSubfolder(int parent, const std::u16string& name, bool create, FILE_DESCRIPTOR& child,
                       std::u16string& storedName) {
    const std::string exact = RegTextToUtf8(name);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const uint32_t opened = OpenFolderSafely(parent, exact.c_str(), false, 0, child);
        if (opened == ERR_SUCCESS) {
            storedName = name;
            return ERR_SUCCESS;
        }
        // ERR_DIRECTORY: some file, not a folder, has the name.
        if (opened != ERR_FILE_NOT_FOUND && opened != ERR_DIRECTORY) return opened;

        std::vector<std::string> folders;
        if (const uint32_t code = ListSubfolders(parent, folders)) return code;
        const std::string* match = nullptr;
        for (const std::string& folder : folders) {
            // Two folders differing only in case can only come from a hand edit; the first in
            // byte order wins, so the choice is at least always the same.
            if (SameNameIgnoringCase(RegTextToUtf16(folder), name) && (match == nullptr || folder < *match)) {
                match = &folder;
            }
        }
        if (match != nullptr) {
            if (const uint32_t code = OpenFolderSafely(parent, match->c_str(), false, 0, child)) {
                return code == ERR_FILE_NOT_FOUND ? ErrorInFolder(parent, ENOENT) : code;
            }
            storedName = RegTextToUtf16(*match);
            return ERR_SUCCESS;
        }

        if (FolderIsDeleted(parent)) return ERR_KEY_DELETED;
        if (!create) return ERR_FILE_NOT_FOUND;
        // Some file (not a folder) already has the name: the key cannot be made here.
        if (opened == ERR_DIRECTORY) return ERR_CANTWRITE;
        if (mkdirat(parent, exact.c_str(), FOLDER_MODE) == 0) {
            // The new name is part of the parent folder; make it durable like any other write.
            fsync(parent);
            if (OpenFolderSafely(parent, exact.c_str(), false, 0, child) == ERR_SUCCESS) {
                GiveToFolderOwner(parent, child.Get());
                storedName = name;
                return ERR_SUCCESS;
            }
        } else if (errno != EEXIST) {  // EEXIST: another process made it meanwhile
            return ErrorInFolder(parent, errno);
        }
    }
    return ERR_CANTWRITE;
}

// Walks (and with 'create' makes) the key folders 'names' below 'folder', which is replaced by
// the last one; 'resolved' receives the names as spelled on disk, joined with backslashes.
uint32_t WalkKeyPath(const std::vector<std::u16string>& names, bool create, FILE_DESCRIPTOR& folder,
                     std::u16string& resolved) {
    resolved.clear();
    for (const std::u16string& name : names) {
        FILE_DESCRIPTOR child;
        std::u16string stored;
        if (const uint32_t code = OpenSubfolder(folder.Get(), name, create, child, stored)) return code;
        folder = std::move(child);
        if (!resolved.empty()) resolved.push_back(u'\\');
        resolved.append(stored);
    }
    return ERR_SUCCESS;
}

// mkdir -p, for the data root.
uint32_t MakeFolders(const std::string& path) {
    size_t position = 0;
    while (position <= path.size()) {
        size_t slash = path.find('/', position);
        if (slash == std::string::npos) slash = path.size();
        if (slash > 0) {
            const std::string partial = path.substr(0, slash);
            if (mkdir(partial.c_str(), DATA_ROOT_MODE) != 0 && errno != EEXIST) return ErrorFromErrno(errno);
        }
        position = slash + 1;
    }
    return ERR_SUCCESS;
}

// The store's root folder: the data root as configured, then the store's own folders below it,
// never through a link.
uint32_t OpenStoreRoot(bool create, FILE_DESCRIPTOR& folder) {
    const STRING_A root = DataRoot();
    const std::string dataRoot(root.Text(), root.Length());
    if (create) {
        if (const uint32_t code = MakeFolders(dataRoot)) return code;
    }
    folder.Reset(open(dataRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsValid()) return errno == ENOENT || errno == ENOTDIR ? ERR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    for (const char* name : STORE_FOLDERS) {
        FILE_DESCRIPTOR child;
        const uint32_t code = OpenFolderSafely(folder.Get(), name, create, FOLDER_MODE, child);
        if (code != ERR_SUCCESS) return code == ERR_DIRECTORY ? ERR_FILE_NOT_FOUND : code;
        folder = std::move(child);
    }
    return ERR_SUCCESS;
}

// Opens the folder of the key at 'path' (below HKEY_LOCAL_MACHINE), with 'create' making it
// and its parents; 'resolved' receives the path as spelled on disk.
uint32_t OpenKeyFolder(const char16_t* path, bool create, FILE_DESCRIPTOR& folder, std::u16string& resolved) {
    std::vector<std::u16string> names;
    if (const uint32_t code = SplitKeyPath(path, names)) return code;
    if (const uint32_t code = OpenStoreRoot(create, folder)) return code;
    return WalkKeyPath(names, create, folder, resolved);
}

// --- the values file ---------------------------------------------------------------------------

// Reads and parses values.reg; a missing file is a key without values. 'file' (optional)
// receives the file's status, with st_nlink 0 when there was no file.
uint32_t ReadValues(int folder, std::vector<REG_VALUE>& values, struct stat* file = nullptr) {
    values.clear();
    if (file != nullptr) *file = {};
    FILE_DESCRIPTOR input(openat(folder, VALUES_FILE, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!input.IsValid()) {
        const int error = errno;
        if (error == ELOOP) return ERR_STOPPED_ON_SYMLINK;
        return error == ENOENT && !FolderIsDeleted(folder) ? ERR_SUCCESS : ErrorInFolder(folder, error);
    }
    struct stat info {};
    if (fstat(input.Get(), &info) != 0) return ErrorFromErrno(errno);
    if (!S_ISREG(info.st_mode) || static_cast<uint64_t>(info.st_size) > MAX_FILE_SIZE) return ERR_BADDB;
    if (file != nullptr) *file = info;

    std::string text;
    text.reserve(static_cast<size_t>(info.st_size));
    char chunk[16384];
    for (;;) {
        const ssize_t got = read(input.Get(), chunk, sizeof(chunk));
        if (got < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(errno);
        }
        if (got == 0) break;
        // Someone may be appending to it by hand; bounded all the same.
        if (text.size() + static_cast<size_t>(got) > MAX_FILE_SIZE) return ERR_BADDB;
        text.append(chunk, static_cast<size_t>(got));
    }
    return ParseRegFile(text.data(), text.size(), values);
}

uint32_t WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(errno);
        }
        done += static_cast<size_t>(wrote);
    }
    return ERR_SUCCESS;
}

// Temporary files are only ever made under the lock, so one found while holding it was left
// by a writer that died mid-write.
void RemoveLeftoverTemporaryFiles(int folder) {
    DIRECTORY directory;
    if (OpenDirectory(folder, directory) != ERR_SUCCESS) return;
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(directory.get())) {
        if (std::strncmp(entry->d_name, TEMP_PREFIX, sizeof(TEMP_PREFIX) - 1) == 0) leftovers.emplace_back(entry->d_name);
    }
    for (const std::string& name : leftovers) unlinkat(folder, name.c_str(), 0);
}

// Replaces values.reg with 'text' in one step: temporary file, sync, rename, sync the folder.
uint32_t ReplaceValuesFile(int folder, const std::string& text, const struct stat& previous) {
    static std::atomic<uint32_t> counter{0};
    std::string name;
    FILE_DESCRIPTOR output;
    for (int attempt = 0; attempt < 16 && !output.IsValid(); ++attempt) {
        name = TEMP_PREFIX + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
        const uint32_t code = OpenFileSafely(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL, FILE_MODE, output);
        if (code == ERR_FILE_NOT_FOUND) return ErrorInFolder(folder, ENOENT);
        if (code != ERR_SUCCESS && code != ERR_FILE_EXISTS) return code;
    }
    if (!output.IsValid()) return ERR_CANTWRITE;

    uint32_t code = WriteAll(output.Get(), text);
    if (code == ERR_SUCCESS && previous.st_nlink != 0) {
        // An administrator's choice of mode and owner survives our rewrite, as far as we may:
        // changing the owner takes privilege, and without it the file simply becomes ours.
        // Other users never get to read it: a value may be a password.
        fchmod(output.Get(), previous.st_mode & KEPT_MODE_BITS);
        if (previous.st_uid != geteuid() || previous.st_gid != getegid()) {
            const int bestEffort = fchown(output.Get(), previous.st_uid, previous.st_gid);
            static_cast<void>(bestEffort);
        }
    }
    if (code == ERR_SUCCESS && fsync(output.Get()) != 0) code = ErrorFromErrno(errno);
    output.Reset();
    if (code == ERR_SUCCESS && renameat(folder, name.c_str(), folder, VALUES_FILE) != 0) code = ErrorInFolder(folder, errno);
    if (code != ERR_SUCCESS) {
        unlinkat(folder, name.c_str(), 0);
        return code;
    }
    // The rename is durable only once the folder is; a file system that cannot sync folders
    // (EINVAL) has nothing more to do.
    if (fsync(folder) != 0 && errno != EINVAL) return ErrorFromErrno(errno);
    return ERR_SUCCESS;
}

// --- change notification -----------------------------------------------------------------------

// Watches one key folder. Changes are reported only to armed events, each of which is set
// once and then forgotten; the caller's event is held as a duplicate of its descriptor, so it
// stays valid however the caller handles its own object.
class VALUE_WATCHER;

// Every watcher of the process, for a reload that concerns them all. Taken before a watcher's
// own lock, never after it.
struct ALL_WATCHERS {
    std::mutex Lock;
    std::vector<VALUE_WATCHER*> Watchers;
};

ALL_WATCHERS& AllWatchers() {
    static ALL_WATCHERS* const all = new ALL_WATCHERS;  // never destroyed: watchers may outlive statics
    return *all;
}

class VALUE_WATCHER {
public:
    VALUE_WATCHER() {
        ALL_WATCHERS& all = AllWatchers();
        std::lock_guard<std::mutex> guard(all.Lock);
        all.Watchers.push_back(this);
    }
    VALUE_WATCHER(const VALUE_WATCHER&) = delete;
    VALUE_WATCHER& operator=(const VALUE_WATCHER&) = delete;
    ~VALUE_WATCHER() {
        {
            ALL_WATCHERS& all = AllWatchers();
            std::lock_guard<std::mutex> guard(all.Lock);
            all.Watchers.erase(std::remove(all.Watchers.begin(), all.Watchers.end(), this), all.Watchers.end());
        }
        Shutdown();
    }

    uint32_t Start(int folder, const std::string& folderPath) {
        // Value changes only: values.reg replaced (rename), rewritten in place (closed after
        // writing), or removed; and the folder itself removed, which Windows does not report
        // but which a waiter had better hear of (its next read says ERR_KEY_DELETED). Subkeys
        // are folders of their own and never show up here.
        const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR;
        // The folder as held open, so a rename of a parent cannot send the watch elsewhere;
        // the path is only for systems without /proc (where the first try finds no such file).
        const std::string held = "/proc/self/fd/" + std::to_string(folder);
        const uint32_t code = Watcher.Start(held.c_str(), mask, &Queued, this);
        if (code != ErrorFromErrno(ENOENT)) return code;
        return Watcher.Start(folderPath.c_str(), mask, &Queued, this);
    }

    uint32_t Arm(EVENT& event) {
        FILE_DESCRIPTOR copy(fcntl(event.NativeHandle(), F_DUPFD_CLOEXEC, 0));
        if (!copy.IsValid()) return ErrorFromErrno(errno);
        std::lock_guard<std::mutex> guard(Lock);
        Armed.reserve(Armed.size() + 1);  // the one step that can fail comes before any change
        // Whatever is queued happened before this call and is not this arming's business; it
        // still belongs to events armed earlier.
        if (Watcher.TakeChanges(VALUES_FILE)) SetArmedEvents();
        // Windows resets the event as it arms the notification (as at the start of any
        // overlapped operation), so a signal left from before cannot pass for a change.
        if (!event.Reset()) return GetLastErrorCode();
        Armed.push_back(std::move(copy));
        return ERR_SUCCESS;
    }

    // Sets the armed events as a change would.
    void Reload() {
        std::lock_guard<std::mutex> guard(Lock);
        SetArmedEvents();
    }

    // Stops the thread and, as closing a registry key does on Windows, sets the armed events.
    void Shutdown() {
        Watcher.Stop();
        std::lock_guard<std::mutex> guard(Lock);
        SetArmedEvents();
    }

private:
    // On the watcher's thread. A lost record or a vanished folder may have been a change; the
    // lock file and temporary files never are.
    static void Queued(void* context) {
        auto* self = static_cast<VALUE_WATCHER*>(context);
        std::lock_guard<std::mutex> guard(self->Lock);
        if (self->Watcher.TakeChanges(VALUES_FILE)) self->SetArmedEvents();
    }

    // The caller holds Lock.
    void SetArmedEvents() {
        const uint64_t one = 1;
        for (const FILE_DESCRIPTOR& event : Armed) {
            // EAGAIN: the counter is at its ceiling, so the event is set already.
            while (write(event.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
            }
        }
        Armed.clear();
    }

    FOLDER_WATCHER Watcher;
    std::mutex Lock;
    std::vector<FILE_DESCRIPTOR> Armed;
};

// --- keys --------------------------------------------------------------------------------------

struct KEY_STATE {
    FILE_DESCRIPTOR Folder;
    bool Writable = false;
    std::u16string Path;  // below HKEY_LOCAL_MACHINE, as spelled on disk; the file's [header]
    std::unique_ptr<VALUE_WATCHER> Watcher;
};

KEY_STATE* StateOf(void* native) { return static_cast<KEY_STATE*>(native); }

size_t NameLength(const char16_t* name) { return name == nullptr ? 0 : TextLength(name); }

// The type and data of a value, as RegQueryValueExW hands them out.
uint32_t CopyValue(const REG_VALUE& value, uint32_t* type, void* data, uint32_t* size) {
    if (type != nullptr) *type = value.Type;
    const uint32_t needed = static_cast<uint32_t>(value.Data.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERR_MORE_DATA;
        }
        if (needed != 0) std::memcpy(data, value.Data.data(), needed);
    }
    if (size != nullptr) *size = needed;
    return ERR_SUCCESS;
}

// Read, change and write back the values under the key's lock. 'change' returns an error code;
// on failure nothing is written.
template <typename CHANGE>
uint32_t ModifyValues(const KEY_STATE& key, CHANGE change) {
    const int folder = key.Folder.Get();
    // Opened read-only: flock needs no write access, so a lock file made by root stays usable.
    FILE_DESCRIPTOR lock;
    if (const uint32_t code = OpenFileSafely(folder, LOCK_FILE, O_RDONLY | O_CREAT, FILE_MODE, lock)) {
        return code == ERR_FILE_NOT_FOUND ? ErrorInFolder(folder, ENOENT) : code;
    }
    while (flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) return ErrorFromErrno(errno);
    }
    // The key may have been deleted while this waited.
    if (FolderIsDeleted(folder)) return ERR_KEY_DELETED;
    RemoveLeftoverTemporaryFiles(folder);

    std::vector<REG_VALUE> values;
    struct stat previous {};
    // A file we cannot read is left alone: rewriting it would throw away what it holds.
    if (const uint32_t code = ReadValues(folder, values, &previous)) return code;
    if (const uint32_t code = change(values)) return code;
    std::string text;
    FormatRegFile(key.Path, values, text);
    return ReplaceValuesFile(folder, text, previous);
}

}  // namespace


void REGISTRY_KEY::Close() {
    KEY_STATE* state = StateOf(std::exchange(Native, nullptr));
    if (state == nullptr) return;
    if (state->Watcher) state->Watcher->Shutdown();
    delete state;
}

uint32_t REGISTRY_KEY::Open(const char16_t* path, bool writeAccess) {
    Close();
    return GuardedCall([&]() -> uint32_t {
        auto state = std::make_unique<KEY_STATE>();
        if (const uint32_t code = OpenKeyFolder(path, false, state->Folder, state->Path)) return code;
        // Windows checks the access asked for when the key is opened, not at each write.
        if (writeAccess && faccessat(state->Folder.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
            return ErrorFromErrno(errno);
        }
        state->Writable = writeAccess;
        Native = state.release();
        return ERR_SUCCESS;
    });
}

uint32_t REGISTRY_KEY::CreateSubkey(const char16_t* name, REGISTRY_KEY& subkey) const {
    const KEY_STATE* parent = StateOf(Native);
    if (parent == nullptr) return FinishCall(ERR_INVALID_HANDLE);
    return GuardedCall([&]() -> uint32_t {
        std::vector<std::u16string> names;
        if (const uint32_t code = SplitKeyPath(name, names)) return code;
        auto state = std::make_unique<KEY_STATE>();
        state->Folder.Reset(fcntl(parent->Folder.Get(), F_DUPFD_CLOEXEC, 0));
        if (!state->Folder.IsValid()) return ErrorFromErrno(errno);
        if (FolderIsDeleted(state->Folder.Get())) return ERR_KEY_DELETED;
        std::u16string below;
        if (const uint32_t code = WalkKeyPath(names, true, state->Folder, below)) return code;
        state->Path = parent->Path;
        if (!state->Path.empty() && !below.empty()) state->Path.push_back(u'\\');
        state->Path.append(below);
        state->Writable = true;
        // Only now, as 'subkey' may be this very key.
        subkey.Close();
        subkey.Native = state.release();
        return ERR_SUCCESS;
    });
}

uint32_t REGISTRY_KEY::QueryValue(const char16_t* name, uint32_t* type, void* data, uint32_t* size) const {
    const KEY_STATE* state = StateOf(Native);
    if (state == nullptr) return FinishCall(ERR_INVALID_HANDLE);
    if (data != nullptr && size == nullptr) return FinishCall(ERR_INVALID_PARAMETER);
    return GuardedCall([&]() -> uint32_t {
        std::vector<REG_VALUE> values;
        if (const uint32_t code = ReadValues(state->Folder.Get(), values)) return code;
        const ptrdiff_t index = FindRegValue(values, name == nullptr ? u"" : name, NameLength(name));
        if (index < 0) return ERR_FILE_NOT_FOUND;
        return CopyValue(values[static_cast<size_t>(index)], type, data, size);
    });
}

uint32_t REGISTRY_KEY::SetValue(const char16_t* name, uint32_t type, const void* data, uint32_t size) const {
    const KEY_STATE* state = StateOf(Native);
    if (state == nullptr) return FinishCall(ERR_INVALID_HANDLE);
    if (!state->Writable) return FinishCall(ERR_ACCESS_DENIED);
    const size_t nameLength = NameLength(name);
    if (nameLength > REG_MAX_VALUE_NAME || (name != nullptr && !IsStorableValueName(name, nameLength)) ||
        (data == nullptr && size != 0) || size > REG_MAX_VALUE_DATA) {
        return FinishCall(ERR_INVALID_PARAMETER);
    }
    return GuardedCall([&]() -> uint32_t {
        const auto* bytes = static_cast<const uint8_t*>(data);
        return ModifyValues(*state, [&](std::vector<REG_VALUE>& values) -> uint32_t {
            const ptrdiff_t index = FindRegValue(values, name == nullptr ? u"" : name, nameLength);
            if (index < 0) {
                REG_VALUE added;
                added.Name.assign(name == nullptr ? u"" : name, nameLength);
                values.push_back(std::move(added));
            }
            // An existing value keeps its place and the case of its name.
            REG_VALUE& value = index < 0 ? values.back() : values[static_cast<size_t>(index)];
            value.Type = type;
            value.Data.assign(bytes, bytes + size);
            return ERR_SUCCESS;
        });
    });
}

uint32_t REGISTRY_KEY::DeleteValue(const char16_t* name) const {
    const KEY_STATE* state = StateOf(Native);
    if (state == nullptr) return FinishCall(ERR_INVALID_HANDLE);
    if (!state->Writable) return FinishCall(ERR_ACCESS_DENIED);
    return GuardedCall([&]() -> uint32_t {
        return ModifyValues(*state, [&](std::vector<REG_VALUE>& values) -> uint32_t {
            const ptrdiff_t index = FindRegValue(values, name == nullptr ? u"" : name, NameLength(name));
            if (index < 0) return ERR_FILE_NOT_FOUND;
            values.erase(values.begin() + index);
            return ERR_SUCCESS;
        });
    });
}

uint32_t REGISTRY_KEY::EnumValue(uint32_t index, STRING& name, uint32_t* type, void* data, uint32_t* size) const {
    const KEY_STATE* state = StateOf(Native);
    if (state == nullptr) return FinishCall(ERR_INVALID_HANDLE);
    if (data != nullptr && size == nullptr) return FinishCall(ERR_INVALID_PARAMETER);
    return GuardedCall([&]() -> uint32_t {
        std::vector<REG_VALUE> values;
        if (const uint32_t code = ReadValues(state->Folder.Get(), values)) return code;
        if (index >= values.size()) return ERR_NO_MORE_ITEMS;
        const REG_VALUE& value = values[index];
        name.Assign(value.Name.data(), static_cast<uint32_t>(value.Name.size()));
        return CopyValue(value, type, data, size);
    });
}

uint32_t REGISTRY_KEY::EnumSubkey(uint32_t index, STRING& name) const {
    const KEY_STATE* state = StateOf(Native);
    if (state == nullptr) return FinishCall(ERR_INVALID_HANDLE);
    return GuardedCall([&]() -> uint32_t {
        if (FolderIsDeleted(state->Folder.Get())) return ERR_KEY_DELETED;
        std::vector<std::string> folders;
        if (const uint32_t code = ListSubfolders(state->Folder.Get(), folders)) return code;
        if (index >= folders.size()) return ERR_NO_MORE_ITEMS;
        // The registry lists subkeys in name order, case ignored.
        std::vector<std::u16string> names;
        names.reserve(folders.size());
        for (const std::string& folder : folders) names.push_back(RegTextToUtf16(folder));
        std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
            const int order = CompareTextIgnoringCase(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                                      static_cast<uint32_t>(b.size()));
            return order != 0 ? order < 0 : a < b;
        });
        name.Assign(names[index].data(), static_cast<uint32_t>(names[index].size()));
        return ERR_SUCCESS;
    });
}

uint32_t REGISTRY_KEY::NotifyValueChange(EVENT& event) {
    KEY_STATE* state = StateOf(Native);
    if (state == nullptr || !event.IsValid()) return FinishCall(ERR_INVALID_HANDLE);
    return GuardedCall([&]() -> uint32_t {
        if (FolderIsDeleted(state->Folder.Get())) return ERR_KEY_DELETED;
        if (!state->Watcher) {
            std::string folderPath = StoreRoot();
            if (!state->Path.empty()) {
                std::string below = RegTextToUtf8(state->Path);
                std::replace(below.begin(), below.end(), '\\', '/');
                folderPath += "/" + below;
            }
            auto watcher = std::make_unique<VALUE_WATCHER>();
            if (const uint32_t code = watcher->Start(state->Folder.Get(), folderPath)) return code;
            state->Watcher = std::move(watcher);
        }
        return state->Watcher->Arm(event);
    });
}

void SignalSettingsReload() {
    ALL_WATCHERS& all = AllWatchers();
    std::lock_guard<std::mutex> guard(all.Lock);
    for (VALUE_WATCHER* watcher : all.Watchers) watcher->Reload();
}

uint32_t CreateRegistryKey(const char16_t* path) {
    return GuardedCall([&]() -> uint32_t {
        FILE_DESCRIPTOR folder;
        std::u16string resolved;
        return OpenKeyFolder(path, true, folder, resolved);
    });
}

uint32_t ReadRegistryKeyValues(const char16_t* path, std::vector<REG_VALUE>& values) {
    values.clear();
    return GuardedCall([&]() -> uint32_t {
        FILE_DESCRIPTOR folder;
        std::u16string resolved;
        if (const uint32_t code = OpenKeyFolder(path, false, folder, resolved)) return code;
        return ReadValues(folder.Get(), values);
    });
}

}  // namespace qv
