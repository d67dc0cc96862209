// The package file itself: Setupsmith works on a copy, never on the package it was given.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace qv {

// Copies 'from' to 'to', replacing a file already there. 0 or a Win32 error code (also left
// as the thread's last-error value).
uint32_t CopyPackageFile(const STRING& from, const STRING& to);
// Takes away what would keep the copy from being updated (a read-only attribute carried over
// from the original).
void MakeFileWritable(const STRING& path);

}  // namespace qv
