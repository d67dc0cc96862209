// UTF-8 <-> UTF-16 conversion. Ill-formed input (lone surrogates, bad UTF-8 sequences)
// becomes U+FFFD, so conversion never fails and never produces ill-formed output.
#pragma once

#include <cstdint>

namespace qv {

constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

// Each returns the number of output units; with a null output it only measures.
uint32_t Utf8ToUtf16(const char* input, uint32_t inputLength, char16_t* output);
uint32_t Utf16ToUtf8(const char16_t* input, uint32_t inputLength, char* output);

// One code point at a time, for code that converts as it goes: reads the code point at
// 'text' (which must be before 'end') and moves 'text' past it.
char32_t NextCodePoint(const char16_t*& text, const char16_t* end);
char32_t NextCodePoint(const char*& text, const char* end);

// Writes one code point (output may be null to measure) and returns the units it takes.
uint32_t EncodeCodePoint(char32_t c, char16_t* output);
uint32_t EncodeCodePoint(char32_t c, char* output);

}  // namespace qv
