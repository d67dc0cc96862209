// Events of the program for the system's event log (the Windows Application log; syslog
// elsewhere), with their texts from the program's message table (resources/messages.mc).
//
// A burst of failures must not flood the log, so a reporter may be limited to so many events a
// minute: the minutes are fixed periods counted from construction, and an event over the limit
// is dropped without a word. Whether written or not, every event is also echoed into the
// program's own log when a message module is set and a debug output channel is on, so a
// dropped event is still seen there.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include "base/string.h"
#include "base/types.h"
#include "platform/event_source.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "resources/message_numbers.h"

namespace qv {

// The event ID a viewer shows for a message number.
constexpr uint32_t EventIdOf(uint32_t messageNumber) { return messageNumber & 0xFFFF; }

// The program's own source and limit, and the length of one limit period.
constexpr const char16_t* EVENT_SOURCE_NAME = u"Quorvane";
constexpr uint32_t EVENT_LIMIT_PER_MINUTE = 30;
constexpr uint32_t EVENT_LIMIT_PERIOD_MS = 60000;

// Width of the lines of an event's text in the program's own log.
constexpr uint32_t EVENT_ECHO_WIDTH = 80;

// An insertion string: a STRING or UTF-16 text.
template <typename T>
concept EVENT_TEXT = std::same_as<std::remove_cvref_t<T>, STRING> || std::convertible_to<const T&, const char16_t*>;

inline const char16_t* EventText(const STRING& text) { return text.Text(); }
inline const char16_t* EventText(const char16_t* text) { return text; }

// Events may be reported from any thread at once; Construct and Destroy must not overlap them.
class EVENT_REPORTER {
public:
    EVENT_REPORTER() = default;
    // Constructs at once (see Construct).
    EVENT_REPORTER(const char16_t* sourceName, uint32_t limitPerMinute, std::optional<MODULE_HANDLE> messageModule);
    EVENT_REPORTER(const EVENT_REPORTER&) = delete;
    EVENT_REPORTER& operator=(const EVENT_REPORTER&) = delete;
    ~EVENT_REPORTER() { Destroy(); }

    // Registers the event source (on the local machine) and, with a limit above 0, starts the
    // thread that begins a new period every periodMs. The message module is where the echo's
    // texts come from: std::nullopt for no echo, nullptr for the program itself. False, with
    // the last-error value set, when the source could not be registered (events are then only
    // echoed) or the period thread could not start (the limit is then lifted, so no event is
    // lost for want of a new period).
    bool Construct(const char16_t* sourceName, uint32_t limitPerMinute, std::optional<MODULE_HANDLE> messageModule,
                   uint32_t periodMs = EVENT_LIMIT_PERIOD_MS);
    // The same with a given destination (null: none). With 'periodEnd', a new period begins each
    // time that object is signalled, instead of every periodMs; it must outlive the reporter
    // (or the next Construct or Destroy).
    bool Construct(std::unique_ptr<EVENT_SINK> sink, uint32_t limitPerMinute, std::optional<MODULE_HANDLE> messageModule,
                   uint32_t periodMs = EVENT_LIMIT_PERIOD_MS, const WAITABLE* periodEnd = nullptr);
    // Ends the period thread, then deregisters the source. Safe to call more than once.
    void Destroy();

    void SetMessageModule(std::optional<MODULE_HANDLE> messageModule);
    std::optional<MODULE_HANDLE> MessageModule() const;

    // Reports an event with its insertion strings (%1, %2, ... of the message), no binary data.
    template <typename... TEXTS>
        requires(EVENT_TEXT<TEXTS> && ...)
    void ReportEvent(uint16_t type, uint32_t messageNumber, const TEXTS&... strings) {
        const char16_t* texts[] = {EventText(strings)..., nullptr};
        ReportEventEx(type, messageNumber, 0, nullptr, static_cast<uint16_t>(sizeof...(TEXTS)), texts);
    }

    // The general form: binary data (size and bytes; 0 and null for none) and an array of
    // insertion strings.
    void ReportEventEx(uint16_t type, uint32_t messageNumber, uint32_t dataSize, const void* data,
                       uint16_t stringCount, const char16_t* const* strings);

    bool IsRegistered() const { return Sink != nullptr; }
    uint32_t Limit() const;
    // Events counted in the current period, and periods begun since construction.
    uint32_t EventsThisPeriod() const;
    uint32_t PeriodsBegun() const;

    // The period thread's shared record (see event_reporter.cpp).
    struct PERIOD_STATE;

private:
    void Echo(uint32_t messageNumber, uint16_t stringCount, const char16_t* const* strings);

    std::unique_ptr<EVENT_SINK> Sink;  // none: nothing is written to the event log
    PERIOD_STATE* Period = nullptr;    // the lock, the counter and the limit; none without limit
    THREAD PeriodThread;               // exists only with a limit
    mutable std::mutex ModuleLock;
    std::optional<MODULE_HANDLE> Module;  // none: no echo
};

// The process-wide reporter, made during static start-up with source "Quorvane", a limit of 30
// events a minute and no message module.
EVENT_REPORTER& EventReporter();

}  // namespace qv
