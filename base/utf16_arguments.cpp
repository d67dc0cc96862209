#include "base/utf16_arguments.h"

#include <cstddef>

namespace qv {

UTF16_ARGUMENTS::UTF16_ARGUMENTS(int argc, char** argv) {
    Texts.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) Texts.emplace_back(argv[i]);
    for (const STRING& text : Texts) Pointers.push_back(text.Text());
}

}  // namespace qv
