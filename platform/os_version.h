// The running operating system's version numbers. Windows: major, minor and build of
// Windows itself. POSIX: the kernel release "major.minor.patch", read the same way.
#pragma once

#include <cstdint>

namespace qv {

struct OS_VERSION {
    uint32_t Major = 0;
    uint32_t Minor = 0;
    uint32_t Build = 0;
};

OS_VERSION GetOsVersion();

// Whether the running system is Windows of at least this version (service pack 0 or later),
// asked the way VerifyVersionInfoW answers it. Always false on other systems.
bool OsVersionAtLeast(uint32_t major, uint32_t minor);
// Whether the system is a workstation rather than a server or domain controller.
bool IsWorkstationOs();

}  // namespace qv
