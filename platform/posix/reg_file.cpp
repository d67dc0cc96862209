// Reading and writing the ".reg" text form of one key's values (see reg_file.h).
#include "platform/posix/reg_file.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string_view>

#include "base/error_codes.h"
#include "base/utf.h"
#include "platform/registry.h"
#include "platform/system_text.h"

namespace qv {

namespace {

constexpr std::string_view FILE_HEADER = "Windows Registry Editor Version 5.00";
constexpr std::string_view ROOT_NAME = "HKEY_LOCAL_MACHINE";
// regedit keeps hex lines within 80 columns; so do we, so the file reads the same.
constexpr size_t HEX_LINE_WIDTH = 80;

// --- text helpers ----------------------------------------------------------------------------

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The type words (dword, hex) are taken in any case, as an administrator might type them.
bool StartsWithWord(std::string_view text, std::string_view word) {
    if (text.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

// A hexadecimal number of 1 to 8 digits and nothing else.
bool ParseHex32(std::string_view text, uint32_t& value) {
    if (text.empty() || text.size() > 8) return false;
    value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool SurrogatesArePaired(const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= length || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// The converter turns anything ill-formed into U+FFFD, so a U+FFFD that was not written as
// such in the text marks the spot.
bool IsWellFormedUtf8(std::string_view text) {
    const char* position = text.data();
    const char* end = position + text.size();
    while (position < end) {
        const char* start = position;
        if (NextCodePoint(position, end) == REPLACEMENT_CHARACTER &&
            (position - start != 3 || std::memcmp(start, "\xEF\xBF\xBD", 3) != 0)) {
            return false;
        }
    }
    return true;
}

// --- reading -----------------------------------------------------------------------------------

// The physical lines of the file, without their line ends.
class LINES {
public:
    explicit LINES(std::string_view text) : Text(text) {}

    bool Next(std::string_view& line) {
        if (Position >= Text.size()) return false;
        const size_t end = Text.find('\n', Position);
        const size_t stop = end == std::string_view::npos ? Text.size() : end;
        line = Text.substr(Position, stop - Position);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        Position = end == std::string_view::npos ? Text.size() : end + 1;
        return true;
    }

private:
    std::string_view Text;
    size_t Position = 0;
};

// A quoted text starting at text[0] == '"', with regedit's two escapes \\ and \". On success
// 'text' is moved past the closing quote.
bool ParseQuoted(std::string_view& text, std::string& result) {
    result.clear();
    size_t i = 1;
    for (;;) {
        if (i >= text.size()) return false;
        const char c = text[i];
        if (c == '"') break;
        if (c == '\\') {
            if (i + 1 >= text.size()) return false;
            const char escaped = text[i + 1];
            if (escaped != '\\' && escaped != '"') return false;
            result.push_back(escaped);
            i += 2;
            continue;
        }
        result.push_back(c);
        ++i;
    }
    text.remove_prefix(i + 1);
    return true;
}

// "xx,xx,..." (each item one or two hex digits, blanks allowed around them); empty is no bytes.
// Scanned in one pass: a value may be a megabyte, three text characters per byte.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& data) {
    data.clear();
    text = Trim(text);
    if (text.empty()) return true;
    data.reserve(text.size() / 3 + 1);
    size_t i = 0;
    for (;;) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        int value = 0;
        int digits = 0;
        for (int digit; i < text.size() && digits < 3 && (digit = HexDigit(text[i])) >= 0; ++i, ++digits) {
            value = value << 4 | digit;
        }
        if (digits == 0 || digits > 2 || data.size() >= REG_MAX_VALUE_DATA) return false;
        data.push_back(static_cast<uint8_t>(value));
        while (i < text.size() && IsBlank(text[i])) ++i;
        if (i == text.size()) return true;
        if (text[i] != ',') return false;
        ++i;
    }
}

void AppendUtf16LE(std::vector<uint8_t>& data, const std::u16string& text) {
    for (char16_t unit : text) {
        data.push_back(static_cast<uint8_t>(unit & 0xFF));
        data.push_back(static_cast<uint8_t>(unit >> 8));
    }
}

// One value line (already trimmed); continuation lines of hex data come from 'lines'.
bool ParseValueLine(std::string_view line, LINES& lines, REG_VALUE& value) {
    std::string text;
    if (line.front() == '@') {
        value.Name.clear();
        line.remove_prefix(1);
    } else {
        if (!ParseQuoted(line, text)) return false;
        value.Name = RegTextToUtf16(text);
        // A name written out as "" would read back as the default value, which is "@".
        if (value.Name.empty() || value.Name.size() > REG_MAX_VALUE_NAME) return false;
    }
    line = Trim(line);
    if (line.empty() || line.front() != '=') return false;
    line = Trim(line.substr(1));
    if (line.empty()) return false;

    if (line.front() == '"') {
        if (!ParseQuoted(line, text) || !Trim(line).empty()) return false;
        value.Type = REG_TYPE_SZ;
        value.Data.clear();
        AppendUtf16LE(value.Data, RegTextToUtf16(text));
        value.Data.push_back(0);
        value.Data.push_back(0);
        return value.Data.size() <= REG_MAX_VALUE_DATA;
    }
    if (StartsWithWord(line, "dword:")) {
        uint32_t number = 0;
        if (!ParseHex32(line.substr(6), number)) return false;
        value.Type = REG_TYPE_DWORD;
        value.Data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                      static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
        return true;
    }
    if (!StartsWithWord(line, "hex")) return false;
    line.remove_prefix(3);
    if (!line.empty() && line.front() == '(') {
        const size_t close = line.find(')');
        if (close == std::string_view::npos || !ParseHex32(line.substr(1, close - 1), value.Type)) return false;
        line.remove_prefix(close + 1);
    } else {
        value.Type = REG_TYPE_BINARY;
    }
    if (line.empty() || line.front() != ':') return false;
    line.remove_prefix(1);

    // Long hex data continues on the next lines, each line but the last ending in "\".
    std::string joined(Trim(line));
    while (!joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        std::string_view next;
        if (!lines.Next(next)) return false;
        joined.append(Trim(next));
    }
    return ParseHexBytes(joined, value.Data);
}

// Rejects two values whose names differ only in case: which one counts would be a guess.
bool NamesAreUnique(const std::vector<REG_VALUE>& values) {
    std::vector<size_t> order(values.size());
    std::iota(order.begin(), order.end(), size_t{0});
    auto compare = [&values](size_t a, size_t b) {
        return CompareTextIgnoringCase(values[a].Name.data(), static_cast<uint32_t>(values[a].Name.size()),
                                       values[b].Name.data(), static_cast<uint32_t>(values[b].Name.size()));
    };
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return compare(a, b) < 0; });
    for (size_t i = 1; i < order.size(); ++i) {
        if (compare(order[i - 1], order[i]) == 0) return false;
    }
    return true;
}

uint32_t ParseUtf8(std::string_view text, std::vector<REG_VALUE>& values) {
    // Every text in the file must be well-formed UTF-8 (and text, without NUL bytes): a file
    // saved in some other encoding would otherwise lose its accented letters without a word.
    if (!IsWellFormedUtf8(text) || text.find('\0') != std::string_view::npos) return ERR_BADDB;

    LINES lines(text);
    std::string_view line;
    if (!lines.Next(line) || Trim(line) != FILE_HEADER) return ERR_BADDB;

    bool inKey = false;
    while (lines.Next(line)) {
        line = Trim(line);
        if (line.empty() || line.front() == ';') continue;  // blank lines and comments
        if (line.front() == '[') {
            // The folder the file lives in says which key it is; the bracket line is for the
            // reader. One key per file, and never regedit's "[-...]" deletion form.
            if (inKey || line.size() < 3 || line.back() != ']' || line[1] == '-') return ERR_BADDB;
            inKey = true;
            continue;
        }
        if (!inKey || (line.front() != '"' && line.front() != '@')) return ERR_BADDB;
        REG_VALUE value;
        if (!ParseValueLine(line, lines, value)) return ERR_BADDB;
        values.push_back(std::move(value));
    }
    return NamesAreUnique(values) ? ERR_SUCCESS : ERR_BADDB;
}

// --- writing -----------------------------------------------------------------------------------

void AppendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

void AppendHex(std::string& out, uint32_t value, int digits) {
    static const char HEX[] = "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(HEX[(value >> shift) & 0xF]);
}

// The text of REG_SZ data when "text" reads back as exactly these bytes: whole UTF-16 units,
// one terminator at the end and none before it, no line breaks, well-formed.
bool AsQuotableText(const std::vector<uint8_t>& data, std::u16string& text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    const size_t units = data.size() / 2 - 1;
    text.resize(units);
    for (size_t i = 0; i < units; ++i) {
        const char16_t unit = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
        if (unit == 0 || unit == u'\r' || unit == u'\n') return false;
        text[i] = unit;
    }
    if (data[2 * units] != 0 || data[2 * units + 1] != 0) return false;
    return SurrogatesArePaired(text.data(), text.size());
}

void AppendHexData(std::string& out, size_t lineStart, const std::vector<uint8_t>& data) {
    size_t column = out.size() - lineStart;
    bool lineHasBytes = false;
    for (size_t i = 0; i < data.size(); ++i) {
        // "xx," plus room for the "\" that ends a continued line.
        if (lineHasBytes && column + 4 > HEX_LINE_WIDTH) {
            out.append("\\\n  ");
            column = 2;
        }
        AppendHex(out, data[i], 2);
        column += 2;
        if (i + 1 < data.size()) {
            out.push_back(',');
            ++column;
        }
        lineHasBytes = true;
    }
}

void AppendValue(std::string& out, const REG_VALUE& value) {
    const size_t lineStart = out.size();
    if (value.Name.empty()) {
        out.push_back('@');
    } else {
        AppendQuoted(out, RegTextToUtf8(value.Name));
    }
    out.push_back('=');

    std::u16string text;
    if (value.Type == REG_TYPE_SZ && AsQuotableText(value.Data, text)) {
        AppendQuoted(out, RegTextToUtf8(text));
    } else if (value.Type == REG_TYPE_DWORD && value.Data.size() == 4) {
        const uint32_t number = value.Data[0] | value.Data[1] << 8 | value.Data[2] << 16 |
                                static_cast<uint32_t>(value.Data[3]) << 24;
        out.append("dword:");
        AppendHex(out, number, 8);
    } else {
        if (value.Type == REG_TYPE_BINARY) {
            out.append("hex:");
        } else {
            out.append("hex(");
            int digits = 1;
            while (digits < 8 && (value.Type >> (digits * 4)) != 0) ++digits;
            AppendHex(out, value.Type, digits);
            out.append("):");
        }
        AppendHexData(out, lineStart, value.Data);
    }
    out.push_back('\n');
}

}  // namespace

uint32_t ParseRegFile(const char* text, size_t length, std::vector<REG_VALUE>& values) {
    values.clear();
    if (length == 0) return ERR_SUCCESS;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return ParseUtf8(std::string_view(text + 3, length - 3), values);
    }
    if (length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        // regedit's own export: UTF-16LE. Taken apart unit by unit, not by casting the bytes.
        if (length % 2 != 0) return ERR_BADDB;
        std::u16string units((length - 2) / 2, u'\0');
        for (size_t i = 0; i < units.size(); ++i) {
            units[i] = static_cast<char16_t>(bytes[2 + 2 * i] | bytes[3 + 2 * i] << 8);
        }
        if (!SurrogatesArePaired(units.data(), units.size())) return ERR_BADDB;
        return ParseUtf8(RegTextToUtf8(units), values);
    }
    return ParseUtf8(std::string_view(text, length), values);
}

void FormatRegFile(const std::u16string& keyPath, const std::vector<REG_VALUE>& values, std::string& text) {
    text.clear();
    text.append(FILE_HEADER);
    text.append("\n\n[");
    text.append(ROOT_NAME);
    if (!keyPath.empty()) {
        text.push_back('\\');
        text.append(RegTextToUtf8(keyPath));
    }
    text.append("]\n");
    for (const REG_VALUE& value : values) AppendValue(text, value);
    text.push_back('\n');
}

std::u16string RegTextToUtf16(std::string_view text) {
    std::u16string result(Utf8ToUtf16(text.data(), static_cast<uint32_t>(text.size()), nullptr), u'\0');
    Utf8ToUtf16(text.data(), static_cast<uint32_t>(text.size()), result.data());
    return result;
}

std::string RegTextToUtf8(std::u16string_view text) {
    std::string result(Utf16ToUtf8(text.data(), static_cast<uint32_t>(text.size()), nullptr), '\0');
    Utf16ToUtf8(text.data(), static_cast<uint32_t>(text.size()), result.data());
    return result;
}

ptrdiff_t FindRegValue(const std::vector<REG_VALUE>& values, const char16_t* name, size_t length) {
    for (size_t i = 0; i < values.size(); ++i) {
        const std::u16string& candidate = values[i].Name;
        if (CompareTextIgnoringCase(candidate.data(), static_cast<uint32_t>(candidate.size()), name,
                                    static_cast<uint32_t>(length)) == 0) {
            return static_cast<ptrdiff_t>(i);
        }
    }
    return -1;
}

bool IsStorableValueName(const char16_t* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == u'\r' || name[i] == u'\n') return false;
    }
    return SurrogatesArePaired(name, length);
}

}  // namespace qv
