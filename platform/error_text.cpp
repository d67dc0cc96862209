#include "platform/error_text.h"

#include "platform/system_text.h"

namespace qv {

void TrimErrorText(STRING& text) {
    uint32_t trailing = 0;
    const char16_t* units = text.Text();
    uint32_t length = text.Length();
    while (trailing < length && (units[length - trailing - 1] == u'\r' || units[length - trailing - 1] == u'\n')) {
        ++trailing;
    }
    if (trailing < length && units[length - trailing - 1] == u'.') ++trailing;
    text.ShortenBy(trailing);
}

bool GetErrorText(uint32_t code, STRING& text, MODULE_HANDLE module) {
    if (!SystemMessageText(code, module, text)) {
        text.Clear();
        return false;
    }
    TrimErrorText(text);
    return !text.IsEmpty();
}

STRING GetErrorText(uint32_t code, MODULE_HANDLE module) {
    STRING text;
    GetErrorText(code, text, module);
    return text;
}

}  // namespace qv
