// What every run mode shares: the three events that cross the program, stopping the service
// once, the Settings thread that reloads settings after each change of the settings key, and
// the initialisation and clean-up around the work itself.
#pragma once

#include "base/string.h"
#include "eventlog/event_log_context.h"
#include "identity/identity_context.h"
#include "platform/registry.h"
#include "platform/wait.h"

namespace qv {

// Set once, by StopService; every wait in the service includes it.
EVENT& StopServiceEvent();
// Signalled by the change notification of the settings key (auto reset).
EVENT& SettingsEvent();
// Set by ReloadSettings when the identity server or the protocol changed (auto reset).
EVENT& SettingsChangedEvent();

// Callable from any thread; the stop is reported once.
void StopService(const char16_t* reason);

// What the identity connection and the Security log reader are handed: the settings through
// their locking accessors, the service's events (those that exist now), and StopService.
IDENTITY_CONTEXT ServiceIdentityContext();
EVENT_LOG_CONTEXT ServiceEventLogContext();

// Reads the program's own version resource and lets reported events be echoed into the
// log from the program's message table.
void InitializeProgramResources();
const STRING& ProgramFileVersion();

// The short version text, "1.2.5 build 26 Release x64".
STRING ShortVersionText();
void LogVersion();

bool InitializeService();
void UninitializeService();

// The Statistics subkey of the settings key (not open when it could not be created).
REGISTRY_KEY& StatisticsKey();
// The local name of the anonymous-logon account (S-1-5-7); empty when it couldn't be found.
const STRING& AnonymousLogonName();

}  // namespace qv
