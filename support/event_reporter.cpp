#include "support/event_reporter.h"

#include <atomic>
#include <new>
#include <utility>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/last_error.h"
#include "support/debug_log.h"

namespace qv {

// What the reporter and its period thread share. The thread holds its own reference, so the
// record outlives a reporter whose thread could not be stopped in time (on POSIX such a thread
// is abandoned, not killed, and may still wake up once more).
struct EVENT_REPORTER::PERIOD_STATE {
    std::atomic<uint32_t> References{1};
    std::mutex Lock;          // guards Events and Limit
    uint32_t Events = 0;      // events counted in the current period
    uint32_t Limit = 0;
    std::atomic<uint32_t> Periods{0};
    EVENT Stop;
    uint32_t PeriodMs = EVENT_LIMIT_PERIOD_MS;
    const WAITABLE* PeriodEnd = nullptr;

    void Release() {
        if (References.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
};

namespace {

// Begins a new period at the end of each one, for as long as the reporter lives: the periods
// are fixed minutes from construction, not minutes since the last event.
uint32_t PeriodThreadProc(void* argument) {
    auto* state = static_cast<EVENT_REPORTER::PERIOD_STATE*>(argument);
    uint32_t exitCode = 0;
    for (;;) {
        uint32_t result;
        if (state->PeriodEnd != nullptr) {
            const WAITABLE* objects[] = {&state->Stop, state->PeriodEnd};
            result = WaitForAny(objects, WAIT_INFINITE);
            if (result == 1) result = WAIT_TIMED_OUT;
        } else {
            result = WaitForOne(state->Stop, state->PeriodMs);
        }
        if (result == 0) break;
        if (result != WAIT_TIMED_OUT) {
            // Without a working wait no new period would ever begin, and every event after the
            // first full period would be dropped: lift the limit instead.
            const uint32_t code = GetLastErrorCode();
            {
                std::lock_guard<std::mutex> lock(state->Lock);
                state->Limit = 0;
            }
            DebugLog(u"The event limit period thread cannot wait; events are no longer limited. %s. Error code = %lu.",
                     GetErrorText(code), code);
            exitCode = code != 0 ? code : ERR_INTERNAL_ERROR;
            break;
        }
        {
            std::lock_guard<std::mutex> lock(state->Lock);
            state->Events = 0;
        }
        state->Periods.fetch_add(1, std::memory_order_release);
    }
    state->Release();
    return exitCode;
}

// Trailing blanks and line breaks of a formatted text.
void TrimTrailingBlanks(STRING& text) {
    uint32_t trailing = 0;
    const char16_t* units = text.Text();
    const uint32_t length = text.Length();
    while (trailing < length) {
        const char16_t unit = units[length - trailing - 1];
        if (unit != u' ' && unit != u'\t' && unit != u'\r' && unit != u'\n') break;
        ++trailing;
    }
    text.ShortenBy(trailing);
}

}  // namespace

EVENT_REPORTER::EVENT_REPORTER(const char16_t* sourceName, uint32_t limitPerMinute,
                               std::optional<MODULE_HANDLE> messageModule) {
    Construct(sourceName, limitPerMinute, messageModule);
}

bool EVENT_REPORTER::Construct(const char16_t* sourceName, uint32_t limitPerMinute,
                               std::optional<MODULE_HANDLE> messageModule, uint32_t periodMs) {
    std::unique_ptr<SYSTEM_EVENT_SOURCE> source(new (std::nothrow) SYSTEM_EVENT_SOURCE);
    uint32_t failure = ERR_SUCCESS;
    if (sourceName == nullptr || *sourceName == 0) {
        failure = ERR_INVALID_PARAMETER;
        source.reset();
    } else if (source == nullptr) {
        failure = ERR_NOT_ENOUGH_MEMORY;
    } else if (!source->Register(sourceName)) {
        failure = GetLastErrorCode();
        source.reset();
    }
    const bool started = Construct(std::move(source), limitPerMinute, messageModule, periodMs);
    if (failure != ERR_SUCCESS) {
        SetLastErrorCode(failure);
        return false;
    }
    return started;
}

bool EVENT_REPORTER::Construct(std::unique_ptr<EVENT_SINK> sink, uint32_t limitPerMinute,
                               std::optional<MODULE_HANDLE> messageModule, uint32_t periodMs,
                               const WAITABLE* periodEnd) {
    Destroy();
    Sink = std::move(sink);
    SetMessageModule(messageModule);
    if (limitPerMinute == 0) return true;

    auto* state = new (std::nothrow) PERIOD_STATE;
    if (state == nullptr) {
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return false;
    }
    state->Limit = limitPerMinute;
    state->PeriodMs = periodMs;
    state->PeriodEnd = periodEnd;
    if (!state->Stop.Create(true)) {
        const uint32_t code = GetLastErrorCode();
        state->Release();
        SetLastErrorCode(code);
        return false;
    }
    state->References.fetch_add(1, std::memory_order_relaxed);  // the thread's reference
    if (!PeriodThread.Start(PeriodThreadProc, state)) {
        const uint32_t code = GetLastErrorCode();
        state->References.fetch_sub(1, std::memory_order_relaxed);
        state->Release();
        SetLastErrorCode(code);
        return false;
    }
    Period = state;
    return true;
}

void EVENT_REPORTER::Destroy() {
    if (Period != nullptr) {
        Period->Stop.Set();
        if (PeriodThread.IsValid() && WaitForOne(PeriodThread, 5000) != 0) {
            PeriodThread.Terminate(THREAD_TERMINATED_EXIT_CODE);
        }
        PeriodThread.Close();
        Period->Release();
        Period = nullptr;
    }
    Sink.reset();
    SetMessageModule(std::nullopt);
}

void EVENT_REPORTER::SetMessageModule(std::optional<MODULE_HANDLE> messageModule) {
    std::lock_guard<std::mutex> lock(ModuleLock);
    Module = messageModule;
}

std::optional<MODULE_HANDLE> EVENT_REPORTER::MessageModule() const {
    std::lock_guard<std::mutex> lock(ModuleLock);
    return Module;
}

uint32_t EVENT_REPORTER::Limit() const {
    if (Period == nullptr) return 0;
    std::lock_guard<std::mutex> lock(Period->Lock);
    return Period->Limit;
}

uint32_t EVENT_REPORTER::EventsThisPeriod() const {
    if (Period == nullptr) return 0;
    std::lock_guard<std::mutex> lock(Period->Lock);
    return Period->Events;
}

uint32_t EVENT_REPORTER::PeriodsBegun() const {
    return Period != nullptr ? Period->Periods.load(std::memory_order_acquire) : 0;
}

void EVENT_REPORTER::ReportEventEx(uint16_t type, uint32_t messageNumber, uint32_t dataSize, const void* data,
                                   uint16_t stringCount, const char16_t* const* strings) {
    if (Sink != nullptr) {
        bool overLimit = false;
        if (Period != nullptr) {
            std::lock_guard<std::mutex> lock(Period->Lock);
            if (Period->Events != UINT32_MAX) ++Period->Events;
            overLimit = Period->Limit > 0 && Period->Events > Period->Limit;
        }
        if (!overLimit && !Sink->Write(type, 0, messageNumber, stringCount, strings, dataSize, data)) {
            // The event log itself failed: say so on the channels that need no event log.
            const uint32_t code = GetLastErrorCode();
            DebugLogEx(DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG, u"Unable to report event ID = %lu. %s. Error code = %lu.",
                       EventIdOf(messageNumber), GetErrorText(code), code);
        }
    }
    Echo(messageNumber, stringCount, strings);
}

void EVENT_REPORTER::Echo(uint32_t messageNumber, uint16_t stringCount, const char16_t* const* strings) {
    const std::optional<MODULE_HANDLE> module = MessageModule();
    if (!module.has_value()) return;
    if ((GetDebugOutputMode() & (DBGOUT_DEBUGGER | DBGOUT_LOG | DBGOUT_CONSOLE)) == 0) return;
    // The text as the event viewer shows it, in lines of at most 80 characters: the table's own
    // line breaks give way to the wrapping, its %n breaks stay.
    STRING text;
    if (!FormatModuleMessage(*module, messageNumber, strings, stringCount, EVENT_ECHO_WIDTH, text)) return;
    TrimTrailingBlanks(text);
    if (!text.IsEmpty()) DebugLogText(text.Text());
}

EVENT_REPORTER& EventReporter() {
    static EVENT_REPORTER reporter(EVENT_SOURCE_NAME, EVENT_LIMIT_PER_MINUTE, std::nullopt);
    return reporter;
}

namespace {
// Made during static start-up, so the source is registered before the program's first event;
// reached through EventReporter() so that no other static initializer can find it unmade.
[[maybe_unused]] EVENT_REPORTER& ProcessReporter = EventReporter();
}  // namespace

}  // namespace qv
