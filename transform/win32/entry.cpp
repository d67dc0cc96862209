// The Windows entry point: a console program with a wide entry (-municode), so the arguments
// arrive as the UTF-16 the rest of the program speaks.
#include "platform/win32/win32.h"
#include "transform/setupsmith_main.h"

extern "C" int wmain(int count, wchar_t** arguments) {
    return qv::SetupsmithMain(static_cast<uint32_t>(count), reinterpret_cast<const char16_t* const*>(arguments));
}
