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

bool OsVersionAtLeast(uint32_t major, uint32_t minor) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;
    DWORDLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

bool IsWorkstationOs() {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.wProductType = VER_NT_WORKSTATION;
    DWORDLONG mask = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    return VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask) != FALSE;
}

}  // namespace qv
