#include "transform/table_format.h"

#include "base/string.h"
#include "transform/little_endian.h"

namespace qv {

namespace {

constexpr char16_t TABLE_STREAM_MARK = 0x4840;

int MimeDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 36;
    if (c == '.') return 62;
    if (c == '_') return 63;
    return -1;
}

void AppendUtf8(std::string& text, char16_t unit) {
    if (unit < 0x80) {
        text += static_cast<char>(unit);
    } else if (unit < 0x800) {
        text += static_cast<char>(0xC0 | (unit >> 6));
        text += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
        text += static_cast<char>(0xE0 | (unit >> 12));
        text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (unit & 0x3F));
    }
}

char MimeCharacter(int digit) {
    if (digit < 10) return static_cast<char>('0' + digit);
    if (digit < 36) return static_cast<char>('A' + digit - 10);
    if (digit < 62) return static_cast<char>('a' + digit - 36);
    return digit == 62 ? '.' : '_';
}

}  // namespace

std::vector<COLUMN> TablesTableColumns() { return {{"Name", COLUMN_VALID | COLUMN_STRING | COLUMN_KEY | 64}}; }

std::vector<COLUMN> ColumnsTableColumns() {
    return {{"Table", COLUMN_VALID | COLUMN_STRING | COLUMN_KEY | 64},
            {"Number", COLUMN_VALID | COLUMN_KEY | 2},
            {"Name", COLUMN_VALID | COLUMN_STRING | 64},
            {"Type", COLUMN_VALID | 2}};
}

uint32_t PoolCodepage(const std::string& pool) {
    return pool.size() > 4 ? ReadLittleEndian(pool, 0, 4) & ~LONG_STRING_REFERENCES : 0;
}

std::string TableStreamName(const std::string& table) {
    std::string name;
    AppendUtf8(name, TABLE_STREAM_MARK);
    for (size_t i = 0; i < table.size(); ++i) {
        const int first = MimeDigit(table[i]);
        if (first < 0) {
            // Outside the packed alphabet: the character stands for itself.
            name += table[i];
            continue;
        }
        const int second = i + 1 < table.size() ? MimeDigit(table[i + 1]) : -1;
        if (second < 0) {
            AppendUtf8(name, static_cast<char16_t>(0x4800 + first));
        } else {
            AppendUtf8(name, static_cast<char16_t>(0x3800 + first + (second << 6)));
            ++i;
        }
    }
    return name;
}

std::string TableOfStream(const std::string& streamName) {
    const STRING name(streamName.c_str());
    if (name.Length() == 0 || name.Text()[0] != TABLE_STREAM_MARK) return streamName;
    std::string table;
    for (uint32_t i = 1; i < name.Length(); ++i) {
        const char16_t unit = name.Text()[i];
        if (unit >= 0x4800 && unit < 0x4840) {
            table += MimeCharacter(unit - 0x4800);
        } else if (unit >= 0x3800 && unit < 0x4800) {
            table += MimeCharacter((unit - 0x3800) & 0x3F);
            table += MimeCharacter(((unit - 0x3800) >> 6) & 0x3F);
        } else {
            table += STRING_A(&name.Text()[i], 1).Text();
        }
    }
    return table;
}

}  // namespace qv
