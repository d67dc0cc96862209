// The event log on POSIX is syslog. An event becomes one record, facility LOG_DAEMON, under the
// ident the source was registered with:
//     [event 6] Unable to create registry key "SOFTWARE\Tarnwell" The handle is invalid. ...
// The event ID (the low 16 bits of the message number) leads, so records can be filtered as
// the Windows event viewer filters by ID, and the text is the message of the program's message
// table (generated from resources/messages.mc) with its inserts, on one line. The severity
// follows the event type: error LOG_ERR, warning LOG_WARNING, information LOG_INFO, the audit
// types and anything else LOG_NOTICE.
//
// syslog(3) reports no failure, so writing an event always succeeds here; where no syslog daemon
// listens the records are lost, as they would be with the Windows event log service stopped.
#include "platform/event_source.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <new>

#include "base/error_codes.h"
#include "base/message_format.h"
#include "platform/last_error.h"
#include "resources/message_table.h"

namespace qv {

namespace {

// ERROR_MR_MID_NOT_FOUND: the message number is not in the table.
constexpr uint32_t MESSAGE_NUMBER_NOT_FOUND = 317;

// syslog keeps the ident pointer it is given and reads it at every record, so each source name
// is kept for the life of the process (a handful at most) and openlog is called again, under
// one lock, before each record of a source whose ident is not the current one.
std::mutex& SyslogLock() {
    static std::mutex* lock = new std::mutex;  // never destroyed: records may come during exit
    return *lock;
}

struct POSIX_SOURCE {
    const char* Ident;
};

const char* KeepIdent(const STRING_A& name) {
    static STRING_A* idents[64] = {};
    for (STRING_A*& ident : idents) {
        if (ident == nullptr) {
            ident = new (std::nothrow) STRING_A(name);
            return ident != nullptr ? ident->Text() : nullptr;
        }
        if (ident->Equals(name)) return ident->Text();
    }
    return nullptr;
}

void Append(STRING_A& record, const char* text, uint32_t count) {
    const uint32_t start = record.Length();
    record.GrowBy(count);
    char* units = record.Buffer();
    for (uint32_t i = 0; i < count; ++i) units[start + i] = text[i];
}

void Append(STRING_A& record, const char* text) { Append(record, text, TextLength(text)); }

// Appends the formatted text on one line: each line break, with the blanks around it, becomes
// one blank, and trailing blanks go.
void AppendOnOneLine(STRING_A& record, const STRING& text) {
    const STRING_A utf8(text);
    const char* units = utf8.Text();
    const uint32_t length = utf8.Length();
    uint32_t i = 0;
    bool blankPending = false;
    while (i < length) {
        if (units[i] == '\r' || units[i] == '\n') {
            blankPending = true;
            ++i;
            continue;
        }
        // A run of text up to the next line break, without its trailing blanks.
        uint32_t end = i;
        while (end < length && units[end] != '\r' && units[end] != '\n') ++end;
        uint32_t start = i;
        if (blankPending) {
            while (start < end && (units[start] == ' ' || units[start] == '\t')) ++start;
        }
        uint32_t last = end;
        while (last > start && (units[last - 1] == ' ' || units[last - 1] == '\t')) --last;
        if (last > start) {
            if (blankPending && record.LastUnit() != ' ') Append(record, " ", 1);
            Append(record, units + start, last - start);
        }
        blankPending = false;
        i = end;
    }
}

}  // namespace

int EventSyslogSeverity(uint16_t type) {
    switch (type) {
        case EVENT_TYPE_ERROR: return LOG_ERR;
        case EVENT_TYPE_WARNING: return LOG_WARNING;
        case EVENT_TYPE_INFORMATION: return LOG_INFO;
        default: return LOG_NOTICE;
    }
}

STRING_A EventRecordText(uint32_t eventId, uint16_t stringCount, const char16_t* const* strings, uint32_t dataSize,
                         const void* data) {
    char head[32];
    std::snprintf(head, sizeof head, "[event %u] ", static_cast<unsigned>(eventId & 0xFFFF));
    STRING_A record(head);

    STRING text;
    if (FormatModuleMessage(nullptr, eventId, strings, stringCount, MESSAGE_NO_WRAP, text)) {
        AppendOnOneLine(record, text);
    } else {
        // No text for this number: the strings at least, as the event viewer shows them then.
        Append(record, "No message text for this event; its strings:");
        for (uint16_t i = 0; i < stringCount; ++i) {
            Append(record, i == 0 ? " \"" : ", \"");
            AppendOnOneLine(record, STRING(strings[i] != nullptr ? strings[i] : u""));
            Append(record, "\"");
        }
    }
    if (dataSize > 0 && data != nullptr) {
        Append(record, " Data:");
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (uint32_t i = 0; i < dataSize; ++i) {
            char byte[4];
            std::snprintf(byte, sizeof byte, " %02X", bytes[i]);
            Append(record, byte, 3);
        }
    }
    return record;
}

bool SYSTEM_EVENT_SOURCE::Register(const char16_t* sourceName) {
    Deregister();
    const char* ident = KeepIdent(STRING_A(sourceName));
    if (ident == nullptr) {
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return false;
    }
    auto* source = new (std::nothrow) POSIX_SOURCE{ident};
    if (source == nullptr) {
        SetLastErrorCode(ERR_NOT_ENOUGH_MEMORY);
        return false;
    }
    Native = source;
    return true;
}

void SYSTEM_EVENT_SOURCE::Deregister() {
    delete static_cast<POSIX_SOURCE*>(Native);
    Native = nullptr;
}

bool SYSTEM_EVENT_SOURCE::Write(uint16_t type, uint16_t, uint32_t eventId, uint16_t stringCount,
                                const char16_t* const* strings, uint32_t dataSize, const void* data) {
    if (Native == nullptr) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    const STRING_A record = EventRecordText(eventId, stringCount, strings, dataSize, data);
    std::lock_guard<std::mutex> lock(SyslogLock());
    openlog(static_cast<POSIX_SOURCE*>(Native)->Ident, LOG_PID, LOG_DAEMON);
    syslog(LOG_DAEMON | EventSyslogSeverity(type), "%s", record.Text());
    return true;
}

bool LoadMessageText(MODULE_HANDLE module, uint32_t messageNumber, STRING& text) {
    text.Clear();
    // Only the program itself carries a message table on this platform.
    if (module != nullptr) {
        SetLastErrorCode(ERR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    for (const MESSAGE_TABLE_ENTRY* entry = ProgramMessageTable; entry->Text != nullptr; ++entry) {
        if (entry->Number == messageNumber) {
            text.Assign(entry->Text);
            return true;
        }
    }
    SetLastErrorCode(MESSAGE_NUMBER_NOT_FOUND);
    return false;
}

bool FormatModuleMessage(MODULE_HANDLE module, uint32_t messageNumber, const char16_t* const* inserts,
                         uint32_t insertCount, uint32_t maximumWidth, STRING& text) {
    STRING raw;
    if (!LoadMessageText(module, messageNumber, raw)) {
        text.Clear();
        return false;
    }
    if (!FormatMessageText(text, raw.Text(), raw.Length(), inserts, insertCount, maximumWidth)) {
        SetLastErrorCode(ERR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace qv
