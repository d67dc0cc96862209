// Installer streams store every number least significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv {

inline void AppendLittleEndian(std::string& bytes, uint32_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The number of 'size' bytes at 'offset', which the caller has made sure are there.
inline uint32_t ReadLittleEndian(const std::string& bytes, size_t offset, uint32_t size) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
    return value;
}

}  // namespace qv
