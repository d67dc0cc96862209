#include "tools/identity_server/response.h"

#include "tools/identity_server/request_decoder.h"

namespace qv::identity_server {
namespace {

void PutBigEndian(std::vector<uint8_t>& bytes, size_t offset, uint32_t value, size_t size)
{
    for (size_t index = 0; index < size; ++index)
        bytes[offset + index] = static_cast<uint8_t>(value >> (8 * (size - 1 - index)));
}

}  // namespace

std::vector<uint8_t> BuildResponse(uint32_t requestId, const RESPONSE_SHAPE& shape)
{
    std::vector<uint8_t> bytes(RESPONSE_SIZE, 0);
    const uint16_t code = shape.NoFlag ? IDENTITY_REQUEST_CODE : (IDENTITY_REQUEST_CODE | RESPONSE_FLAG);
    PutBigEndian(bytes, 4, code, 2);
    PutBigEndian(bytes, 6, shape.WrongId ? requestId + 1 : requestId, 4);
    PutBigEndian(bytes, 10, shape.Status, 4);
    bytes.resize(shape.Length, 0);
    return bytes;
}

}  // namespace qv::identity_server
