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
        Saved.Places = Saved.PendingPlaces;
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
    Report(TROUBLE::WRITING, problem);
    return false;
}

void RECORD_WRITER::Report(TROUBLE trouble, const std::string& text) {
    if (trouble != Trouble) Note(text);
    Trouble = trouble;
}

// The batch whose append failed without an answer: found in the log, it is done, and the
// follower goes on after it (it sent its lines again, so this Take is refused); not found, it
// is written again with the lines at hand.
bool RECORD_WRITER::SettleDoubt() {
    const uint64_t batch = Saved.Batches + 1;
    std::string problem;
    const bool written = BatchIsInLog(batch, problem);
    if (!problem.empty()) {
        Report(TROUBLE::WRITING, problem);
        return false;
    }
    InDoubt = false;
    Note("Batch " + std::to_string(batch) + (written ? " is in the Security event log after all: going on after it"
                                                      : " is not in the Security event log: writing it again"));
    if (!written) return true;
    Saved.Places = DoubtfulEnd;
    Saved.Batches = batch;
    Saved.Pending = false;
    Save(Saved);
    return false;
}

void RECORD_WRITER::BuildRecords(const std::string& file, std::span<const AUDIT_LINE_TEXT> lines, uint64_t& malformed) {
    Records.clear();
    for (const AUDIT_LINE_TEXT& line : lines) {
        const AUDIT_LINE parsed = ParseAuditLine(line.Text);
        // Said now, counted once the batch is taken: a retried batch says it again.
        if (parsed.Kind == AUDIT_LINE_KIND::AUTHENTICATION) {
            Records.push_back(BuildSecurityRecord(parsed.Authentication, Controller));
            if (!parsed.Ignored.empty()) {
                Note("Taking the authentication in " + file + " at offset " + std::to_string(line.Offset) +
                     " without what is unusable in it: " + parsed.Ignored);
            }
        } else if (parsed.Kind == AUDIT_LINE_KIND::MALFORMED) {
            ++malformed;
            Note("Skipping a malformed line in " + file + " at offset " + std::to_string(line.Offset) + ": " +
                 parsed.Problem);
        }
    }
}

bool RECORD_WRITER::Take(const std::string& file, std::span<const AUDIT_LINE_TEXT> lines, const AUDIT_PLACES& after) {
    if (InDoubt && !SettleDoubt()) return false;
    uint64_t malformed = 0;
    BuildRecords(file, lines, malformed);

    AUDIT_POSITION next = Saved;
    next.Places = after;
    bool clean = true;
    if (!Records.empty()) {
        // Announced first, with the place the batch starts from kept until it is in the log.
        const uint64_t batch = Saved.Batches + 1;
        next.Pending = true;
        next.PendingPlaces = after;
        next.Places = Saved.Places;
        if (!Save(next)) return false;
        const std::vector<uint8_t> marker = BatchMarker(batch);
        for (NEW_EVENT_RECORD& record : Records) record.Data = marker;
        std::vector<uint32_t> assigned;
        if (const uint32_t code = Log.Append(Records, {}, &assigned)) {
            // The numbers are given once the records are published: what failed came after them.
            // Without them the log itself says whether the records got there.
            std::string problem;
            const bool written = !assigned.empty() || BatchIsInLog(batch, problem);
            if (!written) {
                InDoubt = !problem.empty();
                DoubtfulEnd = after;
                Report(TROUBLE::WRITING, ErrorText("Cannot write to the Security event log", code) +
                                             (InDoubt ? " Whether batch " + std::to_string(batch) +
                                                            " got there is looked up before anything is written: " +
                                                            problem
                                                      : ""));
                return false;
            }
            Report(TROUBLE::AFTER_WRITING,
                   ErrorText(("The Security event log took batch " + std::to_string(batch) + ", then failed" +
                              (assigned.empty() ? "" : " to drop its oldest records"))
                                 .c_str(),
                             code));
            clean = false;
        }
        next.Pending = false;
        next.Places = after;
        next.Batches = batch;
    }
    // Once the records are in, the position goes with them even when it cannot be saved now:
    // the pending batch is settled from the log at the next start (and lines without records
    // are merely skipped again).
    if (Save(next) && clean && !Records.empty() && Trouble != TROUBLE::NONE) {
        Note(Trouble == TROUBLE::WRITING ? "Writing again" : "The Security event log works normally again");
        Trouble = TROUBLE::NONE;
    }
    Saved = next;
    Totals.Lines += lines.size();
    Totals.Records += Records.size();
    Totals.Malformed += malformed;
    return true;
}

}  // namespace qv
