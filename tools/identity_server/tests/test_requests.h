// Identity requests built byte by byte for the tests, from the wire layout alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qv::identity_server::test {

struct ACCOUNT_SECTION {
    std::u16string Name;
    std::u16string Dn;
    std::u16string Ou;
};

struct TEST_REQUEST {
    uint32_t RequestId = 0x01020304;
    uint8_t IpVersion = 4;
    std::vector<uint8_t> Address = {10, 1, 2, 3};
    uint8_t OsCode = 12;
    uint8_t OsMajor = 10;
    uint8_t OsMinor = 0;
    std::optional<ACCOUNT_SECTION> Computer;
    std::optional<ACCOUNT_SECTION> User;
    std::vector<std::pair<std::u16string, std::u16string>> Groups;
    uint8_t Kind = 0x20;
};

std::vector<uint8_t> EncodeTestRequest(const TEST_REQUEST& request);

// The 34-byte logon for 10.1.2.3 without names, as the protocol description gives it.
std::vector<uint8_t> ExampleRequest(uint32_t requestId);

void PutBigEndian32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
uint32_t BigEndian32(const std::vector<uint8_t>& bytes, size_t offset);

}  // namespace qv::identity_server::test
