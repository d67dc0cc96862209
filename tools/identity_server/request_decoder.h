// Strict reading of one identity request (header and body). Every field is checked against the
// wire layout the agents send; the first deviation is described with the offset where it stands,
// so a malformed request from an agent under test can be traced to the exact byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qv::identity_server {

inline constexpr size_t REQUEST_HEADER_SIZE = 10;
inline constexpr uint16_t IDENTITY_REQUEST_CODE = 0x0010;
inline constexpr uint16_t RESPONSE_FLAG = 0x8000;

inline constexpr uint32_t FIELD_MASK_BASE = 0x00000E06;
inline constexpr uint32_t FIELD_MASK_COMPUTER = 0x00000038;
inline constexpr uint32_t FIELD_MASK_USER = 0x000001C0;

inline constexpr uint8_t REPORT_KIND_LOGON = 0x20;
inline constexpr uint8_t REPORT_KIND_LOGOFF = 0x21;
inline constexpr uint8_t REPORT_KIND_HEARTBEAT = 0x30;

struct GROUP_ENTRY {
    std::string Name;
    std::string Dn;
};

// A decoded request. Texts are UTF-8. Fields after the point where decoding stopped keep their
// initial values.
struct IDENTITY_REQUEST_FIELDS {
    uint16_t Length = 0;
    uint32_t RequestId = 0;
    uint32_t FieldMask = 0;
    uint8_t IpVersion = 0;
    std::array<uint8_t, 16> Address{};
    uint8_t AgentMajor = 0;
    uint8_t AgentMinor = 0;
    uint8_t AgentPatch = 0;
    uint8_t OsCode = 0;
    uint8_t OsMajor = 0;
    uint8_t OsMinor = 0;
    bool HasComputer = false;
    std::string ComputerName;
    std::string ComputerDn;
    std::string ComputerOu;
    bool HasUser = false;
    std::string UserName;
    std::string UserDn;
    std::string UserOu;
    std::vector<GROUP_ENTRY> Groups;
    uint8_t Kind = 0;
};

struct DECODE_RESULT {
    bool Valid = false;
    // Whether the header's RequestId could be read (10 bytes or more), so an answer can echo it.
    bool HasRequestId = false;
    IDENTITY_REQUEST_FIELDS Fields;
    std::string Error;     // what is wrong, including the offset; empty when valid
    size_t ErrorOffset = 0;
};

// Decodes bytes as exactly one request: the header's Length must equal bytes.size().
DECODE_RESULT DecodeRequest(std::span<const uint8_t> bytes);

// "logon", "logoff", "heartbeat", or "unknown".
const char* KindName(uint8_t kind);

// The address as text ("10.1.2.3", "fe80::1"), or "" for IP version 0.
std::string AddressText(const IDENTITY_REQUEST_FIELDS& fields);

}  // namespace qv::identity_server
