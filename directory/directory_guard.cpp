#include "directory/directory_guard.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "base/error_codes.h"
#include "directory/directory.h"
#include "platform/last_error.h"
#include "support/call_worker.h"
#include "support/debug_log.h"

namespace qv {

namespace {

const uint32_t CANCELLED = HresultFromWin32(ERR_CANCELLED);
const uint32_t TIMED_OUT = HresultFromWin32(WIN32_TIMEOUT);

class GUARD {
public:
    void SetLimits(DIRECTORY_LIMITS limits) {
        std::lock_guard lock(Lock);
        Limits = std::move(limits);
    }

    uint64_t Now() {
        std::function<uint64_t()> clock;
        {
            std::lock_guard lock(Lock);
            clock = Limits.Clock;
        }
        if (clock) return clock();
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }

    const WAITABLE* Stop() {
        std::lock_guard lock(Lock);
        return Limits.Stop;
    }
    uint32_t TimeLimit() {
        std::lock_guard lock(Lock);
        return Limits.TimeLimitMs;
    }

    bool Stopping() {
        const WAITABLE* stop = Stop();
        return stop != nullptr && WaitForOne(*stop, 0) == 0;
    }

    bool Paused(uint32_t* code) {
        if (Stopping()) {
            if (code) *code = CANCELLED;
            return true;
        }
        const uint64_t now = Now();
        std::lock_guard lock(Lock);
        if (PauseLength == 0 || now >= PausedUntil) return false;
        if (code) *code = PauseCode;
        return true;
    }

    // What a call that ran to its end says about the directory.
    void NoteAnswer(uint32_t code) {
        if (IsDirectoryUnreachable(code)) {
            StartPause(code);
            return;
        }
        bool wasPaused = false;
        {
            std::lock_guard lock(Lock);
            wasPaused = PauseLength != 0;
            PauseLength = 0;
            PausedUntil = 0;
        }
        if (wasPaused) DebugLog(u"The directory answers again; directory look-ups go on");
    }

    void StartPause(uint32_t code) {
        const uint64_t now = Now();
        uint64_t length = 0;
        {
            std::lock_guard lock(Lock);
            // Calls already under way when the pause began end in it without lengthening it.
            if (PauseLength != 0 && now < PausedUntil) return;
            length = PauseLength == 0 ? Limits.FirstPauseMs : std::min<uint64_t>(PauseLength * 2, Limits.LongestPauseMs);
            PauseLength = length;
            PausedUntil = now + length;
            PauseCode = code;
        }
        DebugLog(u"Directory look-ups pause for %lu seconds: the directory could not be reached, and reports go out "
                 u"without directory information until it answers again.\n    %s. Error code = %#lx.",
                 static_cast<uint32_t>(length / 1000), AdsErrorText(code), code);
    }

    void EndPause() {
        std::lock_guard lock(Lock);
        PausedUntil = 0;
    }
    void Reset() {
        std::lock_guard lock(Lock);
        PauseLength = 0;
        PausedUntil = 0;
    }

    // Runs one call into the platform's directory within the time left. Only a call that
    // asks the directory itself ('asksDirectory') can show that it answers again; one that
    // makes or reads a local object can still show that it does not.
    uint32_t Call(std::function<uint32_t()> call, bool asksDirectory = true);

    CALL_WORKER Worker;

private:
    std::mutex Lock;
    DIRECTORY_LIMITS Limits;
    uint64_t PauseLength = 0;  // 0: not paused
    uint64_t PausedUntil = 0;
    uint32_t PauseCode = 0;
};

// Never destroyed: a call abandoned at exit may still be running on the worker thread.
GUARD& Guard() {
    static GUARD* guard = new GUARD;
    return *guard;
}

// When the look-ups of this thread's report must be done by; 0: no shared limit.
thread_local uint64_t SharedDeadline = 0;

uint32_t GUARD::Call(std::function<uint32_t()> call, bool asksDirectory) {
    uint32_t code = 0;
    if (Paused(&code)) return code;
    uint32_t timeout = TimeLimit();
    if (SharedDeadline != 0) {
        const uint64_t now = Now();
        timeout = now >= SharedDeadline ? 0 : static_cast<uint32_t>(std::min<uint64_t>(SharedDeadline - now, timeout));
    }
    auto result = std::make_shared<uint32_t>(0);
    const CALL_OUTCOME outcome = timeout == 0 ? CALL_OUTCOME::TIMED_OUT
                                              : Worker.Run([result, call = std::move(call)] { *result = call(); },
                                                           timeout, Stop());
    switch (outcome) {
        case CALL_OUTCOME::DONE:
            if (asksDirectory || IsDirectoryUnreachable(*result)) NoteAnswer(*result);
            return *result;
        case CALL_OUTCOME::TIMED_OUT:
            AbandonDirectoryRequests();
            StartPause(TIMED_OUT);
            return TIMED_OUT;
        case CALL_OUTCOME::STOPPED:
            AbandonDirectoryRequests();
            return CANCELLED;
        case CALL_OUTCOME::FAILED:
        default:
            return HresultFromWin32(GetLastErrorCode());
    }
}

// What the worker thread made is used and let go of there (COM objects belong to the
// thread that made them).
template <typename OBJECT>
using HELD = std::shared_ptr<std::unique_ptr<OBJECT>>;

template <typename OBJECT>
void ReleaseOnWorker(HELD<OBJECT>& held) {
    if (held) Guard().Worker.Post([held = std::move(held)] {});
}

class GUARDED_TRANSLATOR : public NAME_TRANSLATOR {
public:
    explicit GUARDED_TRANSLATOR(HELD<NAME_TRANSLATOR> inner) : Inner(std::move(inner)) {}
    ~GUARDED_TRANSLATOR() override { ReleaseOnWorker(Inner); }

    uint32_t Init(uint32_t initType, const char16_t* path) override {
        return Guard().Call([inner = Inner, initType, path = Copy(path)] {
            return (*inner)->Init(initType, Text(path));
        });
    }
    uint32_t InitEx(uint32_t initType, const char16_t* path, const char16_t* user, const char16_t* domain,
                    const char16_t* password) override {
        return Guard().Call([inner = Inner, initType, path = Copy(path), user = Copy(user), domain = Copy(domain),
                             password = Copy(password)] {
            return (*inner)->InitEx(initType, Text(path), Text(user), Text(domain), Text(password));
        });
    }
    uint32_t Set(uint32_t nameType, const char16_t* name) override {
        return Guard().Call([inner = Inner, nameType, name = Copy(name)] { return (*inner)->Set(nameType, Text(name)); });
    }
    uint32_t Get(uint32_t nameType, STRING& name) override {
        auto result = std::make_shared<STRING>();
        const uint32_t code = Guard().Call([inner = Inner, nameType, result] { return (*inner)->Get(nameType, *result); },
                                           false);
        name = code == 0 ? *result : STRING();
        return code;
    }

private:
    // Texts cross to the worker as copies: the caller's may be gone when an abandoned call runs.
    static std::shared_ptr<STRING> Copy(const char16_t* text) {
        return text ? std::make_shared<STRING>(text) : nullptr;
    }
    static const char16_t* Text(const std::shared_ptr<STRING>& text) { return text ? text->Text() : nullptr; }

    HELD<NAME_TRANSLATOR> Inner;
};

class GUARDED_OBJECT : public DIRECTORY_OBJECT {
public:
    explicit GUARDED_OBJECT(HELD<DIRECTORY_OBJECT> inner) : Inner(std::move(inner)) {}
    ~GUARDED_OBJECT() override { ReleaseOnWorker(Inner); }

    uint32_t Get(const char16_t* property, DIRECTORY_VALUE& value) override { return Read(property, false, value); }
    uint32_t GetEx(const char16_t* property, DIRECTORY_VALUE& value) override { return Read(property, true, value); }

private:
    uint32_t Read(const char16_t* property, bool every, DIRECTORY_VALUE& value) {
        auto result = std::make_shared<DIRECTORY_VALUE>();
        const uint32_t code = Guard().Call([inner = Inner, name = STRING(property), every, result] {
            return every ? (*inner)->GetEx(name.Text(), *result) : (*inner)->Get(name.Text(), *result);
        }, false);
        value = code == 0 ? *result : DIRECTORY_VALUE();
        return code;
    }

    HELD<DIRECTORY_OBJECT> Inner;
};

class GUARDED_ACCESS : public DIRECTORY_ACCESS {
public:
    uint32_t CreateNameTranslator(std::unique_ptr<NAME_TRANSLATOR>& translator) override {
        translator.reset();
        auto held = std::make_shared<std::unique_ptr<NAME_TRANSLATOR>>();
        const uint32_t code =
            Guard().Call([held] { return CurrentDirectoryAccess().CreateNameTranslator(*held); }, false);
        if (code == 0 && *held) {
            translator = std::make_unique<GUARDED_TRANSLATOR>(std::move(held));
        } else {
            ReleaseOnWorker(held);
        }
        return code;
    }

    uint32_t OpenObject(const char16_t* path, const char16_t* user, const char16_t* password, uint32_t flags,
                        std::unique_ptr<DIRECTORY_OBJECT>& object) override {
        object.reset();
        auto held = std::make_shared<std::unique_ptr<DIRECTORY_OBJECT>>();
        const bool credentials = user != nullptr;
        const uint32_t code = Guard().Call([held, path = STRING(path), user = STRING(user ? user : u""),
                                            password = STRING(password ? password : u""), credentials, flags] {
            return CurrentDirectoryAccess().OpenObject(path.Text(), credentials ? user.Text() : nullptr,
                                                       credentials ? password.Text() : nullptr, flags, *held);
        });
        if (code == 0 && *held) {
            object = std::make_unique<GUARDED_OBJECT>(std::move(held));
        } else {
            ReleaseOnWorker(held);
        }
        return code;
    }
};

}  // namespace

void SetDirectoryLimits(DIRECTORY_LIMITS limits) { Guard().SetLimits(std::move(limits)); }

DIRECTORY_TIME_LIMIT::DIRECTORY_TIME_LIMIT() {
    if (SharedDeadline != 0) return;
    SharedDeadline = Guard().Now() + Guard().TimeLimit();
    Owner = true;
}

DIRECTORY_TIME_LIMIT::~DIRECTORY_TIME_LIMIT() {
    if (Owner) SharedDeadline = 0;
}

bool DirectoryPaused(uint32_t* code) { return Guard().Paused(code); }

DIRECTORY_ACCESS& GuardedDirectoryAccess() {
    static GUARDED_ACCESS* access = new GUARDED_ACCESS;
    return *access;
}

void EndDirectoryPause() { Guard().EndPause(); }

void ResetDirectoryGuard() { Guard().Reset(); }

bool WaitForDirectoryCalls(uint32_t timeoutMs) { return Guard().Worker.WaitUntilIdle(timeoutMs); }

bool IsDirectoryUnreachable(uint32_t code) {
    switch (code) {
        case HresultFromWin32(WIN32_DS_SERVER_DOWN):
        case HresultFromWin32(WIN32_TIMEOUT):
        case HresultFromWin32(WIN32_NO_SUCH_DOMAIN):
        case HresultFromWin32(WIN32_LOGON_FAILURE):
        case HresultFromWin32(WIN32_DS_STRONG_AUTH_REQUIRED):
        case HresultFromWin32(WIN32_SEM_TIMEOUT):
        case HresultFromWin32(WIN32_NETWORK_UNREACHABLE):
        case HresultFromWin32(WIN32_HOST_UNREACHABLE):
        case HresultFromWin32(WIN32_CONNECTION_REFUSED):
            return true;
        default:
            return false;
    }
}

}  // namespace qv
