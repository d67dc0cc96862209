#include "tools/identity_server/utf16_text.h"

#include <cstdio>

namespace qv::identity_server {
namespace {

void AppendUtf8(uint32_t codePoint, std::string& utf8)
{
    if (codePoint < 0x80) {
        utf8 += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        utf8 += static_cast<char>(0xC0 | (codePoint >> 6));
        utf8 += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        utf8 += static_cast<char>(0xE0 | (codePoint >> 12));
        utf8 += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        utf8 += static_cast<char>(0xF0 | (codePoint >> 18));
        utf8 += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::string UnitProblem(const char* what, uint16_t unit, size_t index)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s 0x%04X at code unit %zu", what, unit, index);
    return text;
}

}  // namespace

bool Utf16LeToUtf8(const uint8_t* units, size_t count, std::string& utf8, std::string& problem)
{
    utf8.clear();
    auto unitAt = [units](size_t index) {
        return static_cast<uint16_t>(units[2 * index] | (units[2 * index + 1] << 8));
    };
    for (size_t index = 0; index < count; ++index) {
        const uint16_t unit = unitAt(index);
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            problem = UnitProblem("low surrogate without a high surrogate:", unit, index);
            return false;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (index + 1 >= count) {
                problem = UnitProblem("high surrogate at the end of the string:", unit, index);
                return false;
            }
            const uint16_t low = unitAt(index + 1);
            if (low < 0xDC00 || low > 0xDFFF) {
                problem = UnitProblem("high surrogate not followed by a low surrogate:", unit, index);
                return false;
            }
            AppendUtf8(0x10000 + ((static_cast<uint32_t>(unit - 0xD800) << 10) | (low - 0xDC00)), utf8);
            ++index;
            continue;
        }
        AppendUtf8(unit, utf8);
    }
    return true;
}

}  // namespace qv::identity_server
