// The debug output mode as people see it: the command-line keywords that set it, its text in
// the log ("Log, Overwrite existing, Verbose"), the line that says where it came from, and the
// numbers read from environment variables.
#include <mutex>

#include "platform/process.h"
#include "support/debug_log.h"
#include "support/debug_log_internal.h"
#include "support/format.h"

namespace qv {

namespace {

using LOCK = std::lock_guard<std::recursive_mutex>;

struct MODE_NAME {
    uint32_t Flag;
    const char16_t* Name;
    int Custom;  // index into the custom names, or -1
};

// The order in which a mode is spelled out.
constexpr MODE_NAME MODE_NAMES[] = {
    {DBGOUT_DEBUGGER, u"Debugger", -1},
    {DBGOUT_KERNEL, u"Kernel", -1},
    {DBGOUT_LOG, u"Log", -1},
    {DBGOUT_OVERWRITE, u"Overwrite existing", -1},
    {DBGOUT_RENAME, u"Rename existing", -1},
    {DBGOUT_VERBOSE, u"Verbose", -1},
    {DBGOUT_CUSTOM1, nullptr, 0},
    {DBGOUT_CUSTOM2, nullptr, 1},
    {DBGOUT_CUSTOM3, u"Custom3", -1},
    {DBGOUT_CUSTOM4, u"Custom4", -1},
    {DBGOUT_INTERNAL, u"Internal", -1},
    {DBGOUT_CONSOLE, u"Console", -1},
    {DBGOUT_NO_TIME_STAMP, u"No time stamp", -1},
};

struct KEYWORD {
    const char16_t* Text;
    uint32_t Flags;
};

constexpr KEYWORD KEYWORDS[] = {
    {u"D", DBGOUT_DEBUGGER},
    {u"L", DBGOUT_LOG},
    {u"O", DBGOUT_LOG | DBGOUT_OVERWRITE},
    {u"R", DBGOUT_LOG | DBGOUT_RENAME},
    {u"V", DBGOUT_VERBOSE},
    {u"KD", DBGOUT_DEBUGGER | DBGOUT_KERNEL},
    {u"NO_TIME_STAMP", DBGOUT_NO_TIME_STAMP},
    {u"INTERNAL", DBGOUT_INTERNAL},
};

// The keywords are plain ASCII, so ASCII folding is the whole comparison.
bool EqualsAsciiIgnoringCase(const char16_t* left, const char16_t* right) {
    for (;; ++left, ++right) {
        char16_t a = *left;
        char16_t b = *right;
        if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - u'a' + u'A');
        if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - u'a' + u'A');
        if (a != b) return false;
        if (a == 0) return true;
    }
}

bool ParseNumber(const STRING& value, uint32_t& number) {
    const char16_t* units = value.Text();
    const uint32_t length = value.Length();
    uint32_t base = 10;
    uint32_t start = 0;
    if (length >= 2 && units[0] == u'0' && (units[1] == u'x' || units[1] == u'X')) {
        base = 16;
        start = 2;
    }
    if (start == length) return false;
    uint64_t total = 0;
    for (uint32_t i = start; i < length; ++i) {
        const char16_t c = units[i];
        uint32_t digit = 0;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (base == 16 && c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else if (base == 16 && c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        } else {
            return false;
        }
        total = total * base + digit;
        if (total > 0xFFFFFFFFull) return false;
    }
    number = static_cast<uint32_t>(total);
    return true;
}

}  // namespace

void SetDebugOutputCustomName(uint32_t which, const char16_t* name) {
    if (which < 1 || which > 2) return;
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    // The mode-to-text table took the names at its first use and keeps them.
    if (state.NamesFixed) return;
    state.CustomNames[which - 1].Assign(name != nullptr ? name : DEFAULT_CUSTOM_NAMES[which - 1]);
}

bool ParseDebugOutputKeyword(const char16_t* keyword, uint32_t& flags) {
    if (keyword == nullptr) return false;
    for (const KEYWORD& entry : KEYWORDS) {
        if (EqualsAsciiIgnoringCase(keyword, entry.Text)) {
            flags = entry.Flags;
            return true;
        }
    }
    return false;
}

STRING DebugOutputModeToText(uint32_t mode) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    state.NamesFixed = true;
    STRING text;
    for (const MODE_NAME& entry : MODE_NAMES) {
        if ((mode & entry.Flag) != entry.Flag) continue;
        if (!text.IsEmpty()) AppendText(text, u", ");
        if (entry.Custom >= 0) {
            AppendText(text, state.CustomNames[entry.Custom]);
        } else {
            AppendText(text, entry.Name);
        }
    }
    if (text.IsEmpty()) text.Assign(u"None");
    return text;
}

void LogDebugOutputMode(uint32_t mode, const char16_t* source, const char16_t* valueName) {
    if (mode == 0) return;
    const char16_t* from = source != nullptr ? source : u"defaults";
    const STRING text = DebugOutputModeToText(mode);
    if (valueName != nullptr) {
        DebugLogEx(DBGOUT_FORCE_DEBUGGER, u"Debug output mode (from %s = \"%s\") = %s ", from, valueName, text);
    } else {
        DebugLogEx(DBGOUT_FORCE_DEBUGGER, u"Debug output mode (from %s) = %s", from, text);
    }
}

void LogArguments(const char16_t* const* arguments, uint32_t count) {
    if (arguments == nullptr) return;
    for (uint32_t i = 0; i < count; ++i) DebugLogEx(DBGOUT_VERBOSE, u"Argument[%u] = \"%s\"", i, arguments[i]);
}

uint32_t GetEnvironmentNumber(const char16_t* name) {
    STRING value;
    if (!ReadEnvironmentVariable(name, value)) return 0;
    uint32_t number = 0;
    return ParseNumber(value, number) ? number : 0;
}

}  // namespace qv
