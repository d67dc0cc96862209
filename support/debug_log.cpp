// The logging library: accepting messages, building lines, the three channels, held messages,
// the configuration, and the library's life from the first message to process end. The mode's
// text form lives in debug_log_mode.cpp, the log file and its path in log_file.cpp, the daily
// rename in log_rename.cpp.
//
// One recursive lock (the log lock) is held from the category check of a message through its
// last write, so lines of different threads never interleave on any channel, and the held
// messages of a thread always come out before that thread's next line.
#include "support/debug_log.h"

#include <memory>
#include <new>
#include <utility>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/thread.h"
#include "support/debug_log_internal.h"
#include "support/format.h"

namespace qv {

namespace {

using LOCK = std::lock_guard<std::recursive_mutex>;

constexpr uint32_t PREFIX_LIMIT = 32;
constexpr uint32_t CHANNEL_FLAGS = DBGOUT_DEBUGGER | DBGOUT_LOG | DBGOUT_CONSOLE;
constexpr uint32_t FORCE_FLAGS = DBGOUT_FORCE_DEBUGGER | DBGOUT_FORCE_LOG;
// The two low message bits: "hold" only counts when the second one is clear.
constexpr uint32_t HOLD_MASK = 0x3;

// The calling thread's queue, and the generation of queues it belongs to.
thread_local HELD_QUEUE* ThreadQueue = nullptr;
thread_local uint64_t ThreadQueueGeneration = 0;
// What the calling thread's messages are also handed to (ObserveThreadMessages).
thread_local MESSAGE_OBSERVER ThreadObserver = nullptr;
thread_local void* ThreadObserverContext = nullptr;

DEBUG_LOG_STATE* CreateState() {
    auto* state = new DEBUG_LOG_STATE;
    state->Environment.store(&RealDebugLogEnvironment());
    state->BaseName.Assign(DEFAULT_LOG_BASE_NAME);
    state->Extension.Assign(DEFAULT_LOG_EXTENSION);
    state->CustomNames[0].Assign(DEFAULT_CUSTOM_NAMES[0]);
    state->CustomNames[1].Assign(DEFAULT_CUSTOM_NAMES[1]);
    return state;
}

// --- building lines ---------------------------------------------------------------------------

// A piece of text for Concat: a STRING or a literal.
struct PIECE {
    PIECE(const STRING& text) : Text(text.Text()), Length(text.Length()) {}
    PIECE(const char16_t* text) : Text(text), Length(TextLength(text)) {}
    const char16_t* Text;
    uint32_t Length;
};

// Joins the pieces with one allocation.
STRING Concat(std::initializer_list<PIECE> pieces) {
    uint32_t total = 0;
    for (const PIECE& piece : pieces) total += piece.Length;
    STRING result;
    result.SetLength(total);
    if (total == 0) return result;
    char16_t* out = result.Buffer();
    for (const PIECE& piece : pieces) {
        for (uint32_t i = 0; i < piece.Length; ++i) *out++ = piece.Text[i];
    }
    return result;
}

// "2024/01/02 01:07:00 PM ": local time, 12-hour clock, a blank at the end.
STRING TimeStamp() {
    CALENDAR_TIME now;
    if (!LocalNow().ToCalendar(now)) return STRING();
    uint32_t hour = now.Hour % 12;
    if (hour == 0) hour = 12;
    const char16_t half = now.Hour < 12 ? u'A' : u'P';
    return Format(u"%04u/%02u/%02u %02u:%02u:%02u %cM ", now.Year, now.Month, now.Day, hour, now.Minute, now.Second,
                  half);
}

// "QRVA: (2216.3540) ": the line prefix, the process and the thread.
STRING PrefixPart(uint32_t threadId) {
    return Format(u"%s(%lu.%lu) ", LogState().Prefix, CurrentProcessId(), threadId);
}

// Line breaks that open a message go before the time stamp, so a message that starts with a
// blank line shows as a blank line followed by a normal one. A message of nothing but line
// breaks keeps them where they are.
void SplitLead(const STRING& text, STRING& lead, STRING& body) {
    const char16_t* units = text.Text();
    const uint32_t length = text.Length();
    uint32_t breaks = 0;
    while (breaks < length && (units[breaks] == u'\r' || units[breaks] == u'\n')) ++breaks;
    if (breaks > 0 && breaks < length) {
        lead.Assign(units, breaks);
        body.Assign(units + breaks, length - breaks);
    } else {
        lead.Clear();
        body = text;
    }
}

// The log file is read with Windows tools: every LF gets the CR before it that it lacks.
STRING WithCarriageReturns(const STRING& text) {
    const char16_t* units = text.Text();
    const uint32_t length = text.Length();
    uint32_t missing = 0;
    for (uint32_t i = 0; i < length; ++i) {
        if (units[i] == u'\n' && (i == 0 || units[i - 1] != u'\r')) ++missing;
    }
    if (missing == 0) return text;
    STRING result;
    result.SetLength(length + missing);
    char16_t* out = result.Buffer();
    for (uint32_t i = 0; i < length; ++i) {
        if (units[i] == u'\n' && (i == 0 || units[i - 1] != u'\r')) *out++ = u'\r';
        *out++ = units[i];
    }
    return result;
}

// --- the channels -----------------------------------------------------------------------------

void DebuggerChannel(uint32_t mode, const char16_t* line) {
    DEBUG_LOG_ENVIRONMENT& environment = LogEnvironment();
    if ((mode & DBGOUT_KERNEL) != 0) {
        environment.KernelDebuggerOutput(STRING_A(line).Text());
    } else {
        environment.DebuggerOutput(line);
    }
}

// One line to the open log file, as UTF-8, in one write.
void WriteLogLine(const STRING& line) {
    const STRING_A bytes(line);
    if (bytes.IsEmpty()) return;
    DEBUG_LOG_STATE& state = LogState();
    const uint32_t error = LogEnvironment().Write(state.LogFile, bytes.Text(), bytes.Length());
    if (error != ERR_SUCCESS) {
        LibraryError(u"Unable to write %lu bytes to log file. %s. Error code = %lu.", bytes.Length(),
                     GetErrorText(error), error);
    }
}

// Writes one accepted message on every channel it is bound for (log lock held).
void WriteMessage(uint32_t flags, const STRING& text, uint32_t threadId) {
    DEBUG_LOG_STATE& state = LogState();
    const uint32_t mode = state.Mode.load();
    const bool toDebugger = (flags & DBGOUT_FORCE_DEBUGGER) != 0 || (mode & DBGOUT_DEBUGGER) != 0;
    const bool toConsole = (mode & DBGOUT_CONSOLE) != 0;
    const bool newline = (flags & DBGOUT_NO_NEWLINE) == 0;
    const char16_t* terminator = newline ? u"\n\n" : u"";
    const char16_t* fileTerminator = newline ? u"\r\n" : u"";

    if ((flags & DBGOUT_RAW) != 0) {
        if (toDebugger) DebuggerChannel(mode, Concat({text, terminator}).Text());
        if (toConsole) LogEnvironment().ConsoleOutput(Concat({text, terminator}).Text());
        if (OpenLogFile(flags)) WriteLogLine(Concat({WithCarriageReturns(text), fileTerminator}));
        return;
    }

    // One prefix and one time stamp for every channel, so the lines of one message match.
    const STRING prefix = PrefixPart(threadId);
    const STRING stamp = (mode & DBGOUT_NO_TIME_STAMP) == 0 ? TimeStamp() : STRING();
    STRING lead;
    STRING body;
    SplitLead(text, lead, body);

    if (toDebugger) DebuggerChannel(mode, Concat({lead, stamp, prefix, body, terminator}).Text());
    if (toConsole) LogEnvironment().ConsoleOutput(Concat({lead, prefix, body, terminator}).Text());
    if (OpenLogFile(flags)) {
        WriteLogLine(Concat({WithCarriageReturns(lead), stamp, prefix, WithCarriageReturns(body), fileTerminator}));
    }
}

// --- held messages ----------------------------------------------------------------------------

// The calling thread's queue; with 'create', made and registered when missing. Null when none
// exists (or none could be made).
HELD_QUEUE* CallingThreadQueue(bool create) {
    DEBUG_LOG_STATE& state = LogState();
    if (ThreadQueue != nullptr && ThreadQueueGeneration == state.QueueGeneration) return ThreadQueue;
    ThreadQueue = nullptr;
    if (!create) return nullptr;
    auto* queue = new (std::nothrow) HELD_QUEUE;
    if (queue == nullptr) return nullptr;
    queue->ThreadId = CurrentThreadId();
    if (state.LastQueue != nullptr) {
        state.LastQueue->NextQueue = queue;
    } else {
        state.FirstQueue = queue;
    }
    state.LastQueue = queue;
    ThreadQueue = queue;
    ThreadQueueGeneration = state.QueueGeneration;
    return queue;
}

void Hold(HELD_QUEUE* queue, uint32_t flags, STRING&& text) {
    auto* message = new (std::nothrow) HELD_MESSAGE;
    if (message == nullptr) return;  // the held message is lost; nothing else is
    message->Flags = flags;
    message->Text = std::move(text);
    if (queue->Last != nullptr) {
        queue->Last->Next = message;
    } else {
        queue->First = message;
    }
    queue->Last = message;
}

// Oldest first, each with its own flags. A message leaves the queue before it is written, so
// a failure while writing it never writes it twice.
void WriteHeldMessages(HELD_QUEUE* queue) {
    while (queue->First != nullptr) {
        std::unique_ptr<HELD_MESSAGE> message(queue->First);
        queue->First = message->Next;
        if (queue->First == nullptr) queue->Last = nullptr;
        WriteMessage(message->Flags, message->Text, queue->ThreadId);
    }
}

void FreeQueues() {
    DEBUG_LOG_STATE& state = LogState();
    HELD_QUEUE* queue = state.FirstQueue;
    while (queue != nullptr) {
        HELD_MESSAGE* message = queue->First;
        while (message != nullptr) {
            HELD_MESSAGE* next = message->Next;
            delete message;
            message = next;
        }
        HELD_QUEUE* next = queue->NextQueue;
        delete queue;
        queue = next;
    }
    state.FirstQueue = nullptr;
    state.LastQueue = nullptr;
    ++state.QueueGeneration;
}

// Steps 5 to 7 of accepting a message: hold it, or write what the thread held and then it.
void AcceptText(uint32_t flags, STRING&& text) {
    HELD_QUEUE* queue = CallingThreadQueue(true);
    if ((flags & HOLD_MASK) == DBGOUT_HOLD) {
        if (queue != nullptr) Hold(queue, flags, std::move(text));
        return;
    }
    if (queue != nullptr) WriteHeldMessages(queue);
    WriteMessage(flags, text, CurrentThreadId());
}

// A message passes when the mode has every category it carries and some channel takes it.
bool Admitted(uint32_t flags, uint32_t mode) {
    const uint32_t categories = flags & DBGOUT_CATEGORIES;
    if ((categories & mode) != categories) return false;
    return (flags & FORCE_FLAGS) != 0 || (mode & CHANNEL_FLAGS) != 0;
}

// Runs the shutdown when static objects go away at process end.
struct SHUTDOWN_AT_EXIT {
    ~SHUTDOWN_AT_EXIT() {
        try {
            ShutdownDebugLog();
        } catch (const STRING_NO_MEMORY&) {
            // Too late to tell anyone; the process is ending anyway.
        }
    }
};

SHUTDOWN_AT_EXIT ShutdownAtExit;

}  // namespace

// --- shared with the other parts ------------------------------------------------------------------

DEBUG_LOG_STATE& LogState() {
    static DEBUG_LOG_STATE* const state = CreateState();
    return *state;
}

DEBUG_LOG_ENVIRONMENT& LogEnvironment() { return *LogState().Environment.load(); }

TIME_VALUE LocalNow() {
    DEBUG_LOG_ENVIRONMENT& environment = LogEnvironment();
    const uint64_t utc = environment.UtcNow();
    uint64_t local = 0;
    if (!environment.UtcToLocal(utc, local)) local = utc;
    return TIME_VALUE{local, TIME_VALUE::ABSOLUTE};
}

void AppendText(STRING& target, const char16_t* text, uint32_t length) {
    if (length == 0) return;
    const uint32_t old = target.Length();
    target.GrowBy(length);
    char16_t* out = target.Buffer() + old;
    for (uint32_t i = 0; i < length; ++i) out[i] = text[i];
}

void LibraryMessageArgs(bool progress, const char16_t* format, FORMAT_ARGS args) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    const uint32_t mode = state.Mode.load();
    if (progress && (mode & DBGOUT_INTERNAL) == 0) return;
    STRING text;
    FormatStringArgs(text, FORMAT_UNLIMITED, format, args);
    const STRING stamp = (mode & DBGOUT_NO_TIME_STAMP) == 0 ? TimeStamp() : STRING();
    DebuggerChannel(mode, Concat({stamp, PrefixPart(CurrentThreadId()), text, u"\n\n"}).Text());
}

// --- messages -------------------------------------------------------------------------------------

void ObserveThreadMessages(MESSAGE_OBSERVER observer, void* context) {
    ThreadObserver = observer;
    ThreadObserverContext = context;
}

void DebugLogArgs(uint32_t flags, const char16_t* format, FORMAT_ARGS args) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    const bool observed = ThreadObserver != nullptr && (flags & DBGOUT_CATEGORIES) == 0;
    const bool admitted = !state.ShutDown && Admitted(flags, state.Mode.load());
    if (!observed && !admitted) return;
    STRING text;
    FormatStringArgs(text, FORMAT_UNLIMITED, format, args);
    if (observed) ThreadObserver(ThreadObserverContext, text);
    if (admitted) AcceptText(flags, std::move(text));
}

void DebugLogArgsA(uint32_t flags, const char* format, FORMAT_ARGS args) {
    // Formatted first, then treated as a finished text: the checks come afterwards.
    STRING_A narrow;
    FormatStringArgs(narrow, FORMAT_UNLIMITED, format, args);
    const STRING text(narrow);
    DebugLogTextEx(flags, text.Text());
}

void DebugLogText(const char16_t* text) { DebugLogTextEx(0, text); }

void DebugLogTextEx(uint32_t flags, const char16_t* text) { DebugLogEx(flags, u"%s", text); }

void DebugLogFunction(const char16_t* format, FORMAT_ARGS args) { DebugLogArgs(0, format, args); }

void DebugLogFlush(bool blankLine) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    if (state.ShutDown) return;
    HELD_QUEUE* queue = CallingThreadQueue(false);
    if (queue != nullptr) WriteHeldMessages(queue);
    if (!blankLine) return;
    const uint32_t mode = state.Mode.load();
    if ((mode & DBGOUT_DEBUGGER) != 0) DebuggerChannel(mode, u"\n");
    if ((mode & DBGOUT_CONSOLE) != 0) LogEnvironment().ConsoleOutput(u"\n");
    if (OpenLogFile(DBGOUT_RAW | DBGOUT_NO_NEWLINE)) WriteLogLine(STRING(u"\r\n"));
}

void DebuggerPrintArgs(const char16_t* format, FORMAT_ARGS args) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    const uint32_t mode = state.Mode.load();
    STRING text;
    FormatStringArgs(text, FORMAT_UNLIMITED, format, args);
    STRING lead;
    STRING body;
    SplitLead(text, lead, body);
    const STRING stamp = (mode & DBGOUT_NO_TIME_STAMP) == 0 ? TimeStamp() : STRING();
    DebuggerChannel(mode, Concat({lead, stamp, PrefixPart(CurrentThreadId()), body, u"\n\n"}).Text());
}

void DebuggerPrintPlainArgs(const char16_t* format, FORMAT_ARGS args) {
    // No lock: this is for places where taking it could hang (a crash, a lock-order problem).
    STRING text;
    FormatStringArgs(text, FORMAT_UNLIMITED, format, args);
    DebuggerChannel(LogState().Mode.load(), text.Text());
}

// --- configuration --------------------------------------------------------------------------------

void SetDebugOutputMode(uint32_t mode) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    if (state.ShutDown) return;
    const uint32_t old = state.Mode.load();
    if ((old & DBGOUT_LOG) != 0 && (mode & DBGOUT_LOG) == 0) state.LogFile.Close();
    state.Mode.store(mode);
}

uint32_t GetDebugOutputMode() { return LogState().Mode.load(); }

bool GetDebugOutputVerbose() { return (LogState().Mode.load() & DBGOUT_VERBOSE) != 0; }

void SetDebugOutputPrefix(const char16_t* prefix) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    uint32_t length = TextLength(prefix);
    if (length > PREFIX_LIMIT) {
        length = PREFIX_LIMIT;
        // Never half a surrogate pair at the cut.
        if (prefix[length - 1] >= 0xD800 && prefix[length - 1] <= 0xDBFF) --length;
    }
    state.Prefix.Assign(prefix, length);
}

STRING GetLogPath() {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    return ComposeLogPath();
}

// --- lifecycle ------------------------------------------------------------------------------------

void ShutdownDebugLog() {
    DEBUG_LOG_STATE& state = LogState();
    {
        const LOCK lock(state.Lock);
        if (!state.ShutDown) {
            // Every thread's held messages, in the order the threads first logged, while the
            // mode still says where they go.
            for (HELD_QUEUE* queue = state.FirstQueue; queue != nullptr; queue = queue->NextQueue) {
                WriteHeldMessages(queue);
            }
            state.ShutDown = true;
            state.Mode.store(0);
        }
        FreeQueues();
    }
    // Outside the log lock: the rename thread may need it to finish.
    StopLogRenameThread();
    const LOCK lock(state.Lock);
    state.LogFile.Close();
}

void ResetDebugLogForTest(DEBUG_LOG_ENVIRONMENT* environment) {
    DEBUG_LOG_STATE& state = LogState();
    StopLogRenameThread();
    const LOCK lock(state.Lock);
    FreeQueues();
    state.LogFile.Close();
    state.Environment.store(environment != nullptr ? environment : &RealDebugLogEnvironment());
    state.Mode.store(0);
    state.ShutDown = false;
    state.Prefix.Clear();
    state.Directory.Clear();
    state.BaseName.Assign(DEFAULT_LOG_BASE_NAME);
    state.Extension.Assign(DEFAULT_LOG_EXTENSION);
    state.FirstOpen = true;
    state.CustomNames[0].Assign(DEFAULT_CUSTOM_NAMES[0]);
    state.CustomNames[1].Assign(DEFAULT_CUSTOM_NAMES[1]);
    state.NamesFixed = false;
    state.Rename.DueTime = TIME_VALUE{};
    state.Rename.PeriodMs = 0;
}

bool IsLogFileOpenForTest() {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    return state.LogFile.IsOpen();
}

}  // namespace qv
