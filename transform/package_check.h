// What an installer engine takes for granted in a package's tables, checked before the package
// is handed to one: a damaged or hostile package is refused with the reason, where the engine
// might read past its buffers or follow a text that isn't there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transform/package_streams.h"

namespace qv {

// Checks a package's data streams: the string pool (its code page, that its entries add up
// to its texts, that each text is text in that code page), the defining tables _Tables and
// _Columns, that every listed table has whole rows whose texts are in the pool, and the
// summary information. False, with the reason in 'problem'; otherwise the package's code page
// in 'codepage'.
bool CheckPackageStreams(const std::vector<COMPOUND_STREAM>& streams, uint32_t& codepage, std::string& problem);

// Reads the package's data streams and checks them: 0, or a Win32 error code (ERR_INVALID_DATA
// for a package that fails the check) with the reason in 'problem'.
uint32_t CheckPackage(const STRING& path, uint32_t& codepage, std::string& problem);

}  // namespace qv
