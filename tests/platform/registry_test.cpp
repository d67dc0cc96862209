// The settings store: typed values under HKEY_LOCAL_MACHINE, their access rules, concurrent
// writers and change notification. On Windows (and Wine) the registry itself is tested under
// a throw-away key; on POSIX the file store is tested in a fresh data root per test, including
// its file format, hand edits, crashes and other processes.
//
// Waits for something that must happen use long time-outs; checks that something does NOT
// happen wait briefly, so a slow machine can only make them pass, never fail wrongly.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "tests/test_text.h"

#if defined(_WIN32)
#include "platform/win32/win32.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/data_root.h"
#include "tests/platform/temp_data_root.h"
#endif

namespace qv {
namespace {

using test::Utf8;
using BYTES = std::vector<uint8_t>;

constexpr char16_t TEST_KEY[] = u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest";
constexpr char16_t TEST_SUBKEY[] = u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Statistics";
// Long enough for another process to start under Wine on a loaded machine.
constexpr uint32_t SURELY_MS = 30000;
// The brief look that shows something did not happen.
constexpr uint32_t BRIEFLY_MS = 300;

// UTF-16LE bytes of a text; with the terminator unless told otherwise.
BYTES TextBytes(const char16_t* text, bool terminator = true) {
    const size_t units = TextLength(text) + (terminator ? 1 : 0);
    BYTES bytes;
    for (size_t i = 0; i < units; ++i) {
        bytes.push_back(static_cast<uint8_t>(text[i] & 0xFF));
        bytes.push_back(static_cast<uint8_t>(text[i] >> 8));
    }
    return bytes;
}

BYTES UnitBytes(std::initializer_list<char16_t> units) {
    BYTES bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

BYTES DwordBytes(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

REGISTRY_KEY OpenKey(const char16_t* path, bool writeAccess) {
    REGISTRY_KEY key;
    EXPECT_EQ(key.Open(path, writeAccess), ERR_SUCCESS) << Utf8(path);
    return key;
}

EVENT MakeEvent() {
    EVENT event;
    EXPECT_TRUE(event.Create(true));
    return event;
}

uint32_t Set(const REGISTRY_KEY& key, const char16_t* name, uint32_t type, const BYTES& data) {
    return key.SetValue(name, type, data.data(), static_cast<uint32_t>(data.size()));
}

uint32_t SetText(const REGISTRY_KEY& key, const char16_t* name, const char16_t* text) {
    return Set(key, name, REG_TYPE_SZ, TextBytes(text));
}

// The type and bytes of a value; 'code' receives the result of the query.
BYTES Query(const REGISTRY_KEY& key, const char16_t* name, uint32_t* type = nullptr, uint32_t* code = nullptr) {
    uint32_t size = 0;
    uint32_t result = key.QueryValue(name, type, nullptr, &size);
    BYTES data(size);
    if (result == ERR_SUCCESS) {
        result = key.QueryValue(name, type, data.data(), &size);
        data.resize(size);
    } else {
        data.clear();
    }
    if (code != nullptr) *code = result;
    return data;
}

struct SAMPLE {
    const char16_t* Name;
    uint32_t Type;
    BYTES Data;
};

std::vector<SAMPLE> EveryKindOfValue() {
    BYTES blob(300);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
    return {
        {u"IdentServer", REG_TYPE_SZ, TextBytes(u"ident.example.com")},
        {u"Grüße 日本 😀", REG_TYPE_SZ, TextBytes(u"Ünïcödé ☃ 😀 ok")},
        {u"Quote \"and\" back\\slash", REG_TYPE_SZ, TextBytes(u"say \"hi\" to C:\\Program Files\\")},
        {u"Path", REG_TYPE_EXPAND_SZ, TextBytes(u"%ProgramData%\\Quorvane")},
        {u"Servers", REG_TYPE_MULTI_SZ, UnitBytes({u'o', u'n', u'e', 0, u'd', u'r', u'e', u'i', u' ', u'ü', 0, 0})},
        {u"Blob", REG_TYPE_BINARY, blob},
        {u"EmptyBlob", REG_TYPE_BINARY, {}},
        {u"Heartbeat", REG_TYPE_DWORD, DwordBytes(60)},
        {u"AllBits", REG_TYPE_DWORD, DwordBytes(0xFFFFFFFF)},
        {u"Big", REG_TYPE_QWORD, {0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01}},
        {u"Nothing", REG_TYPE_NONE, {1, 2, 3}},
        {u"Custom", 0x12345, {0xAA, 0x55}},
        {u"@", REG_TYPE_DWORD, DwordBytes(1)},
        {u"", REG_TYPE_SZ, TextBytes(u"the default value")},
    };
}

#if !defined(_WIN32)

// --- POSIX helpers: files, folders and other processes -----------------------------------------

std::string ReadFile(const std::string& path) {
    std::ifstream input(path, std::ios::binary);
    std::stringstream text;
    text << input.rdbuf();
    return text.str();
}

// As an editor saving in place: the same file, truncated and written again.
void WriteFileInPlace(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(close(fd), 0);
}

// As an editor saving by replacement: a new file renamed over the old one.
void WriteFileByRename(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".edit~";
    WriteFileInPlace(temporary, text);
    ASSERT_EQ(rename(temporary.c_str(), path.c_str()), 0);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

#else

// --- Windows helpers: another process is reg.exe -----------------------------------------------

uint32_t RunRegExe(const wchar_t* arguments) {
    std::wstring commandLine = L"reg.exe ";
    commandLine += arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        return 0xFFFFFFFF;
    }
    DWORD exitCode = 0xFFFFFFFE;
    if (WaitForSingleObject(process.hProcess, SURELY_MS) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

#endif

class RegistryTest : public testing::Test {
protected:
    void SetUp() override {
#if defined(_WIN32)
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, AsWide(TEST_KEY));
#else
        ASSERT_TRUE(Root.IsValid());
#endif
        ASSERT_EQ(CreateRegistryKey(TEST_KEY), ERR_SUCCESS);
    }

#if defined(_WIN32)
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, AsWide(TEST_KEY)); }
#endif

#if !defined(_WIN32)
    std::string KeyFolder() const { return Root.Path() + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Tarnwell Systems/QuorvaneTest"; }
    std::string ValuesFile() const { return KeyFolder() + "/values.reg"; }

    // Other suites of the same run may have their own data root; it is put back after.
    test::TEMP_DATA_ROOT Root{"registry"};
#endif
};

// --- values of every type ------------------------------------------------------------------------

// Writes every sample through one key and reads each back, type and bytes, through another.
void ExpectRoundTrips(const std::vector<SAMPLE>& samples) {
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        for (const SAMPLE& sample : samples) {
            EXPECT_EQ(Set(key, sample.Name, sample.Type, sample.Data), ERR_SUCCESS) << Utf8(sample.Name);
        }
    }
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    for (const SAMPLE& sample : samples) {
        uint32_t type = 0;
        uint32_t code = 0;
        const BYTES data = Query(key, sample.Name, &type, &code);
        EXPECT_EQ(code, ERR_SUCCESS) << Utf8(sample.Name);
        EXPECT_EQ(type, sample.Type) << Utf8(sample.Name);
        EXPECT_EQ(data, sample.Data) << Utf8(sample.Name);
    }
}

TEST_F(RegistryTest, EveryTypeRoundTripsExactly) {
    ExpectRoundTrips(EveryKindOfValue());
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    // The default value answers to a null name as well as to "", and is not the value "@".
    uint32_t type = 0;
    EXPECT_EQ(Query(key, nullptr, &type), TextBytes(u"the default value"));
    EXPECT_EQ(type, REG_TYPE_SZ);
}

TEST_F(RegistryTest, SettingAgainReplacesTypeAndData) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(key, u"Heartbeat", u"sixty"), ERR_SUCCESS);
    ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(60)), ERR_SUCCESS);
    uint32_t type = 0;
    EXPECT_EQ(Query(key, u"Heartbeat", &type), DwordBytes(60));
    EXPECT_EQ(type, REG_TYPE_DWORD);
}

#if !defined(_WIN32)
// Windows itself stores REG_SZ data as given too; Wine adds a missing terminator, so these run
// against the file store only.
TEST_F(RegistryTest, OddlyShapedDataKeepsItsBytes) {
    const std::vector<SAMPLE> samples = {
        {u"NoTerminator", REG_TYPE_SZ, TextBytes(u"abc", false)},
        {u"OddSize", REG_TYPE_SZ, {u'a', 0, u'b'}},
        {u"EmptyString", REG_TYPE_SZ, {}},
        {u"JustTerminator", REG_TYPE_SZ, {0, 0}},
        {u"InnerNul", REG_TYPE_SZ, UnitBytes({u'a', 0, u'b', 0})},
        {u"LineBreaks", REG_TYPE_SZ, TextBytes(u"one\r\ntwo\nthree")},
        {u"LoneSurrogate", REG_TYPE_SZ, UnitBytes({u'x', 0xD800, u'y', 0})},
        {u"TwoTerminators", REG_TYPE_SZ, UnitBytes({u'x', 0, 0})},
        {u"ShortDword", REG_TYPE_DWORD, {1, 2}},
        {u"LongDword", REG_TYPE_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"HighType", 0xFFFFFFFF, {9}},
        {u"Spaces  around ", REG_TYPE_SZ, TextBytes(u"  padded\t ")},
    };
    ExpectRoundTrips(samples);
}

// --- the file an administrator sees ------------------------------------------------------------

TEST_F(RegistryTest, ValuesAreWrittenAsARegeditExport) {
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(SetText(key, u"IdentServer", u"ident.example.com"), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"IdentProtocol", REG_TYPE_DWORD, DwordBytes(1)), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(60)), ERR_SUCCESS);
        ASSERT_EQ(SetText(key, nullptr, u"default"), ERR_SUCCESS);
        ASSERT_EQ(SetText(key, u"Name \"quoted\"", u"C:\\Program Files\\Quorvane"), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"Path", REG_TYPE_EXPAND_SZ, TextBytes(u"%P")), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"Servers", REG_TYPE_MULTI_SZ, UnitBytes({u'a', 0, 0})), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"Blob", REG_TYPE_BINARY, {1, 2, 0xff}), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"Big", REG_TYPE_QWORD, {0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01}), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"Nothing", REG_TYPE_NONE, {}), ERR_SUCCESS);
        ASSERT_EQ(SetText(key, u"Grüße", u"日本"), ERR_SUCCESS);
        ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(30)), ERR_SUCCESS);  // stays in its place
    }
    EXPECT_EQ(ReadFile(ValuesFile()),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell Systems\\QuorvaneTest]\n"
              "\"IdentServer\"=\"ident.example.com\"\n"
              "\"IdentProtocol\"=dword:00000001\n"
              "\"Heartbeat\"=dword:0000001e\n"
              "@=\"default\"\n"
              "\"Name \\\"quoted\\\"\"=\"C:\\\\Program Files\\\\Quorvane\"\n"
              "\"Path\"=hex(2):25,00,50,00,00,00\n"
              "\"Servers\"=hex(7):61,00,00,00,00,00\n"
              "\"Blob\"=hex:01,02,ff\n"
              "\"Big\"=hex(b):ef,cd,ab,89,67,45,23,01\n"
              "\"Nothing\"=hex(0):\n"
              "\"Grüße\"=\"日本\"\n"
              "\n");
}

TEST_F(RegistryTest, LongHexDataIsWrappedAsRegeditDoes) {
    BYTES blob(200);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i);
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(Set(key, u"Blob", REG_TYPE_BINARY, blob), ERR_SUCCESS);
    }
    std::istringstream lines(ReadFile(ValuesFile()));
    std::string line;
    int continued = 0;
    bool inBlob = false;
    while (std::getline(lines, line)) {
        EXPECT_LE(line.size(), 80u) << line;
        if (line.rfind("\"Blob\"=hex:00,01,", 0) == 0) inBlob = true;
        if (!inBlob) continue;
        if (line.back() == '\\') {
            EXPECT_EQ(line[line.size() - 2], ',') << line;
            ++continued;
        } else {
            EXPECT_EQ(line, "  c5,c6,c7");
            inBlob = false;
        }
    }
    EXPECT_EQ(continued, 8);
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    EXPECT_EQ(Query(key, u"Blob"), blob);
}

TEST_F(RegistryTest, HandWrittenFilesAreRead) {
    // A byte-order mark, CRLF line ends, comments, blank lines, any case in the type words,
    // short dwords, blanks around '=' and continued hex lines: all as regedit accepts them.
    WriteFileInPlace(ValuesFile(),
                     "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                     "\r\n"
                     "; written by hand\r\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell Systems\\QuorvaneTest]\r\n"
                     "\"IdentServer\"=\"ident.example.com\"\r\n"
                     "  \"Heartbeat\" = DWORD:3c  \r\n"
                     "\r\n"
                     "\"Blob\"=hex:01,02,\\\r\n"
                     "  03,04\r\n"
                     "\"Path\"=HEX(2):25,00,\\\r\n"
                     "   00,00\r\n"
                     "@=\"default\"\r\n"
                     "\"Ärger\"=\"größer\"\r\n");
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    uint32_t type = 0;
    EXPECT_EQ(Query(key, u"IdentServer", &type), TextBytes(u"ident.example.com"));
    EXPECT_EQ(type, REG_TYPE_SZ);
    EXPECT_EQ(Query(key, u"Heartbeat", &type), DwordBytes(60));
    EXPECT_EQ(type, REG_TYPE_DWORD);
    EXPECT_EQ(Query(key, u"Blob", &type), BYTES({1, 2, 3, 4}));
    EXPECT_EQ(type, REG_TYPE_BINARY);
    EXPECT_EQ(Query(key, u"Path", &type), TextBytes(u"%"));
    EXPECT_EQ(type, REG_TYPE_EXPAND_SZ);
    EXPECT_EQ(Query(key, u""), TextBytes(u"default"));
    EXPECT_EQ(Query(key, u"ärger"), TextBytes(u"größer"));
}

TEST_F(RegistryTest, RegeditsOwnUtf16ExportIsRead) {
    const std::u16string text =
        u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell Systems\\QuorvaneTest]\r\n"
        u"\"IdentServer\"=\"idént\"\r\n"
        u"\"LogonTTL\"=dword:00000e10\r\n\r\n";
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    WriteFileInPlace(ValuesFile(), bytes);
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"idént"));
    EXPECT_EQ(Query(key, u"LogonTTL"), DwordBytes(3600));
    // The next write turns it into the store's own UTF-8 form, values intact.
    ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(5)), ERR_SUCCESS);
    const std::string written = ReadFile(ValuesFile());
    EXPECT_EQ(written.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(written.find("\"IdentServer\"=\"idént\"\n"), std::string::npos);
    EXPECT_EQ(Query(key, u"LogonTTL"), DwordBytes(3600));
}

TEST_F(RegistryTest, EditsWhileTheKeyIsOpenAreSeen) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(key, u"IdentServer", u"old.example.com"), ERR_SUCCESS);
    std::string text = ReadFile(ValuesFile());
    const size_t at = text.find("old.example.com");
    ASSERT_NE(at, std::string::npos);

    text.replace(at, 3, "new");
    WriteFileInPlace(ValuesFile(), text);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"new.example.com"));

    text.replace(at, 3, "sed");
    WriteFileByRename(ValuesFile(), text);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"sed.example.com"));

    // And the next write through the store starts from the edited file.
    ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(60)), ERR_SUCCESS);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"sed.example.com"));

    // Removing the file removes the values; the key stays.
    ASSERT_EQ(unlink(ValuesFile().c_str()), 0);
    uint32_t code = 0;
    Query(key, u"IdentServer", nullptr, &code);
    EXPECT_EQ(code, ERR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, MalformedFilesAreRefusedAndLeftAlone) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n";
    const std::vector<std::string> malformed = {
        "garbage\n",
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"b\"\n",
        "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"b\"\n",
        "Windows Registry Editor Version 5.00\n\n\"a\"=\"b\"\n",
        header + "[HKEY_LOCAL_MACHINE\\Y]\n\"a\"=\"b\"\n",
        "Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\X]\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X\n",
        header + "\"a\"=\"b\n",
        header + "\"a\"=\"b\\n\"\n",
        header + "\"a\"=\"b\" trailing\n",
        header + "\"a\"\n",
        header + "\"a\"=\n",
        header + "\"a\"=-\n",
        header + "\"a\"=dword:123456789\n",
        header + "\"a\"=dword:xyz\n",
        header + "\"a\"=dword:\n",
        header + "\"a\"=hex:1,2,\n",
        header + "\"a\"=hex:123\n",
        header + "\"a\"=hex:1,,2\n",
        header + "\"a\"=hex(2:00\n",
        header + "\"a\"=hex():00\n",
        header + "\"a\"=hex(123456789):00\n",
        header + "\"a\"=hex:00,\\\n",
        header + "\"a\"=text\n",
        header + "\"\"=\"empty name\"\n",
        header + "\"A\"=dword:1\n\"a\"=dword:2\n",
        header + "@=dword:1\n@=dword:2\n",
        header + "\"a\xff\"=dword:1\n",
        header + "\"a\"=\"\xc3\"\n",
        header + std::string("\"a\"=\"b\0c\"\n", 10),
        "\xFE\xFF\x00W",
        "\xFF\xFEW\x00\x00",
    };
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    for (const std::string& text : malformed) {
        WriteFileInPlace(ValuesFile(), text);
        uint32_t code = 0;
        Query(key, u"a", nullptr, &code);
        EXPECT_EQ(code, ERR_BADDB) << text;
        EXPECT_EQ(GetLastErrorCode(), ERR_BADDB) << text;
        EXPECT_EQ(Set(key, u"b", REG_TYPE_DWORD, DwordBytes(1)), ERR_BADDB) << text;
        EXPECT_EQ(key.DeleteValue(u"a"), ERR_BADDB) << text;
        EXPECT_EQ(ReadFile(ValuesFile()), text) << "a refused file must stay as it was";
    }
    // An empty file (say, truncated by hand) is a key without values.
    WriteFileInPlace(ValuesFile(), "");
    uint32_t code = 0;
    Query(key, u"a", nullptr, &code);
    EXPECT_EQ(code, ERR_FILE_NOT_FOUND);
    EXPECT_EQ(Set(key, u"a", REG_TYPE_DWORD, DwordBytes(1)), ERR_SUCCESS);
}
#endif

// --- the RegQueryValueExW contract ---------------------------------------------------------------

TEST_F(RegistryTest, QueryValueFollowsRegQueryValueEx) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    const BYTES text = TextBytes(u"ident.example.com");  // 36 bytes
    ASSERT_EQ(Set(key, u"IdentServer", REG_TYPE_SZ, text), ERR_SUCCESS);

    // Type and size only.
    uint32_t type = 0;
    uint32_t size = 0;
    EXPECT_EQ(key.QueryValue(u"IdentServer", &type, nullptr, &size), ERR_SUCCESS);
    EXPECT_EQ(type, REG_TYPE_SZ);
    EXPECT_EQ(size, text.size());
    EXPECT_EQ(key.QueryValue(u"IdentServer", nullptr, nullptr, nullptr), ERR_SUCCESS);

    // Too small: 234 and the size needed.
    uint8_t buffer[64] = {};
    size = 10;
    type = 0;
    SetLastErrorCode(0);
    EXPECT_EQ(key.QueryValue(u"IdentServer", &type, buffer, &size), ERR_MORE_DATA);
    EXPECT_EQ(GetLastErrorCode(), ERR_MORE_DATA);
    EXPECT_EQ(size, text.size());
    EXPECT_EQ(type, REG_TYPE_SZ);

    // Exactly large enough, and larger: the bytes and their count.
    for (uint32_t capacity : {static_cast<uint32_t>(text.size()), static_cast<uint32_t>(sizeof(buffer))}) {
        std::memset(buffer, 0xCC, sizeof(buffer));
        size = capacity;
        EXPECT_EQ(key.QueryValue(u"IdentServer", &type, buffer, &size), ERR_SUCCESS);
        EXPECT_EQ(size, text.size());
        EXPECT_EQ(BYTES(buffer, buffer + size), text);
    }

    // Missing value: 2, with the last-error value set.
    SetLastErrorCode(0);
    EXPECT_EQ(key.QueryValue(u"Missing", &type, nullptr, &size), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastErrorCode(), ERR_FILE_NOT_FOUND);
    // A buffer without a size is a caller's mistake.
    EXPECT_EQ(key.QueryValue(u"IdentServer", &type, buffer, nullptr), ERR_INVALID_PARAMETER);

    // A zero-length value: success with size 0, even into no buffer.
    ASSERT_EQ(Set(key, u"Empty", REG_TYPE_BINARY, {}), ERR_SUCCESS);
    size = 0;
    EXPECT_EQ(key.QueryValue(u"Empty", &type, buffer, &size), ERR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(type, REG_TYPE_BINARY);
}

TEST_F(RegistryTest, DeleteValueRemovesOnlyThatValue) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(key, u"IdentServer", u"x"), ERR_SUCCESS);
    ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(1)), ERR_SUCCESS);
    ASSERT_EQ(SetText(key, nullptr, u"default"), ERR_SUCCESS);
    EXPECT_EQ(key.DeleteValue(u"HEARTBEAT"), ERR_SUCCESS);
    EXPECT_EQ(key.DeleteValue(u"Heartbeat"), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastErrorCode(), ERR_FILE_NOT_FOUND);
    uint32_t code = 0;
    Query(key, u"Heartbeat", nullptr, &code);
    EXPECT_EQ(code, ERR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"x"));
    EXPECT_EQ(key.DeleteValue(nullptr), ERR_SUCCESS);
    Query(key, u"", nullptr, &code);
    EXPECT_EQ(code, ERR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ValueNamesIgnoreCaseButKeepTheirSpelling) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(key, u"IdentServer", u"first"), ERR_SUCCESS);
    ASSERT_EQ(SetText(key, u"Ärger", u"umlaut"), ERR_SUCCESS);
    EXPECT_EQ(Query(key, u"IDENTSERVER"), TextBytes(u"first"));
    EXPECT_EQ(Query(key, u"ärger"), TextBytes(u"umlaut"));
    // Setting under another spelling replaces the value and keeps the first spelling.
    ASSERT_EQ(SetText(key, u"identserver", u"second"), ERR_SUCCESS);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"second"));
    std::vector<std::string> names;
    STRING name;
    for (uint32_t i = 0; key.EnumValue(i, name, nullptr, nullptr, nullptr) == ERR_SUCCESS; ++i) names.push_back(Utf8(name));
    EXPECT_EQ(names.size(), 2u);
    EXPECT_NE(std::find(names.begin(), names.end(), "IdentServer"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), "identserver"), names.end());
}

TEST_F(RegistryTest, NameAndSizeLimits) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    const std::u16string longest(16383, u'n');
    ASSERT_EQ(Set(key, longest.c_str(), REG_TYPE_DWORD, DwordBytes(7)), ERR_SUCCESS);
    EXPECT_EQ(Query(key, longest.c_str()), DwordBytes(7));
    const std::u16string tooLong(16384, u'n');
    EXPECT_NE(Set(key, tooLong.c_str(), REG_TYPE_DWORD, DwordBytes(7)), ERR_SUCCESS);

    BYTES large(1024 * 1024);
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 31 + (i >> 11));
    ASSERT_EQ(Set(key, u"Large", REG_TYPE_BINARY, large), ERR_SUCCESS);
    EXPECT_EQ(Query(key, u"Large"), large);
#if !defined(_WIN32)
    large.push_back(0);
    EXPECT_EQ(Set(key, u"Larger", REG_TYPE_BINARY, large), ERR_INVALID_PARAMETER);
    EXPECT_EQ(Set(key, u"Line\nbreak", REG_TYPE_DWORD, DwordBytes(1)), ERR_INVALID_PARAMETER);
    EXPECT_EQ(key.SetValue(u"NoData", REG_TYPE_BINARY, nullptr, 4), ERR_INVALID_PARAMETER);
#endif
}

// --- keys ----------------------------------------------------------------------------------------

TEST_F(RegistryTest, OpenNeverCreatesAKey) {
    constexpr char16_t MISSING[] = u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Missing\\Deeper";
    for (bool writeAccess : {false, true}) {
        REGISTRY_KEY key;
        SetLastErrorCode(0);
        EXPECT_EQ(key.Open(MISSING, writeAccess), ERR_FILE_NOT_FOUND);
        EXPECT_EQ(GetLastErrorCode(), ERR_FILE_NOT_FOUND);
        EXPECT_FALSE(key.IsOpen());
    }
    REGISTRY_KEY key;
    EXPECT_EQ(key.Open(u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Missing", false), ERR_FILE_NOT_FOUND);
#if !defined(_WIN32)
    EXPECT_FALSE(Exists(KeyFolder() + "/Missing"));
#endif
    // A failed Open leaves the object closed, whatever it held before.
    ASSERT_EQ(key.Open(TEST_KEY, false), ERR_SUCCESS);
    EXPECT_EQ(key.Open(MISSING, false), ERR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.IsOpen());
}

TEST_F(RegistryTest, KeyPathsIgnoreCase) {
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(SetText(key, u"IdentServer", u"x"), ERR_SUCCESS);
    }
    REGISTRY_KEY key = OpenKey(u"software\\TARNWELL SYSTEMS\\quorvanetest\\", false);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"x"));
    // Creating it under another spelling finds the existing key.
    ASSERT_EQ(CreateRegistryKey(u"SOFTWARE\\tarnwell systems\\QUORVANETEST"), ERR_SUCCESS);
    REGISTRY_KEY again = OpenKey(TEST_KEY, false);
    EXPECT_EQ(Query(again, u"IdentServer"), TextBytes(u"x"));
}

TEST_F(RegistryTest, CreateSubkeyMakesOrOpensWithFullAccess) {
    REGISTRY_KEY parent = OpenKey(TEST_KEY, true);
    REGISTRY_KEY statistics;
    ASSERT_EQ(parent.CreateSubkey(u"Statistics", statistics), ERR_SUCCESS);
    ASSERT_TRUE(statistics.IsOpen());
    ASSERT_EQ(Set(statistics, u"Logons", REG_TYPE_DWORD, DwordBytes(5)), ERR_SUCCESS);

    REGISTRY_KEY opened = OpenKey(TEST_SUBKEY, false);
    EXPECT_EQ(Query(opened, u"Logons"), DwordBytes(5));
    // The parent's values are its own.
    uint32_t code = 0;
    Query(parent, u"Logons", nullptr, &code);
    EXPECT_EQ(code, ERR_FILE_NOT_FOUND);

    // Again: the same key, values kept, and writable even from a read-only parent.
    REGISTRY_KEY readOnlyParent = OpenKey(TEST_KEY, false);
    REGISTRY_KEY again;
    ASSERT_EQ(readOnlyParent.CreateSubkey(u"statistics", again), ERR_SUCCESS);
    EXPECT_EQ(Query(again, u"Logons"), DwordBytes(5));
    EXPECT_EQ(Set(again, u"ServiceTickets", REG_TYPE_DWORD, DwordBytes(9)), ERR_SUCCESS);

    // Several levels at once.
    REGISTRY_KEY deep;
    ASSERT_EQ(parent.CreateSubkey(u"One\\Two", deep), ERR_SUCCESS);
    REGISTRY_KEY two = OpenKey(u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\One\\Two", false);
    EXPECT_TRUE(two.IsOpen());
}

TEST_F(RegistryTest, ReadOnlyKeyRefusesWrites) {
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(SetText(key, u"IdentServer", u"x"), ERR_SUCCESS);
    }
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    SetLastErrorCode(0);
    EXPECT_EQ(SetText(key, u"IdentServer", u"y"), ERR_ACCESS_DENIED);
    EXPECT_EQ(GetLastErrorCode(), ERR_ACCESS_DENIED);
    EXPECT_EQ(key.DeleteValue(u"IdentServer"), ERR_ACCESS_DENIED);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"x"));
}

TEST_F(RegistryTest, AKeyNotOpenIsAnInvalidHandle) {
    REGISTRY_KEY key;
    EVENT event = MakeEvent();
    STRING name;
    uint32_t size = 0;
    REGISTRY_KEY subkey;
    SetLastErrorCode(0);
    EXPECT_EQ(key.QueryValue(u"x", nullptr, nullptr, &size), ERR_INVALID_HANDLE);
    EXPECT_EQ(GetLastErrorCode(), ERR_INVALID_HANDLE);
    EXPECT_EQ(SetText(key, u"x", u"y"), ERR_INVALID_HANDLE);
    EXPECT_EQ(key.DeleteValue(u"x"), ERR_INVALID_HANDLE);
    EXPECT_EQ(key.EnumValue(0, name, nullptr, nullptr, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(key.EnumSubkey(0, name), ERR_INVALID_HANDLE);
    EXPECT_EQ(key.CreateSubkey(u"x", subkey), ERR_INVALID_HANDLE);
    EXPECT_EQ(key.NotifyValueChange(event), ERR_INVALID_HANDLE);
    // Closed again after use: the same.
    key = OpenKey(TEST_KEY, true);
    key.Close();
    key.Close();
    EXPECT_EQ(SetText(key, u"x", u"y"), ERR_INVALID_HANDLE);
}

TEST_F(RegistryTest, EnumeratesValuesAndSubkeys) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(key, u"Alpha", u"a"), ERR_SUCCESS);
    ASSERT_EQ(Set(key, u"Beta", REG_TYPE_DWORD, DwordBytes(2)), ERR_SUCCESS);
    REGISTRY_KEY child;
    ASSERT_EQ(key.CreateSubkey(u"Statistics", child), ERR_SUCCESS);
    ASSERT_EQ(key.CreateSubkey(u"Another", child), ERR_SUCCESS);

    std::vector<std::string> values;
    STRING name;
    uint32_t index = 0;
    uint32_t code = ERR_SUCCESS;
    for (;; ++index) {
        uint32_t type = 0;
        uint8_t data[16];
        uint32_t size = sizeof(data);
        code = key.EnumValue(index, name, &type, data, &size);
        if (code != ERR_SUCCESS) break;
        values.push_back(Utf8(name) + "/" + std::to_string(type) + "/" + std::to_string(size));
    }
    EXPECT_EQ(code, ERR_NO_MORE_ITEMS);
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, std::vector<std::string>({"Alpha/1/4", "Beta/4/4"}));
    // A buffer too small: 234 with the size needed, as for a query.
    uint8_t tiny[1];
    uint32_t size = sizeof(tiny);
    EXPECT_EQ(key.EnumValue(0, name, nullptr, tiny, &size), ERR_MORE_DATA);
    EXPECT_EQ(size, 4u);

    std::vector<std::string> subkeys;
    for (index = 0; (code = key.EnumSubkey(index, name)) == ERR_SUCCESS; ++index) subkeys.push_back(Utf8(name));
    EXPECT_EQ(code, ERR_NO_MORE_ITEMS);
    EXPECT_EQ(subkeys, std::vector<std::string>({"Another", "Statistics"}));
}

TEST_F(RegistryTest, ADeletedKeyReportsKeyDeleted) {
    {
        REGISTRY_KEY parent = OpenKey(TEST_KEY, true);
        REGISTRY_KEY gone;
        ASSERT_EQ(parent.CreateSubkey(u"Gone", gone), ERR_SUCCESS);
        ASSERT_EQ(SetText(gone, u"Value", u"x"), ERR_SUCCESS);
    }
    REGISTRY_KEY key = OpenKey(u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Gone", true);
    EVENT armed = MakeEvent();
    ASSERT_EQ(key.NotifyValueChange(armed), ERR_SUCCESS);
#if defined(_WIN32)
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Gone"), ERROR_SUCCESS);
#else
    test::RemoveTree(KeyFolder() + "/Gone");
    ASSERT_FALSE(Exists(KeyFolder() + "/Gone"));
    // The file store tells an armed waiter of the deletion (the registry leaves it waiting).
    EXPECT_EQ(WaitForOne(armed, SURELY_MS), 0u);
#endif

    uint32_t code = 0;
    Query(key, u"Value", nullptr, &code);
    EXPECT_EQ(code, ERR_KEY_DELETED);
    EXPECT_EQ(SetText(key, u"Value", u"y"), ERR_KEY_DELETED);
    EXPECT_EQ(GetLastErrorCode(), ERR_KEY_DELETED);
    EXPECT_EQ(key.DeleteValue(u"Value"), ERR_KEY_DELETED);
    EVENT event = MakeEvent();
    EXPECT_EQ(key.NotifyValueChange(event), ERR_KEY_DELETED);
    // Nor does a write bring it back.
    REGISTRY_KEY reopened;
    EXPECT_EQ(reopened.Open(u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Gone", false), ERR_FILE_NOT_FOUND);
}

// --- several writers -----------------------------------------------------------------------------

uint32_t WriteNumberedValues(const char* prefix, int count) {
    REGISTRY_KEY key;
    if (const uint32_t code = key.Open(TEST_KEY, true)) return code;
    for (int i = 0; i < count; ++i) {
        const STRING name((std::string(prefix) + std::to_string(i)).c_str());
        const uint32_t number = static_cast<uint32_t>(i);
        if (const uint32_t code = key.SetValue(name.Text(), REG_TYPE_DWORD, &number, sizeof(number))) return code;
    }
    return ERR_SUCCESS;
}

void ExpectNumberedValues(const char* prefix, int count) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    for (int i = 0; i < count; ++i) {
        const STRING name((std::string(prefix) + std::to_string(i)).c_str());
        uint32_t type = 0;
        uint32_t code = 0;
        EXPECT_EQ(Query(key, name.Text(), &type, &code), DwordBytes(static_cast<uint32_t>(i))) << Utf8(name);
        EXPECT_EQ(code, ERR_SUCCESS) << Utf8(name);
    }
}

TEST_F(RegistryTest, TwoThreadsWithTheirOwnKeysLoseNoWrites) {
    std::atomic<uint32_t> first{0xFFFFFFFF};
    std::atomic<uint32_t> second{0xFFFFFFFF};
    std::thread one([&] { first = WriteNumberedValues("ThreadOne", 200); });
    std::thread two([&] { second = WriteNumberedValues("ThreadTwo", 200); });
    one.join();
    two.join();
    EXPECT_EQ(first.load(), ERR_SUCCESS);
    EXPECT_EQ(second.load(), ERR_SUCCESS);
    ExpectNumberedValues("ThreadOne", 200);
    ExpectNumberedValues("ThreadTwo", 200);
}

#if !defined(_WIN32)
TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNoWrites) {
    const pid_t one = test::StartChild([] { return static_cast<int>(WriteNumberedValues("ProcessOne", 200) != 0); });
    const pid_t two = test::StartChild([] { return static_cast<int>(WriteNumberedValues("ProcessTwo", 200) != 0); });
    ASSERT_GT(one, 0);
    ASSERT_GT(two, 0);
    EXPECT_EQ(test::WaitChild(one), 0);
    EXPECT_EQ(test::WaitChild(two), 0);
    ExpectNumberedValues("ProcessOne", 200);
    ExpectNumberedValues("ProcessTwo", 200);
    STRING name;
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    EXPECT_EQ(key.EnumValue(400, name, nullptr, nullptr, nullptr), ERR_NO_MORE_ITEMS);
    EXPECT_EQ(key.EnumValue(399, name, nullptr, nullptr, nullptr), ERR_SUCCESS);
}

// --- crashes -------------------------------------------------------------------------------------

TEST_F(RegistryTest, ALeftoverTemporaryFileChangesNothing) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(key, u"IdentServer", u"kept"), ERR_SUCCESS);
    // What a writer that died mid-write leaves: half a file under a temporary name.
    const std::string leftover = KeyFolder() + "/.values.reg.tmp-99999-0";
    WriteFileInPlace(leftover, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"IdentServer\"=\"ha");
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"kept"));
    // The next writer clears it away.
    ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(60)), ERR_SUCCESS);
    EXPECT_FALSE(Exists(leftover));
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"kept"));
    EXPECT_EQ(Query(key, u"Heartbeat"), DwordBytes(60));
}

// A writer killed at a random point of its work, again and again, while a reader reads: the
// reader sees one whole version or the other, never a torn file, and the store stays usable.
TEST_F(RegistryTest, WritersKilledMidWriteNeverTearTheFile) {
    const BYTES ones(64 * 1024, 0x11);
    const BYTES twos(64 * 1024, 0x22);
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(Set(key, u"Payload", REG_TYPE_BINARY, ones), ERR_SUCCESS);
    }
    REGISTRY_KEY reader = OpenKey(TEST_KEY, false);
    for (int round = 0; round < 5; ++round) {
        int started[2];
        ASSERT_EQ(pipe(started), 0);
        const pid_t writer = test::StartChild([&] {
            REGISTRY_KEY key;
            if (key.Open(TEST_KEY, true) != ERR_SUCCESS) return 1;
            for (uint32_t i = 0;; ++i) {
                const BYTES& data = i % 2 == 0 ? twos : ones;
                if (key.SetValue(u"Payload", REG_TYPE_BINARY, data.data(), static_cast<uint32_t>(data.size())) != 0) return 2;
                if (i == 0 && write(started[1], "x", 1) != 1) return 3;
            }
        });
        ASSERT_GT(writer, 0);
        char byte = 0;
        ASSERT_EQ(read(started[0], &byte, 1), 1);
        close(started[0]);
        close(started[1]);
        for (int i = 0; i < 10 + round * 5; ++i) {
            uint32_t code = 0;
            const BYTES seen = Query(reader, u"Payload", nullptr, &code);
            ASSERT_EQ(code, ERR_SUCCESS);
            ASSERT_TRUE(seen == ones || seen == twos) << "a torn value of " << seen.size() << " bytes";
        }
        kill(writer, SIGKILL);
        EXPECT_EQ(test::WaitChild(writer), 128 + SIGKILL);
        uint32_t code = 0;
        const BYTES seen = Query(reader, u"Payload", nullptr, &code);
        ASSERT_EQ(code, ERR_SUCCESS);
        ASSERT_TRUE(seen == ones || seen == twos);
    }
    // The killed writers' locks died with them and their temporary files go with the next write.
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(Set(key, u"Payload", REG_TYPE_BINARY, ones), ERR_SUCCESS);
    EXPECT_EQ(Query(key, u"Payload"), ones);
    int temporaries = 0;
    if (DIR* folder = opendir(KeyFolder().c_str())) {
        while (const dirent* entry = readdir(folder)) temporaries += std::strncmp(entry->d_name, ".values.reg.tmp-", 16) == 0;
        closedir(folder);
    }
    EXPECT_EQ(temporaries, 0);
}

TEST_F(RegistryTest, AWriterThatDiesHoldingTheLockReleasesIt) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(key, u"IdentServer", u"x"), ERR_SUCCESS);
    int locked[2];
    ASSERT_EQ(pipe(locked), 0);
    const std::string lockFile = KeyFolder() + "/.values.lock";
    const pid_t holder = test::StartChild([&] {
        const int fd = open(lockFile.c_str(), O_RDONLY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(locked[1], "x", 1) != 1) return 1;
        for (;;) pause();
    });
    ASSERT_GT(holder, 0);
    char byte = 0;
    ASSERT_EQ(read(locked[0], &byte, 1), 1);

    std::atomic<uint32_t> result{0xFFFFFFFF};
    std::thread writer([&] {
        REGISTRY_KEY own;
        uint32_t code = own.Open(TEST_KEY, true);
        if (code == ERR_SUCCESS) code = SetText(own, u"IdentServer", u"after");
        result = code;
    });
    SleepMilliseconds(BRIEFLY_MS);
    EXPECT_EQ(result.load(), 0xFFFFFFFFu) << "the write must wait for the lock";
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"x")) << "readers never wait";
    kill(holder, SIGKILL);
    test::WaitChild(holder);
    writer.join();
    close(locked[0]);
    close(locked[1]);
    EXPECT_EQ(result.load(), ERR_SUCCESS);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"after"));
}

// --- access and names on POSIX -----------------------------------------------------------------

TEST_F(RegistryTest, KeyNamesThatCannotBeFoldersAreRefused) {
    REGISTRY_KEY parent = OpenKey(TEST_KEY, true);
    for (const char16_t* name : {u"a/b", u"..", u".", u"values.reg", u"VALUES.REG", u".values.lock", u"tab\there"}) {
        REGISTRY_KEY subkey;
        EXPECT_EQ(parent.CreateSubkey(name, subkey), ERR_INVALID_NAME) << Utf8(name);
    }
    REGISTRY_KEY key;
    EXPECT_EQ(key.Open(u"\\SOFTWARE", false), ERR_INVALID_NAME);
    EXPECT_EQ(CreateRegistryKey(u"SOFTWARE\\..\\..\\escape"), ERR_INVALID_NAME);
    EXPECT_EQ(CreateRegistryKey(std::u16string(256, u'k').c_str()), ERR_INVALID_NAME);
}

// A value may be a password: the store is its owner's (and root's) alone. Another account can
// neither change nor read it, whatever it tries; an owner without write access reads only.
TEST_F(RegistryTest, AnotherAccountCanNeitherReadNorWriteTheStore) {
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(SetText(key, u"AdPassword", u"s3cret"), ERR_SUCCESS);
    }
    struct stat values {};
    ASSERT_EQ(stat(ValuesFile().c_str(), &values), 0);
    EXPECT_EQ(values.st_mode & 07777, 0600u);
    struct stat folder {};
    ASSERT_EQ(stat(KeyFolder().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);

    // Even a values file an administrator opened up loses what others could read at the next
    // write (owner and group keep theirs).
    ASSERT_EQ(chmod(ValuesFile().c_str(), 0644), 0);
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(SetText(key, u"AdUser", u"CORP\\svc"), ERR_SUCCESS);
    }
    ASSERT_EQ(stat(ValuesFile().c_str(), &values), 0);
    EXPECT_EQ(values.st_mode & 07777, 0640u);
    ASSERT_EQ(chmod(ValuesFile().c_str(), 0600), 0);

    ASSERT_EQ(chmod(Root.Path().c_str(), 0755), 0);
    if (geteuid() == 0) {
        // Root may do anything, so the other account is a child as nobody.
        const std::string file = ValuesFile();
        const pid_t child = test::StartChild([&] {
            if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
            REGISTRY_KEY key;
            if (key.Open(TEST_KEY, true) != ERR_ACCESS_DENIED) return 1;
            if (key.Open(TEST_KEY, false) != ERR_ACCESS_DENIED) return 2;
            if (CreateRegistryKey(u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\New") != ERR_ACCESS_DENIED) return 3;
            if (open(file.c_str(), O_RDONLY) >= 0 || errno != EACCES) return 4;
            return 0;
        });
        EXPECT_EQ(test::WaitChild(child), 0);
    } else {
        ASSERT_EQ(chmod(KeyFolder().c_str(), 0500), 0);
        REGISTRY_KEY key;
        EXPECT_EQ(key.Open(TEST_KEY, true), ERR_ACCESS_DENIED);
        EXPECT_EQ(GetLastErrorCode(), ERR_ACCESS_DENIED);
        ASSERT_EQ(key.Open(TEST_KEY, false), ERR_SUCCESS);
        EXPECT_EQ(Query(key, u"AdPassword"), TextBytes(u"s3cret"));
        chmod(KeyFolder().c_str(), 0700);
    }
}

// Whoever owns the store (the service's account) may plant links in it; a write by root (qvreg,
// configure mode) is never led out of it, and what the links point to stays as it was.
TEST_F(RegistryTest, LinksPlantedInTheStoreAreNeverFollowed) {
    const std::string target = Root.Path() + "/target";
    WriteFileInPlace(target, "precious");
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(SetText(key, u"IdentServer", u"x"), ERR_SUCCESS);
    }

    // The lock file, as a link to a file that does not exist yet (root would create it).
    const std::string lockFile = KeyFolder() + "/.values.lock";
    ASSERT_EQ(unlink(lockFile.c_str()), 0);
    ASSERT_EQ(symlink((Root.Path() + "/created").c_str(), lockFile.c_str()), 0);
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        EXPECT_EQ(SetText(key, u"IdentServer", u"y"), ERR_STOPPED_ON_SYMLINK);
    }
    EXPECT_FALSE(Exists(Root.Path() + "/created"));
    ASSERT_EQ(unlink(lockFile.c_str()), 0);

    // The values file: neither read through nor written through.
    ASSERT_EQ(unlink(ValuesFile().c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), ValuesFile().c_str()), 0);
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        uint32_t code = 0;
        Query(key, u"IdentServer", nullptr, &code);
        EXPECT_EQ(code, ERR_STOPPED_ON_SYMLINK);
        EXPECT_EQ(SetText(key, u"IdentServer", u"y"), ERR_STOPPED_ON_SYMLINK);
    }
    EXPECT_EQ(ReadFile(target), "precious");
    ASSERT_EQ(unlink(ValuesFile().c_str()), 0);

    // A key's folder, and the store's own folders.
    const std::string elsewhere = Root.Path() + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (KeyFolder() + "/Linked").c_str()), 0);
    REGISTRY_KEY linked;
    EXPECT_EQ(linked.Open(u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Linked", true), ERR_STOPPED_ON_SYMLINK);
    EXPECT_EQ(CreateRegistryKey(u"SOFTWARE\\Tarnwell Systems\\QuorvaneTest\\Linked\\Below"), ERR_STOPPED_ON_SYMLINK);
    const std::string store = Root.Path() + "/registry";
    ASSERT_EQ(rename(store.c_str(), (Root.Path() + "/moved").c_str()), 0);
    ASSERT_EQ(symlink((Root.Path() + "/moved").c_str(), store.c_str()), 0);
    EXPECT_EQ(CreateRegistryKey(TEST_KEY), ERR_STOPPED_ON_SYMLINK);
    ASSERT_EQ(unlink(store.c_str()), 0);
    ASSERT_EQ(rename((Root.Path() + "/moved").c_str(), store.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
}

TEST_F(RegistryTest, DataRootFollowsTheEnvironment) {
    EXPECT_EQ(std::string(DataRoot().Text()), Root.Path());
    ASSERT_EQ(setenv("QUORVANE_DATA_ROOT", "/srv/quorvane//", 1), 0);
    EXPECT_EQ(std::string(DataRoot().Text()), "/srv/quorvane");
    ASSERT_EQ(unsetenv("QUORVANE_DATA_ROOT"), 0);
    EXPECT_EQ(std::string(DataRoot().Text()), "/var/lib/quorvane");
    ASSERT_EQ(setenv("QUORVANE_DATA_ROOT", Root.Path().c_str(), 1), 0);
    EXPECT_TRUE(Exists(KeyFolder()));
}
#endif

// --- change notification -------------------------------------------------------------------------

TEST_F(RegistryTest, NotifyFiresForAChangeByAnotherProcess) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    EVENT event = MakeEvent();
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
#if defined(_WIN32)
    EXPECT_EQ(RunRegExe(L"add \"HKLM\\SOFTWARE\\Tarnwell Systems\\QuorvaneTest\" /v IdentServer /t REG_SZ /d outside /f"),
              0u);
#else
    const pid_t child = test::StartChild([] {
        REGISTRY_KEY own;
        if (own.Open(TEST_KEY, true) != ERR_SUCCESS) return 1;
        return static_cast<int>(SetText(own, u"IdentServer", u"outside") != ERR_SUCCESS);
    });
    EXPECT_EQ(test::WaitChild(child), 0);
#endif
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"outside"));
}

TEST_F(RegistryTest, NotifyIgnoresWritesToASubkey) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    REGISTRY_KEY statistics;
    ASSERT_EQ(key.CreateSubkey(u"Statistics", statistics), ERR_SUCCESS);
    EVENT event = MakeEvent();
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    for (uint32_t i = 0; i < 20; ++i) {
        ASSERT_EQ(Set(statistics, u"Logons", REG_TYPE_DWORD, DwordBytes(i)), ERR_SUCCESS);
        ASSERT_EQ(Set(statistics, u"ServiceTickets", REG_TYPE_DWORD, DwordBytes(i)), ERR_SUCCESS);
    }
    REGISTRY_KEY another;
    ASSERT_EQ(key.CreateSubkey(u"Another", another), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, BRIEFLY_MS), WAIT_TIMED_OUT);
    // The notification is still armed, and hears the key's own values.
    ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(60)), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
}

TEST_F(RegistryTest, NotifyFiresOncePerArming) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    REGISTRY_KEY writer = OpenKey(TEST_KEY, true);
    EVENT event = MakeEvent();
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    ASSERT_EQ(Set(writer, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(1)), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
    ASSERT_TRUE(event.Reset());

    // Not armed again: later changes go unheard.
    ASSERT_EQ(Set(writer, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(2)), ERR_SUCCESS);
    ASSERT_EQ(writer.DeleteValue(u"Heartbeat"), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, BRIEFLY_MS), WAIT_TIMED_OUT);

    // Armed again: heard again, a delete as much as a set.
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    ASSERT_EQ(SetText(writer, u"Other", u"x"), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
    // Arming resets the event, so a signal left over is not taken for a change.
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, 0), WAIT_TIMED_OUT);
    ASSERT_EQ(writer.DeleteValue(u"Other"), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
}

TEST_F(RegistryTest, ChangesBeforeArmingAreNotReported) {
    REGISTRY_KEY key = OpenKey(TEST_KEY, true);
    EVENT event = MakeEvent();
    // A watch made earlier, so the changes below really are queued somewhere before the arming.
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(1)), ERR_SUCCESS);
    ASSERT_EQ(WaitForOne(event, SURELY_MS), 0u);
    ASSERT_TRUE(event.Reset());
    for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(Set(key, u"Heartbeat", REG_TYPE_DWORD, DwordBytes(i)), ERR_SUCCESS);
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, BRIEFLY_MS), WAIT_TIMED_OUT);
}

TEST_F(RegistryTest, ClosingAnArmedKeySetsTheEventAndEndsTheWatch) {
    EVENT closed = MakeEvent();
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, false);
        ASSERT_EQ(key.NotifyValueChange(closed), ERR_SUCCESS);
        key.Close();
        EXPECT_FALSE(key.IsOpen());
    }
    EXPECT_EQ(WaitForOne(closed, SURELY_MS), 0u);

    EVENT destroyed = MakeEvent();
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, false);
        ASSERT_EQ(key.NotifyValueChange(destroyed), ERR_SUCCESS);
    }
    EXPECT_EQ(WaitForOne(destroyed, SURELY_MS), 0u);

    // Many keys armed and dropped at once: every one stops, nothing is left behind.
    std::vector<EVENT> events(20);
    {
        std::vector<REGISTRY_KEY> keys(events.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            ASSERT_TRUE(events[i].Create(true));
            ASSERT_EQ(keys[i].Open(TEST_KEY, false), ERR_SUCCESS);
            ASSERT_EQ(keys[i].NotifyValueChange(events[i]), ERR_SUCCESS);
        }
    }
    for (EVENT& event : events) EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
}

TEST_F(RegistryTest, AMovedKeyKeepsItsNotification) {
    REGISTRY_KEY original = OpenKey(TEST_KEY, false);
    EVENT event = MakeEvent();
    ASSERT_EQ(original.NotifyValueChange(event), ERR_SUCCESS);
    REGISTRY_KEY moved = std::move(original);
    EXPECT_FALSE(original.IsOpen());
    EXPECT_EQ(WaitForOne(event, BRIEFLY_MS), WAIT_TIMED_OUT) << "a move is not a close";
    REGISTRY_KEY writer = OpenKey(TEST_KEY, true);
    ASSERT_EQ(SetText(writer, u"IdentServer", u"x"), ERR_SUCCESS);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
}

TEST_F(RegistryTest, ANotificationWaitsAlongsideOtherObjects) {
    // The way the settings thread waits: stop event first, then the key's change event.
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    EVENT stop = MakeEvent();
    EVENT changed = MakeEvent();
    ASSERT_EQ(key.NotifyValueChange(changed), ERR_SUCCESS);
    std::thread writer([] {
        REGISTRY_KEY own;
        if (own.Open(TEST_KEY, true) == ERR_SUCCESS) SetText(own, u"IdentServer", u"x");
    });
    const WAITABLE* objects[] = {&stop, &changed};
    EXPECT_EQ(WaitForAny(objects, SURELY_MS), 1u);
    writer.join();
}

#if !defined(_WIN32)
TEST_F(RegistryTest, NotifyFiresForAnAdministratorsEdit) {
    {
        REGISTRY_KEY key = OpenKey(TEST_KEY, true);
        ASSERT_EQ(SetText(key, u"IdentServer", u"old.example.com"), ERR_SUCCESS);
    }
    REGISTRY_KEY key = OpenKey(TEST_KEY, false);
    EVENT event = MakeEvent();
    std::string text = ReadFile(ValuesFile());
    text.replace(text.find("old"), 3, "new");

    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    WriteFileInPlace(ValuesFile(), text);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
    EXPECT_EQ(Query(key, u"IdentServer"), TextBytes(u"new.example.com"));

    ASSERT_TRUE(event.Reset());
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    // Files beside values.reg are not values.
    WriteFileInPlace(KeyFolder() + "/notes.txt", "hello");
    EXPECT_EQ(WaitForOne(event, BRIEFLY_MS), WAIT_TIMED_OUT);
    WriteFileByRename(ValuesFile(), text);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);

    ASSERT_TRUE(event.Reset());
    ASSERT_EQ(key.NotifyValueChange(event), ERR_SUCCESS);
    ASSERT_EQ(unlink(ValuesFile().c_str()), 0);
    EXPECT_EQ(WaitForOne(event, SURELY_MS), 0u);
}
#endif

}  // namespace
}  // namespace qv
