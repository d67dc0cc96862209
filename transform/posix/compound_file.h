// Structured-storage (compound) files through libgsf: the container of installer packages and
// transforms. Only flat files are handled: streams in the root storage, no sub-storages.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "transform/package_streams.h"

namespace qv {

using CLASS_ID = std::array<uint8_t, 16>;

// {000C1082-0000-0000-C000-000000000046}, as it is stored: the class of installer transforms.
constexpr CLASS_ID TRANSFORM_CLASS_ID = {0x82, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Writes a compound file of these streams with this class, replacing 'path' only once the new
// file is complete. 0 or a Win32 error code, with libgsf's detail in the installer's detail.
uint32_t WriteCompoundFile(const std::string& path, const CLASS_ID& classId, const std::vector<COMPOUND_STREAM>& streams);

// Reads every stream of a flat compound file, and its class.
uint32_t ReadCompoundFile(const std::string& path, CLASS_ID& classId, std::vector<COMPOUND_STREAM>& streams);

// Reads the first 'count' bytes of one stream (fewer when the stream is shorter).
uint32_t ReadCompoundStreamStart(const std::string& path, const std::string& name, uint32_t count, std::string& bytes);

}  // namespace qv
