#include "platform/user_notice.h"

#include <cstdio>

#include "base/string.h"

namespace qv {

void ShowWarning(const char16_t* text, const char16_t* caption) {
    std::fprintf(stderr, "%s: %s\n", STRING_A(caption).Text(), STRING_A(text).Text());
}

}  // namespace qv
