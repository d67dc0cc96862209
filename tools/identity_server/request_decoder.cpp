#include "tools/identity_server/request_decoder.h"

#include "tools/identity_server/utf16_text.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>

namespace qv::identity_server {
namespace {

constexpr uint8_t FIXED_AFTER_MASK = 2;
constexpr uint16_t FIXED_ZERO_WORD = 0;
constexpr uint16_t FIXED_ONE_WORD = 1;
constexpr uint16_t FIXED_HEADER_WORD = 3;
constexpr uint8_t FIXED_BEFORE_VERSION = 19;
constexpr uint8_t GROUP_MARKER = 0;

bool IsKnownOsCode(uint8_t code)
{
    switch (code) {
    case 0: case 1: case 2: case 4: case 5: case 6: case 7: case 8: case 9: case 10: case 11: case 12:
        return true;
    default:
        return false;
    }
}

// Reads fields in order and records the first problem with its offset. After a failure every
// further read fails too, so the decoding code can stay a straight sequence.
class FIELD_READER {
public:
    explicit FIELD_READER(std::span<const uint8_t> bytes) : Bytes(bytes) {}

    bool Failed() const { return !Error.empty(); }
    size_t Offset() const { return Position; }
    size_t Remaining() const { return Bytes.size() - Position; }
    const std::string& ErrorText() const { return Error; }
    size_t ErrorOffset() const { return ErrorPosition; }

    void Fail(size_t offset, const char* format, ...) __attribute__((format(printf, 3, 4)))
    {
        if (Failed())
            return;
        char text[256];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text, sizeof text, format, arguments);
        va_end(arguments);
        ErrorPosition = offset;
        Error = text;
    }

    bool Need(size_t count, const char* what)
    {
        if (Failed())
            return false;
        if (Remaining() < count) {
            Fail(Position, "%s at offset %zu: needs %zu byte(s), the request ends after %zu", what, Position,
                 count, Remaining());
            return false;
        }
        return true;
    }

    uint8_t Byte(const char* what)
    {
        if (!Need(1, what))
            return 0;
        return Bytes[Position++];
    }

    uint16_t Word(const char* what)
    {
        if (!Need(2, what))
            return 0;
        const uint16_t value = static_cast<uint16_t>((Bytes[Position] << 8) | Bytes[Position + 1]);
        Position += 2;
        return value;
    }

    uint32_t Long(const char* what)
    {
        if (!Need(4, what))
            return 0;
        const uint32_t value = (static_cast<uint32_t>(Bytes[Position]) << 24) |
                               (static_cast<uint32_t>(Bytes[Position + 1]) << 16) |
                               (static_cast<uint32_t>(Bytes[Position + 2]) << 8) | Bytes[Position + 3];
        Position += 4;
        return value;
    }

    void CopyBytes(uint8_t* target, size_t count, const char* what)
    {
        if (!Need(count, what))
            return;
        for (size_t index = 0; index < count; ++index)
            target[index] = Bytes[Position + index];
        Position += count;
    }

    // A fixed field: a byte (size 1) or a big-endian word (size 2) that must hold expected.
    void Fixed(size_t size, uint16_t expected, const char* what)
    {
        const size_t at = Position;
        const uint16_t value = size == 1 ? Byte(what) : Word(what);
        if (!Failed() && value != expected)
            Fail(at, "%s at offset %zu is %u, expected %u", what, at, value, expected);
    }

    // 16-bit big-endian count of UTF-16 code units, then the units in little-endian order.
    std::string Text(const char* what)
    {
        const size_t at = Position;
        const uint16_t count = Word(what);
        if (Failed())
            return {};
        if (Remaining() < size_t{count} * 2) {
            Fail(at, "%s at offset %zu: count of %u code unit(s) needs %u bytes, the request ends after %zu", what,
                 at, count, count * 2u, Remaining());
            return {};
        }
        std::string utf8, problem;
        if (!Utf16LeToUtf8(&Bytes[Position], count, utf8, problem)) {
            Fail(at, "%s at offset %zu: %s", what, at, problem.c_str());
            return {};
        }
        Position += size_t{count} * 2;
        return utf8;
    }

private:
    std::span<const uint8_t> Bytes;
    size_t Position = 0;
    std::string Error;
    size_t ErrorPosition = 0;
};

bool DecodeHeader(FIELD_READER& reader, IDENTITY_REQUEST_FIELDS& fields, size_t actualLength)
{
    fields.Length = reader.Word("Length");
    if (!reader.Failed() && fields.Length != actualLength)
        reader.Fail(0, "Length at offset 0 is %u, but the request has %zu bytes", fields.Length, actualLength);
    reader.Fixed(2, FIXED_HEADER_WORD, "header fixed field");
    const size_t codeAt = reader.Offset();
    const uint16_t code = reader.Word("request code");
    if (!reader.Failed() && code != IDENTITY_REQUEST_CODE)
        reader.Fail(codeAt, "request code at offset %zu is 0x%04X, expected 0x%04X", codeAt, code,
                    IDENTITY_REQUEST_CODE);
    fields.RequestId = reader.Long("RequestId");
    return !reader.Failed();
}

void DecodeBody(FIELD_READER& reader, IDENTITY_REQUEST_FIELDS& fields)
{
    const size_t maskAt = reader.Offset();
    fields.FieldMask = reader.Long("FieldMask");
    fields.HasComputer = (fields.FieldMask & FIELD_MASK_COMPUTER) != 0;
    fields.HasUser = (fields.FieldMask & FIELD_MASK_USER) != 0;
    const uint32_t expectedMask = FIELD_MASK_BASE | (fields.HasComputer ? FIELD_MASK_COMPUTER : 0) |
                                  (fields.HasUser ? FIELD_MASK_USER : 0);
    if (!reader.Failed() && fields.FieldMask != expectedMask)
        reader.Fail(maskAt,
                    "FieldMask at offset %zu is 0x%08X, expected 0x00000E06, 0x00000E3E, 0x00000FC6 or 0x00000FFE",
                    maskAt, fields.FieldMask);
    reader.Fixed(1, FIXED_AFTER_MASK, "fixed byte after FieldMask");
    reader.Fixed(2, FIXED_ZERO_WORD, "fixed zero word after FieldMask");
    reader.Fixed(2, FIXED_ONE_WORD, "fixed one word after FieldMask");

    const size_t versionAt = reader.Offset();
    fields.IpVersion = reader.Byte("IP version");
    if (!reader.Failed()) {
        if (fields.IpVersion == 4)
            reader.CopyBytes(fields.Address.data(), 4, "IPv4 address");
        else if (fields.IpVersion == 6)
            reader.CopyBytes(fields.Address.data(), 16, "IPv6 address");
        else if (fields.IpVersion != 0)
            reader.Fail(versionAt, "IP version at offset %zu is %u, expected 4, 6 or 0", versionAt, fields.IpVersion);
    }

    reader.Fixed(1, FIXED_BEFORE_VERSION, "fixed byte before the agent version");
    fields.AgentMajor = reader.Byte("agent version major");
    fields.AgentMinor = reader.Byte("agent version minor");
    fields.AgentPatch = reader.Byte("agent version patch");
    const size_t osAt = reader.Offset();
    fields.OsCode = reader.Byte("OS code");
    if (!reader.Failed() && !IsKnownOsCode(fields.OsCode))
        reader.Fail(osAt, "OS code at offset %zu is %u, not one of 0, 1, 2, 4 to 12", osAt, fields.OsCode);
    fields.OsMajor = reader.Byte("OS major version");
    fields.OsMinor = reader.Byte("OS minor version");

    if (fields.HasComputer) {
        fields.ComputerName = reader.Text("computer name");
        fields.ComputerDn = reader.Text("computer DN");
        fields.ComputerOu = reader.Text("computer OU");
    }
    if (fields.HasUser) {
        fields.UserName = reader.Text("user name");
        fields.UserDn = reader.Text("user DN");
        fields.UserOu = reader.Text("user OU");
    }

    const uint16_t groupCount = reader.Word("GroupCount");
    if (groupCount != 0) {
        const size_t markerAt = reader.Offset();
        const uint8_t marker = reader.Byte("group marker");
        if (!reader.Failed() && marker != GROUP_MARKER)
            reader.Fail(markerAt, "group marker at offset %zu is %u, expected 0", markerAt, marker);
    }
    for (uint16_t index = 0; index < groupCount && !reader.Failed(); ++index) {
        GROUP_ENTRY entry;
        entry.Name = reader.Text("group name");
        entry.Dn = reader.Text("group DN");
        if (!reader.Failed())
            fields.Groups.push_back(std::move(entry));
    }

    const size_t kindAt = reader.Offset();
    fields.Kind = reader.Byte("kind");
    if (!reader.Failed() && fields.Kind != REPORT_KIND_LOGON && fields.Kind != REPORT_KIND_LOGOFF &&
        fields.Kind != REPORT_KIND_HEARTBEAT)
        reader.Fail(kindAt, "kind at offset %zu is 0x%02X, expected 0x20, 0x21 or 0x30", kindAt, fields.Kind);
    if (!reader.Failed() && reader.Remaining() != 0)
        reader.Fail(reader.Offset(), "%zu byte(s) left over after the kind byte, from offset %zu", reader.Remaining(),
                    reader.Offset());
}

// The sections present cannot be seen in the bytes themselves, only through FieldMask. When
// the request does not decode, this finds the masks under which it would, which usually means
// the mask and the sections disagree. (A lone computer section and a lone user section have
// the same shape, so both masks may fit.)
std::vector<uint32_t> MasksThatFit(std::span<const uint8_t> bytes, uint32_t sentMask)
{
    static constexpr uint32_t masks[] = {0x00000E06, 0x00000E3E, 0x00000FC6, 0x00000FFE};
    std::vector<uint32_t> fitting;
    if (bytes.size() < REQUEST_HEADER_SIZE + 4)
        return fitting;
    for (const uint32_t mask : masks) {
        if (mask == sentMask)
            continue;
        std::vector<uint8_t> copy(bytes.begin(), bytes.end());
        copy[10] = static_cast<uint8_t>(mask >> 24);
        copy[11] = static_cast<uint8_t>(mask >> 16);
        copy[12] = static_cast<uint8_t>(mask >> 8);
        copy[13] = static_cast<uint8_t>(mask);
        FIELD_READER reader(copy);
        IDENTITY_REQUEST_FIELDS fields;
        if (DecodeHeader(reader, fields, copy.size())) {
            DecodeBody(reader, fields);
            if (!reader.Failed())
                fitting.push_back(mask);
        }
    }
    return fitting;
}

}  // namespace

DECODE_RESULT DecodeRequest(std::span<const uint8_t> bytes)
{
    DECODE_RESULT result;
    FIELD_READER reader(bytes);
    if (DecodeHeader(reader, result.Fields, bytes.size()))
        DecodeBody(reader, result.Fields);
    // The identifier is echoed even when an earlier header field is wrong.
    if (bytes.size() >= REQUEST_HEADER_SIZE) {
        result.HasRequestId = true;
        result.Fields.RequestId = (static_cast<uint32_t>(bytes[6]) << 24) | (static_cast<uint32_t>(bytes[7]) << 16) |
                                  (static_cast<uint32_t>(bytes[8]) << 8) | bytes[9];
    }
    if (!reader.Failed()) {
        result.Valid = true;
        return result;
    }
    result.Error = reader.ErrorText();
    result.ErrorOffset = reader.ErrorOffset();
    // Only a body problem can come from a mask that does not match the sections sent.
    if (result.ErrorOffset >= REQUEST_HEADER_SIZE) {
        const std::vector<uint32_t> masks = MasksThatFit(bytes, result.Fields.FieldMask);
        for (size_t index = 0; index < masks.size(); ++index) {
            char hint[96];
            if (index == 0)
                std::snprintf(hint, sizeof hint, " (FieldMask 0x%08X does not match the sections sent: they fit 0x%08X",
                              result.Fields.FieldMask, masks[index]);
            else
                std::snprintf(hint, sizeof hint, " or 0x%08X", masks[index]);
            result.Error += hint;
        }
        if (!masks.empty())
            result.Error += ")";
    }
    return result;
}

const char* KindName(uint8_t kind)
{
    switch (kind) {
    case REPORT_KIND_LOGON:
        return "logon";
    case REPORT_KIND_LOGOFF:
        return "logoff";
    case REPORT_KIND_HEARTBEAT:
        return "heartbeat";
    default:
        return "unknown";
    }
}

std::string AddressText(const IDENTITY_REQUEST_FIELDS& fields)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (fields.IpVersion == 4)
        inet_ntop(AF_INET, fields.Address.data(), text, sizeof text);
    else if (fields.IpVersion == 6)
        inet_ntop(AF_INET6, fields.Address.data(), text, sizeof text);
    return text;
}

}  // namespace qv::identity_server
