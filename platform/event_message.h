// The message texts of events that other programs' sources write, as the event viewer shows
// them. On Windows they live in message files (modules) that the registry names for each
// source. Elsewhere there are no such modules: the texts of the security events the program
// cares about are compiled in (resources/security_event_messages.txt) and stand in for the
// Security log's message files.
#pragma once

#include <cstdint>

#include "base/string.h"

namespace qv {

// ERROR_MR_MID_NOT_FOUND: the module has no message with that number.
constexpr uint32_t ERR_MESSAGE_NOT_FOUND = 317;

// True with the message files of a source when the platform knows them without the registry.
bool BuiltInEventMessageFiles(const char16_t* logName, const char16_t* sourceName, STRING& files);

// The message files (";"-separated, environment variables not yet expanded) of an event
// source: what the platform knows itself, else the "EventMessageFile" value of the source's
// key under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\services\EventLog. 0 and the files;
// otherwise the error code, with the full path of the key when the key itself could not be
// opened (and an empty path when only the value is missing or unreadable).
uint32_t FindEventMessageFiles(const char16_t* logName, const char16_t* sourceName, STRING& files,
                               STRING& unopenedKey);

// Expands %NAME% environment variables: 0 and the expansion, or the error code.
uint32_t ExpandEnvironmentText(const char16_t* text, STRING& expanded);

// One message file, loaded as data only.
class MESSAGE_FILE {
public:
    MESSAGE_FILE() = default;
    MESSAGE_FILE(const MESSAGE_FILE&) = delete;
    MESSAGE_FILE& operator=(const MESSAGE_FILE&) = delete;
    ~MESSAGE_FILE();

    uint32_t Load(const char16_t* path);
    // 0 and the text of message 'messageId' in any language, inserts left as they are;
    // ERR_MESSAGE_NOT_FOUND when the file has no such message; else the error code.
    uint32_t FindMessage(uint32_t messageId, STRING& text) const;

private:
    const void* Module = nullptr;
};

}  // namespace qv
