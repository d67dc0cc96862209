// Opening files and folders without being led elsewhere (see safe_file.h).
#include "platform/posix/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/error_codes.h"
#include "platform/last_error.h"

namespace qv {

namespace {

// Someone else may create or remove the name between two of our calls; after this many turns
// something is plainly playing with it.
constexpr int MAX_ATTEMPTS = 100;

uint32_t Fail(uint32_t code) {
    SetLastErrorCode(code);
    return code;
}

int OpenAt(int folder, const char* name, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::openat(folder, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool IsSymbolicLink(int folder, const char* name) {
    struct stat info {};
    return ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// An open that failed, in the words of the checks: O_NOFOLLOW meeting a link says ELOOP (or
// ENOTDIR when a folder was asked for); a FIFO without a reader or a socket says ENXIO.
uint32_t OpenFailure(int folder, const char* name, int error) {
    if (error == ELOOP || ((error == ENOTDIR || error == ENXIO) && IsSymbolicLink(folder, name))) {
        return ERR_STOPPED_ON_SYMLINK;
    }
    if (error == ENXIO) return ERR_FILE_NOT_REGULAR;
    return ErrorFromErrno(error);
}

uint32_t CheckOpenedFile(int fd, const struct stat& folder) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return ErrorFromErrno(errno);
    if (!S_ISREG(info.st_mode)) return ERR_FILE_NOT_REGULAR;
    if (info.st_nlink > 1) return ERR_FILE_HAS_LINKS;
    if (info.st_uid != ::geteuid() && info.st_uid != 0 && info.st_uid != folder.st_uid) return ERR_FILE_OWNER_UNTRUSTED;
    return ERR_SUCCESS;
}

void GiveAway(const struct stat& folder, int made) {
    if (::geteuid() != 0 || folder.st_uid == 0) return;
    // Best effort: a sandbox may forbid it, and the file then simply stays root's.
    [[maybe_unused]] const int given = ::fchown(made, folder.st_uid, folder.st_gid);
}

}  // namespace

uint32_t OpenFileSafely(int folder, const char* name, int flags, mode_t mode, FILE_DESCRIPTOR& file, bool* created) {
    file.Reset();
    struct stat folderInfo {};
    if (::fstat(folder, &folderInfo) != 0) return Fail(ErrorFromErrno(errno));
    const bool create = (flags & O_CREAT) != 0;
    const bool exclusive = create && (flags & O_EXCL) != 0;
    const int base = (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

    // "Opened or created" is decided without a race: first without O_CREAT, and only when the
    // name is missing with O_CREAT | O_EXCL, which never follows a link either.
    bool made = false;
    FILE_DESCRIPTOR opened;
    for (int attempt = 0; !opened.IsValid(); ++attempt) {
        if (!exclusive) {
            opened.Reset(OpenAt(folder, name, base));
            if (opened.IsValid()) break;
            if (errno != ENOENT || !create) return Fail(OpenFailure(folder, name, errno));
        }
        opened.Reset(OpenAt(folder, name, base | O_CREAT | O_EXCL, mode));
        if (opened.IsValid()) {
            made = true;
            break;
        }
        if (errno != EEXIST || exclusive || attempt >= MAX_ATTEMPTS) return Fail(OpenFailure(folder, name, errno));
    }

    if (const uint32_t code = CheckOpenedFile(opened.Get(), folderInfo)) return Fail(code);
    if (made) GiveAway(folderInfo, opened.Get());
    if ((flags & O_TRUNC) != 0 && !made && ::ftruncate(opened.Get(), 0) != 0) return Fail(ErrorFromErrno(errno));
    // O_NONBLOCK was for the open alone.
    const int status = ::fcntl(opened.Get(), F_GETFL);
    if (status >= 0) ::fcntl(opened.Get(), F_SETFL, status & ~O_NONBLOCK);
    if (created != nullptr) *created = made;
    file = std::move(opened);
    return ERR_SUCCESS;
}

uint32_t OpenFolderSafely(int folder, const char* name, bool create, mode_t mode, FILE_DESCRIPTOR& child) {
    child.Reset();
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        child.Reset(OpenAt(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (child.IsValid()) return ERR_SUCCESS;
        const int error = errno;
        if (error == ENOENT && create) {
            if (::mkdirat(folder, name, mode) == 0) {
                child.Reset(OpenAt(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (child.IsValid()) {
                    struct stat folderInfo {};
                    if (::fstat(folder, &folderInfo) == 0) GiveAway(folderInfo, child.Get());
                    return ERR_SUCCESS;
                }
            } else if (errno != EEXIST) {
                return Fail(errno == ENOENT ? ERR_PATH_NOT_FOUND : ErrorFromErrno(errno));
            }
            continue;  // made by someone else meanwhile, or gone again: look once more
        }
        if (IsSymbolicLink(folder, name)) return Fail(ERR_STOPPED_ON_SYMLINK);
        if (error == ENOTDIR) return Fail(ERR_DIRECTORY);
        return Fail(ErrorFromErrno(error));
    }
    return Fail(ERR_DIRECTORY);
}

void GiveToFolderOwner(int folder, int made) {
    struct stat folderInfo {};
    if (::fstat(folder, &folderInfo) == 0) GiveAway(folderInfo, made);
}

}  // namespace qv
