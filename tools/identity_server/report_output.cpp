#include "tools/identity_server/report_output.h"

#include <cerrno>
#include <cstring>

namespace qv::identity_server {
namespace {

std::string HexText(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

// Control characters become escapes; everything else (UTF-8 included) stays as it is.
std::string Quoted(const std::string& text, bool json)
{
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || (json && c == '\\')) {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, json ? "\\u%04x" : "\\x%02x", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string VersionText(unsigned a, unsigned b)
{
    return std::to_string(a) + "." + std::to_string(b);
}

std::string AgentVersion(const IDENTITY_REQUEST_FIELDS& fields)
{
    return VersionText(fields.AgentMajor, fields.AgentMinor) + "." + std::to_string(fields.AgentPatch);
}

std::string Section(const char* name, bool present, const std::string& account, const std::string& dn,
                    const std::string& ou)
{
    if (!present)
        return std::string(" ") + name + "=-";
    return std::string(" ") + name + "=" + Quoted(account, false) + " dn=" + Quoted(dn, false) +
           " ou=" + Quoted(ou, false);
}

class JSON_OBJECT {
public:
    void Text(const char* name, const std::string& value) { Raw(name, Quoted(value, true)); }
    void Number(const char* name, uint64_t value) { Raw(name, std::to_string(value)); }
    void OptionalText(const char* name, bool present, const std::string& value)
    {
        Raw(name, present ? Quoted(value, true) : "null");
    }
    void Raw(const char* name, const std::string& value)
    {
        Body += Body.empty() ? "{" : ",";
        Body += std::string("\"") + name + "\":" + value;
    }
    std::string Close() const { return Body + "}"; }

private:
    std::string Body;
};

}  // namespace

std::string FormatReportLine(const REQUEST_REPORT& report)
{
    const IDENTITY_REQUEST_FIELDS& fields = report.Decoded.Fields;
    std::string line = "#" + std::to_string(report.Sequence);
    if (!report.Valid()) {
        line += " MALFORMED";
        if (report.Decoded.HasRequestId)
            line += " id=" + std::to_string(fields.RequestId);
        line += " bytes=" + std::to_string(report.Bytes.size());
        line += " client=" + report.Client + " " + report.Transport + ": " + report.Error();
        return line;
    }
    line += std::string(" ") + KindName(fields.Kind) + " id=" + std::to_string(fields.RequestId) +
            " length=" + std::to_string(fields.Length);
    line += " ip=" + (fields.IpVersion == 0 ? std::string("-") : AddressText(fields));
    line += Section("computer", fields.HasComputer, fields.ComputerName, fields.ComputerDn, fields.ComputerOu);
    line += Section("user", fields.HasUser, fields.UserName, fields.UserDn, fields.UserOu);
    line += " groups=" + std::to_string(fields.Groups.size());
    if (!fields.Groups.empty()) {
        line += " [";
        for (size_t index = 0; index < fields.Groups.size(); ++index) {
            if (index != 0)
                line += ", ";
            line += Quoted(fields.Groups[index].Name, false) + " " + Quoted(fields.Groups[index].Dn, false);
        }
        line += "]";
    }
    line += " os=" + std::to_string(fields.OsCode) + " " + VersionText(fields.OsMajor, fields.OsMinor);
    line += " agent=" + AgentVersion(fields);
    line += " client=" + report.Client + " " + report.Transport;
    return line;
}

std::string FormatReportJson(const REQUEST_REPORT& report)
{
    const IDENTITY_REQUEST_FIELDS& fields = report.Decoded.Fields;
    JSON_OBJECT json;
    json.Number("n", report.Sequence);
    json.Text("transport", report.Transport);
    json.OptionalText("tls_version", !report.TlsVersion.empty(), report.TlsVersion);
    json.Text("client", report.Client);
    json.Number("bytes", report.Bytes.size());
    if (report.Bytes.size() >= 2)
        json.Number("length", static_cast<uint64_t>((report.Bytes[0] << 8) | report.Bytes[1]));
    else
        json.Raw("length", "null");
    json.Raw("request_id", report.Decoded.HasRequestId ? std::to_string(fields.RequestId) : "null");
    if (report.Valid()) {
        json.Text("kind", KindName(fields.Kind));
        json.Text("field_mask", Hex32(fields.FieldMask));
        json.Number("ip_version", fields.IpVersion);
        json.OptionalText("ip", fields.IpVersion != 0, AddressText(fields));
        json.OptionalText("computer_name", fields.HasComputer, fields.ComputerName);
        json.OptionalText("computer_dn", fields.HasComputer, fields.ComputerDn);
        json.OptionalText("computer_ou", fields.HasComputer, fields.ComputerOu);
        json.OptionalText("user_name", fields.HasUser, fields.UserName);
        json.OptionalText("user_dn", fields.HasUser, fields.UserDn);
        json.OptionalText("user_ou", fields.HasUser, fields.UserOu);
        std::string groups = "[";
        for (size_t index = 0; index < fields.Groups.size(); ++index) {
            JSON_OBJECT group;
            group.Text("name", fields.Groups[index].Name);
            group.Text("dn", fields.Groups[index].Dn);
            groups += (index == 0 ? "" : ",") + group.Close();
        }
        json.Raw("groups", groups + "]");
        json.Number("os_code", fields.OsCode);
        json.Text("os_version", VersionText(fields.OsMajor, fields.OsMinor));
        json.Text("agent_version", AgentVersion(fields));
    }
    json.Text("hex", HexText(report.Bytes));
    json.OptionalText("error", !report.Valid(), report.Error());
    return json.Close();
}

REPORT_OUTPUT::~REPORT_OUTPUT()
{
    if (Record)
        std::fclose(Record);
}

bool REPORT_OUTPUT::Open(bool print, const std::string& recordPath, std::string& problem)
{
    Print = print;
    if (recordPath.empty())
        return true;
    Record = std::fopen(recordPath.c_str(), "a");
    if (!Record) {
        problem = "cannot open the record file " + recordPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void REPORT_OUTPUT::Write(const REQUEST_REPORT& report)
{
    const std::lock_guard guard(Lock);
    if (!report.Valid()) {
        std::fprintf(stderr, "identity_server: request #%llu from %s (%s) is malformed: %s\n",
                     static_cast<unsigned long long>(report.Sequence), report.Client.c_str(),
                     report.Transport.c_str(), report.Error().c_str());
        std::fflush(stderr);
    }
    if (Print) {
        std::fprintf(stdout, "%s\n", FormatReportLine(report).c_str());
        std::fflush(stdout);
    }
    if (Record) {
        std::fprintf(Record, "%s\n", FormatReportJson(report).c_str());
        std::fflush(Record);
    }
}

void REPORT_OUTPUT::Note(const std::string& text)
{
    const std::lock_guard guard(Lock);
    std::fprintf(stderr, "identity_server: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace qv::identity_server
