// The streams of an installer package that the installer reads as data (its tables and its
// summary information), read with the platform's own structured-storage (compound file)
// reader, so that the package can be checked before the installer is given it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/string.h"

namespace qv {

struct COMPOUND_STREAM {
    std::string Name;  // UTF-8
    std::string Bytes;
};

inline constexpr const char* SUMMARY_INFORMATION_STREAM = "\005SummaryInformation";

// No table of a real package comes near this; a larger stream is refused, not read.
constexpr uint64_t MAXIMUM_TABLE_STREAM_SIZE = 64u << 20;

// Opens every stream of the package's root storage, and reads those whose names carry the
// table mark (its tables and string pool) and its summary information. 0 or a Win32 error
// code, with the reason in 'problem'.
uint32_t ReadPackageStreams(const STRING& path, std::vector<COMPOUND_STREAM>& streams, std::string& problem);

}  // namespace qv
