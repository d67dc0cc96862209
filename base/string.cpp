#include "base/string.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/format_arg.h"
#include "base/utf.h"

namespace qv {

namespace {

template <typename CHAR>
const CHAR* SharedEmpty() {
    static const CHAR empty[1] = {0};
    return empty;
}

template <typename CHAR>
uint32_t Measure(const CHAR* text) {
    if (text == nullptr) return 0;
    size_t length = 0;
    while (text[length] != 0) ++length;
    if (length >= 0xFFFFFFFFu) throw STRING_NO_MEMORY{0xFFFFFFFFu};
    return static_cast<uint32_t>(length);
}

}  // namespace

uint32_t TextLength(const char16_t* text) { return Measure(text); }
uint32_t TextLength(const char* text) { return Measure(text); }

template <typename CHAR>
BASIC_STRING<CHAR>::BASIC_STRING(const CHAR* text) {
    Assign(text, Measure(text));
}

template <typename CHAR>
BASIC_STRING<CHAR>::BASIC_STRING(const CHAR* text, uint32_t count) {
    Assign(text, count);
}

template <typename CHAR>
BASIC_STRING<CHAR>::BASIC_STRING(uint32_t count) {
    Reallocate(count, true);
}

template <typename CHAR>
BASIC_STRING<CHAR>::BASIC_STRING(const BASIC_STRING& other) {
    Assign(other.Block, other.Size);
}

template <typename CHAR>
BASIC_STRING<CHAR>::BASIC_STRING(BASIC_STRING&& other) noexcept
    : Block(std::exchange(other.Block, nullptr)), Size(std::exchange(other.Size, 0)) {}

template <typename CHAR>
BASIC_STRING<CHAR>& BASIC_STRING<CHAR>::operator=(const BASIC_STRING& other) {
    if (this != &other) Assign(other.Block, other.Size);
    return *this;
}

template <typename CHAR>
BASIC_STRING<CHAR>& BASIC_STRING<CHAR>::operator=(BASIC_STRING&& other) noexcept {
    if (this != &other) {
        std::free(Block);
        Block = std::exchange(other.Block, nullptr);
        Size = std::exchange(other.Size, 0);
    }
    return *this;
}

template <typename CHAR>
BASIC_STRING<CHAR>& BASIC_STRING<CHAR>::operator=(const CHAR* text) {
    Assign(text);
    return *this;
}

template <typename CHAR>
BASIC_STRING<CHAR>::~BASIC_STRING() {
    std::free(Block);
}

template <typename CHAR>
void BASIC_STRING<CHAR>::Assign(const CHAR* text) {
    Assign(text, Measure(text));
}

template <typename CHAR>
void BASIC_STRING<CHAR>::Assign(const CHAR* text, uint32_t count) {
    if (text == nullptr || count == 0) {
        SetLength(0);
        return;
    }
    // The source may lie inside our own block: build the new block before freeing the old.
    size_t bytes = (size_t{count} + 1) * sizeof(CHAR);
    auto* block = static_cast<CHAR*>(std::malloc(bytes));
    if (block == nullptr) throw STRING_NO_MEMORY{static_cast<uint32_t>(bytes)};
    std::memcpy(block, text, size_t{count} * sizeof(CHAR));
    block[count] = 0;
    std::free(Block);
    Block = block;
    Size = count;
}

template <typename CHAR>
const CHAR* BASIC_STRING<CHAR>::Text() const {
    return Block != nullptr ? Block : SharedEmpty<CHAR>();
}

template <typename CHAR>
CHAR* BASIC_STRING<CHAR>::Buffer() {
    if (Block == nullptr) {
        auto* block = static_cast<CHAR*>(std::malloc(sizeof(CHAR)));
        if (block == nullptr) throw STRING_NO_MEMORY{sizeof(CHAR)};
        block[0] = 0;
        Block = block;
    }
    return Block;
}

template <typename CHAR>
int32_t BASIC_STRING<CHAR>::LastUnit() const {
    if (Size == 0) return -1;
    return static_cast<int32_t>(static_cast<std::make_unsigned_t<CHAR>>(Block[Size - 1]));
}

template <typename CHAR>
void BASIC_STRING<CHAR>::Reallocate(uint32_t length, bool clearTail) {
    if (length == 0) {
        std::free(Block);
        Block = nullptr;
        Size = 0;
        return;
    }
    if (length == 0xFFFFFFFFu) throw STRING_NO_MEMORY{0xFFFFFFFFu};
    size_t bytes = (size_t{length} + 1) * sizeof(CHAR);
    auto* block = static_cast<CHAR*>(std::malloc(bytes));
    if (block == nullptr) throw STRING_NO_MEMORY{bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes)};
    uint32_t kept = Size < length ? Size : length;
    if (kept > 0) std::memcpy(block, Block, size_t{kept} * sizeof(CHAR));
    if (clearTail) {
        std::memset(block + kept, 0, (size_t{length} - kept + 1) * sizeof(CHAR));
    } else {
        block[kept] = 0;
        block[length] = 0;
    }
    std::free(Block);
    Block = block;
    Size = length;
}

template <typename CHAR>
void BASIC_STRING<CHAR>::SetLength(uint32_t length) {
    if (length == Size && (length == 0 || Block != nullptr)) return;
    Reallocate(length, true);
}

template <typename CHAR>
void BASIC_STRING<CHAR>::GrowBy(uint32_t n) {
    if (n == 0) return;
    if (n > 0xFFFFFFFEu - Size) throw STRING_NO_MEMORY{0xFFFFFFFFu};
    Reallocate(Size + n, false);
}

template <typename CHAR>
void BASIC_STRING<CHAR>::ShortenBy(uint32_t n) {
    if (n == 0 || n > Size) return;
    Reallocate(Size - n, true);
}

template <typename CHAR>
bool BASIC_STRING<CHAR>::Equals(const CHAR* text) const {
    uint32_t length = Measure(text);
    return length == Size && (Size == 0 || std::memcmp(Block, text, size_t{Size} * sizeof(CHAR)) == 0);
}

template <typename CHAR>
bool BASIC_STRING<CHAR>::Equals(const BASIC_STRING& other) const {
    return other.Size == Size && (Size == 0 || std::memcmp(Block, other.Block, size_t{Size} * sizeof(CHAR)) == 0);
}

template <typename CHAR>
CHAR* BASIC_STRING<CHAR>::Detach() {
    CHAR* block = Buffer();
    Block = nullptr;
    Size = 0;
    return block;
}

template class BASIC_STRING<char16_t>;
template class BASIC_STRING<char>;

STRING::STRING(const STRING_A& text) : STRING(text.Text()) {}

STRING::STRING(const char* utf8) {
    uint32_t length = TextLength(utf8);
    uint32_t units = Utf8ToUtf16(utf8, length, nullptr);
    SetLength(units);
    if (units > 0) Utf8ToUtf16(utf8, length, Buffer());
}

STRING_A::STRING_A(const STRING& text) : STRING_A(text.Text(), text.Length()) {}

STRING_A::STRING_A(const char16_t* text) : STRING_A(text, TextLength(text)) {}

STRING_A::STRING_A(const char16_t* text, uint32_t count) {
    uint32_t bytes = Utf16ToUtf8(text, count, nullptr);
    SetLength(bytes);
    if (bytes > 0) Utf16ToUtf8(text, count, Buffer());
}

FORMAT_ARG::FORMAT_ARG(const STRING& text) : Kind(ARG_KIND::WIDE_TEXT), Pointer(text.Text()) {}
FORMAT_ARG::FORMAT_ARG(const STRING_A& text) : Kind(ARG_KIND::NARROW_TEXT), Pointer(text.Text()) {}

}  // namespace qv
