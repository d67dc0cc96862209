// The message-table language, formatted the way the system's FormatMessage formats it with an
// array of string inserts. Windows formats the program's messages with FormatMessageW itself;
// elsewhere this formatter gives the same text from the same message table, so an event reads
// alike in the Windows event log, in syslog and in the program's own log.
//
// The language: %1 .. %99 insert the strings (an optional "!fmt!" after the number gives a
// printf-style width, precision and "-" flag for the string); %n is a hard line break (CR LF);
// %r a lone CR; %t a tab; %0 ends the message; %% %. %! and "% " stand for themselves; a "%"
// before any other character stands for that character. A "%" at the very end of the text,
// or a "!fmt!" without its closing "!", makes the text malformed.
//
// Line breaks and wrapping follow the maximum width:
//   MESSAGE_KEEP_LINE_BREAKS  the text's own line breaks are kept (a lone CR or LF becomes
//                             CR LF) and nothing is wrapped;
//   MESSAGE_NO_WRAP           the text's line breaks become blanks, only %n and %r break lines;
//   1 .. 254                  as MESSAGE_NO_WRAP, and a line that reaches the width is broken at
//                             its last blank of the text itself, the run of blanks before the
//                             break dropped; a line without such a blank is broken where it is.
//                             An inserted string is placed whole and never broken inside, and a
//                             "% " blank is never a place to break.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace qv {

constexpr uint32_t MESSAGE_KEEP_LINE_BREAKS = 0;
constexpr uint32_t MESSAGE_NO_WRAP = 255;
constexpr uint32_t MESSAGE_MAXIMUM_INSERTS = 99;

// Formats 'text' ('length' units) into 'target'. Insert n is inserts[n - 1]: a null entry reads
// "(null)" as on Windows, and a number beyond 'insertCount' inserts nothing. False, with the
// target empty, when the text is malformed.
bool FormatMessageText(STRING& target, const char16_t* text, uint32_t length, const char16_t* const* inserts,
                       uint32_t insertCount, uint32_t maximumWidth);

}  // namespace qv
