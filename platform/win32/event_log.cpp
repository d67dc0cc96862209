// The system event log on Windows: the event log API over one handle, closed with the object.
#include "platform/event_log.h"

#include <new>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/win32/win32.h"

namespace qv {

namespace {

// The code the last failed call left; a failure without one still must not read as success.
uint32_t LastFailure() {
    const DWORD code = GetLastError();
    const uint32_t result = code != ERROR_SUCCESS ? code : ERR_INTERNAL_ERROR;
    SetLastErrorCode(result);
    return result;
}

class WIN32_EVENT_LOG final : public EVENT_LOG_API {
public:
    WIN32_EVENT_LOG() = default;
    WIN32_EVENT_LOG(const WIN32_EVENT_LOG&) = delete;
    WIN32_EVENT_LOG& operator=(const WIN32_EVENT_LOG&) = delete;
    ~WIN32_EVENT_LOG() override { Close(); }

    uint32_t Open(const char16_t* logName) override {
        Close();
        HANDLE opened = OpenEventLogW(nullptr, AsWide(logName));
        if (opened == nullptr) return LastFailure();
        Handle = opened;
        return ERR_SUCCESS;
    }

    uint32_t Close() override {
        if (Handle == nullptr) return ERR_SUCCESS;
        const BOOL closed = CloseEventLog(Handle);
        Handle = nullptr;
        return closed ? ERR_SUCCESS : LastFailure();
    }

    bool IsOpen() const override { return Handle != nullptr; }

    uint32_t Read(uint32_t flags, uint32_t recordOffset, void* buffer, uint32_t size, uint32_t& bytesRead,
                  uint32_t& bytesNeeded) override {
        DWORD read = 0;
        DWORD needed = 0;
        const BOOL ok = ReadEventLogW(Handle, flags, recordOffset, buffer, size, &read, &needed);
        const uint32_t code = ok ? ERR_SUCCESS : LastFailure();
        bytesRead = ok ? read : 0;
        bytesNeeded = needed;
        return code;
    }

    uint32_t NotifyChange(const EVENT& event) override {
        return NotifyChangeEventLog(Handle, event.NativeHandle()) ? ERR_SUCCESS : LastFailure();
    }

    uint32_t NumberOfRecords(uint32_t& count) override {
        DWORD value = 0;
        const BOOL ok = GetNumberOfEventLogRecords(Handle, &value);
        count = ok ? value : 0;
        return ok ? ERR_SUCCESS : LastFailure();
    }

    uint32_t OldestRecord(uint32_t& recordNumber) override {
        DWORD value = 0;
        const BOOL ok = GetOldestEventLogRecord(Handle, &value);
        recordNumber = ok ? value : 0;
        return ok ? ERR_SUCCESS : LastFailure();
    }

private:
    HANDLE Handle = nullptr;
};

}  // namespace

std::unique_ptr<EVENT_LOG_API> CreateSystemEventLog() {
    return std::unique_ptr<EVENT_LOG_API>(new (std::nothrow) WIN32_EVENT_LOG());
}

}  // namespace qv
