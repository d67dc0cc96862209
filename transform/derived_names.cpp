#include "transform/derived_names.h"

#include "support/format.h"

namespace qv {

namespace {

constexpr uint32_t NO_DOT = 0xFFFFFFFF;

uint32_t LastDot(const STRING& path) {
    const char16_t* text = path.Text();
    for (uint32_t i = path.Length(); i > 0; --i) {
        if (text[i - 1] == u'.') return i - 1;
    }
    return NO_DOT;
}

}  // namespace

STRING ModifiedCopyPath(const STRING& input) {
    const uint32_t dot = LastDot(input);
    if (dot == NO_DOT) return Format(u"%s_Modified", input.Text());
    const STRING stem(input.Text(), dot);
    return Format(u"%s_Modified%s", stem.Text(), input.Text() + dot);
}

STRING TransformPath(const STRING& input) {
    const uint32_t dot = LastDot(input);
    if (dot == NO_DOT) return Format(u"%s.mst", input.Text());
    const STRING stemWithDot(input.Text(), dot + 1);
    return Format(u"%s%s", stemWithDot.Text(), u"mst");
}

}  // namespace qv
