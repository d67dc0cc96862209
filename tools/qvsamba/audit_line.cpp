#include "tools/qvsamba/audit_line.h"

#include <simdjson.h>

#include <algorithm>
#include <ctime>
#include <utility>

namespace qv {
namespace {

// A parser kept per thread: simdjson reuses its buffers from one line to the next.
simdjson::dom::parser& Parser() {
    thread_local simdjson::dom::parser parser;
    return parser;
}

// Why a JSON value cannot be one of our texts ("" when it can). A NUL would end the text early
// in the record and shift every string after it.
std::string Unusable(simdjson::dom::element element, std::string_view& text) {
    if (element.get(text) != simdjson::SUCCESS) return "is not a string";
    if (text.find('\0') != std::string_view::npos) return "holds a NUL character";
    if (text.size() > MAX_AUDIT_TEXT) return "is longer than " + std::to_string(MAX_AUDIT_TEXT) + " bytes";
    return {};
}

// The texts an authentication may go without.
constexpr std::pair<const char*, std::string SAMBA_AUTHENTICATION::*> OPTIONAL_TEXTS[] = {
    {"remoteAddress", &SAMBA_AUTHENTICATION::RemoteAddress},
    {"serviceDescription", &SAMBA_AUTHENTICATION::ServiceDescription},
    {"authDescription", &SAMBA_AUTHENTICATION::AuthDescription},
    {"passwordType", &SAMBA_AUTHENTICATION::PasswordType},
    {"logonId", &SAMBA_AUTHENTICATION::LogonId},
    {"clientAccount", &SAMBA_AUTHENTICATION::ClientAccount},
    {"clientDomain", &SAMBA_AUTHENTICATION::ClientDomain},
    {"workstation", &SAMBA_AUTHENTICATION::Workstation},
    {"becameDomain", &SAMBA_AUTHENTICATION::BecameDomain},
    {"mappedAccount", &SAMBA_AUTHENTICATION::MappedAccount},
    {"mappedDomain", &SAMBA_AUTHENTICATION::MappedDomain},
};

// A required text field: missing, null or unusable makes the line malformed.
bool ReadText(simdjson::dom::object object, const char* name, std::string& value, std::string& problem) {
    simdjson::dom::element element;
    if (object[name].get(element) != simdjson::SUCCESS || element.is_null()) {
        problem = std::string("no \"") + name + "\"";
        return false;
    }
    std::string_view text;
    if (const std::string why = Unusable(element, text); !why.empty()) {
        problem = std::string("\"") + name + "\" " + why;
        return false;
    }
    value.assign(text);
    return true;
}

// An optional text field: missing or null is "", and so is an unusable value, which is said
// in 'ignored'.
void ReadOptionalText(simdjson::dom::object object, const char* name, std::string& value, std::string& ignored) {
    simdjson::dom::element element;
    if (object[name].get(element) != simdjson::SUCCESS || element.is_null()) return;
    std::string_view text;
    if (const std::string why = Unusable(element, text); !why.empty()) {
        ignored += (ignored.empty() ? "\"" : ", \"") + std::string(name) + "\" " + why;
        return;
    }
    value.assign(text);
}

bool ReadNumber(simdjson::dom::object object, const char* name, uint32_t& value, std::string& problem) {
    uint64_t number = 0;
    if (object[name].get(number) != simdjson::SUCCESS || number > UINT32_MAX) {
        problem = std::string("\"") + name + "\" is missing or not a whole number";
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

// Text from the line as it may be shown in a note: one line, printable, short.
std::string Shown(std::string_view text) {
    size_t end = std::min<size_t>(text.size(), 64);
    while (end < text.size() && end > 0 && (text[end] & 0xC0) == 0x80) --end;  // not inside a character
    std::string shown;
    for (const char c : text.substr(0, end)) shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    if (end < text.size()) shown += "...";
    return shown;
}

bool ReadDigits(std::string_view text, size_t& at, size_t count, int& value) {
    value = 0;
    for (size_t end = at + count; at < end; ++at) {
        if (at >= text.size() || text[at] < '0' || text[at] > '9') return false;
        value = value * 10 + (text[at] - '0');
    }
    return true;
}

}  // namespace

bool ParseAuditTime(std::string_view text, int64_t& seconds) {
    size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const auto expect = [&](char c) { return at < text.size() && text[at++] == c; };
    if (!ReadDigits(text, at, 4, year) || !expect('-') || !ReadDigits(text, at, 2, month) || !expect('-') ||
        !ReadDigits(text, at, 2, day) || !expect('T') || !ReadDigits(text, at, 2, hour) || !expect(':') ||
        !ReadDigits(text, at, 2, minute) || !expect(':') || !ReadDigits(text, at, 2, second)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const size_t digits = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == digits) return false;
    }
    int offset = 0;
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int hours = 0, minutes = 0;
        if (!ReadDigits(text, at, 2, hours)) return false;
        if (at < text.size() && text[at] == ':') ++at;
        if (!ReadDigits(text, at, 2, minutes) || hours > 23 || minutes > 59) return false;
        offset = sign * (hours * 3600 + minutes * 60);
    }
    if (at != text.size()) return false;
    tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    seconds = static_cast<int64_t>(timegm(&parts)) - offset;
    return true;
}

AUDIT_LINE ParseAuditLine(std::string_view line) {
    AUDIT_LINE result;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) return result;  // an empty line

    simdjson::dom::element document;
    if (const auto error = Parser().parse(line.data(), line.size()).get(document); error != simdjson::SUCCESS) {
        result.Kind = AUDIT_LINE_KIND::MALFORMED;
        result.Problem = std::string("not JSON: ") + simdjson::error_message(error);
        return result;
    }
    simdjson::dom::object top;
    std::string_view type;
    if (document.get(top) != simdjson::SUCCESS || top["type"].get(type) != simdjson::SUCCESS) {
        result.Kind = AUDIT_LINE_KIND::MALFORMED;
        result.Problem = "not an audit record (no \"type\")";
        return result;
    }
    if (type != "Authentication") return result;

    result.Kind = AUDIT_LINE_KIND::MALFORMED;
    SAMBA_AUTHENTICATION& logon = result.Authentication;
    std::string& problem = result.Problem;
    simdjson::dom::object body;
    if (top["Authentication"].get(body) != simdjson::SUCCESS) {
        problem = "no \"Authentication\" object";
        return result;
    }
    if (!ReadNumber(body, "eventId", logon.EventId, problem)) return result;
    if (logon.EventId != 4624 && logon.EventId != 4625) {
        // Authentications Samba may one day report under another event: not ours to write.
        result.Kind = AUDIT_LINE_KIND::OTHER;
        return result;
    }
    std::string time;
    if (!ReadText(top, "timestamp", time, problem)) return result;
    if (!ParseAuditTime(time, logon.Time) || logon.Time < 0 || logon.Time > UINT32_MAX) {
        problem = "the timestamp \"" + Shown(time) + "\" is not a time";
        return result;
    }
    if (!ReadNumber(body, "logonType", logon.LogonType, problem) || !ReadText(body, "status", logon.Status, problem)) {
        return result;
    }
    // A successful logon must say whom it made; a failed one made nobody.
    std::string& ignored = result.Ignored;
    if (logon.EventId == 4624) {
        if (!ReadText(body, "becameAccount", logon.BecameAccount, problem) ||
            !ReadText(body, "becameSid", logon.BecameSid, problem)) {
            return result;
        }
    } else {
        ReadOptionalText(body, "becameAccount", logon.BecameAccount, ignored);
        ReadOptionalText(body, "becameSid", logon.BecameSid, ignored);
    }
    for (const auto& [name, field] : OPTIONAL_TEXTS) ReadOptionalText(body, name, logon.*field, ignored);
    result.Kind = AUDIT_LINE_KIND::AUTHENTICATION;
    return result;
}

}  // namespace qv
