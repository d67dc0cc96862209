// File operations on POSIX. Paths arrive as UTF-16 and go to the system as UTF-8.
//
// The Win32 behaviour the rest of the program expects is rebuilt from plain calls:
//   - a file is opened inside its folder with OpenFileSafely (safe_file.h): never through a
//     symbolic link, only a regular file with one name whose owner we trust, and "opened or
//     created" decided without a race;
//   - appending writes that reach the disk are O_APPEND | O_DSYNC;
//   - a move that never replaces is renameat2(RENAME_NOREPLACE), and where the file system
//     does not offer that, link() + unlink(), which fails the same way when the target exists.
#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/safe_file.h"

namespace qv {

namespace {

// A log names users and their addresses: readable by its owner and group only (and narrowed
// further by the process's umask). Folders get the usual permissions.
constexpr mode_t NEW_FILE_MODE = 0640;
constexpr mode_t NEW_DIRECTORY_MODE = 0777;

uint32_t Report(uint32_t code) {
    if (code != ERR_SUCCESS) SetLastErrorCode(code);
    return code;
}

uint32_t ReportErrno(int error) { return Report(ErrorFromErrno(error)); }

// When a name is being created, ENOENT can only mean a missing folder on the way, which
// Windows calls "path not found".
uint32_t ReportCreationErrno(int error) { return Report(error == ENOENT ? ERR_PATH_NOT_FOUND : ErrorFromErrno(error)); }

// The folder part of a path ("." for a bare name, "/" for a name at the root) and its last
// component.
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
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
    const STRING_A utf8(path);
    std::string folderPath;
    std::string name;
    SplitPath(std::string(utf8.Text(), utf8.Length()), folderPath, name);
    if (name.empty()) return Report(ERR_ACCESS_DENIED);  // a folder, as Windows says it

    // O_PATH: finding a name in the folder needs the right to search it, not to read it.
    const FILE_DESCRIPTOR folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsValid()) return ReportCreationErrno(errno == ENOTDIR ? ENOENT : errno);

    int flags = O_WRONLY | O_APPEND | O_DSYNC | O_CREAT;
    if (creation == FILE_CREATION::NEW_ONLY) flags |= O_EXCL;
    if (creation == FILE_CREATION::REPLACE) flags |= O_TRUNC;
    FILE_DESCRIPTOR file;
    bool created = false;
    if (const uint32_t code = OpenFileSafely(folder.Get(), name.c_str(), flags, NEW_FILE_MODE, file, &created)) {
        return Report(code);
    }
    Handle = file.Release();
    if (existed != nullptr) *existed = !created;
    return ERR_SUCCESS;
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
