// qvsamba: the Security log's live source on a Samba AD domain controller. Samba writes each
// authentication it performs into its JSON audit log; qvsamba follows that log and appends the
// Security records a Windows domain controller would have written for them (4624, 4625) to
// the Linux Security log that Quorvane reads:
//
//   qvsamba [--audit-log FILE] [--computer NAME] [--position FILE] [--from-start] [--once]
//
// It runs until SIGTERM or SIGINT, as a systemd service (Type=notify) or in the foreground.
// Exit status 0 after a stop, 1 when it cannot start, 2 for a bad command line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/data_root.h"
#include "platform/posix/file_descriptor.h"
#include "tools/qvsamba/audit_follower.h"
#include "tools/qvsamba/record_writer.h"

namespace qv {
namespace {

constexpr char USAGE[] =
    "Usage: qvsamba [--audit-log FILE] [--computer NAME] [--position FILE] [--from-start] [--once]\n"
    "\n"
    "Follows Samba's JSON authentication audit log and writes each authentication into the\n"
    "Security event log as the record a Windows domain controller writes: 4624 for a logon,\n"
    "4625 for a failed one. Other lines are passed over; a malformed line is logged and skipped.\n"
    "\n"
    "  --audit-log FILE  the audit log (default /var/log/samba/auth_json_audit.log); in smb.conf:\n"
    "                    log level = 1 auth_json_audit:3@/var/log/samba/auth_json_audit.log\n"
    "  --computer NAME   the records' computer name (default: this host's name)\n"
    "  --position FILE   where the place in the audit log is kept\n"
    "                    (default $QUORVANE_DATA_ROOT/qvsamba.position)\n"
    "  --from-start      on the very first run, begin at the start of the audit log instead of\n"
    "                    its end\n"
    "  --once            write what the audit log holds now, then exit\n"
    "\n"
    "The Security log lives under $QUORVANE_DATA_ROOT (default /var/lib/quorvane)/eventlog.\n"
    "Stops on SIGTERM or SIGINT.\n";

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;
constexpr int WAIT_MS = 1000;        // a look at the files even when no change was signalled
constexpr int RETRY_WAIT_MS = 5000;  // after the Security log refused a batch, whatever happens meanwhile

void Note(const std::string& text) {
    std::fprintf(stderr, "qvsamba: %s\n", text.c_str());
    std::fflush(stderr);
}

struct OPTIONS {
    std::string AuditLog = "/var/log/samba/auth_json_audit.log";
    std::string Computer;
    std::string Position;
    bool FromStart = false;
    bool Once = false;
};

int Usage(const std::string& problem) {
    std::fprintf(stderr, "qvsamba: %s\nRun \"qvsamba --help\" for the usage.\n", problem.c_str());
    return EXIT_BAD_ARGUMENTS;
}

DOMAIN_CONTROLLER Controller(const std::string& computer) {
    std::string name = computer;
    if (name.empty()) {
        char host[HOST_NAME_MAX + 1] = {};
        name = ::gethostname(host, sizeof host - 1) == 0 ? host : "localhost";
    }
    std::string account = name.substr(0, name.find('.'));
    for (char& c : account) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return {Utf16(name), Utf16(account + "$")};
}

// Changes in the audit log's folder wake the loop: lines appended, files made, renamed, deleted.
class FOLDER_WATCH {
public:
    explicit FOLDER_WATCH(const std::string& path) : Folder(path.substr(0, path.rfind('/') + 1)) {
        if (Folder.empty()) Folder = ".";
        Watch.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    }
    int Fd() const { return Watch.Get(); }
    // The folder may come later than the service: asked again until it is there.
    void Arm() {
        if (Armed || !Watch.IsValid()) return;
        Armed = ::inotify_add_watch(Watch.Get(), Folder.c_str(),
                                    IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) >= 0;
    }
    void Drain() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(Watch.Get(), buffer, sizeof buffer);
            if (got <= 0) break;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) Armed = false;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

private:
    std::string Folder;
    FILE_DESCRIPTOR Watch;
    bool Armed = false;
};

int Follow(const OPTIONS& options) {
    // The stop signals are read from a descriptor, so a stop never lands inside an append.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    FILE_DESCRIPTOR stop(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));

    const std::string root = DataRoot().Text();
    ::mkdir(root.c_str(), 0750);
    const std::string positionPath = options.Position.empty() ? root + "/qvsamba.position" : options.Position;
    RECORD_WRITER writer(positionPath, Controller(options.Computer), Note);
    std::string problem;
    if (!writer.Open(problem)) {
        Note(problem);
        return EXIT_FAILED;
    }
    AUDIT_FOLLOWER follower(options.AuditLog, writer, Note);
    FOLDER_WATCH watch(options.AuditLog);
    watch.Arm();
    // Starting reads what a rotation while we were away left in the old file; when the
    // Security log refuses that, the start is tried again like any poll.
    bool started = follower.Start(writer.Position(), options.FromStart);
    bool healthy = started;
    Note("Following " + options.AuditLog + " from offset " + std::to_string(writer.Position().Places.Log.Offset) +
         " into the Security event log under " + root);
    if (options.Once) {
        healthy = healthy && follower.Poll();
    } else {
        sd_notifyf(0, "READY=1\nSTATUS=Following %s", options.AuditLog.c_str());
        for (bool stopping = false; !stopping;) {
            if (!started) started = healthy = follower.Start(writer.Position(), options.FromStart);
            if (started) healthy = follower.Poll();
            // A change in the folder cuts the wait short, but never the wait after a refusal:
            // writes nearby (our own position file among them) must not turn it into a loop.
            using std::chrono::milliseconds, std::chrono::steady_clock;
            const auto deadline = steady_clock::now() + milliseconds(healthy ? WAIT_MS : RETRY_WAIT_MS);
            for (;;) {
                const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
                if (left.count() <= 0) break;
                pollfd waits[2] = {{stop.Get(), POLLIN, 0}, {watch.Fd(), POLLIN, 0}};
                const int ready = ::poll(waits, 2, static_cast<int>(left.count()) + 1);
                if (ready > 0 && (waits[0].revents & POLLIN)) {
                    stopping = true;
                    break;
                }
                watch.Drain();
                watch.Arm();
                if (ready > 0 && healthy) break;
            }
        }
        sd_notify(0, "STOPPING=1\nSTATUS=Stopped");
    }
    const RECORD_WRITER_COUNTS& counts = writer.Counts();
    Note("Stopped: " + std::to_string(counts.Lines) + " lines read, " + std::to_string(counts.Records) +
         " records written, " + std::to_string(counts.Malformed) + " malformed lines skipped");
    return options.Once && !healthy ? EXIT_FAILED : 0;
}

int Run(int argc, char** argv) {
    OPTIONS options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const auto value = [&](std::string& target) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
            target = argv[++i];
            return true;
        };
        if (option == "--help" || option == "-h" || option == "help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (option == "--audit-log") {
            if (!value(options.AuditLog)) return Usage("--audit-log needs a file");
        } else if (option == "--computer") {
            if (!value(options.Computer)) return Usage("--computer needs a name");
        } else if (option == "--position") {
            if (!value(options.Position)) return Usage("--position needs a file");
        } else if (option == "--from-start") {
            options.FromStart = true;
        } else if (option == "--once") {
            options.Once = true;
        } else {
            return Usage("unknown argument " + option);
        }
    }
    return Follow(options);
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
    try {
        return qv::Run(argc, argv);
    } catch (...) {
        // Only a failed allocation gets here.
        qv::Note("Out of memory");
        return qv::EXIT_FAILED;
    }
}
