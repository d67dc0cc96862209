// The system's event log as a destination for the program's events, and the program's message
// table that gives those events their texts.
//
// Windows: a registered event source of the Application log (RegisterEventSourceW,
// ReportEventW), and the message table that windmc compiled into the program's resources.
// POSIX: syslog, with the ident given at registration and facility LOG_DAEMON; each event is
// one record "[event <ID>] <message text on one line>" at a severity that follows the event
// type. The message table is compiled in (generated from the same resources/messages.mc) and is
// formatted by the portable formatter of support/message_format.h.
#pragma once

#include <cstdint>

#include "base/string.h"
#include "base/types.h"

namespace qv {

// Event types, as the event log stores them.
constexpr uint16_t EVENT_TYPE_SUCCESS = 0;
constexpr uint16_t EVENT_TYPE_ERROR = 1;
constexpr uint16_t EVENT_TYPE_WARNING = 2;
constexpr uint16_t EVENT_TYPE_INFORMATION = 4;

// Where events are written. The event reporter writes through this interface so that a test
// can stand in for the system's log; SYSTEM_EVENT_SOURCE is the real one.
class EVENT_SINK {
public:
    virtual ~EVENT_SINK() = default;
    // Writes one event. False, with the reason as the thread's last-error value, when the log
    // refused it.
    virtual bool Write(uint16_t type, uint16_t category, uint32_t eventId, uint16_t stringCount,
                       const char16_t* const* strings, uint32_t dataSize, const void* data) = 0;
};

class SYSTEM_EVENT_SOURCE final : public EVENT_SINK {
public:
    SYSTEM_EVENT_SOURCE() = default;
    SYSTEM_EVENT_SOURCE(const SYSTEM_EVENT_SOURCE&) = delete;
    SYSTEM_EVENT_SOURCE& operator=(const SYSTEM_EVENT_SOURCE&) = delete;
    ~SYSTEM_EVENT_SOURCE() override { Deregister(); }

    // Registers the source on the local machine. False, with the last-error value set, when
    // the system refuses.
    bool Register(const char16_t* sourceName);
    void Deregister();
    bool IsRegistered() const { return Native != nullptr; }

    bool Write(uint16_t type, uint16_t category, uint32_t eventId, uint16_t stringCount, const char16_t* const* strings,
               uint32_t dataSize, const void* data) override;

private:
    void* Native = nullptr;  // Windows: the event source handle; POSIX: the source's record
};

// The raw text of a message of a module's message table (null: the program itself), exactly as
// stored: inserts unexpanded, each text line ending with CR LF. False, with the last-error
// value set, when the module has no such message.
bool LoadMessageText(MODULE_HANDLE module, uint32_t messageNumber, STRING& text);

// Formats a message of a module's message table (null: the program itself) in the default
// language with string inserts. maximumWidth is as for FormatMessageText (message_format.h):
// 0 keeps the table's line breaks, 1..254 wraps at that width, 255 only drops them. Inserts
// beyond 'insertCount' read as empty. False, with the last-error value set and the text empty,
// when the message is missing or can't be formatted.
bool FormatModuleMessage(MODULE_HANDLE module, uint32_t messageNumber, const char16_t* const* inserts,
                         uint32_t insertCount, uint32_t maximumWidth, STRING& text);

#if !defined(_WIN32)
// The syslog record of an event, as SYSTEM_EVENT_SOURCE::Write sends it, and the syslog
// severity of an event type.
STRING_A EventRecordText(uint32_t eventId, uint16_t stringCount, const char16_t* const* strings, uint32_t dataSize,
                         const void* data);
int EventSyslogSeverity(uint16_t type);
#endif

}  // namespace qv
