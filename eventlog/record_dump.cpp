#include "eventlog/record_dump.h"

#include "base/error_codes.h"
#include "eventlog/event_handlers.h"
#include "eventlog/event_log.h"
#include "eventlog/event_record.h"
#include "platform/error_text.h"
#include "platform/event_message.h"
#include "platform/event_source.h"
#include "support/debug_log.h"
#include "support/event_reporter.h"
#include "support/number_text.h"
#include "support/time_value.h"

namespace qv {

namespace {

constexpr uint32_t HELD_RAW = DBGOUT_HOLD | DBGOUT_RAW;
// Seconds from 1601-01-01 (file time) to 1970-01-01 (the record's time).
constexpr uint64_t UNIX_EPOCH_SECONDS = 11644473600ULL;

const char16_t* EventTypeName(uint16_t type) {
    switch (type) {
    case 1: return u"Error";
    case 2: return u"Warning";
    case 4: return u"Informational";
    case 8: return u"Audit Success";
    case 16: return u"Audit Failure";
    default: return u"<Unknown>";
    }
}

STRING EventName(uint32_t eventId) {
    const uint16_t code = static_cast<uint16_t>(eventId & 0xFFFF);
    const char16_t* name = EventKindName(code);
    return name != nullptr ? STRING(name) : DecimalText(static_cast<uint32_t>(code));
}

STRING TimeStampText(uint32_t timeGenerated) {
    const TIME_VALUE utc = TIME_VALUE::FromTicks((timeGenerated + UNIX_EPOCH_SECONDS) * TICKS_PER_SECOND);
    TIME_VALUE local;
    if (!utc.UtcToLocal(local)) local = utc;
    CALENDAR_TIME calendar;
    local.ToCalendar(calendar);
    return Format(u"%d/%d/%d %.2d:%.2d:%.2d", calendar.Month, calendar.Day, calendar.Year, calendar.Hour,
                  calendar.Minute, calendar.Second);
}

bool IsFilePath(const char16_t* logName) {
    if (logName[0] == 0) return false;
    return (logName[0] == u'\\' && logName[1] == u'\\') || logName[1] == u':';
}

// The number after a "%" that starts at 'at' (a digit): its value, saturated so that a long
// run of digits cannot overflow, and 'at' moved past the digits.
uint32_t ReadInsertNumber(const char16_t* text, uint32_t length, uint32_t& at) {
    uint32_t number = 0;
    for (; at < length && text[at] >= u'0' && text[at] <= u'9'; ++at) {
        const uint32_t digit = static_cast<uint32_t>(text[at] - u'0');
        number = number > (0xFFFFFFFEu - digit) / 10 ? 0xFFFFFFFFu : number * 10 + digit;
    }
    return number;
}

const char16_t* InsertFor(uint32_t number, const std::vector<const char16_t*>& strings) {
    if (number == 0 || number > strings.size()) return nullptr;
    return strings[number - 1];
}

char16_t EscapedCharacter(char16_t c) {
    switch (c) {
    case u'n': return u'\n';
    case u'r': return u'\r';
    case u't': return u'\t';
    default: return c;
    }
}

}  // namespace

bool InsertReplacementStrings(STRING& text, const std::vector<const char16_t*>& strings) {
    const char16_t* source = text.Text();
    const uint32_t length = text.Length();

    // First pass: the length of the result, counted wide enough that no sum can wrap.
    uint64_t total = 0;
    for (uint32_t at = 0; at < length;) {
        if (source[at] != u'%') {
            ++total;
            ++at;
            continue;
        }
        ++at;
        if (at == length) break;  // a final "%" is dropped
        if (source[at] >= u'0' && source[at] <= u'9') {
            const char16_t* insert = InsertFor(ReadInsertNumber(source, length, at), strings);
            if (insert != nullptr) total += TextLength(insert);
        } else {
            ++total;
            ++at;
        }
    }
    if (total >= 0xFFFFFFFFu) return false;

    STRING result;
    try {
        result = STRING(static_cast<uint32_t>(total));
    } catch (const STRING_NO_MEMORY&) {
        return false;
    }

    // Second pass: the same walk, copying.
    char16_t* out = result.Buffer();
    for (uint32_t at = 0; at < length;) {
        if (source[at] != u'%') {
            *out++ = source[at++];
            continue;
        }
        ++at;
        if (at == length) break;
        if (source[at] >= u'0' && source[at] <= u'9') {
            const char16_t* insert = InsertFor(ReadInsertNumber(source, length, at), strings);
            if (insert != nullptr) {
                while (*insert != 0) *out++ = *insert++;
            }
        } else {
            *out++ = EscapedCharacter(source[at++]);
        }
    }
    text = std::move(result);
    return true;
}

bool GetEventMessageFile(const char16_t* logName, const char16_t* sourceName, STRING& files) {
    if (IsFilePath(logName)) return false;
    STRING value;
    STRING unopenedKey;
    const uint32_t code = FindEventMessageFiles(logName, sourceName, value, unopenedKey);
    if (code != ERR_SUCCESS) {
        if (!unopenedKey.IsEmpty()) {
            EventReporter().ReportEvent(EVENT_TYPE_ERROR, MSG_OPEN_REGISTRY_KEY, GetErrorText(code), DecimalText(code),
                                        unopenedKey);
        }
        return false;
    }

    const uint32_t expandCode = ExpandEnvironmentText(value.Text(), files);
    if (expandCode != ERR_SUCCESS) {
        DebugLog(u"ExpandEnvironmentStrings failed. %s. Error code = %lu.", GetErrorText(expandCode), expandCode);
        files = std::move(value);
    }
    return true;
}

bool FormatEventMessage(const EVENT_RECORD& record, const EVENT_LOG& log, STRING& text) {
    STRING files;
    if (!GetEventMessageFile(log.LogName().Text(), record.SourceName, files)) return false;

    const char16_t* at = files.Text();
    while (*at != 0) {
        const char16_t* end = at;
        while (*end != 0 && *end != u';') ++end;
        const STRING path(at, static_cast<uint32_t>(end - at));
        at = *end == u';' ? end + 1 : end;
        if (path.IsEmpty()) continue;

        MESSAGE_FILE file;
        uint32_t code = file.Load(path.Text());
        if (code != ERR_SUCCESS) {
            DebugLog(u"Uable to open message source file \"%s\". %s. Error code = %lu.", path, GetErrorText(code), code);
            continue;
        }
        code = file.FindMessage(record.EventID, text);
        if (code == ERR_SUCCESS) return true;
        if (code != ERR_MESSAGE_NOT_FOUND) {
            DebugLog(u"Format message failed. %s. Error code = %lu.", GetErrorText(code), code);
        }
    }
    return false;
}

void DumpRecord(const EVENT_RECORD& record, const EVENT_LOG& log, uint32_t content) {
    const STRING name = EventName(record.EventID);
    if (log.Switches().MiniDump) {
        DebugLog(u"\nEvent = %s, RecordNumber = %lu", name, record.RecordNumber);
        return;
    }

    DebugLogEx(DBGOUT_HOLD,
               u"\nEVENT_%s\n    RecordNumber: %lu\n    Severity: %lu\n    Facility: %lu\n    Time stamp: %s\n"
               u"    Type: %s\n    Source: %s\n    Computer: %s",
               name, record.RecordNumber, record.EventID >> 30, (record.EventID >> 16) & 0xFFF,
               TimeStampText(record.TimeGenerated), EventTypeName(record.EventType), record.SourceName,
               record.ComputerName);

    if ((content & (DUMP_MESSAGE | DUMP_FORMATTED_MESSAGE)) != 0) {
        STRING message;
        if (FormatEventMessage(record, log, message)) {
            // Held like the rest, so that the message stays inside its dump.
            if ((content & DUMP_MESSAGE) != 0) DebugLogEx(HELD_RAW, u"    Message: {%s}", message);
            if ((content & DUMP_FORMATTED_MESSAGE) != 0 && InsertReplacementStrings(message, record.Strings)) {
                DebugLogEx(HELD_RAW, u"    Formatted Message: {%s}", message);
            }
        } else {
            DebugLogEx(HELD_RAW, u"    Message not available");
        }
    }

    if ((content & DUMP_STRINGS) != 0) {
        for (uint32_t i = 0; i < record.Strings.size(); ++i) {
            DebugLogEx(HELD_RAW, u"    %%%lu: {%s}", i + 1, record.Strings[i]);
        }
        if (record.Strings.empty()) DebugLogEx(HELD_RAW, u"    No replacement strings");
    }

    if ((content & DUMP_DATA) != 0 && record.DataLength != 0) {
        STRING hex;
        BytesToHexText(hex, record.Data, record.DataLength, false, 4, u' ');
        DebugLogEx(HELD_RAW, u"    Data length: %lu\n    Data: %s", record.DataLength, hex);
    }

    DebugLogFlush(false);
}

}  // namespace qv
