// The logging library's real outside world: each call goes straight to the platform layer.
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/wait.h"
#include "support/debug_log_internal.h"
#include "support/debug_log_test_hooks.h"

namespace qv {

uint64_t DEBUG_LOG_ENVIRONMENT::UtcNow() { return SystemTimeNow(); }

bool DEBUG_LOG_ENVIRONMENT::UtcToLocal(uint64_t utc, uint64_t& local) { return UtcToLocalTime(utc, local); }

bool DEBUG_LOG_ENVIRONMENT::LocalToUtc(uint64_t local, uint64_t& utc) { return LocalTimeToUtc(local, utc); }

void DEBUG_LOG_ENVIRONMENT::DebuggerOutput(const char16_t* line) { WriteDebuggerText(line); }

void DEBUG_LOG_ENVIRONMENT::KernelDebuggerOutput(const char* line) { WriteKernelDebuggerText(line); }

void DEBUG_LOG_ENVIRONMENT::ConsoleOutput(const char16_t* line) { WriteStandardOutput(line); }

uint32_t DEBUG_LOG_ENVIRONMENT::Open(FILE_HANDLE& file, const char16_t* path, FILE_CREATION creation,
                                     bool* existed) {
    return file.Open(path, creation, existed);
}

uint32_t DEBUG_LOG_ENVIRONMENT::Write(FILE_HANDLE& file, const void* data, uint32_t size) {
    return file.Write(data, size);
}

uint32_t DEBUG_LOG_ENVIRONMENT::Move(const char16_t* from, const char16_t* to) { return MovePathNoReplace(from, to); }

uint32_t DEBUG_LOG_ENVIRONMENT::Remove(const char16_t* path) { return RemoveFile(path); }

PATH_KIND DEBUG_LOG_ENVIRONMENT::Kind(const char16_t* path) { return GetPathKind(path); }

uint32_t DEBUG_LOG_ENVIRONMENT::MakeDirectory(const char16_t* path) { return qv::MakeDirectory(path); }

bool DEBUG_LOG_ENVIRONMENT::ProgramPath(STRING& path) { return GetProgramPath(path); }

bool DEBUG_LOG_ENVIRONMENT::LocalAppDataFolder(STRING& path) { return GetLocalAppDataFolder(path); }

bool DEBUG_LOG_ENVIRONMENT::ArmTimer(WAITABLE_TIMER& timer, int64_t dueTimeUtc, uint32_t periodMs) {
    return timer.Set(dueTimeUtc, periodMs);
}

DEBUG_LOG_ENVIRONMENT& RealDebugLogEnvironment() {
    // Never destroyed: the shutdown at process end still needs it.
    static DEBUG_LOG_ENVIRONMENT* const real = new DEBUG_LOG_ENVIRONMENT;
    return *real;
}

}  // namespace qv
