#include "platform/os_version.h"

#include <sys/utsname.h>

#include <cstdlib>

namespace qv {

OS_VERSION GetOsVersion() {
    OS_VERSION version;
    utsname name{};
    if (uname(&name) != 0) return version;
    // "6.1.0-18-amd64": the three leading numbers.
    char* next = name.release;
    uint32_t* fields[] = {&version.Major, &version.Minor, &version.Build};
    for (uint32_t* field : fields) {
        char* end = nullptr;
        unsigned long value = std::strtoul(next, &end, 10);
        if (end == next) break;
        *field = static_cast<uint32_t>(value);
        if (*end != '.') break;
        next = end + 1;
    }
    return version;
}

// Not Windows: no Windows version is reached, and the machine this agent watches a log on is
// taken for a server.
bool OsVersionAtLeast(uint32_t, uint32_t) { return false; }
bool IsWorkstationOs() { return false; }

}  // namespace qv
