// Reading .evtx files with libevtx (see exported_event_log.h).
#include "platform/exported_event_log.h"

// Debian's libevtx-dev announces the libbfio interface but does not depend on libbfio-dev, so
// its header would include <libbfio.h>, which is not there; we open files by name and need none
// of it.
#include <libevtx/features.h>
#undef LIBEVTX_HAVE_BFIO
#include <libevtx.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace qv {

namespace {

// File time (100 ns since 1601-01-01) of the Unix epoch.
constexpr uint64_t UNIX_EPOCH_FILE_TIME = 116444736000000000ULL;
constexpr uint64_t TICKS_PER_SECOND = 10000000;

// The event types of the classic event log.
constexpr uint16_t TYPE_ERROR = 1;
constexpr uint16_t TYPE_WARNING = 2;
constexpr uint16_t TYPE_INFORMATION = 4;
constexpr uint16_t TYPE_AUDIT_SUCCESS = 8;
constexpr uint16_t TYPE_AUDIT_FAILURE = 16;
// The keyword bits the Security log sets on audit events.
constexpr uint64_t KEYWORD_AUDIT_FAILURE = 0x0010000000000000ULL;
constexpr uint64_t KEYWORD_AUDIT_SUCCESS = 0x0020000000000000ULL;

struct ERROR_HOLDER {
    libevtx_error_t* Error = nullptr;
    ~ERROR_HOLDER() { libevtx_error_free(&Error); }
    std::string Text() const {
        if (Error == nullptr) return "unknown error";
        char text[512] = {};
        libevtx_error_sprint(Error, text, sizeof(text));
        return text;
    }
};

struct FILE_CLOSER {
    void operator()(libevtx_file_t* file) const {
        libevtx_file_close(file, nullptr);
        libevtx_file_free(&file, nullptr);
    }
};

struct RECORD_FREER {
    void operator()(libevtx_record_t* record) const { libevtx_record_free(&record, nullptr); }
};
using RECORD = std::unique_ptr<libevtx_record_t, RECORD_FREER>;

// A UTF-16 text from one of libevtx's size-then-text pairs; empty when it has none.
template <typename SIZE_GETTER, typename TEXT_GETTER>
std::u16string Utf16Text(SIZE_GETTER getSize, TEXT_GETTER getText) {
    size_t size = 0;
    if (getSize(&size) != 1 || size == 0) return std::u16string();
    std::vector<uint16_t> units(size);
    if (getText(units.data(), size) != 1) return std::u16string();
    std::u16string text;
    for (uint16_t unit : units) {
        if (unit == 0) break;
        text.push_back(static_cast<char16_t>(unit));
    }
    return text;
}

std::string Utf8Text(libevtx_record_t* record, int (*getSize)(libevtx_record_t*, size_t*, libevtx_error_t**),
                     int (*getText)(libevtx_record_t*, uint8_t*, size_t, libevtx_error_t**)) {
    size_t size = 0;
    if (getSize(record, &size, nullptr) != 1 || size == 0) return std::string();
    std::string text(size, '\0');
    if (getText(record, reinterpret_cast<uint8_t*>(text.data()), size, nullptr) != 1) return std::string();
    text.resize(std::strlen(text.c_str()));
    return text;
}

// The number inside <Name>...</Name> of the record's XML, or false.
bool XmlNumber(const std::string& xml, const char* name, uint64_t& value) {
    const std::string open = std::string("<") + name + ">";
    const size_t start = xml.find(open);
    if (start == std::string::npos) return false;
    const char* text = xml.c_str() + start + open.size();
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return end != text && *end == '<';
}

// The seconds since 1970 of <TimeCreated SystemTime="2021-12-12T17:57:17.006377000Z"/> in
// the record's XML (UTC, the fraction cut off), or false.
bool XmlTimeCreated(const std::string& xml, uint32_t& seconds) {
    static const char OPEN[] = "<TimeCreated SystemTime=\"";
    const size_t start = xml.find(OPEN);
    if (start == std::string::npos) return false;
    tm parts{};
    char separator = 0;
    if (std::sscanf(xml.c_str() + start + sizeof(OPEN) - 1, "%4d-%2d-%2d%c%2d:%2d:%2d", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &separator, &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 7 ||
        separator != 'T' || parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 ||
        parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 60) {
        return false;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const time_t value = timegm(&parts);
    if (value <= 0 || static_cast<uint64_t>(value) > 0xFFFFFFFFULL) return false;
    seconds = static_cast<uint32_t>(value);
    return true;
}

uint16_t EventType(uint8_t level, bool hasKeywords, uint64_t keywords) {
    if (hasKeywords && (keywords & KEYWORD_AUDIT_FAILURE) != 0) return TYPE_AUDIT_FAILURE;
    if (hasKeywords && (keywords & KEYWORD_AUDIT_SUCCESS) != 0) return TYPE_AUDIT_SUCCESS;
    switch (level) {
        case 1:
        case 2: return TYPE_ERROR;
        case 3: return TYPE_WARNING;
        default: return TYPE_INFORMATION;
    }
}

uint32_t UnixSeconds(uint64_t fileTime) {
    if (fileTime < UNIX_EPOCH_FILE_TIME) return 0;
    const uint64_t seconds = (fileTime - UNIX_EPOCH_FILE_TIME) / TICKS_PER_SECOND;
    return seconds > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<uint32_t>(seconds);
}

bool ReadRecord(libevtx_record_t* source, EVTX_RECORD& target) {
    NEW_EVENT_RECORD& record = target.Record;
    if (libevtx_record_get_identifier(source, &target.Number, nullptr) != 1) return false;
    uint32_t identifier = 0;
    if (libevtx_record_get_event_identifier(source, &identifier, nullptr) != 1) return false;
    uint32_t qualifiers = 0;
    if (libevtx_record_get_event_identifier_qualifiers(source, &qualifiers, nullptr) != 1) qualifiers = 0;
    // As the classic event log numbers events: the qualifiers in the upper word.
    record.EventID = (qualifiers & 0xFFFF) << 16 | (identifier & 0xFFFF);

    const std::string xml = Utf8Text(source, libevtx_record_get_utf8_xml_string_size, libevtx_record_get_utf8_xml_string);
    uint64_t written = 0;
    if (libevtx_record_get_written_time(source, &written, nullptr) != 1) written = 0;
    // Real exports have records whose header holds no time (it reads as 1601-01-01); the
    // event itself still says when it happened.
    uint32_t seconds = UnixSeconds(written);
    if (seconds == 0) XmlTimeCreated(xml, seconds);
    record.TimeGenerated = seconds;
    record.TimeWritten = seconds;
    uint8_t level = 0;
    if (libevtx_record_get_event_level(source, &level, nullptr) != 1) level = 0;
    uint64_t keywords = 0;
    const bool hasKeywords = XmlNumber(xml, "Keywords", keywords);
    record.EventType = EventType(level, hasKeywords, keywords);
    uint64_t task = 0;
    if (XmlNumber(xml, "Task", task) && task <= 0xFFFF) record.EventCategory = static_cast<uint16_t>(task);

    record.SourceName = Utf16Text([&](size_t* size) { return libevtx_record_get_utf16_source_name_size(source, size, nullptr); },
                                  [&](uint16_t* text, size_t size) {
                                      return libevtx_record_get_utf16_source_name(source, text, size, nullptr);
                                  });
    record.ComputerName =
        Utf16Text([&](size_t* size) { return libevtx_record_get_utf16_computer_name_size(source, size, nullptr); },
                  [&](uint16_t* text, size_t size) {
                      return libevtx_record_get_utf16_computer_name(source, text, size, nullptr);
                  });
    const std::string sid = Utf8Text(source, libevtx_record_get_utf8_user_security_identifier_size,
                                     libevtx_record_get_utf8_user_security_identifier);
    if (!sid.empty()) ParseSidText(sid, record.UserSid);

    int count = 0;
    if (libevtx_record_get_number_of_strings(source, &count, nullptr) != 1) count = 0;
    for (int i = 0; i < count; ++i) {
        record.Strings.push_back(
            Utf16Text([&](size_t* size) { return libevtx_record_get_utf16_string_size(source, i, size, nullptr); },
                      [&](uint16_t* text, size_t size) {
                          return libevtx_record_get_utf16_string(source, i, text, size, nullptr);
                      }));
    }
    size_t dataSize = 0;
    if (libevtx_record_get_data_size(source, &dataSize, nullptr) == 1 && dataSize > 0) {
        record.Data.resize(dataSize);
        if (libevtx_record_get_data(source, record.Data.data(), dataSize, nullptr) != 1) record.Data.clear();
    }
    return true;
}

}  // namespace

bool ReadEvtxFile(const std::string& path, std::vector<EVTX_RECORD>& records, std::string& problem) {
    records.clear();
    ERROR_HOLDER error;
    libevtx_file_t* raw = nullptr;
    if (libevtx_file_initialize(&raw, &error.Error) != 1) {
        problem = error.Text();
        return false;
    }
    std::unique_ptr<libevtx_file_t, FILE_CLOSER> file(raw);
    if (libevtx_file_open(raw, path.c_str(), LIBEVTX_OPEN_READ, &error.Error) != 1) {
        problem = error.Text();
        return false;
    }
    int count = 0;
    if (libevtx_file_get_number_of_records(raw, &count, &error.Error) != 1) {
        problem = error.Text();
        return false;
    }
    for (int i = 0; i < count; ++i) {
        libevtx_record_t* rawRecord = nullptr;
        if (libevtx_file_get_record_by_index(raw, i, &rawRecord, &error.Error) != 1) {
            problem = "record " + std::to_string(i + 1) + ": " + error.Text();
            return false;
        }
        RECORD record(rawRecord);
        EVTX_RECORD entry;
        if (!ReadRecord(record.get(), entry)) {
            problem = "record " + std::to_string(i + 1) + " has no event identifier";
            return false;
        }
        records.push_back(std::move(entry));
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const EVTX_RECORD& a, const EVTX_RECORD& b) { return a.Number < b.Number; });
    return true;
}

}  // namespace qv
