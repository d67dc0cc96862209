// The item-list builder.
//
// One walker serves three passes over the same list:
//   MEASURE  checks every slot against its tag and adds up the bytes each item produces;
//   WRITE    fills a block of exactly that size (it trusts the measurement and does not
//            re-check the slots);
//   RELEASE  frees the pointers handed over with ITEM_FREE, after a successful write or
//            after a failure, so ownership passes to the builder whatever happens.
// Keeping all three in one walker is what keeps them in agreement: an item is measured,
// written and stepped over by the same code, so the slots it owns are counted once. What an
// item produces is its family's business (support/item_list_families.h): each family measures
// and writes its items in one function.
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
#include "support/item_list_families.h"

namespace qv {

namespace {

using namespace item_list;

constexpr uint32_t LAST_TAG = ITEM_ALIGN;
// Bits between the item number and the flags; none has a meaning yet.
constexpr uint32_t UNUSED_TAG_BITS = ~(ITEM_TAG_MASK | ITEM_FREE | ITEM_TERMINATE | ITEM_BIG_ENDIAN);
// Nested lists deeper than this are taken for a list that contains itself.
constexpr unsigned MAX_DEPTH = 32;

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

// The tag names an item, carries only flags that item allows, and is followed by the slots
// the item takes, each of the kind it expects.
inline bool ItemFits(uint32_t tag, const ITEM* arguments, const ITEM* end) {
    const uint32_t item = tag & ITEM_TAG_MASK;
    if (item > LAST_TAG || (tag & UNUSED_TAG_BITS) != 0) return false;
    const TAG_INFO& info = TAGS[item];
    if ((tag & ITEM_FREE) != 0 && !info.Frees) return false;
    if (end != nullptr && static_cast<size_t>(end - arguments) < info.Arguments) return false;
    for (unsigned i = 0; i < info.Arguments; ++i) {
        if (!SlotFits(info.Slots[i], arguments[i])) return false;
    }
    return true;
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
        if constexpr (P != PASS::WRITE) {
            if (!ItemFits(tag, a, end)) return false;
            if constexpr (P == PASS::MEASURE) {
                if ((tag & ITEM_FREE) != 0) build.Frees = true;
            }
        }
        const TAG_INFO& info = TAGS[item];
        const ITEM* next = a + info.Arguments;

        bool skip = leftOut;
        if (leave > 0) {
            skip = true;
            --leave;
        }

        if (skip) {
            // Stepped over: a format's own arguments still take their slots, and a left-out
            // nested list still has to be a list (its slots are checked, and what it hands over
            // with ITEM_FREE is freed).
            if (item == ITEM_WFORMAT || item == ITEM_AFORMAT) {
                size_t consumed;
                if (!FormatSlots(item, a, end, consumed)) return false;
                next += consumed;
            } else if constexpr (P != PASS::WRITE) {
                if (item == ITEM_NESTED && a->Pointer != nullptr) {
                    if (!Walk<P>(build, static_cast<const ITEM*>(a->Pointer), nullptr, true, depth + 1)) return false;
                }
            }
        } else if constexpr (P != PASS::RELEASE) {
            const uint32_t terminator = (tag & ITEM_TERMINATE) != 0 ? info.Width : 0;
            STEP step{item, a, (tag & ITEM_BIG_ENDIAN) != 0, info.Width, terminator, out};
            bool produced = true;
            // One case per tag rather than one per family: inlined into each, a family's own
            // branching on the tag folds away, so a pass dispatches once per item.
            switch (item) {
                case ITEM_NESTED:
                    if (a->Pointer != nullptr) {
                        build.Position = out;
                        build.Size = measured;
                        if (!Walk<P>(build, static_cast<const ITEM*>(a->Pointer), nullptr, false, depth + 1)) return false;
                        step.Out = build.Position;
                        measured = build.Size;
                    }
                    break;
                case ITEM_LEAVE_OUT: leave = U32(*a); break;
                case ITEM_ZEROS: produced = FillItem<P>(step); break;
                case ITEM_RESERVE: produced = FillItem<P>(step); break;
                case ITEM_WNUL: produced = FillItem<P>(step); break;
                case ITEM_ANUL: produced = FillItem<P>(step); break;
                case ITEM_WREPEAT: produced = FillItem<P>(step); break;
                case ITEM_AREPEAT: produced = FillItem<P>(step); break;
                case ITEM_WTEXT: produced = TextItem<P>(step); break;
                case ITEM_ATEXT: produced = TextItem<P>(step); break;
                case ITEM_WTEXT_ARRAY: produced = TextItem<P>(step); break;
                case ITEM_ATEXT_ARRAY: produced = TextItem<P>(step); break;
                case ITEM_WCHAR: produced = BinaryItem<P>(step); break;
                case ITEM_ACHAR: produced = BinaryItem<P>(step); break;
                case ITEM_BYTE: produced = BinaryItem<P>(step); break;
                case ITEM_UINT16: produced = BinaryItem<P>(step); break;
                case ITEM_UINT32: produced = BinaryItem<P>(step); break;
                case ITEM_BYTES: produced = BinaryItem<P>(step); break;
                case ITEM_UINT16_ARRAY: produced = BinaryItem<P>(step); break;
                case ITEM_UINT32_ARRAY: produced = BinaryItem<P>(step); break;
                case ITEM_WDEC_INT32: produced = DecimalItem<P>(step); break;
                case ITEM_ADEC_INT32: produced = DecimalItem<P>(step); break;
                case ITEM_WDEC_UINT32: produced = DecimalItem<P>(step); break;
                case ITEM_ADEC_UINT32: produced = DecimalItem<P>(step); break;
                case ITEM_WDEC_INT64: produced = DecimalItem<P>(step); break;
                case ITEM_ADEC_INT64: produced = DecimalItem<P>(step); break;
                case ITEM_WDEC_UINT64: produced = DecimalItem<P>(step); break;
                case ITEM_ADEC_UINT64: produced = DecimalItem<P>(step); break;
                case ITEM_WHEX: produced = HexItem<P>(step, build.End); break;
                case ITEM_AHEX: produced = HexItem<P>(step, build.End); break;
                case ITEM_WFORMAT: produced = FormatItem<P>(step, end, build.End, next); break;
                case ITEM_AFORMAT: produced = FormatItem<P>(step, end, build.End, next); break;
                case ITEM_MARK: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_ORIGIN: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_ALIGN: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_LENGTH8: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_LENGTH8_AT: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_LENGTH16: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_LENGTH16_AT: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_LENGTH32: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_LENGTH32_AT: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_OFFSET8: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_OFFSET8_AT: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_OFFSET16: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_OFFSET16_AT: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_OFFSET32: produced = PositionItem<P>(step, build, measured); break;
                case ITEM_OFFSET32_AT: produced = PositionItem<P>(step, build, measured); break;
                default: return false;
            }
            if (!produced) {
                build.Position = step.Out;
                return false;
            }
            if (!IsTextArray(item)) Terminate<P>(step);
            out = step.Out;
            if constexpr (P == PASS::MEASURE) {
                measured += step.Bytes;
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
