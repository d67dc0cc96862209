#include "platform/process_setup.h"

namespace qv {

COM_APARTMENT::COM_APARTMENT() = default;
COM_APARTMENT::~COM_APARTMENT() = default;

void CleanUpSockets() {}

}  // namespace qv
