// The item-list builder.
//
// One walker serves three passes over the same list:
//   MEASURE  checks every slot against its tag and adds up the bytes each item produces;
//   WRITE    fills a block of exactly that size (it trusts the measurement and does not
//            re-check the slots);
//   RELEASE  frees the pointers handed over with ITEM_FREE, after a successful write or
//            after a failure, so ownership passes to the builder whatever happens.
// Keeping all three in one function is what keeps them in agreement: an item is measured,
// written and stepped over by the same code, so the slots it owns are counted once.
//
// The rules the walker settles on where a list could be read more than one way:
//   - Left-out items (and everything inside a left-out nested list) have their slots checked
//     for kind, just like written items, so a list is valid or invalid regardless of what is
//     left out; what depends on values (a required pointer being null, alignment 0, sizes)
//     is only checked for items that are written. Their ITEM_FREE pointers are still freed.
//   - A literal nullptr fits every pointer slot; where an item needs a real pointer (marks,
//     destinations, arrays with a nonzero count) a null one makes the list invalid when the
//     item is written. A null nested list or format is an empty one.
//   - A leave-out count that runs past the end of its list lapses there; it does not carry
//     over into the enclosing list.
//   - Values are cut to the width of the item (a 16-bit value keeps its low 16 bits, a
//     length too large for an 8- or 16-bit field keeps its low bits); counts, lengths,
//     group sizes and alignments must fit in 32 bits and not be negative.
//   - A nested list has no length of its own, only its terminator: a format inside one must
//     find all its arguments before the terminator, since nothing else bounds the slots it
//     reads. At the top level the span bounds everything.
//   - ITEM_FREE is only accepted on items whose first argument is data the item reads (texts,
//     arrays, byte blocks, formats, nested lists). A pointer handed over that way must not be
//     used by a later format or nested-list item of the same list (the release pass walks the
//     list in order, freeing as it goes), and a nested list holding ITEM_FREE items may be
//     included only once.
#include "support/item_list.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "support/format.h"
#include "support/number_text.h"

namespace qv {

namespace {

constexpr uint64_t MAX_SIZE = 0xFFFFFFFFu;
constexpr uint32_t LAST_TAG = ITEM_ALIGN;
// Bits between the item number and the flags; none has a meaning yet.
constexpr uint32_t UNUSED_TAG_BITS = ~(ITEM_TAG_MASK | ITEM_FREE | ITEM_TERMINATE | ITEM_BIG_ENDIAN);
// Nested lists deeper than this are taken for a list that contains itself.
constexpr unsigned MAX_DEPTH = 32;
// A nested list is bounded only by its terminator; its formats see this many slots ahead.
constexpr size_t UNBOUNDED_SLOTS = size_t{1} << 24;

// What an argument slot must hold.
enum SLOT : uint8_t {
    COUNT,   // integer 0..0xFFFFFFFF
    VALUE,   // any integer, cut to the width the item writes
    LIST,    // nested list
    WTEXT,   // wide text
    ATEXT,   // narrow text
    WARRAY,  // array of wide texts
    AARRAY,  // array of narrow texts
    DATA,    // any pointer to readable data
    U16S,    // uint16_t values
    U32S,    // uint32_t values
    DEST8,   // uint8_t destination
    DEST16,  // uint16_t destination
    DEST32,  // uint32_t destination
    POS,     // uint8_t** position variable
};

struct TAG_INFO {
    uint8_t Arguments;  // slots owned besides the tag (a format's own arguments come on top)
    uint8_t Width;      // width of the NUL that ITEM_TERMINATE adds; 0 for none
    bool Frees;         // ITEM_FREE allowed: the first argument is data the item reads
    SLOT Slots[5];
};

constexpr TAG_INFO TAGS[LAST_TAG + 1] = {
    {0, 0, false, {}},                                // ITEM_END
    {1, 0, true, {LIST}},                             // ITEM_NESTED
    {1, 0, false, {COUNT}},                           // ITEM_ZEROS
    {1, 0, false, {COUNT}},                           // ITEM_RESERVE
    {1, 2, true, {WTEXT}},                            // ITEM_WTEXT
    {1, 1, true, {ATEXT}},                            // ITEM_ATEXT
    {2, 2, true, {WARRAY, COUNT}},                    // ITEM_WTEXT_ARRAY
    {2, 1, true, {AARRAY, COUNT}},                    // ITEM_ATEXT_ARRAY
    {0, 2, false, {}},                                // ITEM_WNUL
    {0, 1, false, {}},                                // ITEM_ANUL
    {2, 2, false, {VALUE, COUNT}},                    // ITEM_WREPEAT
    {2, 1, false, {VALUE, COUNT}},                    // ITEM_AREPEAT
    {1, 2, false, {VALUE}},                           // ITEM_WCHAR
    {1, 1, false, {VALUE}},                           // ITEM_ACHAR
    {1, 0, false, {VALUE}},                           // ITEM_BYTE
    {2, 0, true, {DATA, COUNT}},                      // ITEM_BYTES
    {1, 0, false, {VALUE}},                           // ITEM_UINT16
    {2, 0, true, {U16S, COUNT}},                      // ITEM_UINT16_ARRAY
    {1, 0, false, {VALUE}},                           // ITEM_UINT32
    {2, 0, true, {U32S, COUNT}},                      // ITEM_UINT32_ARRAY
    {1, 2, false, {VALUE}},                           // ITEM_WDEC_INT32
    {1, 1, false, {VALUE}},                           // ITEM_ADEC_INT32
    {1, 2, false, {VALUE}},                           // ITEM_WDEC_UINT32
    {1, 1, false, {VALUE}},                           // ITEM_ADEC_UINT32
    {1, 2, false, {VALUE}},                           // ITEM_WDEC_INT64
    {1, 1, false, {VALUE}},                           // ITEM_ADEC_INT64
    {1, 2, false, {VALUE}},                           // ITEM_WDEC_UINT64
    {1, 1, false, {VALUE}},                           // ITEM_ADEC_UINT64
    {5, 2, true, {DATA, COUNT, COUNT, VALUE, VALUE}}, // ITEM_WHEX
    {5, 1, true, {DATA, COUNT, COUNT, VALUE, VALUE}}, // ITEM_AHEX
    {1, 2, true, {WTEXT}},                            // ITEM_WFORMAT
    {1, 1, true, {ATEXT}},                            // ITEM_AFORMAT
    {1, 0, false, {POS}},                             // ITEM_MARK
    {0, 0, false, {}},                                // ITEM_ORIGIN
    {1, 0, false, {DEST8}},                           // ITEM_LENGTH8
    {1, 0, false, {POS}},                             // ITEM_LENGTH8_AT
    {1, 0, false, {DEST16}},                          // ITEM_LENGTH16
    {1, 0, false, {POS}},                             // ITEM_LENGTH16_AT
    {1, 0, false, {DEST32}},                          // ITEM_LENGTH32
    {1, 0, false, {POS}},                             // ITEM_LENGTH32_AT
    {1, 0, false, {DEST8}},                           // ITEM_OFFSET8
    {1, 0, false, {POS}},                             // ITEM_OFFSET8_AT
    {1, 0, false, {DEST16}},                          // ITEM_OFFSET16
    {1, 0, false, {POS}},                             // ITEM_OFFSET16_AT
    {1, 0, false, {DEST32}},                          // ITEM_OFFSET32
    {1, 0, false, {POS}},                             // ITEM_OFFSET32_AT
    {1, 0, false, {COUNT}},                           // ITEM_LEAVE_OUT
    {2, 0, false, {COUNT, VALUE}},                    // ITEM_ALIGN
};

// The 64 bits of an integer slot, read through the member it was stored in.
inline uint64_t Bits(const ITEM& slot) {
    return slot.Kind == ARG_KIND::SIGNED ? static_cast<uint64_t>(slot.Signed) : slot.Unsigned;
}
inline uint32_t U32(const ITEM& slot) { return static_cast<uint32_t>(Bits(slot)); }

// Reads an integer slot as a 32-bit count: false when it isn't an integer or doesn't fit
// (a negative value reads as a huge one).
inline bool ReadCount(const ITEM& slot, uint32_t& value) {
    if (!slot.IsInteger()) return false;
    const uint64_t bits = Bits(slot);
    if (bits > MAX_SIZE) return false;
    value = static_cast<uint32_t>(bits);
    return true;
}

constexpr uint32_t KindBit(ARG_KIND kind) { return uint32_t{1} << static_cast<uint8_t>(kind); }

// The kinds each slot takes, one bit per kind. Every pointer slot also takes the untyped
// null (a BYTES slot holding null), checked separately.
constexpr uint32_t SLOT_KINDS[] = {
    KindBit(ARG_KIND::SIGNED) | KindBit(ARG_KIND::UNSIGNED),  // COUNT (and its range)
    KindBit(ARG_KIND::SIGNED) | KindBit(ARG_KIND::UNSIGNED),  // VALUE
    KindBit(ARG_KIND::ITEM_LIST),                             // LIST
    KindBit(ARG_KIND::WIDE_TEXT),                             // WTEXT
    KindBit(ARG_KIND::NARROW_TEXT),                           // ATEXT
    KindBit(ARG_KIND::WIDE_TEXT_ARRAY),                       // WARRAY
    KindBit(ARG_KIND::NARROW_TEXT_ARRAY),                     // AARRAY
    KindBit(ARG_KIND::BYTES) | KindBit(ARG_KIND::WIDE_TEXT) | KindBit(ARG_KIND::NARROW_TEXT) |
        KindBit(ARG_KIND::UINT16_ARRAY) | KindBit(ARG_KIND::UINT32_ARRAY) | KindBit(ARG_KIND::UINT8_DEST) |
        KindBit(ARG_KIND::UINT16_DEST) | KindBit(ARG_KIND::UINT32_DEST),  // DATA
    // A writable array is just as readable, and an array the caller still fills in is
    // naturally non-const.
    KindBit(ARG_KIND::UINT16_ARRAY) | KindBit(ARG_KIND::UINT16_DEST),  // U16S
    KindBit(ARG_KIND::UINT32_ARRAY) | KindBit(ARG_KIND::UINT32_DEST),  // U32S
    KindBit(ARG_KIND::UINT8_DEST),                                     // DEST8
    KindBit(ARG_KIND::UINT16_DEST),                                    // DEST16
    KindBit(ARG_KIND::UINT32_DEST),                                    // DEST32
    KindBit(ARG_KIND::POSITION_REF),                                   // POS
};
static_assert(sizeof(SLOT_KINDS) / sizeof(SLOT_KINDS[0]) == POS + 1);
static_assert(static_cast<uint8_t>(ARG_KIND::ITEM_LIST) < 32);

inline bool SlotFits(SLOT expected, const ITEM& slot) {
    const uint32_t kind = static_cast<uint8_t>(slot.Kind);
    if (kind < 32 && ((SLOT_KINDS[expected] >> kind) & 1) != 0) {
        return expected != COUNT || Bits(slot) <= MAX_SIZE;
    }
    return expected > VALUE && slot.Kind == ARG_KIND::BYTES && slot.Pointer == nullptr;
}

template <typename CHAR>
inline size_t UnitCount(const CHAR* text) {
    size_t length = 0;
    if (text != nullptr) {
        while (text[length] != 0) ++length;
    }
    return length;
}

template <typename T>
inline T* Ptr(const ITEM& slot) {
    return static_cast<T*>(const_cast<void*>(slot.Pointer));
}

// 16- and 32-bit stores: machine order through memcpy (the output has no alignment), or
// most significant byte first.
inline uint8_t* Put16(uint8_t* out, uint16_t value, bool bigEndian) {
    if (bigEndian) {
        out[0] = static_cast<uint8_t>(value >> 8);
        out[1] = static_cast<uint8_t>(value);
    } else {
        std::memcpy(out, &value, 2);
    }
    return out + 2;
}

// A NUL of 0, 1 or 2 bytes.
inline uint8_t* PutTerminator(uint8_t* out, uint32_t width) {
    if (width != 0) {
        out[0] = 0;
        if (width == 2) out[1] = 0;
    }
    return out + width;
}

inline uint8_t* Put32(uint8_t* out, uint32_t value, bool bigEndian) {
    if (bigEndian) {
        out[0] = static_cast<uint8_t>(value >> 24);
        out[1] = static_cast<uint8_t>(value >> 16);
        out[2] = static_cast<uint8_t>(value >> 8);
        out[3] = static_cast<uint8_t>(value);
    } else {
        std::memcpy(out, &value, 4);
    }
    return out + 4;
}

// Text without its NUL; wide units in the requested byte order. Texts in requests are
// short, so wide text is copied unit by unit in one go rather than measured again.
inline uint8_t* PutText(uint8_t* out, const char16_t* text, bool bigEndian) {
    if (text == nullptr) return out;
    if (bigEndian) {
        for (; *text != 0; ++text) out = Put16(out, static_cast<uint16_t>(*text), true);
    } else {
        for (; *text != 0; ++text) out = Put16(out, static_cast<uint16_t>(*text), false);
    }
    return out;
}

inline uint8_t* PutText(uint8_t* out, const char* text, bool) {
    if (text == nullptr) return out;
    const size_t units = std::strlen(text);
    std::memcpy(out, text, units);
    return out + units;
}

// Wide text produced by a routine that stores char16_t units itself (hex digits, formatted
// text). Such stores must be aligned, and the output position may be odd after byte items:
// then the routine writes one byte early, the text slides up one byte, and the byte it
// covered is put back. The output block itself is always aligned (it comes from malloc),
// so an odd position is never its first byte.
template <typename PRODUCE>
inline uint8_t* PutProducedWide(uint8_t* out, uint8_t* end, PRODUCE&& produce) {
    if ((reinterpret_cast<uintptr_t>(out) & 1) == 0) {
        size_t units = produce(reinterpret_cast<char16_t*>(out), static_cast<size_t>(end - out) / 2);
        return out + units * 2;
    }
    uint8_t* aligned = out - 1;
    uint8_t covered = *aligned;
    size_t units = produce(reinterpret_cast<char16_t*>(aligned), static_cast<size_t>(end - aligned) / 2);
    std::memmove(out, aligned, units * 2);
    *aligned = covered;
    return out + units * 2;
}

// Decimal digits straight into the output, except wide digits at an odd position, which go
// through a small buffer (char16_t stores must be aligned).
template <typename CHAR>
inline uint8_t* PutDecimal(uint8_t* out, uint64_t magnitude, bool negative) {
    const uint32_t units = DecimalTextLength(magnitude, negative);
    if (sizeof(CHAR) == 1 || (reinterpret_cast<uintptr_t>(out) & 1) == 0) {
        WriteDecimalText<CHAR>(reinterpret_cast<CHAR*>(out), magnitude, negative);
    } else {
        CHAR digits[24];
        WriteDecimalText<CHAR>(digits, magnitude, negative);
        std::memcpy(out, digits, units * sizeof(CHAR));
    }
    return out + units * sizeof(CHAR);
}

inline uint64_t Magnitude(int64_t value) {
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

enum class PASS { MEASURE, WRITE, RELEASE };

struct BUILD {
    // MEASURE
    uint64_t Size = 0;
    bool Frees = false;
    // WRITE
    uint8_t* Start = nullptr;
    uint8_t* Position = nullptr;
    uint8_t* Origin = nullptr;
    uint8_t* End = nullptr;
};

// Slots a format takes after its format slot, and optionally its length in units.
template <typename CHAR>
inline bool MeasureFormat(const ITEM* format, const ITEM* end, size_t& consumed, size_t* units) {
    consumed = 0;
    const CHAR* text = static_cast<const CHAR*>(format->Pointer);
    size_t available = end != nullptr ? static_cast<size_t>(end - (format + 1)) : UNBOUNDED_SLOTS;
    size_t length = 0;
    if (text != nullptr) length = FormatText(static_cast<CHAR*>(nullptr), 0, text, FORMAT_ARGS(format + 1, available), &consumed);
    if (units != nullptr) *units = length;
    return consumed <= available;
}

// A position variable that a back-fill writes through must point inside the output with
// room for the value; it is the one thing the measurement cannot vouch for.
inline uint8_t* BackFillTarget(const BUILD& build, const ITEM& slot, size_t width) {
    uint8_t* target = *Ptr<uint8_t*>(slot);
    uintptr_t at = reinterpret_cast<uintptr_t>(target);
    uintptr_t start = reinterpret_cast<uintptr_t>(build.Start);
    uintptr_t end = reinterpret_cast<uintptr_t>(build.End);
    if (target == nullptr || at < start || at > end || end - at < width) return nullptr;
    return target;
}

inline void StoreLength(uint8_t* target, uint64_t value, size_t width) {
    if (width == 1) {
        *target = static_cast<uint8_t>(value);
    } else if (width == 2) {
        uint16_t v = static_cast<uint16_t>(value);
        std::memcpy(target, &v, 2);
    } else {
        uint32_t v = static_cast<uint32_t>(value);
        std::memcpy(target, &v, 4);
    }
}

// Walks one list. 'end' bounds a top-level list (null for a nested one, bounded only by its
// terminator); 'leftOut' steps over every item (a left-out nested list, or the release pass).
template <PASS P>
bool Walk(BUILD& build, const ITEM* slot, const ITEM* end, bool leftOut, unsigned depth) {
    if (depth > MAX_DEPTH) return false;
    uint32_t leave = 0;
    // Kept in locals so they stay in registers; the build state is brought up to date
    // around nested lists and at the end.
    uint8_t* out = build.Position;
    uint64_t measured = build.Size;
    for (;;) {
        uint32_t tag;
        if constexpr (P == PASS::WRITE) {
            tag = U32(*slot);
        } else {
            if (end != nullptr && slot == end) return false;  // not terminated
            if (!ReadCount(*slot, tag)) return false;
        }
        const uint32_t item = tag & ITEM_TAG_MASK;
        if (item == ITEM_END) {
            build.Position = out;
            build.Size = measured;
            if constexpr (P == PASS::WRITE) return true;
            return tag == ITEM_END;  // an end tag with flags is a mistake, not an end
        }
        const ITEM* a = slot + 1;
        const TAG_INFO* info = nullptr;
        if constexpr (P != PASS::WRITE) {
            if (item > LAST_TAG || (tag & UNUSED_TAG_BITS) != 0) return false;
            info = &TAGS[item];
            if ((tag & ITEM_FREE) != 0 && !info->Frees) return false;
            if (end != nullptr && static_cast<size_t>(end - a) < info->Arguments) return false;
            for (unsigned i = 0; i < info->Arguments; ++i) {
                if (!SlotFits(info->Slots[i], a[i])) return false;
            }
            if constexpr (P == PASS::MEASURE) {
                if ((tag & ITEM_FREE) != 0) build.Frees = true;
            }
        } else {
            info = &TAGS[item];
        }
        const ITEM* next = a + info->Arguments;

        bool skip = leftOut;
        if (leave > 0) {
            skip = true;
            --leave;
        }

        if (skip) {
            if (item == ITEM_WFORMAT || item == ITEM_AFORMAT) {
                size_t consumed;
                bool fits = item == ITEM_WFORMAT ? MeasureFormat<char16_t>(a, end, consumed, nullptr)
                                                 : MeasureFormat<char>(a, end, consumed, nullptr);
                if (!fits) return false;
                next += consumed;
            } else if constexpr (P != PASS::WRITE) {
                // A left-out nested list still has to be a list: its slots are checked, and
                // what it hands over with ITEM_FREE is freed.
                if (item == ITEM_NESTED && a->Pointer != nullptr) {
                    if (!Walk<P>(build, static_cast<const ITEM*>(a->Pointer), nullptr, true, depth + 1)) return false;
                }
            }
        } else {
            const bool big = (tag & ITEM_BIG_ENDIAN) != 0;
            const uint32_t terminator = (tag & ITEM_TERMINATE) != 0 ? info->Width : 0;
            // MEASURE: bytes this item adds. WRITE: 'out' moves on.
            uint64_t bytes = 0;
            switch (item) {
                case ITEM_NESTED:
                    if (a->Pointer != nullptr) {
                        build.Position = out;
                        build.Size = measured;
                        if (!Walk<P>(build, static_cast<const ITEM*>(a->Pointer), nullptr, false, depth + 1)) {
                            return false;
                        }
                        out = build.Position;
                        measured = build.Size;
                    }
                    break;
                case ITEM_ZEROS:
                    if constexpr (P == PASS::WRITE) {
                        std::memset(out, 0, U32(*a));
                        out += U32(*a);
                    } else {
                        bytes = U32(*a);
                    }
                    break;
                case ITEM_RESERVE:
                    if constexpr (P == PASS::WRITE) out += U32(*a);
                    else bytes = U32(*a);
                    break;
                case ITEM_WTEXT: {
                    const char16_t* text = static_cast<const char16_t*>(a->Pointer);
                    if constexpr (P == PASS::WRITE) out = PutText(out, text, big);
                    else bytes = uint64_t{UnitCount(text)} * 2;
                    break;
                }
                case ITEM_ATEXT: {
                    const char* text = static_cast<const char*>(a->Pointer);
                    if constexpr (P == PASS::WRITE) out = PutText(out, text, false);
                    else bytes = UnitCount(text);
                    break;
                }
                case ITEM_WTEXT_ARRAY:
                case ITEM_ATEXT_ARRAY: {
                    const uint32_t count = U32(a[1]);
                    if (count == 0) break;
                    if constexpr (P == PASS::MEASURE) {
                        if (a->Pointer == nullptr) return false;
                    }
                    for (uint32_t i = 0; i < count; ++i) {
                        [[maybe_unused]] size_t units = 0;
                        if (item == ITEM_WTEXT_ARRAY) {
                            const char16_t* text = static_cast<const char16_t* const*>(a->Pointer)[i];
                            if constexpr (P == PASS::WRITE) out = PutText(out, text, big);
                            else units = UnitCount(text);
                        } else {
                            const char* text = static_cast<const char* const*>(a->Pointer)[i];
                            if constexpr (P == PASS::WRITE) out = PutText(out, text, false);
                            else units = UnitCount(text);
                        }
                        if constexpr (P == PASS::WRITE) {
                            out = PutTerminator(out, terminator);
                        } else {
                            bytes += uint64_t{units} * info->Width + terminator;
                            if (bytes > MAX_SIZE) return false;
                        }
                    }
                    break;
                }
                case ITEM_WNUL:
                case ITEM_ANUL:
                    if constexpr (P == PASS::WRITE) {
                        out = PutTerminator(out, info->Width);
                    } else {
                        bytes = info->Width;
                    }
                    break;
                case ITEM_WREPEAT: {
                    const uint32_t count = U32(a[1]);
                    if constexpr (P == PASS::WRITE) {
                        for (uint32_t i = 0; i < count; ++i) out = Put16(out, static_cast<uint16_t>(Bits(*a)), big);
                    } else {
                        bytes = uint64_t{count} * 2;
                    }
                    break;
                }
                case ITEM_AREPEAT: {
                    const uint32_t count = U32(a[1]);
                    if constexpr (P == PASS::WRITE) {
                        std::memset(out, static_cast<uint8_t>(Bits(*a)), count);
                        out += count;
                    } else {
                        bytes = count;
                    }
                    break;
                }
                case ITEM_WCHAR:
                case ITEM_UINT16:
                    if constexpr (P == PASS::WRITE) out = Put16(out, static_cast<uint16_t>(Bits(*a)), big);
                    else bytes = 2;
                    break;
                case ITEM_ACHAR:
                case ITEM_BYTE:
                    if constexpr (P == PASS::WRITE) *out++ = static_cast<uint8_t>(Bits(*a));
                    else bytes = 1;
                    break;
                case ITEM_BYTES: {
                    const uint32_t length = a->Pointer != nullptr ? U32(a[1]) : 0;
                    if constexpr (P == PASS::WRITE) {
                        if (length != 0) std::memcpy(out, a->Pointer, length);
                        out += length;
                    } else {
                        bytes = length;
                    }
                    break;
                }
                case ITEM_UINT32:
                    if constexpr (P == PASS::WRITE) out = Put32(out, U32(*a), big);
                    else bytes = 4;
                    break;
                case ITEM_UINT16_ARRAY:
                case ITEM_UINT32_ARRAY: {
                    const uint32_t count = U32(a[1]);
                    const size_t size = item == ITEM_UINT16_ARRAY ? 2 : 4;
                    if constexpr (P == PASS::MEASURE) {
                        if (count != 0 && a->Pointer == nullptr) return false;
                        bytes = uint64_t{count} * size;
                    } else if constexpr (P == PASS::WRITE) {
                        if (count == 0) break;
                        if (!big) {
                            std::memcpy(out, a->Pointer, count * size);
                            out += count * size;
                        } else {
                            // Read through memcpy as well: the caller's values need not be aligned.
                            const uint8_t* values = static_cast<const uint8_t*>(a->Pointer);
                            for (uint32_t i = 0; i < count; ++i, values += size) {
                                if (size == 2) {
                                    uint16_t v;
                                    std::memcpy(&v, values, 2);
                                    out = Put16(out, v, true);
                                } else {
                                    uint32_t v;
                                    std::memcpy(&v, values, 4);
                                    out = Put32(out, v, true);
                                }
                            }
                        }
                    }
                    break;
                }
                case ITEM_WDEC_INT32:
                case ITEM_ADEC_INT32:
                case ITEM_WDEC_UINT32:
                case ITEM_ADEC_UINT32:
                case ITEM_WDEC_INT64:
                case ITEM_ADEC_INT64:
                case ITEM_WDEC_UINT64:
                case ITEM_ADEC_UINT64: {
                    // The slot's value taken at the item's width and signedness.
                    uint64_t magnitude = Bits(*a);
                    bool negative = false;
                    switch (item) {
                        case ITEM_WDEC_INT32:
                        case ITEM_ADEC_INT32: {
                            const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
                            negative = value < 0;
                            magnitude = Magnitude(value);
                            break;
                        }
                        case ITEM_WDEC_UINT32:
                        case ITEM_ADEC_UINT32: magnitude = static_cast<uint32_t>(magnitude); break;
                        case ITEM_WDEC_INT64:
                        case ITEM_ADEC_INT64: {
                            const int64_t value = static_cast<int64_t>(magnitude);
                            negative = value < 0;
                            magnitude = Magnitude(value);
                            break;
                        }
                        default: break;
                    }
                    const bool wide = info->Width == 2;
                    if constexpr (P == PASS::WRITE) {
                        out = wide ? PutDecimal<char16_t>(out, magnitude, negative) : PutDecimal<char>(out, magnitude, negative);
                    } else {
                        bytes = uint64_t{DecimalTextLength(magnitude, negative)} * info->Width;
                    }
                    break;
                }
                case ITEM_WHEX:
                case ITEM_AHEX: {
                    const uint8_t* data = static_cast<const uint8_t*>(a->Pointer);
                    const uint32_t count = data != nullptr ? U32(a[1]) : 0;
                    const uint32_t group = U32(a[2]);
                    const bool lower = Bits(a[4]) == 0;
                    if constexpr (P == PASS::MEASURE) {
                        // Two digits a byte, so past 2^31 bytes the text cannot fit in 32 bits;
                        // below that the length only wraps once, to below 2 * count.
                        if (count > 0x7FFFFFFFu) return false;
                        const uint32_t units = HexTextLength(count, group);
                        if (units < uint64_t{count} * 2) return false;
                        bytes = uint64_t{units} * info->Width;
                    } else if constexpr (P == PASS::WRITE) {
                        if (count == 0) break;
                        if (item == ITEM_WHEX) {
                            const char16_t separator = static_cast<char16_t>(Bits(a[3]));
                            out = PutProducedWide(out, build.End, [&](char16_t* text, size_t) -> size_t {
                                WriteHexText<char16_t>(text, data, count, lower, group, separator);
                                return HexTextLength(count, group);
                            });
                        } else {
                            WriteHexText<char>(reinterpret_cast<char*>(out), data, count, lower, group,
                                               static_cast<char>(Bits(a[3])));
                            out += HexTextLength(count, group);
                        }
                    }
                    break;
                }
                case ITEM_WFORMAT:
                case ITEM_AFORMAT: {
                    size_t consumed = 0;
                    if constexpr (P == PASS::WRITE) {
                        const size_t available = end != nullptr ? static_cast<size_t>(end - next) : UNBOUNDED_SLOTS;
                        const FORMAT_ARGS arguments(next, available);
                        if (a->Pointer != nullptr) {
                            if (item == ITEM_WFORMAT) {
                                const char16_t* format = static_cast<const char16_t*>(a->Pointer);
                                out = PutProducedWide(out, build.End, [&](char16_t* text, size_t capacity) {
                                    return FormatText(text, capacity, format, arguments, &consumed);
                                });
                            } else {
                                const char* format = static_cast<const char*>(a->Pointer);
                                out += FormatText(reinterpret_cast<char*>(out), static_cast<size_t>(build.End - out),
                                                  format, arguments, &consumed);
                            }
                        }
                    } else {
                        size_t units;
                        bool fits = item == ITEM_WFORMAT ? MeasureFormat<char16_t>(a, end, consumed, &units)
                                                         : MeasureFormat<char>(a, end, consumed, &units);
                        if (!fits || units > MAX_SIZE) return false;
                        bytes = uint64_t{units} * info->Width;
                    }
                    next += consumed;
                    break;
                }
                case ITEM_MARK:
                    if constexpr (P == PASS::WRITE) *Ptr<uint8_t*>(*a) = out;
                    else if (a->Pointer == nullptr) return false;
                    break;
                case ITEM_ORIGIN:
                    if constexpr (P == PASS::WRITE) build.Origin = out;
                    break;
                case ITEM_LENGTH8:
                case ITEM_LENGTH16:
                case ITEM_LENGTH32:
                case ITEM_OFFSET8:
                case ITEM_OFFSET16:
                case ITEM_OFFSET32:
                case ITEM_LENGTH8_AT:
                case ITEM_LENGTH16_AT:
                case ITEM_LENGTH32_AT:
                case ITEM_OFFSET8_AT:
                case ITEM_OFFSET16_AT:
                case ITEM_OFFSET32_AT: {
                    if constexpr (P == PASS::WRITE) {
                        // Tags come in pairs per width (8, 16, 32), lengths first, then offsets;
                        // the odd member of each pair writes through a position variable.
                        const uint32_t index = item - ITEM_LENGTH8;
                        const size_t width = size_t{1} << ((index % 6) / 2);
                        const bool fromOrigin = index < 6;
                        const uint64_t value = static_cast<uint64_t>(out - (fromOrigin ? build.Origin : build.Start));
                        uint8_t* target = Ptr<uint8_t>(*a);
                        if ((index & 1) != 0) {
                            target = BackFillTarget(build, *a, width);
                            if (target == nullptr) {
                                build.Position = out;
                                return false;
                            }
                        }
                        StoreLength(target, value, width);
                    } else {
                        if (a->Pointer == nullptr) return false;
                    }
                    break;
                }
                case ITEM_LEAVE_OUT:
                    leave = U32(*a);
                    break;
                case ITEM_ALIGN: {
                    const uint32_t alignment = U32(a[0]);
                    const uint32_t fill = U32(a[1]);
                    // Positions fit in 32 bits (the measurement guarantees it), so the
                    // arithmetic stays 32-bit.
                    if constexpr (P == PASS::WRITE) {
                        const uint32_t pad = (alignment - static_cast<uint32_t>(out - build.Start) % alignment) % alignment;
                        if (fill != ITEM_ALIGN_KEEP) {
                            for (uint32_t i = 0; i < pad; ++i) out[i] = static_cast<uint8_t>(fill);
                        }
                        out += pad;
                    } else {
                        if (alignment == 0) return false;
                        bytes = (alignment - static_cast<uint32_t>(measured) % alignment) % alignment;
                    }
                    break;
                }
                default:
                    return false;
            }
            if (item != ITEM_WTEXT_ARRAY && item != ITEM_ATEXT_ARRAY) {
                if constexpr (P == PASS::WRITE) {
                    out = PutTerminator(out, terminator);
                } else {
                    bytes += terminator;
                }
            }
            if constexpr (P == PASS::MEASURE) {
                measured += bytes;
                if (measured > MAX_SIZE) return false;
            }
        }

        if constexpr (P == PASS::RELEASE) {
            if ((tag & ITEM_FREE) != 0) std::free(const_cast<void*>(a->Pointer));
        }
        slot = next;
    }
}

// The measured size, or false for an invalid list.
// 'frees' tells whether the release pass has anything to do; after a failure the measuring
// pass may not have seen the whole list, so the release pass always runs then.
bool MeasureItems(ITEMS items, uint32_t& size, bool& frees) {
    BUILD build;
    bool valid = !items.empty() && Walk<PASS::MEASURE>(build, items.data(), items.data() + items.size(), false, 0);
    size = valid ? static_cast<uint32_t>(build.Size) : 0;
    frees = valid ? build.Frees : true;
    return valid;
}

// Fills exactly 'size' bytes at 'output'; false when a back-fill position pointed outside.
bool WriteItems(ITEMS items, uint8_t* output, uint32_t size) {
    BUILD build;
    build.Start = build.Origin = build.Position = output;
    build.End = output + size;
    bool written = Walk<PASS::WRITE>(build, items.data(), items.data() + items.size(), false, 0);
    assert(!written || build.Position == build.End);
    return written;
}

// Frees what the list handed over with ITEM_FREE, up to where the list stops making sense.
void ReleaseItems(ITEMS items, bool frees) {
    if (!frees || items.empty()) return;
    BUILD build;
    Walk<PASS::RELEASE>(build, items.data(), items.data() + items.size(), true, 0);
}

const char16_t SHARED_EMPTY_TEXT[1] = {0};

}  // namespace

uint8_t* BuildItemsAlloc(uint32_t& size, ITEMS items) {
    bool frees;
    if (!MeasureItems(items, size, frees)) {
        ReleaseItems(items, frees);
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return nullptr;
    }
    if (size == 0) {
        ReleaseItems(items, frees);
        SetLastErrorCode(ERR_SUCCESS);
        return nullptr;
    }
    auto* output = static_cast<uint8_t*>(std::malloc(size));
    if (output == nullptr) {
        ReleaseItems(items, frees);
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!WriteItems(items, output, size)) {
        std::free(output);
        ReleaseItems(items, frees);
        size = 0;
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return nullptr;
    }
    ReleaseItems(items, frees);
    return output;
}

uint8_t* BuildItemsAlloc(uint32_t& size, std::initializer_list<ITEM> items) {
    return BuildItemsAlloc(size, ITEMS(items.begin(), items.size()));
}

uint8_t* BuildItemsInto(BYTE_BUFFER& buffer, ITEMS items) {
    uint32_t size;
    bool frees;
    uint32_t error = ERR_SUCCESS;
    if (!MeasureItems(items, size, frees)) {
        error = ERR_INVALID_PARAMETER;
    } else if (size != 0) {
        if (!buffer.Resize(size)) {
            error = ERR_NOT_ENOUGH_MEMORY;
        } else if (!WriteItems(items, buffer.Data(), size)) {
            error = ERR_INVALID_PARAMETER;
        } else {
            ReleaseItems(items, frees);
            return buffer.Data();
        }
    }
    buffer.Resize(0);
    ReleaseItems(items, frees);
    SetLastErrorCode(error);
    return nullptr;
}

uint8_t* BuildItemsInto(BYTE_BUFFER& buffer, std::initializer_list<ITEM> items) {
    return BuildItemsInto(buffer, ITEMS(items.begin(), items.size()));
}

char16_t* BuildItemsString(ITEMS items) {
    uint32_t size;
    bool frees;
    if (!MeasureItems(items, size, frees)) {
        ReleaseItems(items, frees);
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return const_cast<char16_t*>(SHARED_EMPTY_TEXT);
    }
    // Whole units, then the NUL: output of odd length (narrow items in a wide text) gets a
    // zero byte to complete its last unit.
    const size_t padded = (size_t{size} + 1) & ~size_t{1};
    auto* output = static_cast<uint8_t*>(std::malloc(padded + 2));
    if (output == nullptr) {
        ReleaseItems(items, frees);
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return const_cast<char16_t*>(SHARED_EMPTY_TEXT);
    }
    if (size != 0 && !WriteItems(items, output, size)) {
        std::free(output);
        ReleaseItems(items, frees);
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return const_cast<char16_t*>(SHARED_EMPTY_TEXT);
    }
    std::memset(output + size, 0, padded + 2 - size);
    ReleaseItems(items, frees);
    return reinterpret_cast<char16_t*>(output);
}

char16_t* BuildItemsString(std::initializer_list<ITEM> items) {
    return BuildItemsString(ITEMS(items.begin(), items.size()));
}

bool IsSharedEmptyText(const char16_t* text) { return text == SHARED_EMPTY_TEXT; }

void FreeItemsString(char16_t* text) {
    if (!IsSharedEmptyText(text)) std::free(text);
}

}  // namespace qv
