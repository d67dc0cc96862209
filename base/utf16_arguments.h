// A program's UTF-8 command line (POSIX main) as the UTF-16 argument array that the run
// modes take on both platforms.
#pragma once

#include <cstdint>
#include <vector>

#include "base/string.h"

namespace qv {

class UTF16_ARGUMENTS {
public:
    UTF16_ARGUMENTS(int argc, char** argv);
    UTF16_ARGUMENTS(const UTF16_ARGUMENTS&) = delete;
    UTF16_ARGUMENTS& operator=(const UTF16_ARGUMENTS&) = delete;

    uint32_t Count() const { return static_cast<uint32_t>(Pointers.size()); }
    const char16_t* const* Values() const { return Pointers.data(); }

private:
    std::vector<STRING> Texts;
    std::vector<const char16_t*> Pointers;  // into Texts
};

}  // namespace qv
