// File operations on Windows: thin wrappers over the wide Win32 calls, so that the codes the
// system gives reach the caller unchanged.
#include "platform/files.h"

#include <utility>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/win32/win32.h"

namespace qv {

namespace {

uint32_t Report(uint32_t code) {
    if (code != ERR_SUCCESS) SetLastErrorCode(code);
    return code;
}

uint32_t ReportLastError() {
    const DWORD code = GetLastError();
    // A failed call always has a reason; make sure the caller never reads "success".
    return Report(code != ERROR_SUCCESS ? code : ERR_INTERNAL_ERROR);
}

bool IsEmpty(const char16_t* path) { return path == nullptr || *path == 0; }

}  // namespace


uint32_t FILE_HANDLE::Open(const char16_t* path, FILE_CREATION creation, bool* existed) {
    Close();
    if (IsEmpty(path)) return Report(ERR_PATH_NOT_FOUND);
    DWORD disposition = OPEN_ALWAYS;
    if (creation == FILE_CREATION::NEW_ONLY) disposition = CREATE_NEW;
    if (creation == FILE_CREATION::REPLACE) disposition = CREATE_ALWAYS;
    // Append access without write access: every write goes to the end of the file, whoever
    // else writes to it. Emptying an existing file on CREATE_ALWAYS is part of the open itself
    // and needs no write access of ours.
    HANDLE handle = CreateFileW(AsWide(path), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ReportLastError();
    // CREATE_ALWAYS and OPEN_ALWAYS succeed with ERROR_ALREADY_EXISTS when the file was there.
    const bool wasThere = creation != FILE_CREATION::NEW_ONLY && GetLastError() == ERROR_ALREADY_EXISTS;
    Handle = handle;
    if (existed != nullptr) *existed = wasThere;
    return ERR_SUCCESS;
}

uint32_t FILE_HANDLE::Write(const void* data, uint32_t size) {
    if (!IsOpen()) return Report(ERR_INVALID_HANDLE);
    const auto* bytes = static_cast<const BYTE*>(data);
    uint32_t left = size;
    do {
        DWORD written = 0;
        if (WriteFile(AsHandle(Handle), bytes, left, &written, nullptr) == FALSE) return ReportLastError();
        if (written == 0 && left > 0) return Report(ERR_DISK_FULL);
        bytes += written;
        left -= written;
    } while (left > 0);
    return ERR_SUCCESS;
}

void FILE_HANDLE::Close() {
    if (Handle != NO_NATIVE_HANDLE) {
        CloseHandle(AsHandle(Handle));
        Handle = NO_NATIVE_HANDLE;
    }
}

uint32_t MovePathNoReplace(const char16_t* from, const char16_t* to) {
    if (IsEmpty(from) || IsEmpty(to)) return Report(ERR_PATH_NOT_FOUND);
    // No MOVEFILE_REPLACE_EXISTING: the system refuses to replace the target.
    if (MoveFileExW(AsWide(from), AsWide(to), 0) != FALSE) return ERR_SUCCESS;
    const DWORD code = GetLastError();
    // Some file systems (and Wine) say "the file exists" instead; one answer for callers.
    if (code == ERROR_FILE_EXISTS) return Report(ERR_ALREADY_EXISTS);
    return ReportLastError();
}

uint32_t RemoveFile(const char16_t* path) {
    if (IsEmpty(path)) return Report(ERR_PATH_NOT_FOUND);
    if (DeleteFileW(AsWide(path)) != FALSE) return ERR_SUCCESS;
    return ReportLastError();
}

PATH_KIND GetPathKind(const char16_t* path) {
    if (IsEmpty(path)) return PATH_KIND::MISSING;
    const DWORD attributes = GetFileAttributesW(AsWide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_KIND::MISSING;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PATH_KIND::DIRECTORY : PATH_KIND::NOT_DIRECTORY;
}

uint32_t MakeDirectory(const char16_t* path) {
    if (IsEmpty(path)) return Report(ERR_PATH_NOT_FOUND);
    if (CreateDirectoryW(AsWide(path), nullptr) != FALSE) return ERR_SUCCESS;
    return ReportLastError();
}

}  // namespace qv
