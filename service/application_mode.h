// Application mode (-A, or service mode started outside the service manager): the service's
// work in the foreground, stopped by the Shutdown value or from the console.
#pragma once

namespace qv {

// 0, or 1010 when the service could not be initialised.
int RunAsApplication();

}  // namespace qv
