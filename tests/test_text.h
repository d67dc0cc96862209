// Helpers that let tests compare UTF-16 text and show it readably when a check fails.
#pragma once

#include <string>

#include "base/string.h"

namespace qv::test {

inline std::string Utf8(const char16_t* text) { return std::string(STRING_A(text).Text()); }
inline std::string Utf8(const STRING& text) { return std::string(STRING_A(text).Text()); }

}  // namespace qv::test
