#include "tools/identity_server/request_framer.h"

#include "tools/identity_server/request_decoder.h"

namespace qv::identity_server {

void REQUEST_FRAMER::Append(std::span<const uint8_t> bytes)
{
    Pending.insert(Pending.end(), bytes.begin(), bytes.end());
}

size_t REQUEST_FRAMER::ExpectedLength() const
{
    if (Pending.size() < 2)
        return 0;
    return static_cast<size_t>((Pending[0] << 8) | Pending[1]);
}

FRAME_STATE REQUEST_FRAMER::Next(std::vector<uint8_t>& request)
{
    const size_t length = ExpectedLength();
    if (Pending.size() < 2)
        return FRAME_STATE::NEED_MORE;
    if (length < REQUEST_HEADER_SIZE) {
        request = Pending;
        return FRAME_STATE::BAD_LENGTH;
    }
    if (Pending.size() < length)
        return FRAME_STATE::NEED_MORE;
    request.assign(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(length));
    Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(length));
    return FRAME_STATE::REQUEST;
}

}  // namespace qv::identity_server
