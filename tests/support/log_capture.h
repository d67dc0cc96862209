// Captures what the program logs while a test runs. The logging library is put back into its
// start-up state with this capture as its outside world: the debugger channel and standard
// output are recorded here instead of going to the system, and the log file is a real file of
// its own in the temporary folder. The debug output mode is set as the test asks. At the end
// the library is given back its real outside world.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "base/string.h"
#include "platform/thread.h"
#include "support/debug_log.h"
#include "support/debug_log_test_hooks.h"
#include "tests/test_text.h"

namespace qv::test {

class LOG_CAPTURE : public DEBUG_LOG_ENVIRONMENT {
public:
    explicit LOG_CAPTURE(uint32_t mode) {
        static std::atomic<uint32_t> serial{0};
        std::error_code error;
        const std::string name = "qv_capture_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(serial++);
        Folder = std::filesystem::temp_directory_path(error) / name;
        std::filesystem::create_directories(Folder, error);
        ResetDebugLogForTest(this);
        const std::u16string directory = Folder.u16string();
        SetLogPath(LOG_PATH_PART(directory.c_str()), LOG_PATH_PART(u"Capture"), LOG_PATH_PART(u"log"));
        const STRING path = GetLogPath();
        File = std::filesystem::path(std::u16string(path.Text(), path.Length()));
        SetDebugOutputMode(mode);
    }
    LOG_CAPTURE(const LOG_CAPTURE&) = delete;
    LOG_CAPTURE& operator=(const LOG_CAPTURE&) = delete;
    ~LOG_CAPTURE() override {
        ResetDebugLogForTest(nullptr);
        std::error_code error;
        std::filesystem::remove_all(Folder, error);
    }

    // The lines of the log file.
    std::vector<std::string> Lines() const {
        DebugLogFlush(false);
        std::vector<std::string> lines;
        std::ifstream input(File, std::ios::binary);
        std::string line;
        while (std::getline(input, line)) lines.push_back(Trimmed(std::move(line)));
        return lines;
    }

    // The lines of the log file that contain 'text'.
    std::vector<std::string> LinesWith(const std::string& text) const { return With(Lines(), text); }

    // What reached the debugger channel and standard output.
    std::vector<std::string> DebuggerLines() {
        std::lock_guard<std::mutex> lock(Lock);
        return Debugger;
    }
    std::vector<std::string> DebuggerLinesWith(const std::string& text) { return With(DebuggerLines(), text); }
    std::vector<std::string> ConsoleLines() {
        std::lock_guard<std::mutex> lock(Lock);
        return Console;
    }

    void DebuggerOutput(const char16_t* line) override { Record(Debugger, Utf8(line)); }
    void KernelDebuggerOutput(const char* line) override { Record(Debugger, line); }
    void ConsoleOutput(const char16_t* line) override { Record(Console, Utf8(line)); }

private:
    static std::string Trimmed(std::string line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        return line;
    }

    static std::vector<std::string> With(const std::vector<std::string>& lines, const std::string& text) {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.find(text) != std::string::npos) found.push_back(line);
        }
        return found;
    }

    void Record(std::vector<std::string>& sink, std::string line) {
        std::lock_guard<std::mutex> lock(Lock);
        sink.push_back(Trimmed(std::move(line)));
    }

    std::filesystem::path Folder;
    std::filesystem::path File;
    std::mutex Lock;
    std::vector<std::string> Debugger;
    std::vector<std::string> Console;
};

}  // namespace qv::test
