#include "base/message_format.h"

#include <cstdlib>
#include <cstring>

namespace qv {

namespace {

// The text being built: a plain growable block, so that moving the end of a line down to the
// next one is a memmove, not a copy of the whole message.
class OUTPUT_TEXT {
public:
    OUTPUT_TEXT() = default;
    OUTPUT_TEXT(const OUTPUT_TEXT&) = delete;
    OUTPUT_TEXT& operator=(const OUTPUT_TEXT&) = delete;
    ~OUTPUT_TEXT() { std::free(Units); }

    void Reserve(uint32_t length) {
        if (length <= Capacity) return;
        uint32_t capacity = Capacity < 64 ? 64 : Capacity;
        while (capacity < length) capacity *= 2;
        void* block = std::realloc(Units, static_cast<size_t>(capacity) * sizeof(char16_t));
        if (block == nullptr) throw STRING_NO_MEMORY{static_cast<uint32_t>(capacity * sizeof(char16_t))};
        Units = static_cast<char16_t*>(block);
        Capacity = capacity;
    }
    void Append(char16_t unit) {
        Reserve(Length + 1);
        Units[Length++] = unit;
    }
    void Append(const char16_t* text, uint32_t count) {
        Reserve(Length + count);
        if (count > 0) std::memcpy(Units + Length, text, count * sizeof(char16_t));
        Length += count;
    }

    char16_t* Units = nullptr;
    uint32_t Length = 0;
    uint32_t Capacity = 0;
};

// Places units on lines no wider than the maximum width. Every unit of the message's own text
// goes in one at a time; an inserted string goes in whole. After each piece a line that has
// reached the width is broken: at its last breakable blank when it has one (the blanks just
// before that one are dropped with it, what followed moves to the next line), else right after
// the piece.
class LINE_WRITER {
public:
    explicit LINE_WRITER(uint32_t width) : Width(width) {}

    bool Wraps() const { return Width != MESSAGE_KEEP_LINE_BREAKS && Width != MESSAGE_NO_WRAP; }

    void Unit(char16_t unit, bool breakable) {
        if (breakable) LastBlank = static_cast<int64_t>(Out.Length);
        Out.Append(unit);
        AfterPiece();
    }

    void Insert(const char16_t* text, uint32_t count) {
        Out.Append(text, count);
        AfterPiece();
    }

    // A hard line break (%n, or a kept line break of the text).
    void LineBreak() {
        Out.Append(u"\r\n", 2);
        StartLine(Out.Length);
    }

    // %r: the carriage return alone also starts a line.
    void CarriageReturn() {
        Out.Append(u'\r');
        StartLine(Out.Length);
    }

    OUTPUT_TEXT Out;

private:
    void StartLine(uint32_t start) {
        LineStart = start;
        LastBlank = -1;
    }

    void AfterPiece() {
        if (!Wraps() || Out.Length - LineStart < Width) return;
        if (LastBlank < 0) {
            LineBreak();
            return;
        }
        const uint32_t blank = static_cast<uint32_t>(LastBlank);
        uint32_t cut = blank;
        while (cut > LineStart && Out.Units[cut - 1] == u' ') --cut;
        const uint32_t rest = Out.Length - (blank + 1);
        Out.Reserve(cut + 2 + rest);
        std::memmove(Out.Units + cut + 2, Out.Units + blank + 1, rest * sizeof(char16_t));
        Out.Units[cut] = u'\r';
        Out.Units[cut + 1] = u'\n';
        Out.Length = cut + 2 + rest;
        StartLine(cut + 2);
    }

    uint32_t Width;
    uint32_t LineStart = 0;
    int64_t LastBlank = -1;  // the last blank of the current line where it may be broken
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The "!fmt!" part of an insert, as printf reads it for a string: flags, width, precision.
struct INSERT_FORMAT {
    bool LeftAlign = false;
    uint32_t Width = 0;
    int64_t Precision = -1;
};

INSERT_FORMAT ReadInsertFormat(const char16_t* format, const char16_t* end) {
    INSERT_FORMAT result;
    while (format < end && (*format == u'-' || *format == u'+' || *format == u' ' || *format == u'#' || *format == u'0')) {
        if (*format == u'-') result.LeftAlign = true;
        ++format;
    }
    while (format < end && IsDigit(*format)) {
        if (result.Width < 100000) result.Width = result.Width * 10 + (*format - u'0');
        ++format;
    }
    if (format < end && *format == u'.') {
        ++format;
        result.Precision = 0;
        while (format < end && IsDigit(*format)) {
            if (result.Precision < 100000) result.Precision = result.Precision * 10 + (*format - u'0');
            ++format;
        }
    }
    return result;
}

}  // namespace

bool FormatMessageText(STRING& target, const char16_t* text, uint32_t length, const char16_t* const* inserts,
                       uint32_t insertCount, uint32_t maximumWidth) {
    LINE_WRITER writer(maximumWidth);
    const bool keepLineBreaks = maximumWidth == MESSAGE_KEEP_LINE_BREAKS;
    const char16_t* position = text;
    const char16_t* const end = text + length;

    while (position < end) {
        const char16_t unit = *position++;

        if (unit == u'\r' || unit == u'\n') {
            // CR LF, a lone CR and a lone LF are each one line break of the text.
            if (unit == u'\r' && position < end && *position == u'\n') ++position;
            if (keepLineBreaks) {
                writer.LineBreak();
            } else {
                writer.Unit(u' ', true);
            }
            continue;
        }
        if (unit != u'%') {
            writer.Unit(unit, unit == u' ');
            continue;
        }

        if (position == end) {
            target.Clear();
            return false;
        }
        const char16_t escape = *position++;
        if (escape == u'0') break;
        if (escape >= u'1' && escape <= u'9') {
            uint32_t number = escape - u'0';
            if (position < end && IsDigit(*position)) number = number * 10 + (*position++ - u'0');

            const char16_t* insert = nullptr;
            bool present = number <= insertCount;
            if (present) insert = inserts[number - 1] != nullptr ? inserts[number - 1] : u"(null)";
            uint32_t insertLength = present ? TextLength(insert) : 0;

            if (position < end && *position == u'!') {
                const char16_t* formatStart = position + 1;
                const char16_t* formatEnd = formatStart;
                while (formatEnd < end && *formatEnd != u'!') ++formatEnd;
                if (formatEnd == end) {
                    target.Clear();
                    return false;
                }
                position = formatEnd + 1;
                if (formatEnd == formatStart) continue;  // an empty format shows nothing

                const INSERT_FORMAT format = ReadInsertFormat(formatStart, formatEnd);
                if (format.Precision >= 0 && insertLength > format.Precision) {
                    insertLength = static_cast<uint32_t>(format.Precision);
                }
                const uint32_t padding = format.Width > insertLength ? format.Width - insertLength : 0;
                OUTPUT_TEXT padded;
                if (!format.LeftAlign) {
                    for (uint32_t i = 0; i < padding; ++i) padded.Append(u' ');
                }
                padded.Append(insert != nullptr ? insert : u"", insertLength);
                if (format.LeftAlign) {
                    for (uint32_t i = 0; i < padding; ++i) padded.Append(u' ');
                }
                writer.Insert(padded.Units != nullptr ? padded.Units : u"", padded.Length);
                continue;
            }
            writer.Insert(insert != nullptr ? insert : u"", insertLength);
            continue;
        }
        switch (escape) {
            case u'n': writer.LineBreak(); break;
            case u'r': writer.CarriageReturn(); break;
            case u't': writer.Unit(u'\t', false); break;
            // "% " is a blank that is never a place to break; %% %. %! and any other escaped
            // character stand for themselves.
            default: writer.Unit(escape, false); break;
        }
    }

    target.Assign(writer.Out.Units != nullptr ? writer.Out.Units : u"", writer.Out.Length);
    return true;
}

}  // namespace qv
