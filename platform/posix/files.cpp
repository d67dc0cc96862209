// File operations on POSIX. Paths arrive as UTF-16 and go to the system as UTF-8.
//
// The Win32 behaviour the rest of the program expects is rebuilt from plain calls:
//   - "opened or created", and whether the file was there, is decided without a race by
//     first opening without O_CREAT and, when the file is missing, creating it with O_EXCL
//     (going round again when someone else created it in between);
//   - appending writes that reach the disk are O_APPEND | O_DSYNC;
//   - a move that never replaces is renameat2(RENAME_NOREPLACE), and where the file system
//     does not offer that, link() + unlink(), which fails the same way when the target exists.
#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"

namespace qv {

namespace {

// New files get the usual permissions, narrowed by the process's umask.
constexpr mode_t NEW_FILE_MODE = 0666;
constexpr mode_t NEW_DIRECTORY_MODE = 0777;

uint32_t Report(uint32_t code) {
    if (code != ERR_SUCCESS) SetLastErrorCode(code);
    return code;
}

uint32_t ReportErrno(int error) { return Report(ErrorFromErrno(error)); }

// When a name is being created, ENOENT can only mean a missing folder on the way, which
// Windows calls "path not found".
uint32_t ReportCreationErrno(int error) { return Report(error == ENOENT ? ERR_PATH_NOT_FOUND : ErrorFromErrno(error)); }

int OpenRetrying(const char* path, int flags) {
    int fd = -1;
    do {
        fd = ::open(path, flags, NEW_FILE_MODE);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Where renameat2 cannot refuse to replace, link() can: it never replaces its target.
uint32_t MoveByLink(const char* from, const char* to) {
    if (::link(from, to) == 0) {
        if (::unlink(from) == 0) return ERR_SUCCESS;
        const int error = errno;
        // Both names now lead to the file; take the new one away again so nothing changed.
        ::unlink(to);
        return ReportErrno(error);
    }
    const int error = errno;
    if (error == EEXIST) return Report(ERR_ALREADY_EXISTS);
    if (error != EPERM && error != EOPNOTSUPP && error != EXDEV) return ReportErrno(error);
    // A file system without hard links (FAT, some network shares): check, then rename. The
    // check and the rename are two steps, so a file appearing in between would be replaced;
    // nothing better exists on such a file system.
    struct stat info {};
    if (::lstat(to, &info) == 0) return Report(ERR_ALREADY_EXISTS);
    if (::rename(from, to) == 0) return ERR_SUCCESS;
    return ReportErrno(errno);
}

}  // namespace


uint32_t FILE_HANDLE::Open(const char16_t* path, FILE_CREATION creation, bool* existed) {
    Close();
    if (path == nullptr || *path == 0) return Report(ERR_PATH_NOT_FOUND);
    const STRING_A name(path);
    const int flags = O_WRONLY | O_APPEND | O_DSYNC | O_CLOEXEC;

    if (creation == FILE_CREATION::NEW_ONLY) {
        const int fd = OpenRetrying(name.Text(), flags | O_CREAT | O_EXCL);
        if (fd < 0) return ReportCreationErrno(errno);
        Handle = fd;
        if (existed != nullptr) *existed = false;
        return ERR_SUCCESS;
    }

    const int keep = creation == FILE_CREATION::REPLACE ? flags | O_TRUNC : flags;
    for (;;) {
        int fd = OpenRetrying(name.Text(), keep);
        if (fd >= 0) {
            Handle = fd;
            if (existed != nullptr) *existed = true;
            return ERR_SUCCESS;
        }
        if (errno != ENOENT) return ReportErrno(errno);
        fd = OpenRetrying(name.Text(), keep | O_CREAT | O_EXCL);
        if (fd >= 0) {
            Handle = fd;
            if (existed != nullptr) *existed = false;
            return ERR_SUCCESS;
        }
        // Someone created it between the two calls: open that one.
        if (errno != EEXIST) return ReportCreationErrno(errno);
    }
}

uint32_t FILE_HANDLE::Write(const void* data, uint32_t size) {
    if (!IsOpen()) return Report(ERR_INVALID_HANDLE);
    const auto* bytes = static_cast<const char*>(data);
    uint32_t left = size;
    while (left > 0) {
        const ssize_t written = ::write(Handle, bytes, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return ReportErrno(errno);
        }
        if (written == 0) return Report(ERR_DISK_FULL);
        // A short write only happens when the disk fills up or a signal lands mid-way; the
        // rest follows at once, and the next attempt usually says what went wrong.
        bytes += written;
        left -= static_cast<uint32_t>(written);
    }
    return ERR_SUCCESS;
}

void FILE_HANDLE::Close() {
    if (Handle != NO_NATIVE_HANDLE) {
        // close() releases the descriptor even when it reports EINTR; never retried.
        ::close(Handle);
        Handle = NO_NATIVE_HANDLE;
    }
}

uint32_t MovePathNoReplace(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr || *from == 0 || *to == 0) return Report(ERR_PATH_NOT_FOUND);
    const STRING_A source(from);
    const STRING_A target(to);
    if (::renameat2(AT_FDCWD, source.Text(), AT_FDCWD, target.Text(), RENAME_NOREPLACE) == 0) return ERR_SUCCESS;
    const int error = errno;
    if (error == EEXIST) return Report(ERR_ALREADY_EXISTS);
    // EINVAL: the file system does not know RENAME_NOREPLACE; ENOSYS: an old kernel.
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) return MoveByLink(source.Text(), target.Text());
    return ReportErrno(error);
}

uint32_t RemoveFile(const char16_t* path) {
    if (path == nullptr || *path == 0) return Report(ERR_PATH_NOT_FOUND);
    const STRING_A name(path);
    if (::unlink(name.Text()) == 0) return ERR_SUCCESS;
    return ReportErrno(errno);
}

PATH_KIND GetPathKind(const char16_t* path) {
    if (path == nullptr || *path == 0) return PATH_KIND::MISSING;
    const STRING_A name(path);
    struct stat info {};
    if (::stat(name.Text(), &info) != 0) return PATH_KIND::MISSING;
    return S_ISDIR(info.st_mode) ? PATH_KIND::DIRECTORY : PATH_KIND::NOT_DIRECTORY;
}

uint32_t MakeDirectory(const char16_t* path) {
    if (path == nullptr || *path == 0) return Report(ERR_PATH_NOT_FOUND);
    const STRING_A name(path);
    if (::mkdir(name.Text(), NEW_DIRECTORY_MODE) == 0) return ERR_SUCCESS;
    const int error = errno;
    return error == EEXIST ? Report(ERR_ALREADY_EXISTS) : ReportCreationErrno(error);
}

}  // namespace qv
