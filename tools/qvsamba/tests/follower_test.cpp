// The audit log followed into a real Security log (a data root of the test's own), through
// everything that happens to a log file: lines written in pieces, restarts, rotation by
// renaming and by copying and truncating, deletion, replacement, a stop in the middle of a
// write. Every case checks that each logon is in the Security log exactly once, in order.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

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
    }
    void TearDown() override {
        Stop();
        fs::remove_all(Root);
        unsetenv("QUORVANE_DATA_ROOT");
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
    // After a rotation the old file is read until it has been quiet for the moment it is given.
    void PollAfterTheMoment() {
        ASSERT_TRUE(Poll());
        std::this_thread::sleep_for(milliseconds(350));
        ASSERT_TRUE(Poll());
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
    ASSERT_TRUE(Poll());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol");
    EXPECT_EQ(NotesWith("Skipping a malformed line"), 2);
    EXPECT_EQ(Writer->Counts().Malformed, 2u);

    // A line longer than anything Samba writes is skipped whole, once.
    Append(Log, std::string(3 * 1024 * 1024, 'x'));
    ASSERT_TRUE(Poll());
    Append(Log, "x\n");
    Logon("dave");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol dave");
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

TEST_F(SambaFollowerTest, RotationByRenamingWhileRunningAndWhileStopped) {
    ASSERT_TRUE(Start());
    Logon("alice");
    ASSERT_TRUE(Poll());
    // Renamed, a new file made, and written on into the old file for a moment (its last line
    // completed there): the new file waits until the old one has been quiet.
    Logon("bob");
    const std::string carol = samba_lines::Ntlm("carol", "10.0.0.1");
    Append(Log, carol.substr(0, 50));
    fs::rename(Log, Log + ".old");
    Logon("dave");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob");
    EXPECT_TRUE(Follower->AwaitingRotation());
    Append(Log + ".old", carol.substr(50) + "\n");
    Logon("erin", Log + ".old");
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol erin");
    PollAfterTheMoment();
    EXPECT_EQ(Users(), "alice bob carol erin dave");
    EXPECT_FALSE(Follower->AwaitingRotation());

    // While stopped: the rest of the old file is found under its new name.
    Logon("fay");
    Stop();
    Logon("frank");
    fs::rename(Log, Log + ".1");
    Logon("grace");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol erin dave fay frank grace");

    // A last line that is never completed is given up after the moment, with a note.
    Append(Log, samba_lines::Ntlm("henry", "10.0.0.1").substr(0, 80));
    ASSERT_TRUE(Poll());
    fs::rename(Log, Log + ".2");
    Logon("ida");
    ASSERT_TRUE(Poll());
    EXPECT_TRUE(Follower->AwaitingRotation());
    PollAfterTheMoment();
    EXPECT_EQ(Users(), "alice bob carol erin dave fay frank grace ida");
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

TEST_F(SambaFollowerTest, AStopBetweenTheAppendAndThePositionIsSettledFromTheLog) {
    ASSERT_TRUE(Start());
    Logon("alice");
    ASSERT_TRUE(Poll());
    const std::string& positionFile = PositionFile;
    AUDIT_POSITION before;
    std::string problem;
    ASSERT_TRUE(LoadAuditPosition(positionFile, before, problem));

    // Stopped after the append, before the position was saved: the batch is in the log.
    Logon("bob");
    ASSERT_TRUE(Poll());
    AUDIT_POSITION after;
    ASSERT_TRUE(LoadAuditPosition(positionFile, after, problem));
    AUDIT_POSITION interrupted = before;
    interrupted.Pending = true;
    interrupted.PendingPlace = after.Place;
    Stop();
    ASSERT_TRUE(SaveAuditPosition(positionFile, interrupted, problem));
    Logon("carol");
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol");
    EXPECT_EQ(NotesWith("is in the Security log"), 1);

    // Stopped after the announcement, before the append: the batch is written again.
    ASSERT_TRUE(LoadAuditPosition(positionFile, before, problem));
    Logon("dave");
    Stop();
    interrupted = before;
    interrupted.Pending = true;
    interrupted.PendingPlace = before.Place;
    interrupted.PendingPlace.Offset = fs::file_size(Log);
    ASSERT_TRUE(SaveAuditPosition(positionFile, interrupted, problem));
    // Records of other writers after ours do not confuse the search.
    {
        EVENT_LOG_WRITER other;
        ASSERT_EQ(other.Open(u"Security"), ERR_SUCCESS);
        NEW_EVENT_RECORD record;
        record.EventID = 4634;
        record.Strings = {u"-", u"-", u"-", u"-", u"-", u"zed"};
        ASSERT_EQ(other.Append(record), ERR_SUCCESS);
    }
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Poll());
    EXPECT_EQ(Users(), "alice bob carol zed dave");
    EXPECT_EQ(NotesWith("is not in the Security log"), 1);
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
