// The logging library: every diagnostic line of the program goes through here. A message is
// formatted once and sent to up to three channels, the debugger channel, the console and the
// log file, as one 32-bit debug output mode selects. Process-wide state behind one lock.
#pragma once

#include <cstdint>

#include "base/format_arg.h"
#include "base/string.h"
#include "support/format.h"

namespace qv {

// Debug output mode flags.
constexpr uint32_t DBGOUT_DEBUGGER = 0x1;
constexpr uint32_t DBGOUT_LOG = 0x2;
constexpr uint32_t DBGOUT_OVERWRITE = 0x4;
constexpr uint32_t DBGOUT_RENAME = 0x8;
constexpr uint32_t DBGOUT_KERNEL = 0x10;
constexpr uint32_t DBGOUT_CONSOLE = 0x20;
constexpr uint32_t DBGOUT_VERBOSE = 0x100;
constexpr uint32_t DBGOUT_CUSTOM1 = 0x200;  // the service's "AD" category
constexpr uint32_t DBGOUT_CUSTOM2 = 0x400;  // the service's "TCP" category
constexpr uint32_t DBGOUT_CUSTOM3 = 0x800;
constexpr uint32_t DBGOUT_CUSTOM4 = 0x1000;
constexpr uint32_t DBGOUT_INTERNAL = 0x10000;
constexpr uint32_t DBGOUT_NO_TIME_STAMP = 0x40000;
constexpr uint32_t DBGOUT_CATEGORIES = 0x1F00;

// Message flags (they share the category bits with the mode).
constexpr uint32_t DBGOUT_HOLD = 0x1;
constexpr uint32_t DBGOUT_RAW = 0x4;
constexpr uint32_t DBGOUT_NO_NEWLINE = 0x8;
constexpr uint32_t DBGOUT_FORCE_DEBUGGER = 0x2000;
constexpr uint32_t DBGOUT_FORCE_LOG = 0x4000;

// --- messages --------------------------------------------------------------------------------

void DebugLogArgs(uint32_t flags, const char16_t* format, FORMAT_ARGS args);
void DebugLogArgsA(uint32_t flags, const char* format, FORMAT_ARGS args);
void DebugLogText(const char16_t* text);
void DebugLogTextEx(uint32_t flags, const char16_t* text);
// Writes the calling thread's held messages; with blankLine, then an empty line on each channel.
void DebugLogFlush(bool blankLine);
void DebuggerPrintArgs(const char16_t* format, FORMAT_ARGS args);
void DebuggerPrintPlainArgs(const char16_t* format, FORMAT_ARGS args);

// Hands each message the calling thread writes outside the categories (Verbose, AD, TCP) to
// 'observer' as well, as formatted and whatever channels the mode has; null stops it. A dry
// run shows with it the line in which a handler said why it passed a record over.
using MESSAGE_OBSERVER = void (*)(void* context, const STRING& text);
void ObserveThreadMessages(MESSAGE_OBSERVER observer, void* context);

// A LOG_FUNCTION (see thread_group.h) that writes with flags 0.
void DebugLogFunction(const char16_t* format, FORMAT_ARGS args);

template <typename... ARGS>
void DebugLog(const char16_t* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    DebugLogArgs(0, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

template <typename... ARGS>
void DebugLogEx(uint32_t flags, const char16_t* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    DebugLogArgs(flags, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

template <typename... ARGS>
void DebugLogA(const char* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    DebugLogArgsA(0, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

template <typename... ARGS>
void DebugLogExA(uint32_t flags, const char* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    DebugLogArgsA(flags, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

// To the debugger channel only, whatever the mode, with time stamp and prefix.
template <typename... ARGS>
void DebuggerPrint(const char16_t* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    DebuggerPrintArgs(format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

// To the debugger channel only, unchanged: no time stamp, prefix or terminator, no lock.
template <typename... ARGS>
void DebuggerPrintPlain(const char16_t* format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    DebuggerPrintPlainArgs(format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

// --- configuration ---------------------------------------------------------------------------

void SetDebugOutputMode(uint32_t mode);
uint32_t GetDebugOutputMode();
bool GetDebugOutputVerbose();
void SetDebugOutputPrefix(const char16_t* prefix);
// which: 1 or 2; must come before the mode is first turned into text.
void SetDebugOutputCustomName(uint32_t which, const char16_t* name);

// One part of a log path: a text, or one of the small codes.
struct LOG_PATH_PART {
    LOG_PATH_PART(const char16_t* text) : Text(text) {}
    LOG_PATH_PART(uint32_t code) : Code(code) {}
    const char16_t* Text = nullptr;
    uint32_t Code = 0;
};
constexpr uint32_t LOG_PATH_DEFAULT = 0;
constexpr uint32_t LOG_PATH_UNCHANGED = 1;
constexpr uint32_t LOG_PATH_PROGRAM = 2;
constexpr uint32_t LOG_PATH_PROGRAM_STEM = 3;
constexpr uint32_t LOG_PATH_LOCAL_APP_DATA = 4;

bool SetLogPath(LOG_PATH_PART directory, LOG_PATH_PART name, LOG_PATH_PART extension);
STRING GetLogPath();
void SetLogRenameSchedule(uint32_t hour, uint32_t days);
void StopLogRenameThread();

// Writes every thread's held messages, stops the rename thread, closes the file; nothing is
// written afterwards. Runs by itself at process end; callable earlier.
void ShutdownDebugLog();

// --- modes -----------------------------------------------------------------------------------

bool ParseDebugOutputKeyword(const char16_t* keyword, uint32_t& flags);
STRING DebugOutputModeToText(uint32_t mode);
void LogDebugOutputMode(uint32_t mode, const char16_t* source, const char16_t* valueName);
void LogArguments(const char16_t* const* arguments, uint32_t count);
uint32_t GetEnvironmentNumber(const char16_t* name);

}  // namespace qv
