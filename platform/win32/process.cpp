// The process on Windows. Everything here is a direct Win32 call, except the kernel debugger's
// print routine, which ntdll.dll exports without an import library: it is looked up by name
// once, at start.
#include "platform/process.h"

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"
#include "platform/win32/win32.h"

#include <shlobj.h>

namespace qv {

namespace {

constexpr DWORD FIRST_MODULE_PATH_BUFFER = MAX_PATH;
constexpr DWORD MODULE_PATH_GROWTH = 128;
// The longest path the system handles (32,767 units) plus room for the terminator.
constexpr DWORD LARGEST_PATH_BUFFER = 32768;

constexpr ULONG DEBUG_PRINT_COMPONENT = 77;  // DPFLTR_IHVDRIVER_ID: shown by default filters
constexpr ULONG DEBUG_PRINT_LEVEL = 0;       // DPFLTR_ERROR_LEVEL

using DBG_PRINT_EX = ULONG(__cdecl*)(ULONG componentId, ULONG level, PCSTR format, ...);

DBG_PRINT_EX FindDbgPrintEx() {
    static const DBG_PRINT_EX routine = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) return static_cast<DBG_PRINT_EX>(nullptr);
        // Through void*: the exported address has no useful type of its own.
        return reinterpret_cast<DBG_PRINT_EX>(reinterpret_cast<void*>(GetProcAddress(ntdll, "DbgPrintEx")));
    }();
    return routine;
}

// The lookup happens while the program starts, not in the middle of its first kernel print.
const DBG_PRINT_EX LookedUpAtStart = FindDbgPrintEx();

void DropTrailingSeparators(STRING& path) {
    while (path.Length() > 1 && (path.LastUnit() == u'\\' || path.LastUnit() == u'/')) path.ShortenBy(1);
}

}  // namespace

bool GetProgramPath(STRING& path) {
    // The system cuts the path short without always saying so; a full buffer means "try a
    // larger one".
    for (DWORD size = FIRST_MODULE_PATH_BUFFER; size <= LARGEST_PATH_BUFFER; size += MODULE_PATH_GROWTH) {
        STRING buffer(static_cast<uint32_t>(size));
        const DWORD length = GetModuleFileNameW(nullptr, AsWide(buffer.Buffer()), size);
        if (length == 0) {
            if (GetLastError() == ERROR_SUCCESS) SetLastErrorCode(ERR_INTERNAL_ERROR);
            return false;
        }
        if (length < size) {
            buffer.SetLength(length);
            path = static_cast<STRING&&>(buffer);
            return true;
        }
    }
    SetLastErrorCode(ERR_FILENAME_EXCED_RANGE);
    return false;
}

bool ReadEnvironmentVariable(const char16_t* name, STRING& value) {
    value.Clear();
    if (name == nullptr || *name == 0) return false;
    DWORD size = GetEnvironmentVariableW(AsWide(name), nullptr, 0);
    // The value may change between the calls; go round until it fits.
    while (size != 0) {
        STRING buffer(static_cast<uint32_t>(size));
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(AsWide(name), AsWide(buffer.Buffer()), size);
        if (length < size) {
            // 0 is an empty value, unless the variable went away in between.
            if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
            buffer.SetLength(length);
            value = static_cast<STRING&&>(buffer);
            return true;
        }
        size = length;
    }
    return false;
}

bool WriteEnvironmentVariable(const char16_t* name, const char16_t* value) {
    if (name == nullptr || *name == 0) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    return SetEnvironmentVariableW(AsWide(name), value != nullptr ? AsWide(value) : nullptr) != FALSE;
}

void WriteDebuggerText(const char16_t* text) {
    if (text != nullptr) OutputDebugStringW(AsWide(text));
}

void WriteKernelDebuggerText(const char* utf8) {
    if (utf8 == nullptr) return;
    const DBG_PRINT_EX routine = LookedUpAtStart != nullptr ? LookedUpAtStart : FindDbgPrintEx();
    if (routine != nullptr) {
        // The text goes as an argument, never as the format: it may hold '%'.
        routine(DEBUG_PRINT_COMPONENT, DEBUG_PRINT_LEVEL, "%s", utf8);
    } else {
        OutputDebugStringW(AsWide(STRING(utf8).Text()));
    }
}

void WriteStandardOutput(const char16_t* text) {
    if (text == nullptr || *text == 0) return;
    // A service, or a program of the GUI subsystem, may have no standard output at all.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    const uint32_t length = TextLength(text);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode) != FALSE) {
        const char16_t* next = text;
        uint32_t left = length;
        while (left > 0) {
            DWORD written = 0;
            if (WriteConsoleW(output, next, left, &written, nullptr) == FALSE || written == 0) return;
            next += written;
            left -= written;
        }
        return;
    }
    // A pipe or a file: UTF-8 bytes.
    const STRING_A bytes(text, length);
    const char* next = bytes.Text();
    uint32_t left = bytes.Length();
    while (left > 0) {
        DWORD written = 0;
        if (WriteFile(output, next, left, &written, nullptr) == FALSE || written == 0) return;
        next += written;
        left -= written;
    }
}

void UseParentConsole() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) return;
    if (AttachConsole(ATTACH_PARENT_PROCESS) == FALSE) return;
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) SetStdHandle(STD_OUTPUT_HANDLE, console);
}

bool ProcessIsRunning(uint32_t processId) {
    if (processId == 0) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    // Access denied: it exists, as a process of another account.
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD exitCode = 0;
    const bool running = GetExitCodeProcess(process, &exitCode) != FALSE && exitCode == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

bool GetLocalAppDataFolder(STRING& path) {
    path.Clear();
    STRING buffer(static_cast<uint32_t>(MAX_PATH));
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                   AsWide(buffer.Buffer())))) {
        path.Assign(buffer.Text());
    } else if (!ReadEnvironmentVariable(u"LOCALAPPDATA", path) || path.IsEmpty()) {
        path.Clear();
        SetLastErrorCode(ERR_PATH_NOT_FOUND);
        return false;
    }
    DropTrailingSeparators(path);
    return !path.IsEmpty();
}

}  // namespace qv
