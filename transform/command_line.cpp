#include "transform/command_line.h"

#include "platform/system_text.h"

namespace qv {

namespace {

bool IsSwitchPrefix(char16_t c) { return c == u'-' || c == u'/'; }

}  // namespace

ARGUMENTS_VERDICT WalkArguments(uint32_t count, const char16_t* const* arguments, SETUPSMITH_ARGUMENTS& result,
                                STRING& offender) {
    result = SETUPSMITH_ARGUMENTS{};
    offender.Clear();
    if (count <= 1) return ARGUMENTS_VERDICT::SHOW_USAGE;

    uint32_t i = 1;
    while (i < count) {
        const STRING argument(arguments[i]);
        if (argument == u"?") return ARGUMENTS_VERDICT::SHOW_USAGE;
        if (argument.IsEmpty() || !IsSwitchPrefix(argument.Text()[0])) {
            offender = argument;
            return ARGUMENTS_VERDICT::INVALID_PARAMETER;
        }
        const STRING name(argument.Text() + 1);
        if (EqualsIgnoringCase(name, u"H") || name == u"?") return ARGUMENTS_VERDICT::SHOW_USAGE;
        const bool isInput = EqualsIgnoringCase(name, u"I");
        if (!isInput && !EqualsIgnoringCase(name, u"SERVER")) {
            offender = name;
            return ARGUMENTS_VERDICT::INVALID_SWITCH;
        }
        if (i + 1 == count) break;
        (isInput ? result.Input : result.Server) = STRING(arguments[i + 1]);
        i += 2;
    }

    // An empty value names nothing: no package can be opened from it, and an empty SERVER
    // property would install a service without an identity server.
    if (result.Input.IsEmpty()) return ARGUMENTS_VERDICT::NO_INPUT;
    if (result.Server.IsEmpty()) return ARGUMENTS_VERDICT::NO_SERVER;
    return ARGUMENTS_VERDICT::RUN;
}

}  // namespace qv
