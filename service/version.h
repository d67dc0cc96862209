// The program's version as its messages show it.
#pragma once

#include "base/program_version.h"

namespace qv {

constexpr const char16_t* VERSION_BUILD_TEXT = u"Release x64";
constexpr const char16_t* PROGRAM_FILE_NAME = u"Quorvane.exe";
constexpr const char16_t* SERVICE_NAME = u"Quorvane";

}  // namespace qv
