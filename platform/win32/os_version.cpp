#include "platform/os_version.h"

#include "platform/win32/win32.h"

namespace qv {

OS_VERSION GetOsVersion() {
    OS_VERSION version;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;  // 284 bytes
    // GetVersionExW is deprecated in newer SDKs but is exactly the call whose numbers we show.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (GetVersionExW(&info)) {
#pragma GCC diagnostic pop
        version.Major = info.dwMajorVersion;
        version.Minor = info.dwMinorVersion;
        version.Build = info.dwBuildNumber;
    }
    return version;
}

}  // namespace qv
