// The last-error value on Windows is the system's own, so a code set by a Win32 call and one
// set by our wrappers are read the same way.
#include "platform/last_error.h"

#include "platform/win32/win32.h"

namespace qv {

uint32_t GetLastErrorCode() { return ::GetLastError(); }

void SetLastErrorCode(uint32_t code) { ::SetLastError(code); }

}  // namespace qv
