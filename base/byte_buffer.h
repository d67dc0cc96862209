// A heap block of bytes and its size. Resizing keeps the contents up to the smaller size and
// leaves new bytes unset; size 0 frees the block.
#pragma once

#include <cstdint>

namespace qv {

class BYTE_BUFFER {
public:
    BYTE_BUFFER() = default;
    BYTE_BUFFER(const BYTE_BUFFER&) = delete;
    BYTE_BUFFER& operator=(const BYTE_BUFFER&) = delete;
    BYTE_BUFFER(BYTE_BUFFER&& other) noexcept;
    BYTE_BUFFER& operator=(BYTE_BUFFER&& other) noexcept;
    ~BYTE_BUFFER();

    // False (contents unchanged) when the block cannot be allocated.
    bool Resize(uint32_t size);
    void Free() { Resize(0); }

    uint8_t* Data() { return Block; }
    const uint8_t* Data() const { return Block; }
    uint32_t Size() const { return Bytes; }

private:
    uint8_t* Block = nullptr;
    uint32_t Bytes = 0;
};

}  // namespace qv
