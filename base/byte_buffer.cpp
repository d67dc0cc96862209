#include "base/byte_buffer.h"

#include <cstdlib>
#include <utility>

namespace qv {

BYTE_BUFFER::BYTE_BUFFER(BYTE_BUFFER&& other) noexcept
    : Block(std::exchange(other.Block, nullptr)), Bytes(std::exchange(other.Bytes, 0)) {}

BYTE_BUFFER& BYTE_BUFFER::operator=(BYTE_BUFFER&& other) noexcept {
    if (this != &other) {
        std::free(Block);
        Block = std::exchange(other.Block, nullptr);
        Bytes = std::exchange(other.Bytes, 0);
    }
    return *this;
}

BYTE_BUFFER::~BYTE_BUFFER() { std::free(Block); }

bool BYTE_BUFFER::Resize(uint32_t size) {
    if (size == Bytes) return true;
    if (size == 0) {
        std::free(Block);
        Block = nullptr;
        Bytes = 0;
        return true;
    }
    void* grown = std::realloc(Block, size);
    if (grown == nullptr) return false;
    Block = static_cast<uint8_t*>(grown);
    Bytes = size;
    return true;
}

}  // namespace qv
