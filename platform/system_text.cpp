#include "platform/system_text.h"

#include "base/string.h"

namespace qv {

bool EqualsIgnoringCase(const STRING& left, const char16_t* right) {
    return CompareTextIgnoringCase(left.Text(), left.Length(), right != nullptr ? right : u"", TextLength(right)) == 0;
}

bool EqualsIgnoringCase(const STRING& left, const STRING& right) {
    return CompareTextIgnoringCase(left.Text(), left.Length(), right.Text(), right.Length()) == 0;
}

bool EqualsIgnoringCase(const char* left, const char* right) { return EqualsIgnoringCase(STRING(left), STRING(right)); }

}  // namespace qv
