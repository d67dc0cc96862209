// qvevt: the event log writer of the Linux build, where no Windows writes the Security log.
// It writes records into the same store the service reads (platform/posix/event_log_store.h),
// imports logs exported from Windows (.evtx), and shows what a log holds:
//
//   qvevt [--log NAME] write --id N [--type T] [--category C] [--time SECONDS|now]
//                            [--computer NAME] [--source NAME] [--repeat N] [--] STRING...
//   qvevt [--log NAME] import FILE.evtx [--repeat N]
//   qvevt [--log NAME] list [--from N]
//   qvevt [--log NAME] info
//   qvevt [--log NAME] clear
//   qvevt [--log NAME] max-size BYTES
//
// "list" prints each record in the form evtxexport uses, so the two can be compared.
// Exit status 0 on success, 1 on failure, 2 for a bad command line.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "base/string.h"
#include "base/utf.h"
#include "platform/error_text.h"
#include "platform/event_log.h"
#include "platform/event_log_record.h"
#include "platform/exported_event_log.h"
#include "platform/posix/event_log_store.h"
#include "support/format.h"
#include "tools/failure_message.h"

namespace qv {
namespace {

constexpr char USAGE[] =
    "Usage:\n"
    "  qvevt [--log NAME] write --id N [--type T] [--category C] [--time SECONDS|now]\n"
    "                           [--computer NAME] [--source NAME] [--repeat N] [--] STRING...\n"
    "  qvevt [--log NAME] import FILE.evtx [--repeat N]\n"
    "  qvevt [--log NAME] list [--from N]\n"
    "  qvevt [--log NAME] info\n"
    "  qvevt [--log NAME] clear\n"
    "  qvevt [--log NAME] max-size BYTES\n"
    "\n"
    "  --log NAME       the log (default Security)\n"
    "  --id N           the full 32-bit event ID, decimal or 0x hex (qualifiers in the upper word)\n"
    "  --type T         error, warning, information, audit-success (default), audit-failure, or a number\n"
    "  --category C     the event category (default 0)\n"
    "  --time T         seconds since 1970-01-01 UTC, or now (default)\n"
    "  --computer NAME  the computer name (default: this host's name)\n"
    "  --source NAME    the source (default Microsoft-Windows-Security-Auditing)\n"
    "  STRING...        the replacement strings, in order; put -- before one that starts with -\n"
    "  --repeat N       write: N records at once, {#} in a string standing for 1 to N;\n"
    "                   import: the file N times (default 1)\n"
    "  --from N         list records from number N on\n"
    "\n"
    "The logs live under $QUORVANE_DATA_ROOT (default /var/lib/quorvane)/eventlog.\n";

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;

struct TYPE_NAME {
    uint16_t Type;
    const char* Name;
    const char* Label;
};

constexpr TYPE_NAME TYPE_NAMES[] = {
    {0, "success", "Success"},
    {1, "error", "Error"},
    {2, "warning", "Warning"},
    {4, "information", "Information"},
    {8, "audit-success", "Audit Success"},
    {16, "audit-failure", "Audit Failure"},
};

std::u16string ToUtf16(const std::string& text) {
    const auto length = static_cast<uint32_t>(text.size());
    std::u16string result(Utf8ToUtf16(text.data(), length, nullptr), u'\0');
    Utf8ToUtf16(text.data(), length, result.data());
    return result;
}

std::string ToUtf8(const char16_t* text, size_t units) {
    const auto length = static_cast<uint32_t>(units);
    std::string result(Utf16ToUtf8(text, length, nullptr), '\0');
    Utf16ToUtf8(text, length, result.data());
    return result;
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "qvevt: %s\nRun \"qvevt help\" for the usage.\n", problem.c_str());
    return EXIT_BAD_ARGUMENTS;
}

// "qvevt: <what failed>. <system text>. Error code = <code>." on stderr.
int Failure(const std::string& what, uint32_t code) {
    WriteFailure("qvevt: ", what, code);
    return EXIT_FAILED;
}

// A whole number in decimal or 0x hex, up to 'maximum'.
bool ParseNumber(const char* text, uint64_t maximum, uint64_t& value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed > maximum) return false;
    value = parsed;
    return true;
}

bool ParseType(const char* text, uint16_t& type) {
    for (const TYPE_NAME& entry : TYPE_NAMES) {
        if (strcasecmp(text, entry.Name) == 0) {
            type = entry.Type;
            return true;
        }
    }
    uint64_t value = 0;
    if (!ParseNumber(text, 0xFFFF, value)) return false;
    type = static_cast<uint16_t>(value);
    return true;
}

std::string TypeLabel(uint16_t type) {
    for (const TYPE_NAME& entry : TYPE_NAMES) {
        if (entry.Type == type) return entry.Label;
    }
    return "Unknown";
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return "localhost";
    return name;
}

// The arguments after the command, one at a time.
class ARGUMENTS {
public:
    ARGUMENTS(int argc, char** argv, int first) : Count(argc), Values(argv), Next(first) {}
    bool AtEnd() const { return Next >= Count; }
    const char* Peek() const { return AtEnd() ? nullptr : Values[Next]; }
    const char* Take() { return AtEnd() ? nullptr : Values[Next++]; }

private:
    int Count;
    char** Values;
    int Next;
};

uint32_t OpenWriter(EVENT_LOG_WRITER& writer, const std::u16string& log, int& status) {
    const uint32_t code = writer.Open(log.c_str());
    if (code != ERR_SUCCESS) status = Failure("Cannot open the " + ToUtf8(log.data(), log.size()) + " event log", code);
    return code;
}

// --- write ------------------------------------------------------------------------------------

int Write(const std::u16string& log, ARGUMENTS& arguments) {
    NEW_EVENT_RECORD record;
    record.EventType = 8;
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    record.ComputerName = ToUtf16(HostName());
    record.TimeGenerated = static_cast<uint32_t>(std::time(nullptr));
    bool haveId = false;
    uint64_t repeat = 1;
    while (!arguments.AtEnd()) {
        const std::string option = arguments.Peek();
        if (option == "--") {
            arguments.Take();
            break;
        }
        if (option.size() < 2 || option.compare(0, 2, "--") != 0) break;
        arguments.Take();
        const char* value = arguments.Take();
        if (value == nullptr) return Usage("write: " + option + " needs a value");
        uint64_t number = 0;
        if (option == "--id") {
            if (!ParseNumber(value, 0xFFFFFFFF, number)) return Usage("write: the event ID must be a 32-bit number");
            record.EventID = static_cast<uint32_t>(number);
            haveId = true;
        } else if (option == "--type") {
            if (!ParseType(value, record.EventType)) return Usage(std::string("write: unknown event type \"") + value + "\"");
        } else if (option == "--category") {
            if (!ParseNumber(value, 0xFFFF, number)) return Usage("write: the category must be a number up to 65535");
            record.EventCategory = static_cast<uint16_t>(number);
        } else if (option == "--time") {
            if (std::strcmp(value, "now") != 0) {
                if (!ParseNumber(value, 0xFFFFFFFF, number)) return Usage("write: the time must be seconds since 1970 or now");
                record.TimeGenerated = static_cast<uint32_t>(number);
            }
        } else if (option == "--computer") {
            record.ComputerName = ToUtf16(value);
        } else if (option == "--source") {
            record.SourceName = ToUtf16(value);
        } else if (option == "--repeat") {
            if (!ParseNumber(value, 1000000, repeat) || repeat == 0) {
                return Usage("write: --repeat needs a number from 1 to 1000000");
            }
        } else {
            return Usage("write: unknown option " + option);
        }
    }
    if (!haveId) return Usage("write: --id is required");
    while (!arguments.AtEnd()) record.Strings.push_back(ToUtf16(arguments.Take()));
    if (record.Strings.size() > 0xFFFF) return Usage("write: too many strings");
    record.TimeWritten = record.TimeGenerated;

    int status = 0;
    EVENT_LOG_WRITER writer;
    if (OpenWriter(writer, log, status) != ERR_SUCCESS) return status;
    if (repeat == 1) {
        uint32_t number = 0;
        if (const uint32_t code = writer.Append(record, &number)) return Failure("Cannot write the record", code);
        std::printf("Record %u written.\n", number);
        return 0;
    }
    std::vector<NEW_EVENT_RECORD> records;
    records.reserve(repeat);
    for (uint64_t count = 1; count <= repeat; ++count) {
        records.push_back(record);
        const std::u16string number = ToUtf16(std::to_string(count).c_str());
        for (std::u16string& text : records.back().Strings) {
            for (size_t at = text.find(u"{#}"); at != std::u16string::npos; at = text.find(u"{#}", at + number.size())) {
                text.replace(at, 3, number);
            }
        }
    }
    std::vector<uint32_t> assigned;
    if (const uint32_t code = writer.Append(records, std::span<const uint32_t>(), &assigned)) {
        return Failure("Cannot write the records", code);
    }
    std::printf("Records %u to %u written.\n", assigned.front(), assigned.back());
    return 0;
}

// --- import -----------------------------------------------------------------------------------

int Import(const std::u16string& log, ARGUMENTS& arguments) {
    const char* path = arguments.Take();
    if (path == nullptr) return Usage("import: name the .evtx file");
    uint64_t repeat = 1;
    while (!arguments.AtEnd()) {
        const std::string option = arguments.Take();
        if (option != "--repeat") return Usage("import: unknown argument " + option);
        if (!ParseNumber(arguments.Take(), 1000000, repeat) || repeat == 0) {
            return Usage("import: --repeat needs a number from 1 to 1000000");
        }
    }
    std::vector<EVTX_RECORD> file;
    std::string problem;
    if (!ReadEvtxFile(path, file, problem)) {
        std::fprintf(stderr, "qvevt: Cannot read %s: %s\n", path, problem.c_str());
        return EXIT_FAILED;
    }
    std::vector<NEW_EVENT_RECORD> records;
    std::vector<uint32_t> numbers;
    bool numbersFit = true;
    for (EVTX_RECORD& entry : file) {
        numbersFit = numbersFit && entry.Number > 0 && entry.Number <= 0xFFFFFFFF;
        numbers.push_back(static_cast<uint32_t>(entry.Number));
        records.push_back(std::move(entry.Record));
    }

    int status = 0;
    EVENT_LOG_WRITER writer;
    if (OpenWriter(writer, log, status) != ERR_SUCCESS) return status;
    uint64_t renumbered = 0;
    for (uint64_t round = 0; round < repeat && !records.empty(); ++round) {
        // The file's numbers are kept when they all come after the log's last record;
        // otherwise the whole file is numbered on from there, so the order stays the file's.
        EVENT_LOG_INFO info;
        if (const uint32_t code = writer.Info(info)) return Failure("Cannot read the log's state", code);
        const bool keep = numbersFit && numbers.front() > info.NextRecord - 1;
        std::vector<uint32_t> assigned;
        const std::span<const uint32_t> wanted = keep ? std::span<const uint32_t>(numbers) : std::span<const uint32_t>();
        if (const uint32_t code = writer.Append(records, wanted, &assigned)) return Failure("Cannot write the records", code);
        for (size_t i = 0; i < assigned.size(); ++i) {
            if (assigned[i] != numbers[i]) ++renumbered;
        }
    }
    std::printf("%llu records imported from %s.\n", static_cast<unsigned long long>(records.size() * repeat), path);
    if (renumbered > 0) {
        std::printf("%llu records were renumbered: the log already held records with their numbers.\n",
                    static_cast<unsigned long long>(renumbered));
    }
    return 0;
}

// --- list -------------------------------------------------------------------------------------

std::string TextAt(const uint8_t* record, uint32_t offset, uint32_t& next) {
    const uint32_t length = GetRecordUInt32(record, record_offset::Length);
    next = RecordTextEnd(record, offset, length - 4);
    std::u16string text;
    for (uint32_t at = offset; at + 2 <= next - 2; at += 2) text.push_back(static_cast<char16_t>(GetRecordUInt16(record, at)));
    return ToUtf8(text.data(), text.size());
}

std::string TimeText(uint32_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    tm parts {};
    char text[64] = {};
    gmtime_r(&value, &parts);
    std::strftime(text, sizeof(text), "%b %d, %Y %H:%M:%S UTC", &parts);
    return text;
}

// One record as evtxexport shows one, with the classic log's own fields added.
void PrintRecord(const uint8_t* record) {
    const uint16_t type = GetRecordUInt16(record, record_offset::EventType);
    const uint32_t eventId = GetRecordUInt32(record, record_offset::EventID);
    uint32_t next = 0;
    const std::string source = TextAt(record, EVENTLOG_RECORD_HEADER_SIZE, next);
    const std::string computer = TextAt(record, next, next);
    std::printf("Event number\t\t\t: %u\n", GetRecordUInt32(record, record_offset::RecordNumber));
    std::printf("Written time\t\t\t: %s\n", TimeText(GetRecordUInt32(record, record_offset::TimeWritten)).c_str());
    std::printf("Event type\t\t\t: %s (%u)\n", TypeLabel(type).c_str(), type);
    std::printf("Event category\t\t\t: %u\n", GetRecordUInt16(record, record_offset::EventCategory));
    std::printf("Computer name\t\t\t: %s\n", computer.c_str());
    std::printf("Source name\t\t\t: %s\n", source.c_str());
    std::printf("Event identifier\t\t: 0x%08x (%u)\n", eventId, eventId);
    const uint16_t count = GetRecordUInt16(record, record_offset::NumStrings);
    std::printf("Number of strings\t\t: %u\n", count);
    uint32_t at = GetRecordUInt32(record, record_offset::StringOffset);
    for (uint16_t i = 1; i <= count; ++i) {
        const std::string text = TextAt(record, at, at);
        std::printf("String: %u\t\t\t: %s\n", i, text.c_str());
    }
    std::printf("\n");
}

int List(const std::u16string& log, ARGUMENTS& arguments) {
    uint64_t from = 0;
    while (!arguments.AtEnd()) {
        const std::string option = arguments.Take();
        if (option != "--from") return Usage("list: unknown argument " + option);
        if (!ParseNumber(arguments.Take(), 0xFFFFFFFF, from)) return Usage("list: --from needs a record number");
    }
    EVENT_LOG_CURSOR cursor;
    if (const uint32_t code = cursor.Open(log.c_str())) {
        return Failure("Cannot open the " + ToUtf8(log.data(), log.size()) + " event log", code);
    }
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        uint32_t bytesRead = 0;
        uint32_t bytesNeeded = 0;
        const uint32_t code = cursor.Read(EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_FORWARDS, 0, buffer.data(),
                                          static_cast<uint32_t>(buffer.size()), bytesRead, bytesNeeded);
        if (code == ERR_HANDLE_EOF) return 0;
        if (code == ERR_INSUFFICIENT_BUFFER) {
            buffer.resize(bytesNeeded);
            continue;
        }
        if (code != ERR_SUCCESS) return Failure("Cannot read the log", code);
        for (uint32_t at = 0; at < bytesRead; at += GetRecordUInt32(buffer.data() + at, record_offset::Length)) {
            if (GetRecordUInt32(buffer.data() + at, record_offset::RecordNumber) >= from) PrintRecord(buffer.data() + at);
        }
    }
}

// --- info, clear, max-size ----------------------------------------------------------------------

int Info(const std::u16string& log) {
    int status = 0;
    EVENT_LOG_WRITER writer;
    if (OpenWriter(writer, log, status) != ERR_SUCCESS) return status;
    EVENT_LOG_INFO info;
    if (const uint32_t code = writer.Info(info)) return Failure("Cannot read the log's state", code);
    std::printf("Log:            %s\n", ToUtf8(log.data(), log.size()).c_str());
    std::printf("Folder:         %s\n", EventLogFolder(log.c_str()).c_str());
    std::printf("Records:        %u\n", info.Count);
    std::printf("Oldest record:  %u\n", info.OldestRecord);
    std::printf("Next record:    %u\n", info.NextRecord);
    std::printf("Size:           %llu bytes\n", static_cast<unsigned long long>(info.Bytes));
    std::printf("Maximum size:   %llu bytes\n", static_cast<unsigned long long>(info.MaximumSize));
    return 0;
}

int Clear(const std::u16string& log) {
    int status = 0;
    EVENT_LOG_WRITER writer;
    if (OpenWriter(writer, log, status) != ERR_SUCCESS) return status;
    if (const uint32_t code = writer.Clear()) return Failure("Cannot clear the log", code);
    std::printf("The %s event log was cleared.\n", ToUtf8(log.data(), log.size()).c_str());
    return 0;
}

int MaximumSize(const std::u16string& log, ARGUMENTS& arguments) {
    uint64_t bytes = 0;
    if (!ParseNumber(arguments.Take(), UINT64_MAX, bytes) || bytes == 0 || !arguments.AtEnd()) {
        return Usage("max-size: give the size in bytes (at least 1)");
    }
    int status = 0;
    EVENT_LOG_WRITER writer;
    if (OpenWriter(writer, log, status) != ERR_SUCCESS) return status;
    if (const uint32_t code = writer.SetMaximumSize(bytes)) return Failure("Cannot set the maximum size", code);
    return 0;
}

int Run(int argc, char** argv) {
    int first = 1;
    std::u16string log = u"Security";
    if (first < argc && std::strcmp(argv[first], "--log") == 0) {
        if (first + 1 >= argc || argv[first + 1][0] == '\0') return Usage("--log needs a log name");
        log = ToUtf16(argv[first + 1]);
        first += 2;
    }
    if (first >= argc) {
        std::fputs(USAGE, stderr);
        return EXIT_BAD_ARGUMENTS;
    }
    const std::string command = argv[first];
    ARGUMENTS arguments(argc, argv, first + 1);
    if (command == "write") return Write(log, arguments);
    if (command == "import") return Import(log, arguments);
    if (command == "list") return List(log, arguments);
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (!arguments.AtEnd() && command != "max-size") return Usage(command + ": unexpected argument " + arguments.Peek());
    if (command == "info") return Info(log);
    if (command == "clear") return Clear(log);
    if (command == "max-size") return MaximumSize(log, arguments);
    return Usage("unknown command \"" + command + "\"");
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
