// Everything Setupsmith says goes to standard output, formatted with the program's own printf
// (arguments are never read as formats, so a '%' in a path or server name is just text).
#pragma once

#include "platform/process.h"
#include "support/format.h"

namespace qv {

template <typename... ARGS>
void Print(const char16_t* format, const ARGS&... args) {
    STRING text;
    FormatString(text, format, args...);
    WriteStandardOutput(text.Text());
}

}  // namespace qv
