// STRING (UTF-16) and STRING_A (UTF-8): text in exactly sized heap blocks from the common
// heap (malloc/free), so a block may change hands between parts of the program. Every
// change of length is one allocation of exactly length + 1 units; there is no spare
// capacity. A failed allocation throws STRING_NO_MEMORY and leaves the string unchanged.
#pragma once

#include <cstdint>

namespace qv {

struct STRING_NO_MEMORY {
    uint32_t BytesRequested;
};

template <typename CHAR>
class BASIC_STRING {
public:
    BASIC_STRING() = default;
    BASIC_STRING(const CHAR* text);
    BASIC_STRING(const CHAR* text, uint32_t count);
    // A string of 'count' units, all 0.
    explicit BASIC_STRING(uint32_t count);
    BASIC_STRING(const BASIC_STRING& other);
    BASIC_STRING(BASIC_STRING&& other) noexcept;
    BASIC_STRING& operator=(const BASIC_STRING& other);
    BASIC_STRING& operator=(BASIC_STRING&& other) noexcept;
    BASIC_STRING& operator=(const CHAR* text);
    ~BASIC_STRING();

    void Assign(const CHAR* text);
    void Assign(const CHAR* text, uint32_t count);

    uint32_t Length() const { return Size; }
    bool IsEmpty() const { return Size == 0; }
    // Read-only text: never null, the shared empty text when empty.
    const CHAR* Text() const;
    // Writable text: never null; an empty string gets a one-unit block holding 0.
    CHAR* Buffer();
    // The last unit, or -1 when empty.
    int32_t LastUnit() const;

    void SetLength(uint32_t length);
    // Length grows by n; the old text and its terminator stay, the units after are unset.
    void GrowBy(uint32_t n);
    // Length shrinks by n; nothing happens when n exceeds the length.
    void ShortenBy(uint32_t n);
    void Clear() { SetLength(0); }

    bool Equals(const CHAR* text) const;
    bool Equals(const BASIC_STRING& other) const;
    bool operator==(const BASIC_STRING& other) const { return Equals(other); }
    bool operator==(const CHAR* text) const { return Equals(text); }

    // Hands the block to the caller (who frees it with free()); the string becomes empty.
    CHAR* Detach();

private:
    void Reallocate(uint32_t length, bool clearTail);

    CHAR* Block = nullptr;
    uint32_t Size = 0;
};

class STRING_A;

class STRING : public BASIC_STRING<char16_t> {
public:
    using BASIC_STRING::BASIC_STRING;
    using BASIC_STRING::operator=;
    STRING() = default;
    // UTF-8 to UTF-16 conversion of the whole text.
    explicit STRING(const STRING_A& text);
    explicit STRING(const char* utf8);
};

class STRING_A : public BASIC_STRING<char> {
public:
    using BASIC_STRING::BASIC_STRING;
    using BASIC_STRING::operator=;
    STRING_A() = default;
    // UTF-16 to UTF-8 conversion of the whole text.
    explicit STRING_A(const STRING& text);
    explicit STRING_A(const char16_t* text);
    STRING_A(const char16_t* text, uint32_t count);
};

// Length of a NUL-terminated text; 0 for null.
uint32_t TextLength(const char16_t* text);
uint32_t TextLength(const char* text);

extern template class BASIC_STRING<char16_t>;
extern template class BASIC_STRING<char>;

}  // namespace qv
