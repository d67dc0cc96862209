// The data root on POSIX. The variable is read at every call rather than once, so a process
// (a test, or a configure-mode run pointed at a staging tree) can move it before first use.
#include "platform/data_root.h"

#include <cstdlib>
#include <cstring>

namespace qv {

namespace {

constexpr char DEFAULT_DATA_ROOT[] = "/var/lib/quorvane";

}  // namespace

STRING_A DataRoot() {
    const char* configured = std::getenv("QUORVANE_DATA_ROOT");
    if (configured == nullptr || configured[0] == '\0') return STRING_A(DEFAULT_DATA_ROOT);
    // "/srv/qv/" and "/srv/qv" are the same folder; paths are joined with one slash.
    size_t length = std::strlen(configured);
    while (length > 1 && configured[length - 1] == '/') --length;
    return STRING_A(configured, static_cast<uint32_t>(length));
}

}  // namespace qv
