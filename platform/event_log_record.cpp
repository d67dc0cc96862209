// The EVENTLOGRECORD layout written byte by byte, so the result is the same on every host
// whatever its byte order or alignment rules.
#include "platform/event_log_record.h"

#include <cstddef>
#include <cstdlib>

namespace qv {

namespace {

class RECORD_WRITER {
public:
    explicit RECORD_WRITER(std::vector<uint8_t>& bytes) : Bytes(bytes) {}

    uint32_t Position() const { return static_cast<uint32_t>(Bytes.size()); }

    void Put16(uint16_t value) {
        Bytes.push_back(static_cast<uint8_t>(value));
        Bytes.push_back(static_cast<uint8_t>(value >> 8));
    }
    void Put32(uint32_t value) {
        Put16(static_cast<uint16_t>(value));
        Put16(static_cast<uint16_t>(value >> 16));
    }
    void PutText(const std::u16string& text) {
        for (char16_t unit : text) Put16(static_cast<uint16_t>(unit));
        Put16(0);
    }
    void PutBytes(const std::vector<uint8_t>& data) { Bytes.insert(Bytes.end(), data.begin(), data.end()); }
    void AlignTo4() {
        while (Bytes.size() % 4 != 0) Bytes.push_back(0);
    }
    void Patch32(uint32_t offset, uint32_t value) {
        for (uint32_t i = 0; i < 4; ++i) Bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }

private:
    std::vector<uint8_t>& Bytes;
};

}  // namespace

std::vector<uint8_t> BuildEventLogRecord(const NEW_EVENT_RECORD& record, uint32_t recordNumber) {
    std::vector<uint8_t> bytes;
    RECORD_WRITER out(bytes);
    out.Put32(0);  // the length, patched at the end
    out.Put32(EVENTLOG_RECORD_SIGNATURE);
    out.Put32(recordNumber);
    out.Put32(record.TimeGenerated);
    out.Put32(record.TimeWritten);
    out.Put32(record.EventID);
    out.Put16(record.EventType);
    out.Put16(static_cast<uint16_t>(record.Strings.size()));
    out.Put16(record.EventCategory);
    out.Put16(0);  // ReservedFlags
    out.Put32(0);  // ClosingRecordNumber
    out.Put32(0);  // StringOffset
    out.Put32(static_cast<uint32_t>(record.UserSid.size()));
    out.Put32(0);  // UserSidOffset
    out.Put32(static_cast<uint32_t>(record.Data.size()));
    out.Put32(0);  // DataOffset

    out.PutText(record.SourceName);
    out.PutText(record.ComputerName);
    // The SID is DWORD-aligned, as the event log service places it.
    out.AlignTo4();
    out.Patch32(record_offset::UserSidOffset, out.Position());
    out.PutBytes(record.UserSid);

    out.Patch32(record_offset::StringOffset, out.Position());
    for (const std::u16string& text : record.Strings) out.PutText(text);

    out.Patch32(record_offset::DataOffset, out.Position());
    out.PutBytes(record.Data);

    out.AlignTo4();
    const uint32_t length = out.Position() + 4;
    out.Put32(length);
    out.Patch32(record_offset::Length, length);
    return bytes;
}

bool ParseSidText(const std::string& text, std::vector<uint8_t>& sid) {
    sid.clear();
    if (text.compare(0, 2, "S-") != 0 && text.compare(0, 2, "s-") != 0) return false;
    std::vector<uint64_t> parts;
    const char* at = text.c_str() + 2;
    for (;;) {
        if (*at < '0' || *at > '9') return false;
        char* end = nullptr;
        parts.push_back(std::strtoull(at, &end, 10));
        at = end;
        if (*at == '\0') break;
        if (*at != '-') return false;
        ++at;
    }
    // Revision, authority, and 1 to 15 sub-authorities of 32 bits.
    if (parts.size() < 3 || parts.size() > 17 || parts[0] != 1 || parts[1] > 0xFFFFFFFFFFFFULL) return false;
    sid.push_back(1);
    sid.push_back(static_cast<uint8_t>(parts.size() - 2));
    for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<uint8_t>(parts[1] >> shift));
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFULL) {
            sid.clear();
            return false;
        }
        for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(parts[i] >> shift));
    }
    return true;
}

}  // namespace qv
