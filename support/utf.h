// UTF-8 <-> UTF-16 conversion. Ill-formed input (lone surrogates, bad UTF-8 sequences)
// becomes U+FFFD, so conversion never fails and never produces ill-formed output.
#pragma once

#include <cstdint>

namespace qv {

// Each returns the number of output units; with a null output it only measures.
uint32_t Utf8ToUtf16(const char* input, uint32_t inputLength, char16_t* output);
uint32_t Utf16ToUtf8(const char16_t* input, uint32_t inputLength, char* output);

}  // namespace qv
