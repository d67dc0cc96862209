// The command line: switches with "-" or "/", names compared without regard to case, parsed
// into the one process-wide COMMAND_LINE record; and the debug output mode worked out from
// its three sources (command line, the "DebugOutput" value, the "Quorvane" environment
// variable).
#pragma once

#include <cstdint>

#include "base/string.h"
#include "eventlog/event_log_context.h"
#include "identity/identity_context.h"
#include "platform/registry.h"

namespace qv {

// The dump switches are the reader's view of this record.
struct COMMAND_LINE : DUMP_SWITCHES {
    const char16_t* const* Arguments = nullptr;
    const char16_t* const* ArgumentsEnd = nullptr;
    const char16_t* Server = nullptr;
    const char16_t* AdServer = nullptr;  // may point to an empty text: the global catalog
    const char16_t* UserName = nullptr;
    const char16_t* ComputerName = nullptr;
    // The filter lists, entries separated by ';' or ','; an empty text deletes the list.
    const char16_t* IgnoreUsers = nullptr;
    const char16_t* IncludeNetworks = nullptr;
    const char16_t* ExcludeNetworks = nullptr;
    const char16_t* ReplayFile = nullptr;  // the dry run's exported log
    uint32_t Protocol = PROTOCOL_NOT_GIVEN;
    uint32_t CommandLineMode = 0;
    uint32_t RegistryMode = 0;
    uint32_t EnvironmentMode = 0;
    bool Break = false;
    bool ClearSavedMode = false;
    bool Application = false;
    bool ConfigureOnly = false;
    bool ReportMode = false;
    bool ReportIdentity = false;
    bool ReportHeartbeat = false;
    bool ReportLogoff = false;
    bool Status = false;  // -STATUS: print the running agent's health and exit
};

COMMAND_LINE& CommandLine();

// Null on success, else the first bad argument. Only CommandLineMode is reset; everything
// else keeps what an earlier parse left (the service parses its start parameters again).
const char16_t* ParseCommandLine(COMMAND_LINE& line, const char16_t* const* arguments, uint32_t count);

// Where settings live, as the messages name it.
constexpr const char16_t* SETTINGS_KEY_PATH = u"SOFTWARE\\Tarnwell Systems\\Quorvane";
constexpr const char16_t* SETTINGS_ROOT_NAME = u"HKEY_LOCAL_MACHINE";

// "HKEY_LOCAL_MACHINE\SOFTWARE\...\Quorvane", or of one of its subkeys, as messages show it.
STRING SettingsKeyFullPath(const char16_t* subkey = nullptr);

void ReadDebugOutputSources(COMMAND_LINE& line);
void ApplyDebugOutputMode(const COMMAND_LINE& line);
void SaveDebugOutputMode(COMMAND_LINE& line, const REGISTRY_KEY& key);
void RefreshDebugOutputMode(COMMAND_LINE& line, const REGISTRY_KEY& key);

}  // namespace qv
