#include "transform/package_file.h"

#include "platform/last_error.h"
#include "platform/win32/win32.h"

namespace qv {

uint32_t CopyPackageFile(const STRING& from, const STRING& to) {
    if (CopyFileW(AsWide(from.Text()), AsWide(to.Text()), FALSE) != FALSE) return ERR_SUCCESS;
    const DWORD code = GetLastError();
    return code != ERROR_SUCCESS ? code : ERR_INTERNAL_ERROR;
}

void MakeFileWritable(const STRING& path) { SetFileAttributesW(AsWide(path.Text()), FILE_ATTRIBUTE_NORMAL); }

}  // namespace qv
