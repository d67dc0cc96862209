#include "tools/identity_server/tests/test_requests.h"

namespace qv::identity_server::test {
namespace {

void Word(std::vector<uint8_t>& bytes, uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value));
}

void Text(std::vector<uint8_t>& bytes, const std::u16string& text)
{
    Word(bytes, static_cast<uint16_t>(text.size()));
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
}

void Section(std::vector<uint8_t>& bytes, const ACCOUNT_SECTION& section)
{
    Text(bytes, section.Name);
    Text(bytes, section.Dn);
    Text(bytes, section.Ou);
}

}  // namespace

void PutBigEndian32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    for (size_t index = 0; index < 4; ++index)
        bytes[offset + index] = static_cast<uint8_t>(value >> (24 - 8 * index));
}

uint32_t BigEndian32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return (static_cast<uint32_t>(bytes[offset]) << 24) | (static_cast<uint32_t>(bytes[offset + 1]) << 16) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 8) | bytes[offset + 3];
}

std::vector<uint8_t> EncodeTestRequest(const TEST_REQUEST& request)
{
    std::vector<uint8_t> bytes = {0, 0, 0, 3, 0, 0x10, 0, 0, 0, 0};
    PutBigEndian32(bytes, 6, request.RequestId);
    const uint32_t mask = 0x0E06 | (request.Computer ? 0x38 : 0) | (request.User ? 0x1C0 : 0);
    bytes.resize(14);
    PutBigEndian32(bytes, 10, mask);
    bytes.insert(bytes.end(), {2, 0, 0, 0, 1, request.IpVersion});
    bytes.insert(bytes.end(), request.Address.begin(), request.Address.end());
    bytes.insert(bytes.end(), {19, 1, 2, 5, request.OsCode, request.OsMajor, request.OsMinor});
    if (request.Computer)
        Section(bytes, *request.Computer);
    if (request.User)
        Section(bytes, *request.User);
    Word(bytes, static_cast<uint16_t>(request.Groups.size()));
    if (!request.Groups.empty())
        bytes.push_back(0);
    for (const auto& [name, dn] : request.Groups) {
        Text(bytes, name);
        Text(bytes, dn);
    }
    bytes.push_back(request.Kind);
    bytes[0] = static_cast<uint8_t>(bytes.size() >> 8);
    bytes[1] = static_cast<uint8_t>(bytes.size());
    return bytes;
}

std::vector<uint8_t> ExampleRequest(uint32_t requestId)
{
    std::vector<uint8_t> bytes = {0x00, 0x22, 0x00, 0x03, 0x00, 0x10, 0, 0, 0, 0, 0x00, 0x00,
                                  0x0E, 0x06, 0x02, 0x00, 0x00, 0x00, 0x01, 0x04, 0x0A, 0x01,
                                  0x02, 0x03, 0x13, 0x01, 0x02, 0x05, 0x0C, 0x0A, 0x00, 0x00,
                                  0x00, 0x20};
    PutBigEndian32(bytes, 6, requestId);
    return bytes;
}

}  // namespace qv::identity_server::test
