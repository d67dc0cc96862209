#include "platform/event_message.h"

#include <cstdlib>
#include <string>

#include "base/error_codes.h"

namespace qv {

namespace {

struct EVENT_MESSAGE {
    uint32_t EventID;
    const char16_t* Text;
};

#define SECURITY_EVENT_MESSAGE(id, text) {id, u"" text},
constexpr EVENT_MESSAGE SecurityEventMessages[] = {
#include "resources/security_event_messages.txt"
};
#undef SECURITY_EVENT_MESSAGE

// The name under which the compiled-in table stands in for the Security log's message files.
constexpr const char16_t* SECURITY_MESSAGES_NAME = u"quorvane:security_event_messages";

bool EqualTexts(const char16_t* a, const char16_t* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

}  // namespace

bool BuiltInEventMessageFiles(const char16_t* logName, const char16_t*, STRING& files) {
    if (!EqualTexts(logName, u"Security")) return false;
    files = SECURITY_MESSAGES_NAME;
    return true;
}

// %NAME% is replaced by the variable's value; an unknown name or a lone "%" stays as it is.
uint32_t ExpandEnvironmentText(const char16_t* text, STRING& expanded) {
    const std::string source(STRING_A(text).Text());
    std::string result;
    size_t at = 0;
    while (at < source.size()) {
        const size_t open = source.find('%', at);
        if (open == std::string::npos) {
            result.append(source, at);
            break;
        }
        result.append(source, at, open - at);
        const size_t close = source.find('%', open + 1);
        if (close == std::string::npos) {
            result.append(source, open);
            break;
        }
        const char* value = close > open + 1 ? std::getenv(source.substr(open + 1, close - open - 1).c_str()) : nullptr;
        if (value != nullptr) {
            result += value;
            at = close + 1;
        } else {
            // The closing "%" may open the next name.
            result.append(source, open, close - open);
            at = close;
        }
    }
    expanded = STRING(result.c_str());
    return ERR_SUCCESS;
}

MESSAGE_FILE::~MESSAGE_FILE() = default;

uint32_t MESSAGE_FILE::Load(const char16_t* path) {
    if (!EqualTexts(path, SECURITY_MESSAGES_NAME)) return ERR_FILE_NOT_FOUND;
    Module = SecurityEventMessages;
    return ERR_SUCCESS;
}

uint32_t MESSAGE_FILE::FindMessage(uint32_t messageId, STRING& text) const {
    if (Module == SecurityEventMessages) {
        for (const EVENT_MESSAGE& message : SecurityEventMessages) {
            if (message.EventID == messageId) {
                text = message.Text;
                return ERR_SUCCESS;
            }
        }
    }
    text.Clear();
    return ERR_MESSAGE_NOT_FOUND;
}

}  // namespace qv
