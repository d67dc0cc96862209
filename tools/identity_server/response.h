// The server's answer to one request, and the ways a misbehaving server can spoil it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::identity_server {

inline constexpr size_t RESPONSE_SIZE = 14;

struct RESPONSE_SHAPE {
    uint32_t Status = 0;
    bool WrongId = false;   // echo RequestId + 1
    bool NoFlag = false;    // answer with the request code itself, without the response flag
    size_t Length = RESPONSE_SIZE;  // shorter: cut; longer: padded with zero bytes
};

// 4 zero bytes, code 0x8010, RequestId, Status; all big-endian.
std::vector<uint8_t> BuildResponse(uint32_t requestId, const RESPONSE_SHAPE& shape);

}  // namespace qv::identity_server
