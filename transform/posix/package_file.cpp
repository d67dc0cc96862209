// The package file on POSIX: a plain copy that keeps the original's permission bits, as
// CopyFileW keeps its attributes.
#include "transform/package_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/posix/file_descriptor.h"

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
    FILE_DESCRIPTOR target(
        ::open(STRING_A(to).Text(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, status.st_mode & 07777));
    if (!target.IsValid()) return ReportErrno();
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
    const STRING_A name(path);
    struct stat status {};
    if (::stat(name.Text(), &status) == 0) ::chmod(name.Text(), (status.st_mode & 07777) | S_IWUSR);
}

}  // namespace qv
