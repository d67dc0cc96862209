// The file operations the logging library needs, with Win32 error codes on every platform
// (0 on success; the code is also left as the thread's last-error value on failure).
//
// Paths are UTF-16 in the platform's own form: backslashes on Windows, "/" on POSIX (where
// the text is handed to the system as UTF-8). Code that splits or joins paths accepts both
// separators and appends NATIVE_PATH_SEPARATOR when it has to add one.
#pragma once

#include <cstdint>

#include "base/types.h"

namespace qv {

#if defined(_WIN32)
constexpr char16_t NATIVE_PATH_SEPARATOR = u'\\';
#else
constexpr char16_t NATIVE_PATH_SEPARATOR = u'/';
#endif

inline bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// How FILE_HANDLE::Open treats a file that is already there.
enum class FILE_CREATION : uint32_t {
    NEW_ONLY,  // create; fails with ERR_FILE_EXISTS (80) when the file exists
    REPLACE,   // create, or empty the existing file
    APPEND,    // open the existing file, or create it when missing
};

// An open file for appending writes. Every write goes to the end of the file, even when
// other processes write to it too; the file stays readable and writable for them; each
// write reaches the disk before it returns (Win32 write-through, POSIX O_DSYNC). On POSIX the
// file is never reached through a symbolic link and is written only as a regular file with one
// name whose owner is trusted, else refused with its own error code (platform/posix/safe_file.h);
// a new file is made readable by its owner and group only.
class FILE_HANDLE {
public:
    FILE_HANDLE() = default;
    FILE_HANDLE(const FILE_HANDLE&) = delete;
    FILE_HANDLE& operator=(const FILE_HANDLE&) = delete;
    FILE_HANDLE(FILE_HANDLE&& other) noexcept;
    FILE_HANDLE& operator=(FILE_HANDLE&& other) noexcept;
    ~FILE_HANDLE() { Close(); }

    // Closes what was open first. 'existed', when given, says whether the file was there
    // before (meaningful on success only).
    uint32_t Open(const char16_t* path, FILE_CREATION creation, bool* existed = nullptr);
    // The whole block in one system write, so lines from several writers never mix.
    uint32_t Write(const void* data, uint32_t size);
    bool IsOpen() const { return Handle != NO_NATIVE_HANDLE; }
    void Close();

private:
    NATIVE_HANDLE Handle = NO_NATIVE_HANDLE;
};

// Moves (renames) a file, never replacing one: ERR_ALREADY_EXISTS (183) when 'to' exists,
// as the system's MoveFileEx says it.
uint32_t MovePathNoReplace(const char16_t* from, const char16_t* to);
uint32_t RemoveFile(const char16_t* path);

enum class PATH_KIND : uint32_t {
    MISSING,        // nothing there, or nothing that can be looked at
    NOT_DIRECTORY,  // a file (or device) is there
    DIRECTORY,
};
PATH_KIND GetPathKind(const char16_t* path);

// Creates one directory (its parent must exist); ERR_ALREADY_EXISTS (183) when the name is
// already taken.
uint32_t MakeDirectory(const char16_t* path);

}  // namespace qv
