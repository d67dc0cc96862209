// The program's version as its messages show it.
#pragma once

#include <cstdint>

namespace qv {

constexpr uint32_t VERSION_MAJOR = 1;
constexpr uint32_t VERSION_MINOR = 2;
constexpr uint32_t VERSION_PATCH = 5;
constexpr uint32_t VERSION_BUILD = 26;
constexpr const char16_t* VERSION_BUILD_TEXT = u"Release x64";
constexpr const char16_t* PROGRAM_FILE_NAME = u"Quorvane.exe";
constexpr const char16_t* SERVICE_NAME = u"Quorvane";

}  // namespace qv
