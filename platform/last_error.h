// The calling thread's last-error value. Support wrappers set it to the code they report,
// so a caller that only sees "false" can still ask what went wrong.
#pragma once

#include <cstdint>

namespace qv {

uint32_t GetLastErrorCode();
void SetLastErrorCode(uint32_t code);

#if !defined(_WIN32)
// errno translated into the Win32 vocabulary: one table for file and system calls,
// one for socket calls (where the same errno means a Winsock code).
uint32_t ErrorFromErrno(int error);
uint32_t SocketErrorFromErrno(int error);
#endif

}  // namespace qv
