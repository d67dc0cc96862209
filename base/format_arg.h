// One typed argument slot. The printf-style formatter and the item-list builder both take
// their arguments as a sequence of these, so a format that consumes arguments from an item
// list counts slots exactly as the printf rules do, and a slot of the wrong type is a
// reported mismatch instead of undefined behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace qv {

class STRING;
class STRING_A;

enum class ARG_KIND : uint8_t {
    NONE,
    SIGNED,             // any signed integer, widened to 64 bits
    UNSIGNED,           // any unsigned integer, character or bool, widened to 64 bits
    DOUBLE,
    WIDE_TEXT,          // const char16_t*, may be null
    NARROW_TEXT,        // const char* (UTF-8), may be null
    WIDE_TEXT_ARRAY,    // const char16_t* const*
    NARROW_TEXT_ARRAY,  // const char* const*
    BYTES,              // const void* / const uint8_t*: a block of bytes to read
    UINT16_ARRAY,       // const uint16_t*
    UINT32_ARRAY,       // const uint32_t*
    UINT8_DEST,         // uint8_t*: where a builder writes one byte (also readable as bytes)
    UINT16_DEST,        // uint16_t*
    UINT32_DEST,        // uint32_t*
    POSITION_REF,       // uint8_t**: a pointer variable that receives or supplies a position
    ITEM_LIST,          // const FORMAT_ARG*: a nested item list ending with tag 0
};

struct FORMAT_ARG {
    ARG_KIND Kind = ARG_KIND::NONE;
    union {
        int64_t Signed;
        uint64_t Unsigned;
        double Double;
        const void* Pointer;
    };

    constexpr FORMAT_ARG() : Unsigned(0) {}

    template <typename T>
        requires(std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, char>)
    constexpr FORMAT_ARG(T value) : Kind(ARG_KIND::SIGNED), Signed(value) {}

    template <typename T>
        requires(std::is_integral_v<T> && (std::is_unsigned_v<T> || std::is_same_v<T, char>))
    constexpr FORMAT_ARG(T value)
        : Kind(ARG_KIND::UNSIGNED), Unsigned(static_cast<std::make_unsigned_t<T>>(value)) {}

    template <typename T>
        requires std::is_enum_v<T>
    constexpr FORMAT_ARG(T value) : FORMAT_ARG(static_cast<std::underlying_type_t<T>>(value)) {}

    constexpr FORMAT_ARG(double value) : Kind(ARG_KIND::DOUBLE), Double(value) {}
    constexpr FORMAT_ARG(float value) : Kind(ARG_KIND::DOUBLE), Double(value) {}

    constexpr FORMAT_ARG(const char16_t* text) : Kind(ARG_KIND::WIDE_TEXT), Pointer(text) {}
    constexpr FORMAT_ARG(const char* text) : Kind(ARG_KIND::NARROW_TEXT), Pointer(text) {}
    FORMAT_ARG(const STRING& text);
    FORMAT_ARG(const STRING_A& text);

    constexpr FORMAT_ARG(const char16_t* const* texts) : Kind(ARG_KIND::WIDE_TEXT_ARRAY), Pointer(texts) {}
    constexpr FORMAT_ARG(const char* const* texts) : Kind(ARG_KIND::NARROW_TEXT_ARRAY), Pointer(texts) {}
    constexpr FORMAT_ARG(char16_t** texts) : Kind(ARG_KIND::WIDE_TEXT_ARRAY), Pointer(texts) {}
    constexpr FORMAT_ARG(char** texts) : Kind(ARG_KIND::NARROW_TEXT_ARRAY), Pointer(texts) {}

    constexpr FORMAT_ARG(const void* bytes) : Kind(ARG_KIND::BYTES), Pointer(bytes) {}
    constexpr FORMAT_ARG(const uint8_t* bytes) : Kind(ARG_KIND::BYTES), Pointer(bytes) {}
    constexpr FORMAT_ARG(const uint16_t* values) : Kind(ARG_KIND::UINT16_ARRAY), Pointer(values) {}
    constexpr FORMAT_ARG(const uint32_t* values) : Kind(ARG_KIND::UINT32_ARRAY), Pointer(values) {}

    constexpr FORMAT_ARG(uint8_t* destination) : Kind(ARG_KIND::UINT8_DEST), Pointer(destination) {}
    constexpr FORMAT_ARG(uint16_t* destination) : Kind(ARG_KIND::UINT16_DEST), Pointer(destination) {}
    constexpr FORMAT_ARG(uint32_t* destination) : Kind(ARG_KIND::UINT32_DEST), Pointer(destination) {}
    constexpr FORMAT_ARG(uint8_t** position) : Kind(ARG_KIND::POSITION_REF), Pointer(position) {}

    constexpr FORMAT_ARG(const FORMAT_ARG* list) : Kind(ARG_KIND::ITEM_LIST), Pointer(list) {}

    // A literal null is "no text / no pointer": it fits every pointer-taking slot.
    constexpr FORMAT_ARG(std::nullptr_t) : Kind(ARG_KIND::BYTES), Pointer(nullptr) {}

    constexpr bool IsInteger() const { return Kind == ARG_KIND::SIGNED || Kind == ARG_KIND::UNSIGNED; }
    constexpr bool IsPointer() const { return Kind >= ARG_KIND::WIDE_TEXT; }
};

using FORMAT_ARGS = std::span<const FORMAT_ARG>;

}  // namespace qv
