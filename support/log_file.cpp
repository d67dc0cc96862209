// The log file: where it is (SetLogPath), opening it on demand (OpenLogFile), moving an old
// one aside under a time-stamped name (RenameLogPath) and making its folder
// (CreateDirectoryTree).
//
// Directories accept both "\" and "/" as separators, so a path typed either way works on
// either platform; where a separator has to be added it is the platform's own ("\" on
// Windows, "/" on POSIX).
#include <mutex>

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/system_text.h"
#include "support/debug_log.h"
#include "support/debug_log_internal.h"
#include "support/format.h"

namespace qv {

namespace {

using LOCK = std::lock_guard<std::recursive_mutex>;

// File time of 1970-01-01 00:00 UTC.
// Names tried by RenameLogPath: the plain stamp, then "#001" to "#999".
constexpr uint32_t LAST_RENAME_SUFFIX = 999;
// Other names tried by the SetLogPath probe when the log file itself is there.
constexpr uint32_t PROBE_NAMES = 999;

// Creating a file that is there says 80; moving onto or making a directory that is there 183.
bool IsExistsError(uint32_t error) { return error == ERR_FILE_EXISTS || error == ERR_ALREADY_EXISTS; }

STRING ComposePath(const STRING& directory, const STRING& name, const STRING& namePart, const STRING& extension) {
    STRING path(directory);
    AppendText(path, name);
    AppendText(path, namePart);
    if (!extension.IsEmpty()) {
        AppendText(path, u".");
        AppendText(path, extension);
    }
    return path;
}

void ReportCreateFailure(const STRING& path, uint32_t error) {
    LibraryError(u"Unable to create log file \"%s\". %s. Error code = %lu.\n    ", path, GetErrorText(error), error);
}

// The part of a directory path that is not created: the root.
uint32_t RootLength(const char16_t* path, uint32_t length) {
#if defined(_WIN32)
    // "\\server\share": the server and the share.
    if (length >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1])) {
        uint32_t i = 2;
        while (i < length && !IsPathSeparator(path[i])) ++i;
        while (i < length && IsPathSeparator(path[i])) ++i;
        while (i < length && !IsPathSeparator(path[i])) ++i;
        return i;
    }
    // "C:\": the drive and its separator.
    uint32_t end = 0;
    while (end < length && !IsPathSeparator(path[end])) ++end;
    if (end > 0 && path[end - 1] == u':') return end < length ? end + 1 : end;
    return 0;
#else
    return length > 0 && path[0] == u'/' ? 1 : 0;
#endif
}

// Splits the program's path into its directory (with the separator) and its file name.
void SplitProgramPath(const STRING& program, STRING& directory, STRING& file) {
    const char16_t* units = program.Text();
    uint32_t split = program.Length();
    while (split > 0 && !IsPathSeparator(units[split - 1])) --split;
    directory.Assign(units, split);
    file.Assign(units + split, program.Length() - split);
}

STRING Stem(const STRING& file) {
    const char16_t* units = file.Text();
    uint32_t dot = file.Length();
    while (dot > 0 && units[dot - 1] != u'.') --dot;
    // No dot: the whole name.
    return dot == 0 ? file : STRING(units, dot - 1);
}

void EndWithSeparator(STRING& directory) {
    if (!directory.IsEmpty() && !IsPathSeparator(static_cast<char16_t>(directory.LastUnit()))) {
        const char16_t separator[] = {NATIVE_PATH_SEPARATOR, 0};
        AppendText(directory, separator);
    }
}

}  // namespace

STRING ComposeLogPath() {
    const DEBUG_LOG_STATE& state = LogState();
    return ComposePath(state.Directory, state.BaseName, STRING(), state.Extension);
}

// Called for every message bound for the file, so a file that could not be opened is tried
// again (and reported again) by the next one. Only the first attempt of the process replaces
// or renames an existing file.
bool OpenLogFile(uint32_t flags) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    const uint32_t mode = state.Mode.load();
    if ((flags & DBGOUT_FORCE_LOG) == 0 && (mode & DBGOUT_LOG) == 0) return false;
    if (state.LogFile.IsOpen()) return true;
    DEBUG_LOG_ENVIRONMENT& environment = LogEnvironment();
    const STRING path = ComposeLogPath();

    if (state.FirstOpen) {
        state.FirstOpen = false;
        if ((mode & DBGOUT_RENAME) != 0) {
            for (;;) {
                const uint32_t error = environment.Open(state.LogFile, path.Text(), FILE_CREATION::NEW_ONLY, nullptr);
                if (error == ERR_SUCCESS) {
                    LibraryProgress(u"Log file \"%s\" created", path);
                    return true;
                }
                // Someone may put a new file there between the move and the next creation;
                // that one is moved aside too.
                if (!IsExistsError(error) || !RenameLogPath(path.Text(), nullptr)) {
                    ReportCreateFailure(path, error);
                    return false;
                }
            }
        }
        if ((mode & DBGOUT_OVERWRITE) != 0) {
            bool existed = false;
            const uint32_t error = environment.Open(state.LogFile, path.Text(), FILE_CREATION::REPLACE, &existed);
            if (error != ERR_SUCCESS) {
                ReportCreateFailure(path, error);
                return false;
            }
            LibraryProgress(u"Log file \"%s\" %s", path, existed ? u"overwritten" : u"created");
            return true;
        }
    }

    bool existed = false;
    const uint32_t error = environment.Open(state.LogFile, path.Text(), FILE_CREATION::APPEND, &existed);
    if (error != ERR_SUCCESS) {
        ReportCreateFailure(path, error);
        return false;
    }
    LibraryProgress(u"Log file \"%s\" %s", path, existed ? u"opened" : u"created");
    return true;
}

bool RenameLogPath(const char16_t* path, const TIME_VALUE* localTime) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    const STRING oldPath(path);  // 'path' may be one of the texts changed below

    CALENDAR_TIME time;
    if (!(localTime != nullptr ? *localTime : LocalNow()).ToCalendar(time)) time = CALENDAR_TIME{};
    // As short as the time allows: a rename at midnight is named by the date alone.
    STRING stamp;
    if (time.Minute != 0 || time.Second != 0) {
        stamp = Format(u"%04u-%02u-%02u@%02u_%02u_%02u", time.Year, time.Month, time.Day, time.Hour, time.Minute,
                       time.Second);
    } else if (time.Hour != 0) {
        stamp = Format(u"%04u-%02u-%02u@%02u", time.Year, time.Month, time.Day, time.Hour);
    } else {
        stamp = Format(u"%04u-%02u-%02u", time.Year, time.Month, time.Day);
    }

    STRING newPath;
    for (uint32_t n = 0;; ++n) {
        const STRING suffix = n == 0 ? STRING() : Format(u"#%03u", n);
        newPath = ComposePath(state.Directory, state.BaseName, Format(u"_%s%s", stamp, suffix), state.Extension);
        const uint32_t error = LogEnvironment().Move(oldPath.Text(), newPath.Text());
        if (error == ERR_SUCCESS) {
            LibraryProgress(u"Log path \"%s\" renamed to\n    \"%s\"", oldPath, newPath);
            return true;
        }
        if (!IsExistsError(error) || n >= LAST_RENAME_SUFFIX) {
            SetLastErrorCode(error);
            break;
        }
    }
    LibraryError(u"Name collision renaming log path \"%s\" to\n    \"%s\"", oldPath, newPath);
    return false;
}

uint32_t CreateDirectoryTree(const char16_t* path) {
    DEBUG_LOG_ENVIRONMENT& environment = LogEnvironment();
    const STRING full(path);
    const char16_t* units = full.Text();
    const uint32_t length = full.Length();
    uint32_t position = RootLength(units, length);
    while (position < length) {
        while (position < length && IsPathSeparator(units[position])) ++position;
        const uint32_t start = position;
        while (position < length && !IsPathSeparator(units[position])) ++position;
        const uint32_t size = position - start;
        if (size == 0) continue;
        if ((size == 1 && units[start] == u'.') || (size == 2 && units[start] == u'.' && units[start + 1] == u'.')) {
            continue;
        }
        const STRING partial(units, position);
        const PATH_KIND kind = environment.Kind(partial.Text());
        if (kind == PATH_KIND::DIRECTORY) continue;
        if (kind == PATH_KIND::NOT_DIRECTORY) {
            SetLastErrorCode(ERR_DIRECTORY);
            return ERR_DIRECTORY;
        }
        const uint32_t error = environment.MakeDirectory(partial.Text());
        // Made by someone else in the meantime: just as good.
        if (error != ERR_SUCCESS && !IsExistsError(error)) {
            SetLastErrorCode(error);
            return error;
        }
    }
    return ERR_SUCCESS;
}

bool SetLogPath(LOG_PATH_PART directory, LOG_PATH_PART name, LOG_PATH_PART extension) {
    DEBUG_LOG_STATE& state = LogState();
    const LOCK lock(state.Lock);
    DEBUG_LOG_ENVIRONMENT& environment = LogEnvironment();
    const STRING previous = ComposeLogPath();

    STRING program;
    const bool haveProgram = environment.ProgramPath(program) && !program.IsEmpty();
    if (!haveProgram) program.Clear();
    STRING programDirectory;
    STRING programFile;
    SplitProgramPath(program, programDirectory, programFile);

    // The directory. Codes other than those below (the name-only code 3 among them) leave it.
    bool directoryChosen = true;
    if (directory.Text != nullptr) {
        state.Directory.Assign(directory.Text);
        EndWithSeparator(state.Directory);
    } else if (directory.Code == LOG_PATH_DEFAULT) {
        state.Directory.Clear();
    } else if (directory.Code == LOG_PATH_PROGRAM) {
        state.Directory = programDirectory;
    } else if (directory.Code == LOG_PATH_LOCAL_APP_DATA) {
        if (!environment.LocalAppDataFolder(state.Directory)) state.Directory.Clear();
        EndWithSeparator(state.Directory);
    } else {
        directoryChosen = false;
    }
    if (directoryChosen && !state.Directory.IsEmpty()) CreateDirectoryTree(state.Directory.Text());

    // The base name.
    if (name.Text != nullptr) {
        state.BaseName.Assign(name.Text);
    } else if (name.Code == LOG_PATH_DEFAULT || name.Code == LOG_PATH_LOCAL_APP_DATA) {
        state.BaseName.Assign(DEFAULT_LOG_BASE_NAME);
    } else if (name.Code == LOG_PATH_PROGRAM) {
        state.BaseName = programFile;
    } else if (name.Code == LOG_PATH_PROGRAM_STEM) {
        state.BaseName = Stem(programFile);
    }

    // The extension: the two usual ones in their usual spelling.
    if (extension.Text != nullptr) {
        const STRING text(extension.Text);
        if (EqualsIgnoringCase(text, DEFAULT_LOG_EXTENSION)) {
            state.Extension.Assign(DEFAULT_LOG_EXTENSION);
        } else if (EqualsIgnoringCase(text, ALTERNATE_LOG_EXTENSION)) {
            state.Extension.Assign(ALTERNATE_LOG_EXTENSION);
        } else {
            state.Extension = text;
        }
    } else if (extension.Code != LOG_PATH_UNCHANGED) {
        state.Extension.Assign(DEFAULT_LOG_EXTENSION);
    }

    // Never the program itself.
    STRING path = ComposeLogPath();
    if (haveProgram && EqualsIgnoringCase(path, program)) {
        if (name.Text == nullptr && name.Code == LOG_PATH_PROGRAM_STEM) {
            state.BaseName = programFile;
        } else {
            state.Extension.Assign(state.Extension.Equals(DEFAULT_LOG_EXTENSION) ? ALTERNATE_LOG_EXTENSION
                                                                                  : DEFAULT_LOG_EXTENSION);
        }
        path = ComposeLogPath();
    }
    LibraryProgress(u"Log path = \"%s\"", path);

    if (!state.Directory.IsEmpty()) {
        const uint32_t error = CreateDirectoryTree(state.Directory.Text());
        if (error != ERR_SUCCESS) {
            LibraryProgress(u"Unable to create log directory = \"%s\". \n    %s. Error code = %lu.", state.Directory,
                            GetErrorText(error), error);
            return false;
        }
    }

    if (state.LogFile.IsOpen() && !EqualsIgnoringCase(path, previous)) state.LogFile.Close();

    // Can a file be made there? Tried with a new file, so the log file itself is never
    // touched: when it exists, a neighbour with a number appended stands in for it.
    FILE_HANDLE probe;
    STRING probePath = path;
    uint32_t error = environment.Open(probe, probePath.Text(), FILE_CREATION::NEW_ONLY, nullptr);
    uint32_t number = static_cast<uint32_t>((environment.UtcNow() - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND);
    for (uint32_t attempt = 0; IsExistsError(error) && attempt < PROBE_NAMES; ++attempt, ++number) {
        probePath = Format(u"%s.%lu", path, number);
        error = environment.Open(probe, probePath.Text(), FILE_CREATION::NEW_ONLY, nullptr);
    }
    if (error != ERR_SUCCESS) return false;
    probe.Close();
    error = environment.Remove(probePath.Text());
    if (error != ERR_SUCCESS) {
        LibraryError(u"Unable to delete \"%s\".\n    %s. Error code = %lu.", probePath, GetErrorText(error), error);
    }
    return true;
}

}  // namespace qv
