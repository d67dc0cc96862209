// The audit log followed into a real Security log (a data root of the test's own), through
// everything that happens to a log file: lines written in pieces, restarts, rotation by
// renaming and by copying and truncating, deletion, replacement, a full disk and a stop at
// each step of a write (planted with fault_shim.c). Every case checks that each logon is in
// the Security log exactly once, in order.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error_codes.h"
#include "platform/event_log.h"
#include "platform/posix/event_log_store.h"
#include "tools/qvsamba/audit_follower.h"
#include "tools/qvsamba/record_writer.h"
#include "tools/qvsamba/tests/samba_lines.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class SambaFollowerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qvsamba-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Root = pattern;
        setenv("QUORVANE_DATA_ROOT", (Root / "data").c_str(), 1);
        fs::create_directories(Root / "data");
        fs::create_directories(Root / "samba");
        Log = (Root / "samba" / "auth.log").string();
        PositionFile = (Root / "data" / "qvsamba.position").string();
        setenv("QVSAMBA_FAULT_FILE", (Root / "fault").c_str(), 1);
    }
    void TearDown() override {
        Stop();
        fs::remove_all(Root);
        unsetenv("QUORVANE_DATA_ROOT");
        unsetenv("QVSAMBA_FAULT_FILE");
    }

    // The service's parts, as a start makes them.
    bool Start(bool fromStart = true) {
        Writer = std::make_unique<RECORD_WRITER>(PositionFile,
                                                 DOMAIN_CONTROLLER {u"DC1", u"DC1$"},
                                                 [this](const std::string& text) { Notes.push_back(text); });
        std::string problem;
        if (!Writer->Open(problem)) {
            ADD_FAILURE() << problem;
            return false;
        }
        Follower = std::make_unique<AUDIT_FOLLOWER>(Log, *Writer, [this](const std::string& text) { Notes.push_back(text); },
                                                    milliseconds(300));
        return Follower->Start(Writer->Position(), fromStart);
    }
    void Stop() {
        Follower.reset();
        Writer.reset();
    }
    bool Poll() { return Follower->Poll(); }
    // A renamed file is read until it has been quiet for the moment it is given.
    void PollAfterTheMoment() {
        ASSERT_TRUE(Poll());
        std::this_thread::sleep_for(milliseconds(350));
        ASSERT_TRUE(Poll());
    }
    AUDIT_POSITION SavedPosition() {
        AUDIT_POSITION position;
        std::string problem;
        EXPECT_TRUE(LoadAuditPosition(PositionFile, position, problem)) << problem;
        return position;
    }

    // The planted fault (see fault_shim.c), and how often it struck.
    void Plant(const std::string& plan) {
        std::ofstream((Root / "fault").string()) << plan << "\n";
        fs::remove(Root / "fault.count");
    }
    void Unplant() { fs::remove(Root / "fault"); }
    int Struck() {
        std::ifstream file((Root / "fault.count").string());
        int count = 0;
        for (std::string line; std::getline(file, line);) ++count;
        return count;
    }
    // The service's parts started and polled in a process of their own, which the plan ends:
    // its exit status (9 when the planted end came).
    int RunUntilThePlannedEnd(const std::string& plan) {
        Stop();
        Plant(plan);
        const pid_t child = fork();
        if (child == 0) {
            const bool polled = Start() && Poll();
            _exit(polled ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        Unplant();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static void Append(const std::string& path, const std::string& text) {
        std::ofstream file(path, std::ios::app | std::ios::binary);
        file << text;
    }
    void Logon(const std::string& user, const std::string& path = "") {
        Append(path.empty() ? Log : path, samba_lines::Ntlm(user, "10.0.0.1") + "\n");
    }

    // The users of the 4624 records in the Security log, oldest first.
    std::string Users() {
        EVENT_LOG_CURSOR cursor;
        std::string users;
        if (cursor.Open(u"Security") != ERR_SUCCESS) return "(no log)";
        std::vector<uint8_t> buffer(1 << 20);
        for (;;) {
            uint32_t got = 0, needed = 0;
            if (cursor.Read(EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_FORWARDS, 0, buffer.data(),
                            static_cast<uint32_t>(buffer.size()), got, needed) != ERR_SUCCESS) {
                return users;
            }
            for (uint32_t at = 0; at < got; at += GetRecordUInt32(buffer.data() + at, record_offset::Length)) {
                const uint8_t* record = buffer.data() + at;
                uint32_t text = GetRecordUInt32(record, record_offset::StringOffset);
                for (int skip = 0; skip < 5; ++skip) text = RecordTextEnd(record, text, GetRecordUInt32(record, 0));
                if (!users.empty()) users += " ";
                for (; GetRecordUInt16(record, text) != 0; text += 2) users += static_cast<char>(record[text]);
            }
        }
    }
    int NotesWith(const std::string& text) const {
        int count = 0;
        for (const std::string& note : Notes) count += note.find(text) != std::string::npos;
        return count;
    }

    fs::path Root;
    std::string Log;
    std::string PositionFile;
    std::unique_ptr<RECORD_WRITER> Writer;
    std::unique_ptr<AUDIT_FOLLOWER> Follower;
    std::vector<std::string> Notes;
};

TEST_F(SambaFollowerTest, FirstRunBeginsAtTheEndUnlessAskedOtherwiseAndOnlyAuthenticationsAreWritten) {
    Logon("old");
    Append(Log, samba_lines::Ntlm("partial", "10.0.0.1").substr(0, 40));
    ASSERT_TRUE(Start(false));
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "");
    Append(Log, samba_lines::Ntlm("partial", "10.0.0.1").substr(40) + "\n");
    Append(Log, samba_lines::Authorization("alice") + "\n");
    Append(Log, samba_lines::WrongPassword("alice", "10.0.0.2") + "\n\n");
    Append(Log, samba_lines::Kerberos("carol", "10.0.0.3") + "\n");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "partial alice@corp.example.test carol");
    EXPECT_EQ(Writer->Counts().Lines, 5u);
    EXPECT_EQ(Writer->Counts().Records, 3u);

    fs::remove_all(Root / "data");
    Stop();
    ASSERT_TRUE(Start(true));
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "old partial alice@corp.example.test carol");
}

TEST_F(SambaFollowerTest, HalfWrittenLinesWaitAndMalformedLinesAreSkippedWithOneNoteEach) {
    Logon("alice");
    ASSERT_TRUE(Start());
    const std::string bob = samba_lines::Ntlm("bob", "10.0.0.1");
    Append(Log, bob.substr(0, 100));
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice");
    Append(Log, bob.substr(100, 100));
    ASSERT_TRUE(Poll());
    Append(Log, bob.substr(200) + "\n");
    Append(Log, "{\"type\": \"Authentication\", \"timestamp\": \"2026-12-08T11:16:21Z\"\n");  // cut off, then a new line
    Append(Log, "garbage\r\n");
    Logon("carol");
    std::string dave = samba_lines::Ntlm("dave", "10.0.0.1");
    Append(Log, dave.replace(dave.find("\"VM\""), 4, "5") + "\n");  // an optional field of another type
    ASSERT_TRUE(Poll());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol dave");
    EXPECT_EQ(NotesWith("Skipping a malformed line"), 2);
    EXPECT_EQ(NotesWith("without what is unusable in it: \"workstation\" is not a string"), 1);
    EXPECT_EQ(Writer->Counts().Malformed, 2u);

    // A line longer than anything Samba writes is skipped whole, once.
    Append(Log, std::string(3 * 1024 * 1024, 'x'));
    ASSERT_TRUE(Poll());
    Append(Log, "x\n");
    Logon("erin");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol dave erin");
    EXPECT_EQ(NotesWith("Skipping a line longer than"), 1);
}

TEST_F(SambaFollowerTest, RestartGoesOnMidFile) {
    ASSERT_TRUE(Start());
    Logon("alice");
    Logon("bob");
    ASSERT_TRUE(Poll());
    Stop();
    Logon("carol");
    Append(Log, samba_lines::Ntlm("dave", "10.0.0.1").substr(0, 300));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    Stop();
    Append(Log, samba_lines::Ntlm("dave", "10.0.0.1").substr(300) + "\n");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol dave");
    EXPECT_TRUE(Notes.empty() || NotesWith("Skipping") == 0);
}

TEST_F(SambaFollowerTest, ARenamedLogIsReadOnBesideTheNewOneUntilItsWritersLetGo) {
    ASSERT_TRUE(Start());
    Logon("alice");
    ASSERT_TRUE(Poll());
    // Renamed with a line half written. The new file is read at once; the renamed one as its
    // lines complete (Samba's main process writes it until it reopens its log).
    const std::string carol = samba_lines::Ntlm("carol", "10.0.0.1");
    Append(Log, carol.substr(0, 50));
    fs::rename(Log, Log + ".1");
    Logon("bob");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob");
    EXPECT_TRUE(Follower->FollowingRotated());
    EXPECT_EQ(NotesWith("was renamed to " + Log + ".1"), 1);
    Append(Log + ".1", carol.substr(50) + "\n");
    Logon("dave");
    Logon("erin", Log + ".1");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol erin dave");

    // Both places survive a restart, in a position file the earlier version could not read.
    Stop();
    std::ifstream saved(PositionFile);
    std::string header;
    std::getline(saved, header);
    EXPECT_EQ(header, "qvsamba position 2");
    Logon("fay", Log + ".1");
    Logon("gus");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol erin dave fay gus");
    EXPECT_TRUE(Follower->FollowingRotated());

    // Quiet for the while it is given: nobody writes it any more.
    PollAfterTheMoment();
    EXPECT_FALSE(Follower->FollowingRotated());
    EXPECT_EQ(NotesWith("Done with " + Log + ".1: it has been quiet"), 1);
    EXPECT_FALSE(SavedPosition().Places.HasRotated);
}

TEST_F(SambaFollowerTest, ARenamedLogIsDoneWhenRenamedAgainOrDeletedWhileRunningAndWhileStopped) {
    ASSERT_TRUE(Start());
    Logon("alice");
    ASSERT_TRUE(Poll());
    fs::rename(Log, Log + ".1");
    Logon("bob");
    ASSERT_TRUE(Poll());
    // logrotate's next rotation renames the first renamed file again: it is read to its end
    // and left, and the second one is followed.
    Logon("carol", Log + ".1");
    fs::rename(Log + ".1", Log + ".2");
    fs::rename(Log, Log + ".1");
    Logon("dave");
    Logon("erin", Log + ".1");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol erin dave");
    EXPECT_EQ(NotesWith("it was renamed again"), 1);
    EXPECT_TRUE(Follower->FollowingRotated());

    // The same while stopped: both renamed files are found by their inodes, the older one is
    // read to its end and left.
    Stop();
    Logon("fay", Log + ".2");
    Logon("gus", Log + ".1");
    fs::rename(Log + ".1", Log + ".2");
    fs::rename(Log, Log + ".1");
    Logon("hal");
    Logon("ida", Log + ".1");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol erin dave gus ida hal");
    EXPECT_EQ(NotesWith("the log was rotated again"), 1);

    // Deleted: nobody can open it any more.
    Logon("jay", Log + ".1");
    fs::remove(Log + ".1");
    ASSERT_TRUE(Poll());
    EXPECT_FALSE(Follower->FollowingRotated());
    EXPECT_EQ(NotesWith("it was deleted"), 1);
    EXPECT_EQ(Users(), "alice bob carol erin dave gus ida hal jay");

    // A last line that is never completed is given up with a note.
    Append(Log, samba_lines::Ntlm("kim", "10.0.0.1").substr(0, 80));
    ASSERT_TRUE(Poll());
    fs::rename(Log, Log + ".1");
    Logon("lee");
    PollAfterTheMoment();
    EXPECT_EQ(Users(), "alice bob carol erin dave gus ida hal jay lee");
    EXPECT_EQ(NotesWith("Skipping an incomplete last line"), 1);
}

TEST_F(SambaFollowerTest, CopyAndTruncateWhileRunningAndWhileStopped) {
    ASSERT_TRUE(Start());
    Logon("alice");
    ASSERT_TRUE(Poll());
    Logon("bob");  // not read yet when the log is copied
    fs::copy_file(Log, Log + ".1");
    fs::resize_file(Log, 0);
    Logon("carol");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol");

    Logon("dave");
    Stop();
    Logon("erin");
    fs::copy_file(Log, Log + ".2");
    fs::resize_file(Log, 0);
    // Written past the old place again before the restart: the head tells the files apart.
    for (const char* user : {"frank", "grace", "henry", "ida"}) Logon(user);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol dave erin frank grace henry ida");
}

TEST_F(SambaFollowerTest, DeletedAndBackAndReplacedWhileRead) {
    ASSERT_TRUE(Start());
    Logon("alice");
    ASSERT_TRUE(Poll());
    Logon("bob");
    fs::remove(Log);
    ASSERT_TRUE(Poll());  // the deleted file is still read to its end
    Logon("carol");
    PollAfterTheMoment();
    EXPECT_EQ(Users(), "alice bob carol");

    // Replaced by another file in one step while it is being read.
    const std::string other = (Root / "samba" / "staging").string();
    Logon("dave", other);
    Logon("erin");
    fs::rename(other, Log);
    PollAfterTheMoment();
    EXPECT_EQ(Users(), "alice bob carol erin dave");

    // Gone for good while stopped: said once, and the new file is read from its start.
    Stop();
    fs::remove(Log);
    Logon("frank");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol erin dave frank");
    EXPECT_EQ(NotesWith("is no longer beside it"), 1);
}

TEST_F(SambaFollowerTest, AFailedOrInterruptedAppendBringsTheSameLinesOnceAfterARestart) {
    ASSERT_TRUE(Start());
    Logon("alice");
    ASSERT_TRUE(Poll());
    const AUDIT_POSITION before = SavedPosition();

    // The append fails: what was saved keeps the place before the lines, with the batch
    // announced to end after them.
    Plant("pwrite records ENOSPC beyond");
    Logon("bob");
    EXPECT_FALSE(Poll());
    const AUDIT_POSITION failed = SavedPosition();
    EXPECT_TRUE(failed.Pending);
    EXPECT_EQ(failed.Places.Log.Offset, before.Places.Log.Offset);
    EXPECT_EQ(failed.PendingPlaces.Log.Offset, fs::file_size(Log));
    Unplant();
    Stop();
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob");

    // The process ends at each step of a batch; the restart writes the lines once.
    const std::pair<const char*, const char*> steps[] = {
        {"fsync qvsamba.position.new exit", nullptr},               // before the announcement
        {"pwrite records exit beyond", "is not in"},                 // announced, nothing written
        {"pwrite records exit start", "is not in"},                  // written, not published
        {"pwrite records exit-after start", "is in"},                // published, the place not saved
        {"rename qvsamba.position exit any 1", "is in"},             // the place being saved
    };
    std::string expected = Users();
    for (const auto& [plan, settled] : steps) {
        const std::string user = "user" + std::to_string(expected.size());
        Logon(user);
        EXPECT_EQ(RunUntilThePlannedEnd(plan), 9) << plan;
        const int notes = NotesWith(settled == nullptr ? "The last run stopped" : settled);
        ASSERT_TRUE(Start());
        ASSERT_TRUE(Poll());
        expected += " " + user;
        EXPECT_EQ(Users(), expected) << plan;
        EXPECT_EQ(NotesWith(settled == nullptr ? "The last run stopped" : settled), notes + (settled != nullptr))
            << plan;
    }
}

TEST_F(SambaFollowerTest, RecordsTheLogPublishedBeforeItFailedAreNeverWrittenAgain) {
    ASSERT_TRUE(Start());
    {
        EVENT_LOG_WRITER log;
        ASSERT_EQ(log.Open(u"Security"), ERR_SUCCESS);
        ASSERT_EQ(log.SetMaximumSize(16 * 1024), ERR_SUCCESS);
    }
    // The disk is full when the log gives back the space of its oldest records: every append
    // after the first hundred or so fails once its records are published.
    std::vector<std::string> users;
    const auto logon = [&](const std::string& user) {
        users.push_back(user);
        Logon(user);
        return Poll();
    };
    Plant("pwrite .records.tmp ENOSPC");
    for (int i = 0; i < 240; i += 3) {
        users.insert(users.end(), {"u" + std::to_string(i), "u" + std::to_string(i + 1)});
        Logon(users.rbegin()[1]);
        Logon(users.back());
        ASSERT_TRUE(logon("u" + std::to_string(i + 2)));
    }
    EXPECT_GT(Struck(), 10);
    EXPECT_EQ(NotesWith("then failed to drop its oldest records"), 1);
    Unplant();
    ASSERT_TRUE(logon("v1"));
    EXPECT_EQ(NotesWith("works normally again"), 1);

    // The header reached the log but its sync failed: the log says the batch is there.
    Plant("fdatasync records EIO any 1");
    ASSERT_TRUE(logon("v2"));
    EXPECT_EQ(Struck(), 1);
    EXPECT_EQ(NotesWith(", then failed. "), 1);
    Unplant();
    ASSERT_TRUE(logon("v3"));
    EXPECT_EQ(NotesWith("works normally again"), 2);

    // One record numbered for each logon; the ones the log kept are the newest, in order.
    EVENT_LOG_WRITER log;
    EVENT_LOG_INFO info;
    ASSERT_EQ(log.Open(u"Security"), ERR_SUCCESS);
    ASSERT_EQ(log.Info(info), ERR_SUCCESS);
    EXPECT_EQ(info.NextRecord - 1, users.size());
    EXPECT_LE(info.Bytes, 16u * 1024);
    std::string newest;
    for (size_t i = users.size() - info.Count; i < users.size(); ++i) newest += (newest.empty() ? "" : " ") + users[i];
    EXPECT_EQ(Users(), newest);
}

TEST_F(SambaFollowerTest, ABatchThatCannotBeAnnouncedIsTriedAgainWithTheSameLines) {
    PositionFile = (Root / "state" / "qvsamba.position").string();  // a folder not there yet
    ASSERT_TRUE(Start());
    Logon("alice");
    EXPECT_FALSE(Poll());
    EXPECT_FALSE(Poll());
    EXPECT_EQ(Users(), "");
    EXPECT_EQ(NotesWith("Cannot write"), 1);
    fs::create_directories(Root / "state");
    EXPECT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice");
    EXPECT_EQ(NotesWith("Writing again"), 1);
}

}  // namespace
}  // namespace qv
