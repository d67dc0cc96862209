#include "platform/process_setup.h"

#include <winsock2.h>

#include "platform/win32/win32.h"

#include <objbase.h>

namespace qv {

COM_APARTMENT::COM_APARTMENT() : Initialized(SUCCEEDED(CoInitialize(nullptr))) {}

COM_APARTMENT::~COM_APARTMENT() {
    if (Initialized) CoUninitialize();
}

void CleanUpSockets() { WSACleanup(); }

// A write to a closed connection fails with WSAECONNRESET or WSAESHUTDOWN; no signal to ignore.
void IgnoreBrokenConnectionSignals() {}

}  // namespace qv
