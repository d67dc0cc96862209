// The computer's own name as GetComputerNameW gives it: the NetBIOS name on Windows; on
// POSIX the first label of the host name in upper case, its nearest equivalent.
#pragma once

#include <cstdint>

namespace qv {

// 'size' is the buffer's size in characters. Success gives the length without the NUL;
// 111 (buffer overflow) gives the size needed, NUL included.
uint32_t QueryComputerName(char16_t* buffer, uint32_t& size);

}  // namespace qv
