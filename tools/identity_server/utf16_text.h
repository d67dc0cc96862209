// UTF-16 text as the identity requests carry it (little-endian code units), checked and turned
// into UTF-8 for the server's printed and recorded output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::identity_server {

// Converts count little-endian UTF-16 code units at units to UTF-8. On a broken surrogate pair
// returns false and describes it in problem, naming the code unit's index within the string.
bool Utf16LeToUtf8(const uint8_t* units, size_t count, std::string& utf8, std::string& problem);

}  // namespace qv::identity_server
