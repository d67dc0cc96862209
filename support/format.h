// printf-style formatting over typed arguments.
//
// The printf language is the contract: flags "-+ #0", width and precision (numbers or "*"),
// the length modifiers h, hh, l, ll, L, j, z, t, I, I32 and I64, and the conversions
// d i u o x X c C s S e E f F g G a A p and %%. Sizes follow Windows, so "%lu" is a
// 32-bit value on every platform and "%s" takes text of either width (the argument's own
// type decides how it is read; it is converted to the output's width). Floating point
// is rendered by std::to_chars, so both platforms print the same digits.
//
// Arguments are checked against their conversions: a missing argument prints nothing,
// text given to a number conversion prints "(?)", a number given to "%s" prints
// "(?)", and "%n" stores nothing. A conversion the language doesn't know is copied as it
// stands. None of this is undefined behaviour.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/format_arg.h"
#include "base/string.h"
#include "base/types.h"

namespace qv {

// Formats into 'output' (room for 'capacity' units; no terminator is written; null to only
// measure) and returns the full length in units, which may exceed the capacity. 'consumed',
// when given, receives the number of argument slots the format used.
size_t FormatText(char16_t* output, size_t capacity, const char16_t* format, FORMAT_ARGS args,
                  size_t* consumed = nullptr);
size_t FormatText(char* output, size_t capacity, const char* format, FORMAT_ARGS args,
                  size_t* consumed = nullptr);

constexpr uint32_t FORMAT_UNLIMITED = 0xFFFFFFFF;

// A format given as text, or as the number of an entry of a module's string table.
struct RESOURCE_ID {
    uint32_t Number;
    MODULE_HANDLE Module = nullptr;
};

template <typename CHAR>
struct FORMAT_SOURCE {
    FORMAT_SOURCE(const CHAR* text) : Text(text) {}
    FORMAT_SOURCE(RESOURCE_ID id) : FromResource(true), Resource(id) {}
    const CHAR* Text = nullptr;
    bool FromResource = false;
    RESOURCE_ID Resource{0};
};

// Formats into 'target', keeping at most 'maximum' units. A resource format at or above
// 65536, or a missing entry, is an empty format.
void FormatStringArgs(STRING& target, uint32_t maximum, FORMAT_SOURCE<char16_t> format, FORMAT_ARGS args);
void FormatStringArgs(STRING_A& target, uint32_t maximum, FORMAT_SOURCE<char> format, FORMAT_ARGS args);

template <typename... ARGS>
void FormatString(STRING& target, FORMAT_SOURCE<char16_t> format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    FormatStringArgs(target, FORMAT_UNLIMITED, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

template <typename... ARGS>
void FormatString(STRING_A& target, FORMAT_SOURCE<char> format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    FormatStringArgs(target, FORMAT_UNLIMITED, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

template <typename... ARGS>
void FormatStringMax(STRING& target, uint32_t maximum, FORMAT_SOURCE<char16_t> format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    FormatStringArgs(target, maximum, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

template <typename... ARGS>
void FormatStringMax(STRING_A& target, uint32_t maximum, FORMAT_SOURCE<char> format, const ARGS&... args) {
    const FORMAT_ARG slots[] = {FORMAT_ARG(args)..., FORMAT_ARG()};
    FormatStringArgs(target, maximum, format, FORMAT_ARGS(slots, sizeof...(ARGS)));
}

// Convenience: the formatted text as a new STRING.
template <typename... ARGS>
STRING Format(FORMAT_SOURCE<char16_t> format, const ARGS&... args) {
    STRING text;
    FormatString(text, format, args...);
    return text;
}

}  // namespace qv
