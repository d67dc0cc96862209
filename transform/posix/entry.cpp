// The POSIX entry point: the arguments arrive as UTF-8 and are handed on as UTF-16.
#include <cstddef>
#include <vector>

#include "base/string.h"
#include "transform/setupsmith_main.h"

int main(int argc, char** argv) {
    std::vector<qv::STRING> texts;
    texts.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) texts.emplace_back(argv[i]);
    std::vector<const char16_t*> arguments;
    for (const qv::STRING& text : texts) arguments.push_back(text.Text());
    return qv::SetupsmithMain(static_cast<uint32_t>(arguments.size()), arguments.data());
}
