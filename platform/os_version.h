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

}  // namespace qv
