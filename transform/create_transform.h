// The transform itself: copy the package, add the SERVER property to the copy, and write the
// difference between the copy and the package as a transform beside it.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace qv {

// The product whose packages Setupsmith prepares, as its ProductName property names it.
constexpr const char16_t* PRODUCT_NAME = u"Tarnwell Systems Quorvane";
// The installer property the transform adds.
constexpr const char16_t* SERVER_PROPERTY = u"SERVER";

// Says what it does on standard output and returns the program's exit code.
int CreateTransform(const STRING& input, const STRING& server);

// One failure line of the installer: what failed, the system's text for the code, the code,
// and the installer's own detail when it has some.
void ReportInstallerError(uint32_t code, const char16_t* what);
// The same with the detail given.
void ReportFailure(uint32_t code, const char16_t* what, const STRING& detail);

}  // namespace qv
