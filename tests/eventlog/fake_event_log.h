// A replayed event log for the reader's tests: each read hands out the next scripted buffer of
// records (or error), as ReadEventLogW would, asking for a bigger buffer when the script's
// bytes do not fit. Waits follow a script too, or else wait for real on the given events.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "eventlog/event_log.h"
#include "platform/event_log.h"
#include "platform/event_log_record.h"
#include "platform/wait.h"

namespace qv::test {

struct READ_STEP {
    uint32_t Code = 0;
    std::vector<uint8_t> Bytes;
};

// What the reader did, kept after the fake itself has been handed to the EVENT_LOG.
struct FAKE_LOG_TRACE {
    std::deque<READ_STEP> Reads;        // what the next reads give; empty: end of log (38)
    std::deque<uint32_t> OpenResults;   // what the next opens give; empty: success
    std::deque<uint32_t> WaitResults;   // what the next waits give; empty: a real wait
    std::function<void(uint32_t call)> BeforeWait;  // runs before each wait (1, 2, ...)
    uint32_t RecordCount = 0;
    uint32_t OldestRecord = 0;
    uint32_t CountError = 0;
    uint32_t OldestError = 0;
    uint32_t NotifyError = 0;

    std::vector<uint32_t> ReadFlags;
    std::vector<uint32_t> ReadBufferSizes;
    std::vector<uint32_t> WaitTimeouts;
    uint32_t Opens = 0;
    uint32_t Closes = 0;
    uint32_t Notifications = 0;
    bool Open = false;
};

class FAKE_EVENT_LOG : public EVENT_LOG_API {
public:
    explicit FAKE_EVENT_LOG(std::shared_ptr<FAKE_LOG_TRACE> trace) : Trace(std::move(trace)) {}

    uint32_t Open(const char16_t*) override {
        ++Trace->Opens;
        uint32_t code = 0;
        if (!Trace->OpenResults.empty()) {
            code = Trace->OpenResults.front();
            Trace->OpenResults.pop_front();
        }
        Trace->Open = code == 0;
        return code;
    }
    uint32_t Close() override {
        if (Trace->Open) ++Trace->Closes;
        Trace->Open = false;
        return 0;
    }
    bool IsOpen() const override { return Trace->Open; }

    uint32_t Read(uint32_t flags, uint32_t, void* buffer, uint32_t size, uint32_t& bytesRead,
                  uint32_t& bytesNeeded) override {
        Trace->ReadFlags.push_back(flags);
        Trace->ReadBufferSizes.push_back(size);
        bytesRead = 0;
        bytesNeeded = 0;
        if (Trace->Reads.empty()) return ERR_HANDLE_EOF;
        READ_STEP& step = Trace->Reads.front();
        if (step.Code == 0 && step.Bytes.size() > size) {
            bytesNeeded = static_cast<uint32_t>(step.Bytes.size());
            return ERR_INSUFFICIENT_BUFFER;
        }
        const uint32_t code = step.Code;
        if (!step.Bytes.empty()) std::memcpy(buffer, step.Bytes.data(), step.Bytes.size());
        bytesRead = static_cast<uint32_t>(step.Bytes.size());
        Trace->Reads.pop_front();
        return code;
    }

    uint32_t NotifyChange(const EVENT&) override {
        ++Trace->Notifications;
        return Trace->NotifyError;
    }
    uint32_t NumberOfRecords(uint32_t& count) override {
        count = Trace->RecordCount;
        return Trace->CountError;
    }
    uint32_t OldestRecord(uint32_t& recordNumber) override {
        recordNumber = Trace->OldestRecord;
        return Trace->OldestError;
    }

    uint32_t Wait(std::span<const WAITABLE* const> objects, uint32_t timeoutMs) override {
        Trace->WaitTimeouts.push_back(timeoutMs);
        if (Trace->BeforeWait) Trace->BeforeWait(static_cast<uint32_t>(Trace->WaitTimeouts.size()));
        if (!Trace->WaitResults.empty()) {
            const uint32_t result = Trace->WaitResults.front();
            Trace->WaitResults.pop_front();
            return result;
        }
        return WaitForAny(objects, timeoutMs);
    }

private:
    std::shared_ptr<FAKE_LOG_TRACE> Trace;
};

// A Security log record of a domain controller with the given ID, strings and data.
inline NEW_EVENT_RECORD SecurityRecord(uint32_t eventId, std::vector<std::u16string> strings = {},
                                       std::vector<uint8_t> data = {}) {
    NEW_EVENT_RECORD record;
    record.EventID = eventId;
    record.EventType = 8;
    record.TimeGenerated = 1700000000;
    record.TimeWritten = 1700000000;
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    record.ComputerName = u"DC1.corp.example.test";
    record.Strings = std::move(strings);
    record.Data = std::move(data);
    return record;
}

// The same as the log would deliver it.
inline std::vector<uint8_t> MakeRecord(uint32_t recordNumber, uint32_t eventId,
                                       std::vector<std::u16string> strings = {}, std::vector<uint8_t> data = {}) {
    return BuildEventLogRecord(SecurityRecord(eventId, std::move(strings), std::move(data)), recordNumber);
}

// Records laid end to end, as one read delivers them.
inline std::vector<uint8_t> Concatenate(std::initializer_list<std::vector<uint8_t>> records) {
    std::vector<uint8_t> bytes;
    for (const std::vector<uint8_t>& record : records) bytes.insert(bytes.end(), record.begin(), record.end());
    return bytes;
}

// An EVENT_LOG that remembers which records reached a handler.
struct DISPATCHED {
    uint32_t RecordNumber;
    uint32_t EventID;
    std::vector<std::u16string> Strings;
};

class OBSERVED_EVENT_LOG : public EVENT_LOG {
public:
    using EVENT_LOG::EVENT_LOG;
    std::vector<DISPATCHED> Dispatched;
    std::function<void(uint32_t recordNumber)> WhileHandling;  // runs inside each handler

protected:
    void RunHandler(const EVENT_KIND& kind, const EVENT_RECORD& record) override {
        DISPATCHED seen{record.RecordNumber, record.EventID, {}};
        for (const char16_t* text : record.Strings) seen.Strings.emplace_back(text);
        Dispatched.push_back(std::move(seen));
        if (WhileHandling) WhileHandling(record.RecordNumber);
        EVENT_LOG::RunHandler(kind, record);
    }
};

}  // namespace qv::test
