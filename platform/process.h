// What the program knows about its own process and where its diagnostics go: the path of the
// main program, environment variables, the debugger channel, standard output and the user's
// local application-data folder.
//
// The debugger channel is where a developer watches a running service without a console.
// On Windows that is the debugger output (OutputDebugStringW), or the kernel debugger through
// DbgPrintEx. POSIX has no debugger output, so both go to the system log (syslog, facility
// LOG_USER, priority LOG_DEBUG, ident "Quorvane"): it is always there for a daemon, it is
// where an administrator looks (journalctl -t Quorvane), and it costs nothing when nobody
// reads it.
#pragma once

#include <cstdint>

namespace qv {

class STRING;

// The full path of the main program. False (last-error value set) when the system has none.
bool GetProgramPath(STRING& path);

// False when the variable is not set (an empty value is set).
bool ReadEnvironmentVariable(const char16_t* name, STRING& value);
// A null value removes the variable. False (last-error value set) on failure.
bool WriteEnvironmentVariable(const char16_t* name, const char16_t* value);

// The debugger channel: one call per line, which the system keeps whole.
void WriteDebuggerText(const char16_t* text);
// The kernel debugger's print routine (UTF-8; component 77, level 0, format "%s").
void WriteKernelDebuggerText(const char* utf8);

// Standard output as UTF-8 (a Windows console gets the text through the console's own wide
// output, so every character shows whatever the console's code page). Without a standard
// output, as in a service, the text is dropped.
void WriteStandardOutput(const char16_t* text);

// A program without a standard output of its own (Windows' GUI subsystem, started from a
// console) takes over the console of the process that started it, so that what it writes
// shows there. Nothing to do on POSIX.
void UseParentConsole();

// True while a process with this identifier exists (also one this process may not open).
bool ProcessIsRunning(uint32_t processId);

// The user's local application-data folder, without a trailing separator: Windows
// CSIDL_LOCAL_APPDATA (or %LOCALAPPDATA%), POSIX $XDG_DATA_HOME or $HOME/.local/share.
// False when there is none.
bool GetLocalAppDataFolder(STRING& path);

}  // namespace qv
