#include "transform/setupsmith_main.h"

#include "base/program_version.h"
#include "transform/command_line.h"
#include "transform/console_output.h"
#include "transform/create_transform.h"
#include "transform/exit_codes.h"

namespace qv {

namespace {

void PrintUsage() {
    Print(u"/? or /h            Show this usage help\n"
          u"/I <Input MSI>      Path to input MSI database file\n"
          u"/SERVER <name>      Identity server (Corvel) host name or IP address\n"
          u"\n"
          u"Example:\n"
          u"\n"
          u"    Setupsmith /I Quorvane_Setupx64.msi /SERVER 10.1.1.2\n");
}

}  // namespace

int SetupsmithMain(uint32_t count, const char16_t* const* arguments) {
    Print(u"Tarnwell Systems Quorvane MSI Transform Utility v%lu.%lu.%lu\n", VERSION_MAJOR, VERSION_MINOR,
          VERSION_PATCH);

    SETUPSMITH_ARGUMENTS given;
    STRING offender;
    switch (WalkArguments(count, arguments, given, offender)) {
        case ARGUMENTS_VERDICT::RUN:
            return CreateTransform(given.Input, given.Server);
        case ARGUMENTS_VERDICT::SHOW_USAGE:
            PrintUsage();
            return SETUPSMITH_USAGE_SHOWN;
        case ARGUMENTS_VERDICT::INVALID_PARAMETER:
            Print(u"Invalid parameter = \"%s\"\n", offender);
            PrintUsage();
            return SETUPSMITH_USAGE_SHOWN;
        case ARGUMENTS_VERDICT::INVALID_SWITCH:
            Print(u"Invalid switch = \"%s\"\n", offender);
            PrintUsage();
            return SETUPSMITH_USAGE_SHOWN;
        case ARGUMENTS_VERDICT::NO_SERVER:
            Print(u"No server specified.\n");
            break;
        case ARGUMENTS_VERDICT::NO_INPUT:
            Print(u"No input MSI file specified.\n");
            break;
    }
    PrintUsage();
    return SETUPSMITH_ARGUMENT_MISSING;
}

}  // namespace qv
