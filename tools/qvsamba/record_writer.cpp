#include "tools/qvsamba/record_writer.h"

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/event_log.h"
#include "support/format.h"

namespace qv {
namespace {

constexpr char16_t SECURITY_LOG[] = u"Security";

std::string ErrorText(const char* what, uint32_t code) {
    STRING_A text;
    FormatString(text, "%s. %s. Error code = %lu.", what, GetErrorText(code), code);
    return text.Text();
}

// The data of one whole record in a read buffer.
std::span<const uint8_t> RecordData(const uint8_t* record) {
    const uint32_t length = GetRecordUInt32(record, record_offset::Length);
    const uint32_t offset = GetRecordUInt32(record, record_offset::DataOffset);
    const uint32_t size = GetRecordUInt32(record, record_offset::DataLength);
    if (offset > length || size > length - offset) return {};
    return {record + offset, size};
}

// "qvsamba:<batch>" and the batch it names (0 for any other data).
uint64_t MarkedBatch(std::span<const uint8_t> data) {
    static const std::string prefix = "qvsamba:";
    if (data.size() <= prefix.size() || data.size() > prefix.size() + 20 ||
        !std::equal(prefix.begin(), prefix.end(), data.begin())) {
        return 0;
    }
    uint64_t batch = 0;
    for (size_t at = prefix.size(); at < data.size(); ++at) {
        if (data[at] < '0' || data[at] > '9') return 0;
        batch = batch * 10 + (data[at] - '0');
    }
    return batch;
}

}  // namespace

std::vector<uint8_t> BatchMarker(uint64_t batch) {
    const std::string text = "qvsamba:" + std::to_string(batch);
    return {text.begin(), text.end()};
}

RECORD_WRITER::RECORD_WRITER(std::string positionPath, DOMAIN_CONTROLLER controller, NOTE note)
    : PositionPath(std::move(positionPath)), Controller(std::move(controller)), Note(std::move(note)) {}

bool RECORD_WRITER::Open(std::string& problem) {
    if (const uint32_t code = Log.Open(SECURITY_LOG)) {
        problem = ErrorText("Cannot open the Security event log", code);
        return false;
    }
    if (!LoadAuditPosition(PositionPath, Saved, problem)) return false;
    if (!Saved.Pending) return true;

    // The last run stopped while it wrote a batch: the log says whether the batch got there.
    const uint64_t batch = Saved.Batches + 1;
    const bool written = BatchIsInLog(batch, problem);
    if (!problem.empty()) return false;
    if (written) {
        Saved.Place = Saved.PendingPlace;
        Saved.Batches = batch;
    }
    Note("The last run stopped while writing batch " + std::to_string(batch) + ", which " +
         (written ? "is in the Security log: going on after it" : "is not in the Security log: writing it again"));
    Saved.Pending = false;
    if (Save(Saved)) return true;
    problem = "Cannot save the position in " + PositionPath;
    return false;
}

// Newest first, down to the first record of an earlier batch of ours.
bool RECORD_WRITER::BatchIsInLog(uint64_t batch, std::string& problem) {
    EVENT_LOG_CURSOR cursor;
    if (const uint32_t code = cursor.Open(SECURITY_LOG)) {
        problem = ErrorText("Cannot read the Security event log", code);
        return false;
    }
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        uint32_t bytesRead = 0, bytesNeeded = 0;
        const uint32_t code = cursor.Read(EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_BACKWARDS, 0, buffer.data(),
                                          static_cast<uint32_t>(buffer.size()), bytesRead, bytesNeeded);
        if (code == ERR_HANDLE_EOF) return false;
        if (code == ERR_INSUFFICIENT_BUFFER) {
            buffer.resize(bytesNeeded);
            continue;
        }
        if (code != ERR_SUCCESS) {
            problem = ErrorText("Cannot read the Security event log", code);
            return false;
        }
        for (uint32_t at = 0; at < bytesRead;) {
            const uint8_t* record = buffer.data() + at;
            if (!IsWellFormedEventLogRecord(record, bytesRead - at)) break;
            const uint64_t marked = MarkedBatch(RecordData(record));
            if (marked == batch) return true;
            if (marked != 0 && marked < batch) return false;
            at += GetRecordUInt32(record, record_offset::Length);
        }
    }
}

bool RECORD_WRITER::Save(const AUDIT_POSITION& position) {
    std::string problem;
    if (SaveAuditPosition(PositionPath, position, problem)) return true;
    if (!Failing) Note(problem);
    Failing = true;
    return false;
}

bool RECORD_WRITER::Take(const std::string& file, std::span<const AUDIT_LINE_TEXT> lines, const FILE_PLACE& after) {
    Records.clear();
    uint64_t malformed = 0;
    for (const AUDIT_LINE_TEXT& line : lines) {
        const AUDIT_LINE parsed = ParseAuditLine(line.Text);
        if (parsed.Kind == AUDIT_LINE_KIND::AUTHENTICATION) {
            Records.push_back(BuildSecurityRecord(parsed.Authentication, Controller));
        } else if (parsed.Kind == AUDIT_LINE_KIND::MALFORMED) {
            // Counted once the batch is taken, but said now: a retried batch says it again.
            ++malformed;
            Note("Skipping a malformed line in " + file + " at offset " + std::to_string(line.Offset) + ": " +
                 parsed.Problem);
        }
    }

    AUDIT_POSITION next = Saved;
    next.Place = after;
    if (!Records.empty()) {
        next.Pending = true;
        next.PendingPlace = after;
        next.Place = Saved.Place;
        if (!Save(next)) return false;
        const std::vector<uint8_t> marker = BatchMarker(Saved.Batches + 1);
        for (NEW_EVENT_RECORD& record : Records) record.Data = marker;
        if (const uint32_t code = Log.Append(Records)) {
            if (!Failing) Note(ErrorText("Cannot write to the Security event log", code));
            Failing = true;
            return false;
        }
        next.Pending = false;
        next.Place = after;
        next.Batches = Saved.Batches + 1;
    }
    // Once the records are in, the position goes with them even when it cannot be saved now:
    // the pending batch is settled from the log at the next start (and lines without records
    // are merely skipped again).
    if (Save(next) && Failing) {
        Note("Writing again");
        Failing = false;
    }
    Saved = next;
    Totals.Lines += lines.size();
    Totals.Records += Records.size();
    Totals.Malformed += malformed;
    return true;
}

}  // namespace qv
