// The item-list builder's tag families (support/item_list.cpp): what each item produces. Every
// family measures and writes its items in one function, side by side, so the measuring pass
// and the writing pass cannot come to different sizes:
//   MEASURE  sets STEP::Bytes to what the item adds, and rejects (false) the values a list may
//            not hold; the walker has checked the kinds of the item's slots before;
//   WRITE    stores exactly those bytes at STEP::Out and moves it on, trusting the measurement.
// The walker owns the rest: tags and slot kinds, left-out items, nested lists, ITEM_FREE, and
// the NUL that ITEM_TERMINATE adds after an item (the text arrays add theirs after each text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/format.h"
#include "support/item_list.h"
#include "support/item_list_output.h"
#include "support/number_text.h"

namespace qv::item_list {

constexpr uint64_t MAX_SIZE = 0xFFFFFFFFu;
// A nested list is bounded only by its terminator; its formats see this many slots ahead.
constexpr size_t UNBOUNDED_SLOTS = size_t{1} << 24;

enum class PASS { MEASURE, WRITE, RELEASE };

// The output of one build: MEASURE counts it, WRITE fills [Start, End).
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

// One item in the hands of its family.
struct STEP {
    uint32_t Item;
    const ITEM* Arguments;  // the item's argument slots
    bool BigEndian;
    uint32_t Width;         // of the item's characters: 1 narrow, 2 wide (0: no text)
    uint32_t Terminator;    // bytes of the NUL that ITEM_TERMINATE adds; 0 without the flag
    uint8_t* Out;           // WRITE: where the item goes
    uint64_t Bytes = 0;     // MEASURE: what the item adds
};

// --- reading slots ---------------------------------------------------------------------------

// The 64 bits of an integer slot, read through the member it was stored in.
inline uint64_t Bits(const ITEM& slot) {
    return slot.Kind == ARG_KIND::SIGNED ? static_cast<uint64_t>(slot.Signed) : slot.Unsigned;
}
inline uint32_t U32(const ITEM& slot) { return static_cast<uint32_t>(Bits(slot)); }

template <typename T>
inline T* Ptr(const ITEM& slot) {
    return static_cast<T*>(const_cast<void*>(slot.Pointer));
}

template <typename CHAR>
inline size_t UnitCount(const CHAR* text) {
    size_t length = 0;
    if (text != nullptr) {
        while (text[length] != 0) ++length;
    }
    return length;
}

inline uint64_t Magnitude(int64_t value) {
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

// A NUL of the step's terminator width after an item (or after each text of an array).
template <PASS P>
[[gnu::always_inline]] inline void Terminate(STEP& step) {
    if constexpr (P == PASS::WRITE) {
        step.Out = PutTerminator(step.Out, step.Terminator);
    } else {
        step.Bytes += step.Terminator;
    }
}

// --- fills: ITEM_ZEROS, ITEM_RESERVE, ITEM_WNUL, ITEM_ANUL, ITEM_WREPEAT, ITEM_AREPEAT -------

template <PASS P>
[[gnu::always_inline]] inline bool FillItem(STEP& step) {
    const ITEM* a = step.Arguments;
    switch (step.Item) {
        case ITEM_ZEROS:
        case ITEM_RESERVE: {
            // Reserved bytes are left as they are.
            const uint32_t count = U32(*a);
            if constexpr (P == PASS::WRITE) {
                if (step.Item == ITEM_ZEROS) std::memset(step.Out, 0, count);
                step.Out += count;
            } else {
                step.Bytes = count;
            }
            break;
        }
        case ITEM_WNUL:
        case ITEM_ANUL:
            if constexpr (P == PASS::WRITE) {
                step.Out = PutTerminator(step.Out, step.Width);
            } else {
                step.Bytes = step.Width;
            }
            break;
        case ITEM_WREPEAT: {
            const uint32_t count = U32(a[1]);
            if constexpr (P == PASS::WRITE) {
                const uint16_t value = static_cast<uint16_t>(Bits(*a));
                for (uint32_t i = 0; i < count; ++i) step.Out = Put16(step.Out, value, step.BigEndian);
            } else {
                step.Bytes = uint64_t{count} * 2;
            }
            break;
        }
        default: {  // ITEM_AREPEAT
            const uint32_t count = U32(a[1]);
            if constexpr (P == PASS::WRITE) {
                std::memset(step.Out, static_cast<uint8_t>(Bits(*a)), count);
                step.Out += count;
            } else {
                step.Bytes = count;
            }
            break;
        }
    }
    return true;
}

// --- texts: ITEM_WTEXT, ITEM_ATEXT, ITEM_WTEXT_ARRAY, ITEM_ATEXT_ARRAY -----------------------

inline bool IsTextArray(uint32_t item) { return item == ITEM_WTEXT_ARRAY || item == ITEM_ATEXT_ARRAY; }

template <PASS P, typename CHAR>
inline void Text(STEP& step, const CHAR* text) {
    if constexpr (P == PASS::WRITE) {
        step.Out = PutText(step.Out, text, step.BigEndian);
    } else {
        step.Bytes += uint64_t{UnitCount(text)} * sizeof(CHAR);
    }
}

template <PASS P>
[[gnu::always_inline]] inline bool TextItem(STEP& step) {
    const ITEM* a = step.Arguments;
    if (step.Item == ITEM_WTEXT) {
        Text<P>(step, static_cast<const char16_t*>(a->Pointer));
        return true;
    }
    if (step.Item == ITEM_ATEXT) {
        Text<P>(step, static_cast<const char*>(a->Pointer));
        return true;
    }
    // An array: each text followed by its own NUL.
    const uint32_t count = U32(a[1]);
    if (count == 0) return true;
    if constexpr (P == PASS::MEASURE) {
        if (a->Pointer == nullptr) return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (step.Item == ITEM_WTEXT_ARRAY) {
            Text<P>(step, static_cast<const char16_t* const*>(a->Pointer)[i]);
        } else {
            Text<P>(step, static_cast<const char* const*>(a->Pointer)[i]);
        }
        Terminate<P>(step);
        if constexpr (P == PASS::MEASURE) {
            if (step.Bytes > MAX_SIZE) return false;
        }
    }
    return true;
}

// --- binary values: ITEM_WCHAR, ITEM_ACHAR, ITEM_BYTE, ITEM_UINT16, ITEM_UINT32, ITEM_BYTES,
//     ITEM_UINT16_ARRAY, ITEM_UINT32_ARRAY ---------------------------------------------------

template <PASS P>
[[gnu::always_inline]] inline bool BinaryItem(STEP& step) {
    const ITEM* a = step.Arguments;
    switch (step.Item) {
        case ITEM_WCHAR:
        case ITEM_UINT16:
            if constexpr (P == PASS::WRITE) {
                step.Out = Put16(step.Out, static_cast<uint16_t>(Bits(*a)), step.BigEndian);
            } else {
                step.Bytes = 2;
            }
            return true;
        case ITEM_ACHAR:
        case ITEM_BYTE:
            if constexpr (P == PASS::WRITE) {
                *step.Out++ = static_cast<uint8_t>(Bits(*a));
            } else {
                step.Bytes = 1;
            }
            return true;
        case ITEM_UINT32:
            if constexpr (P == PASS::WRITE) {
                step.Out = Put32(step.Out, U32(*a), step.BigEndian);
            } else {
                step.Bytes = 4;
            }
            return true;
        case ITEM_BYTES: {
            const uint32_t length = a->Pointer != nullptr ? U32(a[1]) : 0;
            if constexpr (P == PASS::WRITE) {
                if (length != 0) std::memcpy(step.Out, a->Pointer, length);
                step.Out += length;
            } else {
                step.Bytes = length;
            }
            return true;
        }
        default:
            break;
    }
    // ITEM_UINT16_ARRAY, ITEM_UINT32_ARRAY
    const uint32_t count = U32(a[1]);
    const size_t size = step.Item == ITEM_UINT16_ARRAY ? 2 : 4;
    if constexpr (P == PASS::MEASURE) {
        if (count != 0 && a->Pointer == nullptr) return false;
        step.Bytes = uint64_t{count} * size;
    } else {
        if (count == 0) return true;
        if (!step.BigEndian) {
            std::memcpy(step.Out, a->Pointer, count * size);
            step.Out += count * size;
            return true;
        }
        // Read through memcpy as well: the caller's values need not be aligned.
        const uint8_t* values = static_cast<const uint8_t*>(a->Pointer);
        for (uint32_t i = 0; i < count; ++i, values += size) {
            if (size == 2) {
                uint16_t v;
                std::memcpy(&v, values, 2);
                step.Out = Put16(step.Out, v, true);
            } else {
                uint32_t v;
                std::memcpy(&v, values, 4);
                step.Out = Put32(step.Out, v, true);
            }
        }
    }
    return true;
}

// --- decimal numbers: ITEM_WDEC_INT32 ... ITEM_ADEC_UINT64 -----------------------------------

template <PASS P>
[[gnu::always_inline]] inline bool DecimalItem(STEP& step) {
    // The slot's value taken at the item's width and signedness.
    uint64_t magnitude = Bits(*step.Arguments);
    bool negative = false;
    switch (step.Item) {
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
    if constexpr (P == PASS::WRITE) {
        step.Out = step.Width == 2 ? PutDecimal<char16_t>(step.Out, magnitude, negative)
                                   : PutDecimal<char>(step.Out, magnitude, negative);
    } else {
        step.Bytes = uint64_t{DecimalTextLength(magnitude, negative)} * step.Width;
    }
    return true;
}

// --- hex digits: ITEM_WHEX, ITEM_AHEX ----------------------------------------------------------

template <PASS P>
[[gnu::always_inline]] inline bool HexItem(STEP& step, uint8_t* blockEnd) {
    const ITEM* a = step.Arguments;
    const uint8_t* data = static_cast<const uint8_t*>(a->Pointer);
    const uint32_t count = data != nullptr ? U32(a[1]) : 0;
    const uint32_t group = U32(a[2]);
    if constexpr (P == PASS::MEASURE) {
        // Two digits a byte, so past 2^31 bytes the text cannot fit in 32 bits; below that the
        // length only wraps once, to below 2 * count.
        if (count > 0x7FFFFFFFu) return false;
        const uint32_t units = HexTextLength(count, group);
        if (units < uint64_t{count} * 2) return false;
        step.Bytes = uint64_t{units} * step.Width;
    } else {
        if (count == 0) return true;
        const bool lower = Bits(a[4]) == 0;
        if (step.Item == ITEM_WHEX) {
            const char16_t separator = static_cast<char16_t>(Bits(a[3]));
            step.Out = PutProducedWide(step.Out, blockEnd, [&](char16_t* text, size_t) -> size_t {
                WriteHexText<char16_t>(text, data, count, lower, group, separator);
                return HexTextLength(count, group);
            });
        } else {
            const char separator = static_cast<char>(Bits(a[3]));
            WriteHexText<char>(reinterpret_cast<char*>(step.Out), data, count, lower, group, separator);
            step.Out += HexTextLength(count, group);
        }
    }
    return true;
}

// --- formats: ITEM_WFORMAT, ITEM_AFORMAT --------------------------------------------------------

// The slots a format takes after its format slot ('end' bounds a top-level list, null for a
// nested one), and optionally its length in units; false when they run past the list.
template <typename CHAR>
inline bool MeasureFormat(const ITEM* format, const ITEM* end, size_t& consumed, size_t* units) {
    consumed = 0;
    const CHAR* text = static_cast<const CHAR*>(format->Pointer);
    size_t available = end != nullptr ? static_cast<size_t>(end - (format + 1)) : UNBOUNDED_SLOTS;
    size_t length = 0;
    if (text != nullptr) {
        length = FormatText(static_cast<CHAR*>(nullptr), 0, text, FORMAT_ARGS(format + 1, available), &consumed);
    }
    if (units != nullptr) *units = length;
    return consumed <= available;
}

inline bool FormatSlots(uint32_t item, const ITEM* format, const ITEM* end, size_t& consumed) {
    return item == ITEM_WFORMAT ? MeasureFormat<char16_t>(format, end, consumed, nullptr)
                                : MeasureFormat<char>(format, end, consumed, nullptr);
}

// The format's own arguments follow its format slot; 'next', the slot after the item, is moved
// past the ones it takes.
template <PASS P>
[[gnu::always_inline]] inline bool FormatItem(STEP& step, const ITEM* end, uint8_t* blockEnd, const ITEM*& next) {
    const ITEM* a = step.Arguments;
    size_t consumed = 0;
    if constexpr (P == PASS::MEASURE) {
        size_t units;
        const bool fits = step.Item == ITEM_WFORMAT ? MeasureFormat<char16_t>(a, end, consumed, &units)
                                                    : MeasureFormat<char>(a, end, consumed, &units);
        if (!fits || units > MAX_SIZE) return false;
        step.Bytes = uint64_t{units} * step.Width;
    } else if (a->Pointer != nullptr) {
        const ITEM* arguments = a + 1;
        const FORMAT_ARGS values(arguments, end != nullptr ? static_cast<size_t>(end - arguments) : UNBOUNDED_SLOTS);
        if (step.Item == ITEM_WFORMAT) {
            const char16_t* format = static_cast<const char16_t*>(a->Pointer);
            step.Out = PutProducedWide(step.Out, blockEnd, [&](char16_t* text, size_t capacity) {
                return FormatText(text, capacity, format, values, &consumed);
            });
        } else {
            const char* format = static_cast<const char*>(a->Pointer);
            step.Out += FormatText(reinterpret_cast<char*>(step.Out), static_cast<size_t>(blockEnd - step.Out), format,
                                   values, &consumed);
        }
    }
    next += consumed;
    return true;
}

// --- positions: ITEM_MARK, ITEM_ORIGIN, ITEM_LENGTH*, ITEM_OFFSET*, ITEM_ALIGN -----------------

// A position variable that a back-fill writes through must point inside the output with room
// for the value; it is the one thing the measurement cannot vouch for.
inline uint8_t* BackFillTarget(const BUILD& build, const ITEM& slot, size_t width) {
    uint8_t* target = *Ptr<uint8_t*>(slot);
    uintptr_t at = reinterpret_cast<uintptr_t>(target);
    uintptr_t start = reinterpret_cast<uintptr_t>(build.Start);
    uintptr_t end = reinterpret_cast<uintptr_t>(build.End);
    if (target == nullptr || at < start || at > end || end - at < width) return nullptr;
    return target;
}

// 'measured' is the size of everything before the item (MEASURE).
template <PASS P>
[[gnu::always_inline]] inline bool PositionItem(STEP& step, BUILD& build, uint64_t measured) {
    const ITEM* a = step.Arguments;
    switch (step.Item) {
        case ITEM_MARK:
            if constexpr (P == PASS::WRITE) {
                *Ptr<uint8_t*>(*a) = step.Out;
                return true;
            } else {
                return a->Pointer != nullptr;
            }
        case ITEM_ORIGIN:
            if constexpr (P == PASS::WRITE) build.Origin = step.Out;
            return true;
        case ITEM_ALIGN: {
            const uint32_t alignment = U32(a[0]);
            // Positions fit in 32 bits (the measurement guarantees it), so the arithmetic
            // stays 32-bit.
            if constexpr (P == PASS::WRITE) {
                const uint32_t fill = U32(a[1]);
                const uint32_t pad = (alignment - static_cast<uint32_t>(step.Out - build.Start) % alignment) % alignment;
                if (fill != ITEM_ALIGN_KEEP) {
                    for (uint32_t i = 0; i < pad; ++i) step.Out[i] = static_cast<uint8_t>(fill);
                }
                step.Out += pad;
            } else {
                if (alignment == 0) return false;
                step.Bytes = (alignment - static_cast<uint32_t>(measured) % alignment) % alignment;
            }
            return true;
        }
        default:
            break;
    }
    // The lengths and offsets, which write nothing in place.
    if constexpr (P == PASS::MEASURE) {
        return a->Pointer != nullptr;
    } else {
        // Tags come in pairs per width (8, 16, 32), lengths first, then offsets; the odd
        // member of each pair writes through a position variable.
        const uint32_t index = step.Item - ITEM_LENGTH8;
        const size_t width = size_t{1} << ((index % 6) / 2);
        const bool fromOrigin = index < 6;
        const uint64_t value = static_cast<uint64_t>(step.Out - (fromOrigin ? build.Origin : build.Start));
        uint8_t* target = (index & 1) != 0 ? BackFillTarget(build, *a, width) : Ptr<uint8_t>(*a);
        if (target == nullptr) return false;
        StoreLength(target, value, width);
        return true;
    }
}

}  // namespace qv::item_list
