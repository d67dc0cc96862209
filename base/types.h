// Handle types shared by every platform interface. windows.h stays inside platform/win32;
// these are layout-compatible stand-ins that the Win32 half converts at its edge.
#pragma once

#include <cstdint>

namespace qv {

#if defined(_WIN32)
using NATIVE_HANDLE = void*;  // HANDLE
constexpr NATIVE_HANDLE NO_NATIVE_HANDLE = nullptr;
#else
using NATIVE_HANDLE = int;  // file descriptor
constexpr NATIVE_HANDLE NO_NATIVE_HANDLE = -1;
#endif

// A loaded program image whose resources (string and message tables) can be read.
// Null means the main program.
using MODULE_HANDLE = void*;

}  // namespace qv
