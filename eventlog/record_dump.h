// Writing event log records into the program's log, for diagnosis: a one-line summary or a
// full block with the header fields, the message text, the replacement strings and the data.
#pragma once

#include <cstdint>
#include <vector>

#include "base/string.h"

namespace qv {

class EVENT_LOG;
struct EVENT_RECORD;

// DUMP_CONTENT: what a full dump adds after its header.
constexpr uint32_t DUMP_MESSAGE = 0x1;            // the message text, inserts left as they are
constexpr uint32_t DUMP_FORMATTED_MESSAGE = 0x2;  // the message text with the strings put in
constexpr uint32_t DUMP_STRINGS = 0x4;            // the replacement strings, one line each
constexpr uint32_t DUMP_DATA = 0x8;               // the data in hexadecimal

// The record's strings come from record.Strings; the log gives its name and the MiniDump switch.
void DumpRecord(const EVENT_RECORD& record, const EVENT_LOG& log, uint32_t content);

// The event's message text from its source's message files, inserts left as they are.
bool FormatEventMessage(const EVENT_RECORD& record, const EVENT_LOG& log, STRING& text);
// The ";"-separated list of the source's message files, environment variables expanded.
bool GetEventMessageFile(const char16_t* logName, const char16_t* sourceName, STRING& files);
// Replaces 'text' by a copy with %1, %2, ... replaced by the strings (numbered from 1; a number
// out of range gives nothing), %n, %r and %t by line feed, carriage return and tab, and "%"
// before any other character by that character; a final "%" is dropped. False, with 'text'
// unchanged, when the result would not fit a STRING.
bool InsertReplacementStrings(STRING& text, const std::vector<const char16_t*>& strings);

}  // namespace qv
