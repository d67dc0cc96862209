// The command-line tools' failure line: "<prefix><what failed>. <system text>. Error code =
// <code>." written to standard error (the system text left out when there is none).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/string.h"
#include "platform/error_text.h"
#include "support/format.h"

namespace qv {

inline void WriteFailure(const char* prefix, const std::string& what, uint32_t code) {
    STRING_A message;
    const STRING text = GetErrorText(code);
    if (text.IsEmpty()) {
        FormatString(message, "%s%s. Error code = %lu.\n", prefix, what.c_str(), code);
    } else {
        FormatString(message, "%s%s. %s. Error code = %lu.\n", prefix, what.c_str(), text, code);
    }
    std::fputs(message.Text(), stderr);
}

}  // namespace qv
