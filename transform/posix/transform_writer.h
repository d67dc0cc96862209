// Installer transforms written from two databases: the difference as the Windows Installer
// stores it (a compound file of the changed tables' records and their string pool, class
// {000C1082-0000-0000-C000-000000000046}), and its summary information.
#pragma once

#include <cstdint>
#include <string>

#include "transform/posix/libmsi_forward.h"

namespace qv {

// Writes the transform that turns 'reference' into 'database'. Its texts are in the
// reference's code page, read from 'referencePath'. 0 or a Win32 error code; the reason is in
// the installer's detail.
uint32_t WriteTransform(LibmsiDatabase* database, LibmsiDatabase* reference, const std::string& referencePath,
                        const std::string& transformPath);

// Adds (or replaces) the transform's summary information: the platform and language of both
// packages, their product codes and versions and the upgrade code, the installer version they
// need, and no validation or error conditions.
uint32_t WriteTransformSummary(LibmsiDatabase* database, LibmsiDatabase* reference, const std::string& transformPath);

}  // namespace qv
