// What libmsi and libgsf say about a failure. They report through GLib's log rather than
// through their results (a failed open gives no error at all, only a warning), so their log
// is kept per thread as the installer's detail of the last failure, the counterpart of the
// Windows Installer's last error record, instead of reaching the terminal.
#pragma once

#include <glib.h>

#include <cstdint>
#include <string>

namespace qv {

// Routes the libraries' log into the current thread's detail; idempotent.
void CaptureLibraryMessages();
// Forgets the detail at the start of an operation, so a failure shows only its own.
void ClearInstallerMessages();
void AddInstallerMessage(const std::string& message);
std::string TakeInstallerMessages();

// The Win32 installer code for a libmsi error (ERR_FUNCTION_FAILED for anything else), with
// the error's text added to the detail when it says more than the failing function's name.
uint32_t InstallerCodeFromError(const GError* error);

}  // namespace qv
