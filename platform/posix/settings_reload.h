// "Read your settings again", as systemd's reload (SIGHUP) asks a daemon: every armed change
// notification of the settings store is set as if its key's values had changed, so whoever
// waits for a change (the service's Settings thread) reloads what the store holds now.
#pragma once

namespace qv {

void SignalSettingsReload();

}  // namespace qv
