// The Windows entry point: a GUI-subsystem program (no console of its own) with a wide
// entry; the runtime has already split the command line into __wargv.
#include <cstdlib>

#include "platform/win32/win32.h"
#include "service/quorvane_main.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return qv::QuorvaneMain(static_cast<uint32_t>(__argc), reinterpret_cast<const char16_t* const*>(__wargv));
}
