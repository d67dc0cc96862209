// The outside world the logging-library tests give the library: a clock they set, sinks they
// read, file operations that are real unless a test makes one fail, and a rename timer that
// only fires when a test says so. Plus a fixture with a fresh temporary folder per test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/string.h"
#include "platform/thread.h"
#include "platform/wait.h"
#include "support/debug_log.h"
#include "support/debug_log_test_hooks.h"
#include "support/format.h"
#include "support/time_value.h"
#include "tests/test_text.h"
#include "tests/test_time.h"

namespace qv::test {

namespace fs = std::filesystem;

constexpr int64_t TICKS_PER_HOUR_VALUE = 3600LL * 10000000LL;

inline TIME_VALUE CalendarValue(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                                uint16_t second) {
    TIME_VALUE value;
    EXPECT_TRUE(TIME_VALUE::FromCalendar(Calendar(year, month, day, hour, minute, second), value));
    return value;
}

class FAKE_LOG_ENVIRONMENT : public DEBUG_LOG_ENVIRONMENT {
public:
    // Local time runs this far ahead of UTC, so a test sees which of the two a value is.
    static constexpr int64_t LOCAL_OFFSET = 2 * TICKS_PER_HOUR_VALUE;

    void SetLocalTime(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute, uint16_t second) {
        const std::lock_guard<std::mutex> lock(Lock);
        Utc = CalendarValue(year, month, day, hour, minute, second).Count - LOCAL_OFFSET;
    }

    // --- the clock
    uint64_t UtcNow() override {
        const std::lock_guard<std::mutex> lock(Lock);
        return Utc;
    }
    bool UtcToLocal(uint64_t utc, uint64_t& local) override {
        local = utc + LOCAL_OFFSET;
        return true;
    }
    bool LocalToUtc(uint64_t local, uint64_t& utc) override {
        utc = local - LOCAL_OFFSET;
        return true;
    }

    // --- the sinks
    void DebuggerOutput(const char16_t* line) override { Record(Debugger, Utf8(line)); }
    void KernelDebuggerOutput(const char* line) override { Record(Kernel, line); }
    void ConsoleOutput(const char16_t* line) override { Record(Console, Utf8(line)); }

    // --- the file system
    uint32_t Open(FILE_HANDLE& file, const char16_t* path, FILE_CREATION creation, bool* existed) override {
        uint32_t error = 0;
        if (FailOpen && FailOpen(path, creation, error)) return error;
        return DEBUG_LOG_ENVIRONMENT::Open(file, path, creation, existed);
    }
    uint32_t Write(FILE_HANDLE& file, const void* data, uint32_t size) override {
        {
            const std::lock_guard<std::mutex> lock(Lock);
            ++Writes;
        }
        if (WriteError != 0) return WriteError;
        return DEBUG_LOG_ENVIRONMENT::Write(file, data, size);
    }
    uint32_t Move(const char16_t* from, const char16_t* to) override {
        if (MoveOverride) return MoveOverride(from, to);
        return DEBUG_LOG_ENVIRONMENT::Move(from, to);
    }
    uint32_t Remove(const char16_t* path) override {
        if (RemoveError != 0) return RemoveError;
        return DEBUG_LOG_ENVIRONMENT::Remove(path);
    }

    // Directory creation: real, or (RecordDirectories) only recorded, every name missing and
    // each creation answered with MakeDirectoryResult.
    PATH_KIND Kind(const char16_t* path) override {
        if (RecordDirectories) return PATH_KIND::MISSING;
        return DEBUG_LOG_ENVIRONMENT::Kind(path);
    }
    uint32_t MakeDirectory(const char16_t* path) override {
        if (RecordDirectories) {
            MadeDirectories.push_back(Utf8(path));
            return MakeDirectoryResult;
        }
        return DEBUG_LOG_ENVIRONMENT::MakeDirectory(path);
    }

    // --- the process
    bool ProgramPath(STRING& path) override {
        path.Assign(Program.c_str());
        return !Program.empty();
    }
    bool LocalAppDataFolder(STRING& path) override {
        path.Assign(AppData.c_str());
        return !AppData.empty();
    }

    // --- the rename timer: recorded; armed for real (to fire at once) only when asked
    bool ArmTimer(WAITABLE_TIMER& timer, int64_t dueTimeUtc, uint32_t periodMs) override {
        {
            const std::lock_guard<std::mutex> lock(Lock);
            ++TimerArms;
            ArmedDueUtc = dueTimeUtc;
            ArmedPeriodMs = periodMs;
        }
        return FireTimerAtOnce ? timer.Set(-1, 0) : true;
    }

    std::vector<std::string> TakeDebugger() { return Take(Debugger); }
    std::vector<std::string> TakeKernel() { return Take(Kernel); }
    std::vector<std::string> TakeConsole() { return Take(Console); }

    // Waits (up to a minute, which only a broken build ever needs) for a debugger line that
    // contains 'text'. True when it came.
    bool WaitForDebuggerLine(const std::string& text) {
        std::unique_lock<std::mutex> lock(Lock);
        return Changed.wait_for(lock, std::chrono::seconds(60), [&] {
            for (const std::string& line : Debugger) {
                if (line.find(text) != std::string::npos) return true;
            }
            return false;
        });
    }

    uint32_t WriteCount() {
        const std::lock_guard<std::mutex> lock(Lock);
        return Writes;
    }

    std::mutex Lock;
    std::condition_variable Changed;
    uint64_t Utc = 0;
    std::vector<std::string> Debugger;
    std::vector<std::string> Kernel;
    std::vector<std::string> Console;
    uint32_t Writes = 0;

    std::u16string Program;
    std::u16string AppData;
    std::function<bool(const char16_t* path, FILE_CREATION creation, uint32_t& error)> FailOpen;
    std::function<uint32_t(const char16_t* from, const char16_t* to)> MoveOverride;
    uint32_t WriteError = 0;
    uint32_t RemoveError = 0;
    bool RecordDirectories = false;
    uint32_t MakeDirectoryResult = 0;
    std::vector<std::string> MadeDirectories;

    bool FireTimerAtOnce = false;
    uint32_t TimerArms = 0;
    int64_t ArmedDueUtc = 0;
    uint32_t ArmedPeriodMs = 0;

private:
    void Record(std::vector<std::string>& sink, std::string line) {
        {
            const std::lock_guard<std::mutex> lock(Lock);
            sink.push_back(std::move(line));
        }
        Changed.notify_all();
    }

    std::vector<std::string> Take(std::vector<std::string>& sink) {
        const std::lock_guard<std::mutex> lock(Lock);
        return std::exchange(sink, {});
    }
};

// Each test: a fresh library state on the fake environment, the log file "Quorvane.log" in a
// fresh temporary folder, 2 January 2024 at 13:07:00 local time.
class DebugLogTest : public testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        const fs::path base = fs::temp_directory_path();
        for (;;) {
            Folder = base / ("qv_log_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(++counter));
            if (fs::create_directory(Folder)) break;
        }
        FolderText = Folder.u16string();
        FolderText.push_back(static_cast<char16_t>(fs::path::preferred_separator));
        Environment.SetLocalTime(2024, 1, 2, 13, 7, 0);
        ResetDebugLogForTest(&Environment);
        ASSERT_TRUE(SetLogPath(FolderText.c_str(), u"Quorvane", LOG_PATH_DEFAULT));
        Environment.TakeDebugger();
    }

    void TearDown() override {
        ResetDebugLogForTest(nullptr);
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }

    std::u16string PathOf(const std::u16string& name) const { return FolderText + name; }
    std::string Utf8Path(const std::u16string& name) const { return Utf8(PathOf(name).c_str()); }

    bool Exists(const std::u16string& name) const { return fs::exists(fs::path(PathOf(name))); }

    std::string Read(const std::u16string& name = u"Quorvane.log") const {
        std::ifstream in{fs::path(PathOf(name)), std::ios::binary};
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void Create(const std::u16string& name, const std::string& content) const {
        std::ofstream out{fs::path(PathOf(name)), std::ios::binary};
        out << content;
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // "(pid.tid) " of the calling thread (or the given one).
    static std::string PrefixPart(const char* prefix = "", uint32_t threadId = CurrentThreadId()) {
        return std::string(prefix) + "(" + std::to_string(CurrentProcessId()) + "." + std::to_string(threadId) + ") ";
    }

    static constexpr const char* STAMP = "2024/01/02 01:07:00 PM ";

    FAKE_LOG_ENVIRONMENT Environment;
    fs::path Folder;
    std::u16string FolderText;  // with a trailing separator
};

}  // namespace qv::test
