#include "support/format.h"

#include <charconv>
#include <cstring>
#include <utility>

#include "base/utf.h"
#include "platform/resource_string.h"

namespace qv {

namespace {

// Output of one formatting run: writes what fits, counts everything.
template <typename CHAR>
class OUTPUT {
public:
    OUTPUT(CHAR* buffer, size_t capacity) : Buffer(buffer), Capacity(buffer != nullptr ? capacity : 0) {}

    void Put(CHAR c) {
        if (Length < Capacity) Buffer[Length] = c;
        ++Length;
    }
    void Repeat(CHAR c, size_t count) {
        for (size_t i = 0; i < count; ++i) Put(c);
    }
    void PutAscii(const char* text, size_t count) {
        for (size_t i = 0; i < count; ++i) Put(static_cast<CHAR>(static_cast<unsigned char>(text[i])));
    }
    // One code point in the output's encoding.
    void PutCodePoint(char32_t c) {
        CHAR units[4];
        uint32_t count = EncodeCodePoint(c, units);
        for (uint32_t i = 0; i < count; ++i) Put(units[i]);
    }

    size_t Length = 0;

private:
    CHAR* Buffer;
    size_t Capacity;
};

template <typename CHAR>
size_t Units(const CHAR* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// The longest prefix of a same-width text within 'limit' units that doesn't split a
// character (a surrogate pair, or a UTF-8 sequence).
size_t CutWithoutSplitting(const char16_t* text, size_t length, size_t limit) {
    if (length <= limit) return length;
    if (limit > 0 && text[limit - 1] >= 0xD800 && text[limit - 1] <= 0xDBFF && text[limit] >= 0xDC00 &&
        text[limit] <= 0xDFFF) {
        return limit - 1;
    }
    return limit;
}

size_t CutWithoutSplitting(const char* text, size_t length, size_t limit) {
    if (length <= limit) return length;
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
    return limit;
}

enum class LENGTH { NONE, HH, H, L, LL, LONG_DOUBLE, J, Z, T, I, I32, I64 };

struct DIRECTIVE {
    bool Left = false;
    bool Plus = false;
    bool Space = false;
    bool Alternate = false;
    bool Zero = false;
    size_t Width = 0;
    long Precision = -1;  // -1: not given
    LENGTH Length = LENGTH::NONE;
    char Conversion = 0;
};

constexpr char BAD_ARGUMENT[] = "(?)";
constexpr char NULL_TEXT[] = "(null)";

template <typename CHAR>
class FORMATTER {
public:
    FORMATTER(OUTPUT<CHAR>& output, FORMAT_ARGS args) : Out(output), Args(args) {}

    void Run(const CHAR* format);
    size_t Consumed() const { return Next; }

private:
    const FORMAT_ARG* TakeArgument() { return Next < Args.size() ? &Args[Next++] : (Next++, nullptr); }
    bool ParseDirective(const CHAR*& p, DIRECTIVE& directive);
    void Convert(const DIRECTIVE& directive);
    void Pad(size_t contentLength, const DIRECTIVE& directive, bool before) {
        if (directive.Width > contentLength && directive.Left != before) Out.Repeat(' ', directive.Width - contentLength);
    }
    void PutPadded(const char* ascii, size_t length, const DIRECTIVE& directive) {
        Pad(length, directive, true);
        Out.PutAscii(ascii, length);
        Pad(length, directive, false);
    }
    void Integer(const DIRECTIVE& directive, const FORMAT_ARG* arg);
    void Floating(const DIRECTIVE& directive, const FORMAT_ARG* arg);
    void Character(const DIRECTIVE& directive, const FORMAT_ARG* arg);
    void Text(const DIRECTIVE& directive, const FORMAT_ARG* arg);
    template <typename SOURCE>
    void TextOf(const DIRECTIVE& directive, const SOURCE* text);
    void Pointer(const DIRECTIVE& directive, const FORMAT_ARG* arg);

    OUTPUT<CHAR>& Out;
    FORMAT_ARGS Args;
    size_t Next = 0;
};

template <typename CHAR>
void FORMATTER<CHAR>::Run(const CHAR* format) {
    if (format == nullptr) return;
    const CHAR* p = format;
    while (*p != 0) {
        if (*p != '%') {
            Out.Put(*p++);
            continue;
        }
        const CHAR* start = p++;
        if (*p == '%') {
            Out.Put('%');
            ++p;
            continue;
        }
        DIRECTIVE directive;
        if (!ParseDirective(p, directive)) {
            // Not a conversion this language knows: copy it as it stands.
            while (start != p) Out.Put(*start++);
            continue;
        }
        Convert(directive);
    }
}

template <typename CHAR>
bool FORMATTER<CHAR>::ParseDirective(const CHAR*& p, DIRECTIVE& directive) {
    for (;; ++p) {
        if (*p == '-') directive.Left = true;
        else if (*p == '+') directive.Plus = true;
        else if (*p == ' ') directive.Space = true;
        else if (*p == '#') directive.Alternate = true;
        else if (*p == '0') directive.Zero = true;
        else break;
    }
    auto number = [&p]() {
        size_t value = 0;
        while (*p >= '0' && *p <= '9') {
            if (value < 100000000) value = value * 10 + static_cast<size_t>(*p - '0');
            ++p;
        }
        return value;
    };
    auto starArgument = [this]() -> int64_t {
        const FORMAT_ARG* arg = TakeArgument();
        return (arg != nullptr && arg->IsInteger()) ? static_cast<int32_t>(arg->Unsigned) : 0;
    };
    if (*p == '*') {
        ++p;
        int64_t width = starArgument();
        if (width < 0) {
            directive.Left = true;
            width = -width;
        }
        directive.Width = static_cast<size_t>(width);
    } else {
        directive.Width = number();
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            int64_t precision = starArgument();
            directive.Precision = precision < 0 ? -1 : static_cast<long>(precision);
        } else {
            directive.Precision = static_cast<long>(number());
        }
    }
    switch (*p) {
        case 'h':
            ++p;
            directive.Length = LENGTH::H;
            if (*p == 'h') ++p, directive.Length = LENGTH::HH;
            break;
        case 'l':
            ++p;
            directive.Length = LENGTH::L;
            if (*p == 'l') ++p, directive.Length = LENGTH::LL;
            break;
        case 'L': ++p, directive.Length = LENGTH::LONG_DOUBLE; break;
        case 'q': ++p, directive.Length = LENGTH::LL; break;
        case 'j': ++p, directive.Length = LENGTH::J; break;
        case 'z': ++p, directive.Length = LENGTH::Z; break;
        case 't': ++p, directive.Length = LENGTH::T; break;
        case 'w': ++p, directive.Length = LENGTH::L; break;
        case 'I':
            ++p;
            if (p[0] == '3' && p[1] == '2') p += 2, directive.Length = LENGTH::I32;
            else if (p[0] == '6' && p[1] == '4') p += 2, directive.Length = LENGTH::I64;
            else directive.Length = LENGTH::I;
            break;
        default: break;
    }
    switch (*p) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'c': case 'C': case 's': case 'S':
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': case 'p': case 'n':
            directive.Conversion = static_cast<char>(*p++);
            return true;
        default:
            if (*p != 0) ++p;
            return false;
    }
}

template <typename CHAR>
void FORMATTER<CHAR>::Convert(const DIRECTIVE& directive) {
    const FORMAT_ARG* arg = TakeArgument();
    switch (directive.Conversion) {
        case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': Integer(directive, arg); break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': Floating(directive, arg); break;
        case 'c': case 'C': Character(directive, arg); break;
        case 's': case 'S': Text(directive, arg); break;
        case 'p': Pointer(directive, arg); break;
        default: break;  // %n: the argument is consumed, nothing is stored
    }
}

// Bits of the value an integer conversion reads, by its length modifier (Windows sizes).
unsigned IntegerBits(LENGTH length) {
    switch (length) {
        case LENGTH::HH: return 8;
        case LENGTH::H: return 16;
        case LENGTH::LL: case LENGTH::J: case LENGTH::Z: case LENGTH::T: case LENGTH::I: case LENGTH::I64:
            return 64;
        default: return 32;
    }
}

template <typename CHAR>
void FORMATTER<CHAR>::Integer(const DIRECTIVE& directive, const FORMAT_ARG* arg) {
    if (arg == nullptr) return;
    uint64_t raw;
    if (arg->IsInteger()) {
        raw = arg->Unsigned;
    } else if (arg->Kind == ARG_KIND::DOUBLE) {
        raw = static_cast<uint64_t>(static_cast<int64_t>(arg->Double));
    } else {
        PutPadded(BAD_ARGUMENT, sizeof BAD_ARGUMENT - 1, directive);
        return;
    }
    unsigned bits = IntegerBits(directive.Length);
    uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    raw &= mask;
    bool isSigned = directive.Conversion == 'd' || directive.Conversion == 'i';
    bool negative = isSigned && bits < 64 ? (raw >> (bits - 1)) & 1 : isSigned && (raw >> 63);
    uint64_t magnitude = negative ? ((0 - raw) & mask) : raw;

    char digits[24];
    size_t count = 0;
    unsigned base = directive.Conversion == 'o' ? 8 : (directive.Conversion == 'x' || directive.Conversion == 'X') ? 16 : 10;
    const char* set = directive.Conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    for (uint64_t v = magnitude; v != 0; v /= base) digits[count++] = set[v % base];

    size_t precision = directive.Precision < 0 ? 1 : static_cast<size_t>(directive.Precision);
    size_t zeros = precision > count ? precision - count : 0;
    if (directive.Conversion == 'o' && directive.Alternate && zeros == 0 && (count == 0 || digits[count - 1] != '0')) zeros = 1;

    char prefix[2];
    size_t prefixLength = 0;
    if (isSigned) {
        if (negative) prefix[prefixLength++] = '-';
        else if (directive.Plus) prefix[prefixLength++] = '+';
        else if (directive.Space) prefix[prefixLength++] = ' ';
    } else if (base == 16 && directive.Alternate && magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = directive.Conversion;
    }

    size_t content = prefixLength + zeros + count;
    if (directive.Zero && !directive.Left && directive.Precision < 0 && directive.Width > content) {
        zeros += directive.Width - content;
        content = directive.Width;
    }
    Pad(content, directive, true);
    Out.PutAscii(prefix, prefixLength);
    Out.Repeat('0', zeros);
    while (count > 0) Out.Put(static_cast<CHAR>(digits[--count]));
    Pad(content, directive, false);
}

template <typename CHAR>
void FORMATTER<CHAR>::Floating(const DIRECTIVE& directive, const FORMAT_ARG* arg) {
    if (arg == nullptr) return;
    double value;
    if (arg->Kind == ARG_KIND::DOUBLE) value = arg->Double;
    else if (arg->Kind == ARG_KIND::SIGNED) value = static_cast<double>(arg->Signed);
    else if (arg->Kind == ARG_KIND::UNSIGNED) value = static_cast<double>(arg->Unsigned);
    else {
        PutPadded(BAD_ARGUMENT, sizeof BAD_ARGUMENT - 1, directive);
        return;
    }
    char lower = static_cast<char>(directive.Conversion | 0x20);
    std::chars_format style = lower == 'f' ? std::chars_format::fixed
                              : lower == 'e' ? std::chars_format::scientific
                              : lower == 'g' ? std::chars_format::general
                                             : std::chars_format::hex;
    int precision = directive.Precision < 0 ? 6 : static_cast<int>(directive.Precision > 1000 ? 1000 : directive.Precision);
    if (lower == 'g' && precision == 0) precision = 1;

    // Room for the largest double in fixed notation with the largest precision we allow.
    char text[1400];
    std::to_chars_result result = (lower == 'a' && directive.Precision < 0)
                                      ? std::to_chars(text, text + sizeof text, value, style)
                                      : std::to_chars(text, text + sizeof text, value, style, precision);
    size_t length = result.ec == std::errc{} ? static_cast<size_t>(result.ptr - text) : 0;

    const char* body = text;
    bool negative = length > 0 && text[0] == '-';
    if (negative) ++body, --length;
    bool finite = length > 0 && body[0] >= '0' && body[0] <= '9';
    bool addPoint = directive.Alternate && finite && lower != 'a' && std::memchr(body, '.', length) == nullptr;
    size_t exponent = length;  // where "e" or "p" starts, for the point that '#' adds
    if (addPoint) {
        for (size_t i = 0; i < length; ++i) {
            if (body[i] == 'e' || body[i] == 'p') exponent = i;
        }
    }

    char sign = negative ? '-' : directive.Plus ? '+' : directive.Space ? ' ' : 0;
    const char* hexPrefix = (lower == 'a' && finite) ? (directive.Conversion == 'A' ? "0X" : "0x") : "";
    size_t content = (sign ? 1 : 0) + std::strlen(hexPrefix) + length + (addPoint ? 1 : 0);
    size_t zeros = 0;
    if (directive.Zero && !directive.Left && finite && directive.Width > content) zeros = directive.Width - content;
    bool upper = directive.Conversion >= 'A' && directive.Conversion <= 'Z';

    Pad(content + zeros, directive, true);
    if (sign) Out.Put(static_cast<CHAR>(sign));
    Out.PutAscii(hexPrefix, std::strlen(hexPrefix));
    Out.Repeat('0', zeros);
    for (size_t i = 0; i < length; ++i) {
        if (addPoint && i == exponent) Out.Put('.');
        char c = body[i];
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        Out.Put(static_cast<CHAR>(c));
    }
    if (addPoint && exponent == length) Out.Put('.');
    Pad(content + zeros, directive, false);
}

template <typename CHAR>
void FORMATTER<CHAR>::Character(const DIRECTIVE& directive, const FORMAT_ARG* arg) {
    if (arg == nullptr) return;
    if (!arg->IsInteger()) {
        PutPadded(BAD_ARGUMENT, sizeof BAD_ARGUMENT - 1, directive);
        return;
    }
    // A character argument is one UTF-16 unit; a lone surrogate can't stand alone.
    char32_t c = static_cast<char16_t>(arg->Unsigned);
    if (c >= 0xD800 && c <= 0xDFFF) c = REPLACEMENT_CHARACTER;
    size_t units = EncodeCodePoint(c, static_cast<CHAR*>(nullptr));
    Pad(units, directive, true);
    Out.PutCodePoint(c);
    Pad(units, directive, false);
}

template <typename CHAR>
template <typename SOURCE>
void FORMATTER<CHAR>::TextOf(const DIRECTIVE& directive, const SOURCE* text) {
    size_t limit = directive.Precision < 0 ? SIZE_MAX : static_cast<size_t>(directive.Precision);
    if constexpr (std::is_same_v<SOURCE, CHAR>) {
        size_t length = CutWithoutSplitting(text, Units(text), limit);
        Pad(length, directive, true);
        for (size_t i = 0; i < length; ++i) Out.Put(text[i]);
        Pad(length, directive, false);
    } else {
        // Converted text: measure whole characters within the limit, then write them.
        const SOURCE* end = text + Units(text);
        size_t length = 0;
        size_t characters = 0;
        for (const SOURCE* p = text; p < end; ++characters) {
            size_t units = EncodeCodePoint(NextCodePoint(p, end), static_cast<CHAR*>(nullptr));
            if (length + units > limit) break;
            length += units;
        }
        Pad(length, directive, true);
        const SOURCE* p = text;
        for (size_t i = 0; i < characters; ++i) Out.PutCodePoint(NextCodePoint(p, end));
        Pad(length, directive, false);
    }
}

template <typename CHAR>
void FORMATTER<CHAR>::Text(const DIRECTIVE& directive, const FORMAT_ARG* arg) {
    if (arg == nullptr) return;
    if (arg->Kind == ARG_KIND::WIDE_TEXT && arg->Pointer != nullptr) {
        TextOf(directive, static_cast<const char16_t*>(arg->Pointer));
    } else if (arg->Kind == ARG_KIND::NARROW_TEXT && arg->Pointer != nullptr) {
        TextOf(directive, static_cast<const char*>(arg->Pointer));
    } else if (arg->IsPointer() && arg->Pointer == nullptr) {
        TextOf(directive, NULL_TEXT);
    } else {
        PutPadded(BAD_ARGUMENT, sizeof BAD_ARGUMENT - 1, directive);
    }
}

template <typename CHAR>
void FORMATTER<CHAR>::Pointer(const DIRECTIVE& directive, const FORMAT_ARG* arg) {
    if (arg == nullptr) return;
    if (!arg->IsPointer() && !arg->IsInteger()) {
        PutPadded(BAD_ARGUMENT, sizeof BAD_ARGUMENT - 1, directive);
        return;
    }
    // Sixteen upper-case digits, as the Windows runtime prints pointers.
    uint64_t value = arg->IsPointer() ? reinterpret_cast<uintptr_t>(arg->Pointer) : arg->Unsigned;
    char digits[16];
    for (int i = 15; i >= 0; --i, value >>= 4) digits[i] = "0123456789ABCDEF"[value & 0xF];
    PutPadded(digits, sizeof digits, directive);
}

template <typename CHAR>
size_t Run(CHAR* output, size_t capacity, const CHAR* format, FORMAT_ARGS args, size_t* consumed) {
    OUTPUT<CHAR> out(output, capacity);
    FORMATTER<CHAR> formatter(out, args);
    formatter.Run(format);
    if (consumed != nullptr) *consumed = formatter.Consumed() < args.size() ? formatter.Consumed() : args.size();
    return out.Length;
}

template <typename STRING_TYPE, typename CHAR>
void FormatInto(STRING_TYPE& target, uint32_t maximum, const CHAR* format, FORMAT_ARGS args) {
    size_t length = Run<CHAR>(nullptr, 0, format, args, nullptr);
    if (length > maximum) length = maximum;
    if (length >= 0xFFFFFFFFu) throw STRING_NO_MEMORY{0xFFFFFFFFu};
    // Formatting goes into a new block, so the target may also be one of the arguments.
    STRING_TYPE result;
    result.SetLength(static_cast<uint32_t>(length));
    if (length > 0) Run<CHAR>(result.Buffer(), length, format, args, nullptr);
    target = std::move(result);
}

STRING ResourceFormat(const RESOURCE_ID& id) {
    return id.Number < 0x10000 ? LoadResourceString(id.Number, id.Module) : STRING();
}

}  // namespace

size_t FormatText(char16_t* output, size_t capacity, const char16_t* format, FORMAT_ARGS args, size_t* consumed) {
    return Run<char16_t>(output, capacity, format, args, consumed);
}

size_t FormatText(char* output, size_t capacity, const char* format, FORMAT_ARGS args, size_t* consumed) {
    return Run<char>(output, capacity, format, args, consumed);
}

void FormatStringArgs(STRING& target, uint32_t maximum, FORMAT_SOURCE<char16_t> format, FORMAT_ARGS args) {
    if (!format.FromResource) {
        FormatInto(target, maximum, format.Text, args);
        return;
    }
    STRING text = ResourceFormat(format.Resource);
    FormatInto(target, maximum, text.Text(), args);
}

void FormatStringArgs(STRING_A& target, uint32_t maximum, FORMAT_SOURCE<char> format, FORMAT_ARGS args) {
    if (!format.FromResource) {
        FormatInto(target, maximum, format.Text, args);
        return;
    }
    STRING_A text(ResourceFormat(format.Resource));
    FormatInto(target, maximum, text.Text(), args);
}

}  // namespace qv
