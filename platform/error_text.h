// The system's text for an error code, shaped for the one failure-message form
// "<what failed>. <text>. Error code = <code>.": trailing line breaks and then one final
// period are removed.
#pragma once

#include <cstdint>

#include "base/string.h"
#include "base/types.h"

namespace qv {

// True and the text; false and an empty text when the system has none (or nothing is left).
bool GetErrorText(uint32_t code, STRING& text, MODULE_HANDLE module = nullptr);
STRING GetErrorText(uint32_t code, MODULE_HANDLE module = nullptr);

// The trimming alone: trailing CR/LF, then one trailing period.
void TrimErrorText(STRING& text);

}  // namespace qv
