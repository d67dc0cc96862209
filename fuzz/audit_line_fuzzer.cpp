// libFuzzer target over qvsamba's reading of Samba's JSON audit lines and the Security records
// it lays out from them. Each input is one line as the follower hands it over: any bytes (not
// JSON, deep nesting, huge numbers, invalid UTF-8, duplicate keys, texts of any length). The
// parser must answer every line, a malformed one with its reason; an authentication must
// become a record the Security log takes: within the size the store accepts, well formed, and
// holding exactly the strings it was built from (a NUL inside a text would end it early and
// shift every string after it).
//
// The seed corpus, fuzz/corpus/audit_line_fuzzer/, holds the shared test lines
// (tools/qvsamba/tests/samba_lines.h, taken from a real domain controller's log), one a file,
// with a few variants: null and wrong-typed fields, IPv6 and Netlogon addresses, a failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/event_log_record.h"
#include "platform/posix/event_log_store.h"
#include "tools/qvsamba/audit_line.h"
#include "tools/qvsamba/record_writer.h"
#include "tools/qvsamba/security_record.h"

namespace qv {
namespace {

const DOMAIN_CONTROLLER CONTROLLER = {u"dc1.corp.example.test", u"DC1$"};

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckRecord(const SAMBA_AUTHENTICATION& logon) {
    NEW_EVENT_RECORD record = BuildSecurityRecord(logon, CONTROLLER);
    Check(record.EventID == logon.EventId && record.Strings.size() == 21);
    record.Data = BatchMarker(UINT64_MAX);  // the longest marker a batch gets
    const std::vector<uint8_t> bytes = BuildEventLogRecord(record, 1);
    Check(bytes.size() <= MAX_EVENT_LOG_RECORD_SIZE);
    const auto size = static_cast<uint32_t>(bytes.size());
    Check(IsWellFormedEventLogRecord(bytes.data(), size));
    Check(GetRecordUInt16(bytes.data(), record_offset::NumStrings) == record.Strings.size());
    // The strings read back, one by one, are the strings written.
    uint32_t at = GetRecordUInt32(bytes.data(), record_offset::StringOffset);
    for (const std::u16string& text : record.Strings) {
        const uint32_t end = RecordTextEnd(bytes.data(), at, size - 4);
        Check(end != 0 && (end - at) / 2 - 1 == text.size());
        at = end;
    }
}

}  // namespace
}  // namespace qv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qv::AUDIT_LINE parsed = qv::ParseAuditLine(std::string_view(reinterpret_cast<const char*>(data), size));
    switch (parsed.Kind) {
        case qv::AUDIT_LINE_KIND::MALFORMED:
            qv::Check(!parsed.Problem.empty());
            break;
        case qv::AUDIT_LINE_KIND::AUTHENTICATION:
            qv::CheckRecord(parsed.Authentication);
            break;
        case qv::AUDIT_LINE_KIND::OTHER:
            break;
    }
    return 0;
}
