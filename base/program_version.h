// The program's version numbers, from the one place they are written: the project version in
// CMakeLists.txt, which also feeds the version resource (version_info.h is generated from it).
#pragma once

#include <cstdint>

#include "version_info.h"

namespace qv {

constexpr uint32_t VERSION_MAJOR = QV_VERSION_MAJOR;
constexpr uint32_t VERSION_MINOR = QV_VERSION_MINOR;
constexpr uint32_t VERSION_PATCH = QV_VERSION_PATCH;
constexpr uint32_t VERSION_BUILD = QV_VERSION_BUILD;

}  // namespace qv
