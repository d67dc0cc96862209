#include "transform/summary_check.h"

#include <cstdint>
#include <cstring>

#include "transform/little_endian.h"
#include "transform/property_set.h"

namespace qv {

namespace {

constexpr size_t SECTION_OFFSET_OFFSET = PROPERTY_SET_HEADER_SIZE + sizeof SUMMARY_INFORMATION_FORMAT_ID;
constexpr size_t HEADER_SIZE = PROPERTY_SET_HEADER_SIZE + PROPERTY_SET_SECTION_ENTRY_SIZE;
// The type each property the installer knows must have (0: a property it doesn't know, at
// which it stops reading).
constexpr uint32_t PROPERTY_TYPES[] = {
    0,        VT_I2,       VT_LPSTR,    VT_LPSTR,    VT_LPSTR, VT_LPSTR, VT_LPSTR, VT_LPSTR, VT_LPSTR, VT_LPSTR,
    0,        VT_FILETIME, VT_FILETIME, VT_FILETIME, VT_I4,    VT_I4,    VT_I4,    0,        VT_LPSTR, VT_I4,
};
constexpr uint32_t PROPERTY_COUNT = sizeof PROPERTY_TYPES / sizeof PROPERTY_TYPES[0];

uint32_t Dword(const std::string& bytes, size_t offset) { return ReadLittleEndian(bytes, offset, 4); }

// Bytes a value of this type needs after its type word: the value, or a text's length (the
// text follows).
size_t ValueSize(uint32_t type) { return type == VT_FILETIME ? 8 : 4; }

}  // namespace

bool CheckSummaryInformation(const std::string& stream, std::string& problem) {
    const auto fail = [&](const std::string& what) {
        problem = "The summary information is damaged: " + what;
        return false;
    };
    if (stream.size() < HEADER_SIZE || ReadLittleEndian(stream, 0, 2) != PROPERTY_SET_BYTE_ORDER ||
        std::memcmp(stream.data() + PROPERTY_SET_HEADER_SIZE, SUMMARY_INFORMATION_FORMAT_ID,
                    sizeof SUMMARY_INFORMATION_FORMAT_ID) != 0) {
        return fail("it is not a summary information property set");
    }
    const size_t section = Dword(stream, SECTION_OFFSET_OFFSET);
    if (section > stream.size() || stream.size() - section < 8) return fail("its section lies outside it");
    // Offsets of values count from the start of the section, and the section's own size bounds them.
    const size_t size = Dword(stream, section);
    const size_t count = Dword(stream, section + 4);
    if (size > stream.size() - section) return fail("its section is larger than the stream");
    if (count > PROPERTY_COUNT || 8 + 8 * count > size) return fail("it lists more properties than it holds");
    for (size_t i = 0; i < count; ++i) {
        const uint32_t id = Dword(stream, section + 8 + 8 * i);
        const size_t offset = Dword(stream, section + 12 + 8 * i);
        if (id >= PROPERTY_COUNT || PROPERTY_TYPES[id] == 0) break;
        const std::string name = "property " + std::to_string(id);
        if (offset > size || size - offset < 4 || Dword(stream, section + offset) != PROPERTY_TYPES[id]) {
            return fail(name + " doesn't have its type");
        }
        const uint32_t type = PROPERTY_TYPES[id];
        if (size - offset - 4 < ValueSize(type)) return fail(name + " is cut short");
        if (type == VT_LPSTR) {
            const size_t length = Dword(stream, section + offset + 4);
            if (length == 0 || length > size - offset - 8) return fail(name + " has a text of the wrong length");
        }
    }
    return true;
}

}  // namespace qv
