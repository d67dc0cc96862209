// Installer streams store every number least significant byte first.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

inline void AppendLittleEndian(std::string& bytes, uint32_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace qv
