#include "transform/posix/summary_information.h"

#include "transform/little_endian.h"
#include "transform/property_set.h"

namespace qv {

namespace {

constexpr uint32_t WIN32_OS_KIND = 0x00020000;

void PadToFour(std::string& bytes) {
    while (bytes.size() % 4 != 0) bytes += '\0';
}

std::string EncodeValue(const SUMMARY_PROPERTY& property) {
    std::string value;
    switch (property.Kind) {
        case SUMMARY_PROPERTY::KIND::SHORT:
            AppendLittleEndian(value, VT_I2, 4);
            AppendLittleEndian(value, static_cast<uint32_t>(property.Number), 2);
            break;
        case SUMMARY_PROPERTY::KIND::LONG:
            AppendLittleEndian(value, VT_I4, 4);
            AppendLittleEndian(value, static_cast<uint32_t>(property.Number), 4);
            break;
        case SUMMARY_PROPERTY::KIND::TEXT:
            AppendLittleEndian(value, VT_LPSTR, 4);
            AppendLittleEndian(value, static_cast<uint32_t>(property.Text.size() + 1), 4);
            value += property.Text;
            value += '\0';
            break;
    }
    PadToFour(value);
    return value;
}

}  // namespace

std::string EncodeSummaryInformation(const std::vector<SUMMARY_PROPERTY>& properties) {
    // The section: its size, the property count, (number, offset) pairs, then the values.
    std::string values;
    std::string index;
    const uint32_t indexSize = 8 + 8 * static_cast<uint32_t>(properties.size());
    for (const SUMMARY_PROPERTY& property : properties) {
        AppendLittleEndian(index, property.Id, 4);
        AppendLittleEndian(index, indexSize + static_cast<uint32_t>(values.size()), 4);
        values += EncodeValue(property);
    }
    std::string section;
    AppendLittleEndian(section, indexSize + static_cast<uint32_t>(values.size()), 4);
    AppendLittleEndian(section, static_cast<uint32_t>(properties.size()), 4);
    section += index;
    section += values;

    std::string stream;
    AppendLittleEndian(stream, PROPERTY_SET_BYTE_ORDER, 2);
    AppendLittleEndian(stream, 0, 2);  // format version
    AppendLittleEndian(stream, WIN32_OS_KIND, 4);
    stream.append(16, '\0');  // no class
    AppendLittleEndian(stream, 1, 4);     // one section
    stream.append(reinterpret_cast<const char*>(SUMMARY_INFORMATION_FORMAT_ID), sizeof SUMMARY_INFORMATION_FORMAT_ID);
    AppendLittleEndian(stream, PROPERTY_SET_HEADER_SIZE + PROPERTY_SET_SECTION_ENTRY_SIZE, 4);
    stream += section;
    return stream;
}

}  // namespace qv
