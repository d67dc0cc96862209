// The follower's sink: turns audit lines into Security records, appends them to the Linux
// Security log and keeps the position. One batch of lines is one append; the position moves
// past the batch only once its records are in the log, and the batch is announced before
// the append, each record carrying the batch's number, so that a stop between the append and
// the position's save is settled at the next start by looking into the log itself: nothing is
// written twice and nothing is left out. A failed append is settled the same way before
// anything is written again: the log may have published the records and failed after them
// (dropping its oldest records on a full disk), and then the batch is done.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/event_log_store.h"
#include "tools/qvsamba/audit_follower.h"
#include "tools/qvsamba/audit_position.h"
#include "tools/qvsamba/security_record.h"

namespace qv {

struct RECORD_WRITER_COUNTS {
    uint64_t Lines = 0;
    uint64_t Records = 0;
    uint64_t Malformed = 0;
};

class RECORD_WRITER : public AUDIT_LINE_SINK {
public:
    RECORD_WRITER(std::string positionPath, DOMAIN_CONTROLLER controller, NOTE note);

    // Opens the Security log and loads the position, settling a batch a stop interrupted.
    bool Open(std::string& problem);
    const AUDIT_POSITION& Position() const { return Saved; }
    const RECORD_WRITER_COUNTS& Counts() const { return Totals; }

    bool Take(const std::string& file, std::span<const AUDIT_LINE_TEXT> lines, const AUDIT_PLACES& after) override;
    const AUDIT_PLACES& Taken() const override { return Saved.Places; }

private:
    // What went wrong last, said once until it is over.
    enum class TROUBLE { NONE, WRITING, AFTER_WRITING };

    bool Save(const AUDIT_POSITION& position);
    bool BatchIsInLog(uint64_t batch, std::string& problem);
    void Report(TROUBLE trouble, const std::string& text);
    bool SettleDoubt();
    void BuildRecords(const std::string& file, std::span<const AUDIT_LINE_TEXT> lines, uint64_t& malformed);

    std::string PositionPath;
    DOMAIN_CONTROLLER Controller;
    NOTE Note;
    EVENT_LOG_WRITER Log;
    AUDIT_POSITION Saved;
    RECORD_WRITER_COUNTS Totals;
    std::vector<NEW_EVENT_RECORD> Records;
    TROUBLE Trouble = TROUBLE::NONE;
    // An append failed, and whether its records reached the log could not be looked up yet:
    // nothing is written until it is (the batch would end at DoubtfulEnd).
    bool InDoubt = false;
    AUDIT_PLACES DoubtfulEnd;
};

// The data each record of batch N carries.
std::vector<uint8_t> BatchMarker(uint64_t batch);

}  // namespace qv
