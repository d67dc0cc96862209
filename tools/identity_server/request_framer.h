// Cuts a connection's byte stream into requests by their Length field. Requests may arrive split
// over several reads or several in one read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qv::identity_server {

enum class FRAME_STATE {
    NEED_MORE,   // no complete request buffered yet
    REQUEST,     // one complete request was taken
    BAD_LENGTH,  // the Length field is below the header size: the stream cannot be followed
};

class REQUEST_FRAMER {
public:
    void Append(std::span<const uint8_t> bytes);

    // Takes the next complete request into request. On BAD_LENGTH, request holds the bytes
    // buffered so far (the bad header included) for the report.
    FRAME_STATE Next(std::vector<uint8_t>& request);

    size_t Buffered() const { return Pending.size(); }
    // The Length of the request being collected, or 0 while fewer than 2 bytes are buffered.
    size_t ExpectedLength() const;
    const std::vector<uint8_t>& PendingBytes() const { return Pending; }

private:
    std::vector<uint8_t> Pending;
};

}  // namespace qv::identity_server
