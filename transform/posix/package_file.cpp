// The package file on POSIX: a plain copy that keeps the original's permission bits, as
// CopyFileW keeps its attributes. The copy is often made as root in a shared folder, so a link
// or another account's file planted under its name is refused, never written through.
#include "transform/package_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/safe_file.h"

namespace qv {

namespace {

uint32_t ReportErrno() {
    const uint32_t code = ErrorFromErrno(errno);
    SetLastErrorCode(code);
    return code;
}

bool WriteAll(int descriptor, const char* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(descriptor, bytes, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

uint32_t CopyPackageFile(const STRING& from, const STRING& to) {
    FILE_DESCRIPTOR source(::open(STRING_A(from).Text(), O_RDONLY | O_CLOEXEC));
    if (!source.IsValid()) return ReportErrno();
    struct stat status {};
    if (::fstat(source.Get(), &status) != 0) return ReportErrno();
    const std::filesystem::path targetPath(STRING_A(to).Text());
    const std::filesystem::path folderPath = targetPath.has_parent_path() ? targetPath.parent_path() : ".";
    FILE_DESCRIPTOR folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsValid()) return ReportErrno();
    FILE_DESCRIPTOR target;
    const uint32_t opened = OpenFileSafely(folder.Get(), targetPath.filename().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                           status.st_mode & 07777, target);
    if (opened != ERR_SUCCESS) return opened;
    char buffer[65536];
    for (;;) {
        const ssize_t read = ::read(source.Get(), buffer, sizeof buffer);
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) return ReportErrno();
        if (read == 0) break;
        if (!WriteAll(target.Get(), buffer, static_cast<size_t>(read))) return ReportErrno();
    }
    if (::fsync(target.Get()) != 0) return ReportErrno();
    return ERR_SUCCESS;
}

void MakeFileWritable(const STRING& path) {
    const FILE_DESCRIPTOR file(::open(STRING_A(path).Text(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (file.IsValid() && ::fstat(file.Get(), &status) == 0) ::fchmod(file.Get(), (status.st_mode & 07777) | S_IWUSR);
}

}  // namespace qv
