// qvreg: the administrator's tool for Quorvane's settings store on Linux, where there is no
// reg.exe. It speaks reg.exe's language (commands, switches, output) and goes through the
// same store code as the service, so it takes the same locks and writes the same files:
//
//   qvreg query  KEY [/v NAME | /ve]
//   qvreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   qvreg delete KEY (/v NAME | /ve) [/f]
//
// KEY is "HKLM\..." or "HKEY_LOCAL_MACHINE\...". "add" without a value creates the key and any
// missing parents, which is how setup makes HKLM\SOFTWARE\Tarnwell Systems\Quorvane.
// Exit status 0 on success, 1 on failure.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/error_text.h"
#include "platform/posix/reg_file.h"
#include "platform/registry.h"
#include "platform/system_text.h"
#include "support/format.h"
#include "tools/failure_message.h"

namespace qv {
namespace {

constexpr char USAGE[] =
    "Usage:\n"
    "  qvreg query  KEY [/v NAME | /ve]\n"
    "  qvreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  qvreg delete KEY (/v NAME | /ve) [/f]\n"
    "\n"
    "  KEY        HKLM\\SubKey or HKEY_LOCAL_MACHINE\\SubKey\n"
    "  /v NAME    the value; /ve the key's default (unnamed) value\n"
    "  /t TYPE    REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "             REG_BINARY or REG_NONE\n"
    "  /s SEP     the character between the strings of REG_MULTI_SZ data (default \\0)\n"
    "  /d DATA    the data: text, a number (decimal or 0x hex), or hex digits for binary\n"
    "  /f         no question before overwriting or deleting\n"
    "\n"
    "The store lives under $QUORVANE_DATA_ROOT (default /var/lib/quorvane)/registry.\n";

constexpr char ROOT_LONG[] = "HKEY_LOCAL_MACHINE";
constexpr char ROOT_SHORT[] = "HKLM";

struct TYPE_NAME {
    uint32_t Type;
    const char* Name;
};

constexpr TYPE_NAME TYPE_NAMES[] = {
    {REG_TYPE_NONE, "REG_NONE"},
    {REG_TYPE_SZ, "REG_SZ"},
    {REG_TYPE_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_TYPE_BINARY, "REG_BINARY"},
    {REG_TYPE_DWORD, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"},
    {6, "REG_LINK"},
    {REG_TYPE_MULTI_SZ, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_TYPE_QWORD, "REG_QWORD"},
};

// The types "add" can write.
constexpr uint32_t WRITABLE_TYPES[] = {REG_TYPE_SZ,    REG_TYPE_EXPAND_SZ, REG_TYPE_MULTI_SZ, REG_TYPE_DWORD,
                                       REG_TYPE_QWORD, REG_TYPE_BINARY,    REG_TYPE_NONE};

// --- output ------------------------------------------------------------------------------------

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::string Utf8(const char16_t* text, uint32_t length) {
    const STRING_A converted(text, length);
    return std::string(converted.Text(), converted.Length());
}

std::string Utf8(const STRING& text) { return Utf8(text.Text(), text.Length()); }

// "ERROR: <what failed>. <system text>. Error code = <code>." on stderr; returns the exit status.
int Failure(const std::string& what, uint32_t code) {
    WriteFailure("ERROR: ", what, code);
    return 1;
}

int SyntaxError(const std::string& detail) {
    std::fprintf(stderr, "ERROR: Invalid syntax: %s.\n\n%s", detail.c_str(), USAGE);
    return 1;
}

std::string TypeName(uint32_t type) {
    for (const TYPE_NAME& entry : TYPE_NAMES) {
        if (entry.Type == type) return entry.Name;
    }
    STRING_A text;
    FormatString(text, "0x%lx", type);
    return text.Text();
}

std::string HexBytes(const std::vector<uint8_t>& data) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : data) {
        text.push_back(HEX[byte >> 4]);
        text.push_back(HEX[byte & 0xF]);
    }
    return text;
}

// The UTF-16 units of string data (a trailing odd byte is not a unit).
std::u16string Units(const std::vector<uint8_t>& data) {
    std::u16string units(data.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    return units;
}

// Data shown as reg.exe shows it.
std::string DisplayData(uint32_t type, const std::vector<uint8_t>& data) {
    if (type == REG_TYPE_SZ || type == REG_TYPE_EXPAND_SZ) {
        const std::u16string units = Units(data);
        return Utf8(units.c_str(), static_cast<uint32_t>(TextLength(units.c_str())));
    }
    if (type == REG_TYPE_MULTI_SZ) {
        // The strings joined by a literal "\0", as reg.exe writes them.
        std::u16string units = Units(data);
        while (!units.empty() && units.back() == u'\0') units.pop_back();
        std::string text;
        size_t start = 0;
        for (;;) {
            const size_t end = units.find(u'\0', start);
            text += Utf8(units.data() + start, static_cast<uint32_t>((end == std::u16string::npos ? units.size() : end) - start));
            if (end == std::u16string::npos) break;
            text += "\\0";
            start = end + 1;
        }
        return text;
    }
    if ((type == REG_TYPE_DWORD && data.size() == 4) || (type == REG_TYPE_QWORD && data.size() == 8)) {
        uint64_t number = 0;
        for (size_t i = data.size(); i-- > 0;) number = number << 8 | data[i];
        STRING_A text;
        FormatString(text, "0x%llx", static_cast<unsigned long long>(number));
        return text.Text();
    }
    return HexBytes(data);
}

std::string ValueLine(const REG_VALUE& value) {
    const std::string name =
        value.Name.empty() ? "(Default)" : Utf8(value.Name.data(), static_cast<uint32_t>(value.Name.size()));
    return "    " + name + "    " + TypeName(value.Type) + "    " + DisplayData(value.Type, value.Data) + "\n";
}

// --- the command line ----------------------------------------------------------------------------

struct COMMAND {
    std::string Verb;
    std::string KeyShown;  // HKEY_LOCAL_MACHINE\... as it is printed
    STRING KeyPath;        // below HKEY_LOCAL_MACHINE
    bool HasValue = false;
    STRING ValueName;      // empty for /ve
    std::string ValueShown;
    bool HasType = false;
    uint32_t Type = REG_TYPE_SZ;
    bool HasData = false;
    std::string Data;
    bool HasSeparator = false;
    char Separator = '\0';
    bool Force = false;
};

bool EqualsIgnoringCase(const std::string& left, const char* right) {
    return qv::EqualsIgnoringCase(left.c_str(), right);
}

bool IsSwitch(const std::string& argument, const char* name) {
    return argument.size() > 1 && (argument[0] == '/' || argument[0] == '-') &&
           EqualsIgnoringCase(argument.substr(1), name);
}

// "HKLM\A\B" or "HKEY_LOCAL_MACHINE\A\B" (the root alone too); false for any other root.
bool ParseKey(const std::string& text, COMMAND& command) {
    const size_t slash = text.find('\\');
    const std::string root = text.substr(0, slash);
    if (!EqualsIgnoringCase(root, ROOT_SHORT) && !EqualsIgnoringCase(root, ROOT_LONG)) return false;
    std::string below = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    while (!below.empty() && below.back() == '\\') below.pop_back();
    command.KeyPath = STRING(below.c_str());
    command.KeyShown = below.empty() ? std::string(ROOT_LONG) : std::string(ROOT_LONG) + "\\" + below;
    return true;
}

bool ParseType(const std::string& text, uint32_t& type) {
    for (uint32_t candidate : WRITABLE_TYPES) {
        if (EqualsIgnoringCase(text, TypeName(candidate).c_str())) {
            type = candidate;
            return true;
        }
    }
    return false;
}

// Returns 0 and the command, or prints what is wrong and returns the exit status.
int ParseCommandLine(int argc, char** argv, COMMAND& command) {
    if (argc < 2) return SyntaxError("no command given");
    command.Verb = argv[1];
    for (char& c : command.Verb) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (command.Verb != "query" && command.Verb != "add" && command.Verb != "delete") {
        return SyntaxError("unknown command \"" + std::string(argv[1]) + "\"");
    }
    if (argc < 3) return SyntaxError("no key given");
    if (!ParseKey(argv[2], command)) {
        return SyntaxError("the key must start with HKLM\\ or HKEY_LOCAL_MACHINE\\, not \"" + std::string(argv[2]) + "\"");
    }
    for (int i = 3; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasNext = i + 1 < argc;
        if (IsSwitch(argument, "v") || IsSwitch(argument, "ve")) {
            if (command.HasValue) return SyntaxError("more than one value named");
            command.HasValue = true;
            if (IsSwitch(argument, "v")) {
                if (!hasNext) return SyntaxError("/v needs a value name");
                command.ValueShown = argv[++i];
                command.ValueName = STRING(command.ValueShown.c_str());
            }
        } else if (IsSwitch(argument, "t") && command.Verb == "add") {
            if (!hasNext || command.HasType) return SyntaxError("/t needs one type");
            if (!ParseType(argv[++i], command.Type)) return SyntaxError("unknown type \"" + std::string(argv[i]) + "\"");
            command.HasType = true;
        } else if (IsSwitch(argument, "d") && command.Verb == "add") {
            if (!hasNext || command.HasData) return SyntaxError("/d needs one piece of data");
            command.Data = argv[++i];
            command.HasData = true;
        } else if (IsSwitch(argument, "s") && command.Verb == "add") {
            if (!hasNext || command.HasSeparator || std::strlen(argv[i + 1]) != 1) {
                return SyntaxError("/s needs one separator character");
            }
            command.Separator = argv[++i][0];
            command.HasSeparator = true;
        } else if (IsSwitch(argument, "f") && command.Verb != "query") {
            command.Force = true;
        } else {
            return SyntaxError("unexpected \"" + argument + "\"");
        }
    }
    if (command.Verb == "delete" && !command.HasValue) {
        return SyntaxError("delete removes one value: give /v NAME or /ve");
    }
    if (command.Verb == "add" && !command.HasValue && (command.HasType || command.HasData || command.HasSeparator)) {
        return SyntaxError("/t, /d and /s describe a value: give /v NAME or /ve");
    }
    if (command.HasSeparator && command.Type != REG_TYPE_MULTI_SZ) return SyntaxError("/s is for REG_MULTI_SZ data");
    return 0;
}

// --- data for "add" ------------------------------------------------------------------------------

void AppendUnits(std::vector<uint8_t>& data, const STRING& text, bool terminator) {
    const uint32_t count = text.Length() + (terminator ? 1 : 0);
    const char16_t* units = text.Text();
    for (uint32_t i = 0; i < count; ++i) {
        data.push_back(static_cast<uint8_t>(units[i] & 0xFF));
        data.push_back(static_cast<uint8_t>(units[i] >> 8));
    }
}

// A number in decimal or with 0x in hexadecimal, no larger than 'maximum'.
bool ParseNumber(const std::string& text, uint64_t maximum, uint64_t& number) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t start = hex ? 2 : 0;
    const uint64_t base = hex ? 16 : 10;
    if (text.size() <= start) return false;
    number = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        uint64_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint64_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<uint64_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<uint64_t>(c - 'A' + 10);
        } else {
            return false;
        }
        if (number > (maximum - digit) / base) return false;
        number = number * base + digit;
    }
    return true;
}

// The bytes to store for the command's /t and /d, as reg.exe makes them.
bool MakeData(const COMMAND& command, std::vector<uint8_t>& data, std::string& problem) {
    data.clear();
    switch (command.Type) {
        case REG_TYPE_SZ:
        case REG_TYPE_EXPAND_SZ:
            AppendUnits(data, STRING(command.Data.c_str()), true);
            return true;
        case REG_TYPE_MULTI_SZ: {
            // Each string with its terminator, then the terminator of the list.
            std::vector<std::string> parts;
            if (!command.Data.empty()) {
                size_t start = 0;
                for (;;) {
                    size_t end = 0;
                    size_t skip = 1;
                    if (command.HasSeparator) {
                        end = command.Data.find(command.Separator, start);
                    } else {
                        end = command.Data.find("\\0", start);
                        skip = 2;
                    }
                    parts.push_back(command.Data.substr(start, end == std::string::npos ? std::string::npos : end - start));
                    if (end == std::string::npos) break;
                    start = end + skip;
                }
            }
            for (const std::string& part : parts) {
                if (part.empty()) {
                    problem = "the strings of REG_MULTI_SZ data cannot be empty";
                    return false;
                }
                AppendUnits(data, STRING(part.c_str()), true);
            }
            data.push_back(0);
            data.push_back(0);
            return true;
        }
        case REG_TYPE_DWORD:
        case REG_TYPE_QWORD: {
            const bool dword = command.Type == REG_TYPE_DWORD;
            uint64_t number = 0;
            if (!ParseNumber(command.Data, dword ? 0xFFFFFFFFull : ~0ull, number)) {
                problem = std::string("\"") + command.Data + "\" is not a " + (dword ? "32" : "64") +
                          "-bit number (decimal, or hexadecimal after 0x)";
                return false;
            }
            for (int i = 0; i < (dword ? 4 : 8); ++i) data.push_back(static_cast<uint8_t>(number >> (8 * i)));
            return true;
        }
        default: {  // REG_BINARY, REG_NONE: hex digits, two per byte
            const std::string& text = command.Data;
            auto digit = [](char c) {
                return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            };
            for (size_t i = 0; i + 1 < text.size(); i += 2) {
                const int high = digit(text[i]);
                const int low = digit(text[i + 1]);
                if (high < 0 || low < 0) break;
                data.push_back(static_cast<uint8_t>(high << 4 | low));
            }
            if (data.size() * 2 != text.size()) {
                problem = "binary data is written as hex digits, two per byte";
                return false;
            }
            return true;
        }
    }
}

// reg.exe's question; anything but yes (or the end of input) is no.
bool Confirm(const std::string& question) {
    std::printf("%s (Yes/No)? ", question.c_str());
    std::fflush(stdout);
    char answer[64];
    if (std::fgets(answer, sizeof(answer), stdin) == nullptr) {
        std::printf("\n");
        return false;
    }
    return answer[0] == 'y' || answer[0] == 'Y';
}

std::string ValueLabel(const COMMAND& command) {
    return command.ValueName.IsEmpty() ? std::string("(Default)") : "\"" + command.ValueShown + "\"";
}

// --- the commands --------------------------------------------------------------------------------

int Query(const COMMAND& command) {
    REGISTRY_KEY key;
    if (const uint32_t code = key.Open(command.KeyPath.Text(), false)) return Failure("Cannot open " + command.KeyShown, code);
    // The values in one read of the key: asked for one by one, each would read it all again.
    std::vector<REG_VALUE> values;
    uint32_t code = ReadRegistryKeyValues(command.KeyPath.Text(), values);
    if (command.HasValue) {
        const ptrdiff_t index =
            code == ERR_SUCCESS ? FindRegValue(values, command.ValueName.Text(), command.ValueName.Length()) : -1;
        if (code == ERR_SUCCESS && index < 0) code = ERR_FILE_NOT_FOUND;
        if (code != ERR_SUCCESS) {
            return Failure("Cannot read the value " + ValueLabel(command) + " of " + command.KeyShown, code);
        }
        // Shown with the spelling it is stored under, as reg.exe does.
        Print("\n" + command.KeyShown + "\n" + ValueLine(values[static_cast<size_t>(index)]) + "\n");
        return 0;
    }
    if (code != ERR_SUCCESS) return Failure("Cannot read the values of " + command.KeyShown, code);
    // Everything is read before anything is shown, so a failure shows no half listing.
    std::string listing = "\n" + command.KeyShown + "\n";
    for (const REG_VALUE& value : values) listing += ValueLine(value);
    listing += "\n";
    STRING name;
    for (uint32_t index = 0;; ++index) {
        code = key.EnumSubkey(index, name);
        if (code == ERR_NO_MORE_ITEMS) break;
        if (code != ERR_SUCCESS) return Failure("Cannot list the subkeys of " + command.KeyShown, code);
        listing += command.KeyShown + "\\" + Utf8(name) + "\n";
    }
    Print(listing);
    return 0;
}

int Add(const COMMAND& command) {
    std::vector<uint8_t> data;
    std::string problem;
    if (command.HasValue && !MakeData(command, data, problem)) {
        std::fprintf(stderr, "ERROR: %s.\n", problem.c_str());
        return 1;
    }
    // As reg.exe does, the key is made (with its parents) when it is missing.
    if (const uint32_t code = CreateRegistryKey(command.KeyPath.Text())) return Failure("Cannot create " + command.KeyShown, code);
    if (command.HasValue) {
        REGISTRY_KEY key;
        if (const uint32_t code = key.Open(command.KeyPath.Text(), true)) return Failure("Cannot open " + command.KeyShown, code);
        const bool exists = key.QueryValue(command.ValueName.Text(), nullptr, nullptr, nullptr) == ERR_SUCCESS;
        if (exists && !command.Force && !Confirm("Value " + ValueLabel(command) + " exists, overwrite")) {
            std::printf("The operation was canceled by the user.\n");
            return 1;
        }
        if (const uint32_t code = key.SetValue(command.ValueName.Text(), command.Type, data.data(), static_cast<uint32_t>(data.size()))) {
            return Failure("Cannot write the value " + ValueLabel(command) + " of " + command.KeyShown, code);
        }
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Delete(const COMMAND& command) {
    REGISTRY_KEY key;
    if (const uint32_t code = key.Open(command.KeyPath.Text(), true)) return Failure("Cannot open " + command.KeyShown, code);
    if (!command.Force && !Confirm("Delete the registry value " + ValueLabel(command))) {
        std::printf("The operation was canceled by the user.\n");
        return 1;
    }
    if (const uint32_t code = key.DeleteValue(command.ValueName.Text())) {
        return Failure("Cannot delete the value " + ValueLabel(command) + " of " + command.KeyShown, code);
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Run(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "/?") == 0 || std::strcmp(argv[1], "-?") == 0 ||
                      std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    COMMAND command;
    if (const int status = ParseCommandLine(argc, argv, command)) return status;
    if (command.Verb == "query") return Query(command);
    if (command.Verb == "add") return Add(command);
    return Delete(command);
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
    try {
        return qv::Run(argc, argv);
    } catch (...) {
        // Only a failed allocation gets here.
        return qv::Failure("Out of memory", qv::ERR_NOT_ENOUGH_MEMORY);
    }
}
