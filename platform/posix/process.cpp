// The process on POSIX: /proc for the program's path, the C library's environment, syslog
// as the debugger channel (see process.h for why), file descriptor 1 as standard output and
// the XDG base directories for the local application data.
#include "platform/process.h"

#include <pwd.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"

namespace qv {

namespace {

constexpr uint32_t FIRST_PATH_BUFFER = 256;
constexpr uint32_t LARGEST_PATH_BUFFER = 1u << 20;

// A syslog record is one line by nature; the line breaks that end a debugger line would only
// show up as escapes ("#012") in the record, and a blank line would be an empty record.
void SendToSystemLog(const char* text, uint32_t length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    if (length == 0) return;
    // openlog once, and only for the ident: the connection itself is made by the first record.
    static const bool opened = [] {
        openlog("Quorvane", LOG_PID, LOG_USER);
        return true;
    }();
    (void)opened;
    syslog(LOG_USER | LOG_DEBUG, "%.*s", static_cast<int>(length), text);
}

void AppendText(STRING& target, const char16_t* text) {
    const uint32_t old = target.Length();
    const uint32_t add = TextLength(text);
    target.GrowBy(add);
    char16_t* buffer = target.Buffer();
    for (uint32_t i = 0; i < add; ++i) buffer[old + i] = text[i];
}

void DropTrailingSeparators(STRING& path) {
    // Keeps "/" itself.
    while (path.Length() > 1 && path.LastUnit() == u'/') path.ShortenBy(1);
}

}  // namespace

bool GetProgramPath(STRING& path) {
    for (uint32_t size = FIRST_PATH_BUFFER; size <= LARGEST_PATH_BUFFER; size *= 2) {
        STRING_A buffer(size);
        const ssize_t length = ::readlink("/proc/self/exe", buffer.Buffer(), size);
        if (length < 0) {
            SetLastErrorCode(ErrorFromErrno(errno));
            return false;
        }
        // readlink does not say when it cut the path short; a full buffer may have been cut.
        if (static_cast<uint32_t>(length) < size) {
            buffer.SetLength(static_cast<uint32_t>(length));
            path = STRING(buffer);
            return true;
        }
    }
    SetLastErrorCode(ERR_FILENAME_EXCED_RANGE);
    return false;
}

bool ReadEnvironmentVariable(const char16_t* name, STRING& value) {
    value.Clear();
    if (name == nullptr || *name == 0) return false;
    const char* text = ::getenv(STRING_A(name).Text());
    if (text == nullptr) return false;
    value = STRING(text);
    return true;
}

bool WriteEnvironmentVariable(const char16_t* name, const char16_t* value) {
    if (name == nullptr || *name == 0) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    const STRING_A narrowName(name);
    const int result =
        value == nullptr ? ::unsetenv(narrowName.Text()) : ::setenv(narrowName.Text(), STRING_A(value).Text(), 1);
    if (result == 0) return true;
    SetLastErrorCode(ErrorFromErrno(errno));
    return false;
}

void WriteDebuggerText(const char16_t* text) {
    if (text == nullptr) return;
    const STRING_A line(text);
    SendToSystemLog(line.Text(), line.Length());
}

// The kernel debugger of a Windows machine has no POSIX counterpart either; the same record.
void WriteKernelDebuggerText(const char* utf8) {
    if (utf8 == nullptr) return;
    SendToSystemLog(utf8, TextLength(utf8));
}

void WriteStandardOutput(const char16_t* text) {
    if (text == nullptr || *text == 0) return;
    const STRING_A bytes(text);
    const char* next = bytes.Text();
    uint32_t left = bytes.Length();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, next, left);
        if (written < 0 && errno == EINTR) continue;
        // No standard output, or one that went away: the console channel is best effort.
        if (written <= 0) return;
        next += written;
        left -= static_cast<uint32_t>(written);
    }
}

void UseParentConsole() {}

bool ProcessIsRunning(uint32_t processId) {
    if (processId == 0 || processId > 0x7FFFFFFFu) return false;
    // EPERM: it exists, as another user's process.
    return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

bool GetLocalAppDataFolder(STRING& path) {
    path.Clear();
    // The XDG rules: a relative $XDG_DATA_HOME is to be ignored.
    STRING value;
    if (ReadEnvironmentVariable(u"XDG_DATA_HOME", value) && value.Length() > 0 && value.Text()[0] == u'/') {
        path = value;
        DropTrailingSeparators(path);
        return true;
    }
    STRING home;
    if (!ReadEnvironmentVariable(u"HOME", home) || home.IsEmpty()) {
        // Daemons often start without $HOME; the account database still knows the folder.
        passwd entry{};
        passwd* found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::getuid(), &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr ||
            found->pw_dir == nullptr || found->pw_dir[0] != '/') {
            SetLastErrorCode(ERR_PATH_NOT_FOUND);
            return false;
        }
        home = STRING(found->pw_dir);
    }
    path = home;
    DropTrailingSeparators(path);
    if (path.LastUnit() != u'/') AppendText(path, u"/");
    AppendText(path, u".local/share");
    return true;
}

}  // namespace qv
