#include "platform/process_setup.h"

#include <csignal>

namespace qv {

COM_APARTMENT::COM_APARTMENT() = default;
COM_APARTMENT::~COM_APARTMENT() = default;

void CleanUpSockets() {}

void IgnoreBrokenConnectionSignals() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace qv
