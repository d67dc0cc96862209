#include "service/command_line.h"

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "platform/registry_values.h"
#include "platform/system_text.h"
#include "support/debug_log.h"

namespace qv {

namespace {

constexpr const char16_t* DEBUG_OUTPUT_VALUE = u"DebugOutput";
constexpr const char16_t* ENVIRONMENT_VARIABLE = u"Quorvane";

bool Is(const char16_t* name, const char16_t* switchName) { return EqualsIgnoringCase(STRING(name), switchName); }

// A bad switch is quoted by its name, without the prefix; a bad value by the value itself.

// The value of a switch that takes one: the next argument, verbatim. Null when there is none.
const char16_t* TakeValue(const char16_t* const*& argument, const char16_t* const* end) {
    if (argument + 1 >= end) return nullptr;
    return *++argument;
}

}  // namespace

STRING SettingsKeyFullPath(const char16_t* subkey) {
    STRING path;
    if (subkey == nullptr) FormatString(path, u"%s\\%s", SETTINGS_ROOT_NAME, SETTINGS_KEY_PATH);
    else FormatString(path, u"%s\\%s\\%s", SETTINGS_ROOT_NAME, SETTINGS_KEY_PATH, subkey);
    return path;
}

COMMAND_LINE& CommandLine() {
    static COMMAND_LINE line;
    return line;
}

const char16_t* ParseCommandLine(COMMAND_LINE& line, const char16_t* const* arguments, uint32_t count) {
    line.Arguments = arguments;
    line.ArgumentsEnd = arguments + count;
    line.CommandLineMode = 0;
    const char16_t* const* end = line.ArgumentsEnd;
    for (const char16_t* const* argument = arguments + (count > 0 ? 1 : 0); argument < end; ++argument) {
        const char16_t* text = *argument;
        if (text == nullptr || (text[0] != u'-' && text[0] != u'/')) return text != nullptr ? text : u"";
        const char16_t* name = text + 1;

        uint32_t flags = 0;
        if (ParseDebugOutputKeyword(name, flags)) {
            line.CommandLineMode |= flags;
        } else if (Is(name, u"C")) {
            line.ClearSavedMode = true;
        } else if (Is(name, u"BREAK")) {
            line.Break = true;
        } else if (Is(name, u"TCP")) {
            line.CommandLineMode |= DBGOUT_CUSTOM2;
        } else if (Is(name, u"AD")) {
            line.CommandLineMode |= DBGOUT_CUSTOM1;
        } else if (Is(name, u"A")) {
            line.Application = true;
        } else if (Is(name, u"X")) {
            line.ConfigureOnly = true;
        } else if (Is(name, u"DUMP_NON_PERTINENT")) {
            line.DumpNonPertinent = true;
        } else if (Is(name, u"DUMP_PERTINENT")) {
            line.DumpPertinent = true;
        } else if (Is(name, u"DUMP_ALL")) {
            line.DumpPertinent = line.DumpNonPertinent = true;
        } else if (Is(name, u"MINI_DUMP")) {
            line.MiniDump = true;
        } else if (Is(name, u"USER_NAME")) {
            if ((line.UserName = TakeValue(argument, end)) == nullptr) return name;
        } else if (Is(name, u"COMPUTER_NAME")) {
            if ((line.ComputerName = TakeValue(argument, end)) == nullptr) return name;
        } else if (Is(name, u"AD_SERVER")) {
            if ((line.AdServer = TakeValue(argument, end)) == nullptr) return name;
        } else if (Is(name, u"SERVER")) {
            const char16_t* value = TakeValue(argument, end);
            if (value == nullptr) return name;
            if (value[0] == 0) return value;
            line.Server = value;
        } else if (Is(name, u"PROTOCOL")) {
            const char16_t* value = TakeValue(argument, end);
            if (value == nullptr) {
                // Named last without a value: automatic, and nothing follows to parse.
                line.Protocol = PROTOCOL_AUTOMATIC;
                return nullptr;
            }
            if (Is(value, u"AUTO")) line.Protocol = PROTOCOL_AUTOMATIC;
            else if (Is(value, u"TCPS")) line.Protocol = PROTOCOL_SECURE_TCP;
            else if (Is(value, u"TCP")) line.Protocol = PROTOCOL_TCP;
            else return value;
        } else if (Is(name, u"IGNORE_USERS")) {
            if ((line.IgnoreUsers = TakeValue(argument, end)) == nullptr) return name;
        } else if (Is(name, u"INCLUDE_NETWORKS")) {
            if ((line.IncludeNetworks = TakeValue(argument, end)) == nullptr) return name;
        } else if (Is(name, u"EXCLUDE_NETWORKS")) {
            if ((line.ExcludeNetworks = TakeValue(argument, end)) == nullptr) return name;
        } else if (Is(name, u"REPLAY")) {
            const char16_t* value = TakeValue(argument, end);
            if (value == nullptr) return name;
            if (value[0] == 0) return value;
            line.ReplayFile = value;
        } else if (Is(name, u"REPORT_IDENTITY")) {
            line.ReportMode = line.ReportIdentity = true;
        } else if (Is(name, u"REPORT_HEARTBEAT")) {
            line.ReportMode = line.ReportIdentity = line.ReportHeartbeat = true;
        } else if (Is(name, u"REPORT_LOGOFF")) {
            line.ReportMode = line.ReportIdentity = line.ReportLogoff = true;
        } else if (Is(name, u"STATUS")) {
            line.Status = true;
        } else {
            return name;
        }
    }
    return nullptr;
}

void ReadDebugOutputSources(COMMAND_LINE& line) {
    line.EnvironmentMode = GetEnvironmentNumber(ENVIRONMENT_VARIABLE);

    REGISTRY_KEY key;
    uint32_t code = key.Open(SETTINGS_KEY_PATH, false);
    if (code != ERR_SUCCESS) {
        DebuggerPrintPlain(u"Unable to open registry key \"%s\".\n    %s. Error code = %lu.\n\n", SettingsKeyFullPath(),
                           GetErrorText(code), code);
        return;
    }
    uint32_t mode = 0;
    if (ReadRegistryDword(key, DEBUG_OUTPUT_VALUE, mode)) {
        line.RegistryMode = mode;
        return;
    }
    code = GetLastErrorCode();
    if (code != ERR_FILE_NOT_FOUND) {
        DebuggerPrintPlain(u"Unable to read registry value = \"%s\". \n    %s. Error code = %lu.\n\n",
                           DEBUG_OUTPUT_VALUE, GetErrorText(code), code);
    }
}

namespace {

struct CHOSEN_MODE {
    uint32_t Mode = 0;
    const char16_t* Source = nullptr;  // null: the defaults
    const char16_t* Name = nullptr;
};

// The first of the given sources that names a mode, with a log destination filled in: by
// default the log file is on and starts afresh at each run (only the first opening of the
// file replaces it, so a mode chosen later never truncates the running log).
CHOSEN_MODE ChooseMode(uint32_t commandLineMode, uint32_t registryMode, uint32_t environmentMode) {
    CHOSEN_MODE chosen;
    if (commandLineMode != 0) {
        chosen = {commandLineMode, u"command line", nullptr};
    } else if (registryMode != 0) {
        chosen = {registryMode, u"registry value", DEBUG_OUTPUT_VALUE};
    } else if (environmentMode != 0) {
        chosen = {environmentMode, u"environment variable", ENVIRONMENT_VARIABLE};
    }
    if ((chosen.Mode & (DBGOUT_LOG | DBGOUT_OVERWRITE | DBGOUT_RENAME)) == 0) chosen.Mode |= DBGOUT_LOG | DBGOUT_OVERWRITE;
    return chosen;
}

}  // namespace

void ApplyDebugOutputMode(const COMMAND_LINE& line) {
    const CHOSEN_MODE chosen = ChooseMode(line.CommandLineMode, line.RegistryMode, line.EnvironmentMode);
    SetLogRenameSchedule(0, 1);
    SetDebugOutputMode(chosen.Mode);
    // A dry run keeps its own log, so that it never overwrites the running service's.
    const char16_t* logName = line.ReplayFile != nullptr ? u"QuorvaneReplay" : u"Quorvane";
#if defined(QV_LOG_FOLDER)
    // The Debian package keeps the program in root's /usr/sbin; its log has a folder of its own.
    SetLogPath(u"" QV_LOG_FOLDER, logName, LOG_PATH_DEFAULT);
#else
    SetLogPath(LOG_PATH_PROGRAM, logName, LOG_PATH_DEFAULT);
#endif
    LogArguments(line.Arguments, static_cast<uint32_t>(line.ArgumentsEnd - line.Arguments));
    LogDebugOutputMode(chosen.Mode, chosen.Source, chosen.Name);
}

void SaveDebugOutputMode(COMMAND_LINE& line, const REGISTRY_KEY& key) {
    if (!key.IsOpen()) return;
    if (line.ClearSavedMode) {
        if (DeleteRegistryValue(key, DEBUG_OUTPUT_VALUE)) {
            DebugLogTextEx(DBGOUT_FORCE_DEBUGGER, u"Saved debug output mode cleared");
        }
        return;
    }
    if (line.CommandLineMode != 0 && WriteRegistryDword(key, DEBUG_OUTPUT_VALUE, line.CommandLineMode)) {
        // What the program saved itself is no change for the next settings reload to apply.
        line.RegistryMode = line.CommandLineMode;
        DebugLogTextEx(DBGOUT_FORCE_DEBUGGER, u"Debug output mode saved");
    }
}

void RefreshDebugOutputMode(COMMAND_LINE& line, const REGISTRY_KEY& key) {
    if (line.ClearSavedMode) return;
    uint32_t mode = 0;
    if (!ReadRegistryDword(key, DEBUG_OUTPUT_VALUE, mode)) mode = 0;
    if (mode == line.RegistryMode) return;
    line.RegistryMode = mode;
    // The value now rules as it would at a start: a value without a destination still logs to
    // the file, and a deleted value hands over to the environment variable or the defaults.
    const CHOSEN_MODE chosen = ChooseMode(0, line.RegistryMode, line.EnvironmentMode);
    SetDebugOutputMode(chosen.Mode);
    LogDebugOutputMode(chosen.Mode, chosen.Source, chosen.Name);
}

}  // namespace qv
