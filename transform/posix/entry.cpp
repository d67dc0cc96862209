// The POSIX entry point: the arguments arrive as UTF-8 and are handed on as UTF-16.
#include "base/utf16_arguments.h"
#include "transform/setupsmith_main.h"

int main(int argc, char** argv) {
    qv::UTF16_ARGUMENTS arguments(argc, argv);
    return qv::SetupsmithMain(arguments.Count(), arguments.Values());
}
