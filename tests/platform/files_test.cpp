// The file operations of the logging library, on real files in a fresh temporary folder.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/thread.h"

#if !defined(_WIN32)
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/platform/temp_data_root.h"
#endif

namespace qv {
namespace {

namespace fs = std::filesystem;

class FilesTest : public testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        const fs::path base = fs::temp_directory_path();
        for (;;) {
            Folder = base / ("qv_files_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(++counter));
            if (fs::create_directory(Folder)) break;
        }
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }

    std::u16string PathOf(const std::u16string& name) const { return (Folder / fs::path(name)).u16string(); }

    static std::string Read(const std::u16string& path) {
        std::ifstream in{fs::path(path), std::ios::binary};
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    static void Create(const std::u16string& path, const std::string& content) {
        std::ofstream out{fs::path(path), std::ios::binary};
        out << content;
    }

    static uint32_t WriteText(FILE_HANDLE& file, const std::string& text) {
        return file.Write(text.data(), static_cast<uint32_t>(text.size()));
    }

    fs::path Folder;
};

// --- opening ----------------------------------------------------------------------------------

TEST_F(FilesTest, NewOnlyCreatesAndRefusesAnExistingFile) {
    const std::u16string path = PathOf(u"new.log");
    FILE_HANDLE file;
    bool existed = true;
    ASSERT_EQ(file.Open(path.c_str(), FILE_CREATION::NEW_ONLY, &existed), ERR_SUCCESS);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_FALSE(existed);
    EXPECT_EQ(WriteText(file, "one\r\n"), ERR_SUCCESS);
    file.Close();
    EXPECT_FALSE(file.IsOpen());

    FILE_HANDLE second;
    EXPECT_EQ(second.Open(path.c_str(), FILE_CREATION::NEW_ONLY), ERR_FILE_EXISTS);
    EXPECT_EQ(GetLastErrorCode(), ERR_FILE_EXISTS);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(Read(path), "one\r\n");
}

TEST_F(FilesTest, ReplaceEmptiesAnExistingFileAndSaysSo) {
    const std::u16string path = PathOf(u"replace.log");
    Create(path, "old content");
    FILE_HANDLE file;
    bool existed = false;
    ASSERT_EQ(file.Open(path.c_str(), FILE_CREATION::REPLACE, &existed), ERR_SUCCESS);
    EXPECT_TRUE(existed);
    EXPECT_EQ(WriteText(file, "new"), ERR_SUCCESS);
    file.Close();
    EXPECT_EQ(Read(path), "new");

    const std::u16string fresh = PathOf(u"fresh.log");
    ASSERT_EQ(file.Open(fresh.c_str(), FILE_CREATION::REPLACE, &existed), ERR_SUCCESS);
    EXPECT_FALSE(existed);
}

TEST_F(FilesTest, AppendCreatesWhenMissingAndKeepsWhatIsThere) {
    const std::u16string path = PathOf(u"append.log");
    FILE_HANDLE file;
    bool existed = true;
    ASSERT_EQ(file.Open(path.c_str(), FILE_CREATION::APPEND, &existed), ERR_SUCCESS);
    EXPECT_FALSE(existed);
    EXPECT_EQ(WriteText(file, "first\r\n"), ERR_SUCCESS);
    file.Close();

    ASSERT_EQ(file.Open(path.c_str(), FILE_CREATION::APPEND, &existed), ERR_SUCCESS);
    EXPECT_TRUE(existed);
    EXPECT_EQ(WriteText(file, "second\r\n"), ERR_SUCCESS);
    EXPECT_EQ(Read(path), "first\r\nsecond\r\n") << "readable while open, and appended";
}

TEST_F(FilesTest, TwoWritersBothAppendAtTheEnd) {
    const std::u16string path = PathOf(u"shared.log");
    FILE_HANDLE one;
    FILE_HANDLE two;
    ASSERT_EQ(one.Open(path.c_str(), FILE_CREATION::APPEND), ERR_SUCCESS);
    ASSERT_EQ(two.Open(path.c_str(), FILE_CREATION::APPEND), ERR_SUCCESS) << "shared for writing";
    EXPECT_EQ(WriteText(one, "a1\r\n"), ERR_SUCCESS);
    EXPECT_EQ(WriteText(two, "b1\r\n"), ERR_SUCCESS);
    EXPECT_EQ(WriteText(one, "a2\r\n"), ERR_SUCCESS);
    EXPECT_EQ(Read(path), "a1\r\nb1\r\na2\r\n");
}

TEST_F(FilesTest, OpenFailuresGiveTheSystemsCodes) {
    FILE_HANDLE file;
    const std::u16string missingFolder = PathOf(u"no such folder/x.log");
    EXPECT_EQ(file.Open(missingFolder.c_str(), FILE_CREATION::APPEND), ERR_PATH_NOT_FOUND);
    EXPECT_EQ(file.Open(missingFolder.c_str(), FILE_CREATION::NEW_ONLY), ERR_PATH_NOT_FOUND);
    EXPECT_EQ(file.Open(missingFolder.c_str(), FILE_CREATION::REPLACE), ERR_PATH_NOT_FOUND);

    // A folder is no file.
    const std::u16string folder = PathOf(u"folder.log");
    fs::create_directory(fs::path(folder));
    EXPECT_EQ(file.Open(folder.c_str(), FILE_CREATION::APPEND), ERR_ACCESS_DENIED);
    EXPECT_EQ(file.Open(folder.c_str(), FILE_CREATION::REPLACE), ERR_ACCESS_DENIED);
    EXPECT_FALSE(file.IsOpen());

    EXPECT_EQ(file.Open(u"", FILE_CREATION::APPEND), ERR_PATH_NOT_FOUND);
    EXPECT_EQ(file.Open(nullptr, FILE_CREATION::APPEND), ERR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, WriteNeedsAnOpenFile) {
    FILE_HANDLE file;
    EXPECT_EQ(WriteText(file, "x"), ERR_INVALID_HANDLE);
}

TEST_F(FilesTest, NonAsciiNamesAndContentArriveUnchanged) {
    const std::u16string path = PathOf(u"J\u00fcrgen \u65e5\u672c.log");
    FILE_HANDLE file;
    ASSERT_EQ(file.Open(path.c_str(), FILE_CREATION::NEW_ONLY), ERR_SUCCESS);
    EXPECT_EQ(WriteText(file, "\xc3\xbc"), ERR_SUCCESS);
    file.Close();
    EXPECT_EQ(GetPathKind(path.c_str()), PATH_KIND::NOT_DIRECTORY);
    EXPECT_EQ(Read(path), "\xc3\xbc");
}

TEST_F(FilesTest, HandleMovesOwnership) {
    const std::u16string path = PathOf(u"moved.log");
    FILE_HANDLE first;
    ASSERT_EQ(first.Open(path.c_str(), FILE_CREATION::APPEND), ERR_SUCCESS);
    FILE_HANDLE second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    EXPECT_TRUE(second.IsOpen());
    FILE_HANDLE third;
    third = std::move(second);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(WriteText(third, "ok"), ERR_SUCCESS);
    third.Close();
    EXPECT_EQ(Read(path), "ok");
}

// --- moving, removing, looking --------------------------------------------------------------

TEST_F(FilesTest, MoveNeverReplaces) {
    const std::u16string from = PathOf(u"from.log");
    const std::u16string to = PathOf(u"to.log");
    Create(from, "from");
    Create(to, "to");
    EXPECT_EQ(MovePathNoReplace(from.c_str(), to.c_str()), ERR_ALREADY_EXISTS);
    EXPECT_EQ(GetLastErrorCode(), ERR_ALREADY_EXISTS);
    EXPECT_EQ(Read(from), "from");
    EXPECT_EQ(Read(to), "to");

    const std::u16string free = PathOf(u"free.log");
    EXPECT_EQ(MovePathNoReplace(from.c_str(), free.c_str()), ERR_SUCCESS);
    EXPECT_EQ(GetPathKind(from.c_str()), PATH_KIND::MISSING);
    EXPECT_EQ(Read(free), "from");

    EXPECT_EQ(MovePathNoReplace(from.c_str(), PathOf(u"other.log").c_str()), ERR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, MoveALogFileAsideAfterUse) {
    const std::u16string from = PathOf(u"open.log");
    FILE_HANDLE file;
    ASSERT_EQ(file.Open(from.c_str(), FILE_CREATION::APPEND), ERR_SUCCESS);
    file.Close();
    EXPECT_EQ(MovePathNoReplace(from.c_str(), PathOf(u"open_2024-01-03.log").c_str()), ERR_SUCCESS);
}

TEST_F(FilesTest, RemoveFile) {
    const std::u16string path = PathOf(u"gone.log");
    Create(path, "x");
    EXPECT_EQ(RemoveFile(path.c_str()), ERR_SUCCESS);
    EXPECT_EQ(GetPathKind(path.c_str()), PATH_KIND::MISSING);
    EXPECT_EQ(RemoveFile(path.c_str()), ERR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastErrorCode(), ERR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, PathKinds) {
    const std::u16string file = PathOf(u"file.txt");
    Create(file, "");
    EXPECT_EQ(GetPathKind(file.c_str()), PATH_KIND::NOT_DIRECTORY);
    EXPECT_EQ(GetPathKind(Folder.u16string().c_str()), PATH_KIND::DIRECTORY);
    EXPECT_EQ(GetPathKind(PathOf(u"nothing").c_str()), PATH_KIND::MISSING);
    EXPECT_EQ(GetPathKind(u""), PATH_KIND::MISSING);
    EXPECT_EQ(GetPathKind(nullptr), PATH_KIND::MISSING);
}

TEST_F(FilesTest, MakeDirectory) {
    const std::u16string path = PathOf(u"sub");
    EXPECT_EQ(MakeDirectory(path.c_str()), ERR_SUCCESS);
    EXPECT_EQ(GetPathKind(path.c_str()), PATH_KIND::DIRECTORY);
    EXPECT_EQ(MakeDirectory(path.c_str()), ERR_ALREADY_EXISTS);

    const std::u16string file = PathOf(u"taken");
    Create(file, "");
    EXPECT_EQ(MakeDirectory(file.c_str()), ERR_ALREADY_EXISTS);

    EXPECT_EQ(MakeDirectory(PathOf(u"missing/child").c_str()), ERR_PATH_NOT_FOUND);
    EXPECT_EQ(GetLastErrorCode(), ERR_PATH_NOT_FOUND);
}

TEST(PathSeparatorTest, BothSeparatorsAreSeparators) {
    EXPECT_TRUE(IsPathSeparator(u'\\'));
    EXPECT_TRUE(IsPathSeparator(u'/'));
    EXPECT_FALSE(IsPathSeparator(u':'));
#if defined(_WIN32)
    EXPECT_EQ(NATIVE_PATH_SEPARATOR, u'\\');
#else
    EXPECT_EQ(NATIVE_PATH_SEPARATOR, u'/');
#endif
}

#if !defined(_WIN32)
// Whoever can write the log's folder can leave something under the log's name: a link to a file
// of root's, a second name of one, a FIFO. None is ever opened for writing, whatever the
// creation asks, and what they lead to stays as it was.
TEST_F(FilesTest, WhatAnotherAccountMayHavePlantedIsNeverWritten) {
    const std::u16string target = PathOf(u"target.txt");
    Create(target, "precious");
    const std::u16string link = PathOf(u"link.log");
    const std::u16string dangling = PathOf(u"dangling.log");
    const std::u16string hard = PathOf(u"hard.log");
    const std::u16string fifo = PathOf(u"fifo.log");
    ASSERT_EQ(symlink(fs::path(target).c_str(), fs::path(link).c_str()), 0);
    ASSERT_EQ(symlink(fs::path(PathOf(u"made.txt")).c_str(), fs::path(dangling).c_str()), 0);
    ASSERT_EQ(::link(fs::path(target).c_str(), fs::path(hard).c_str()), 0);
    ASSERT_EQ(mkfifo(fs::path(fifo).c_str(), 0600), 0);

    for (const FILE_CREATION creation : {FILE_CREATION::APPEND, FILE_CREATION::REPLACE}) {
        FILE_HANDLE file;
        EXPECT_EQ(file.Open(link.c_str(), creation), ERR_STOPPED_ON_SYMLINK);
        EXPECT_EQ(file.Open(dangling.c_str(), creation), ERR_STOPPED_ON_SYMLINK);
        EXPECT_EQ(file.Open(hard.c_str(), creation), ERR_FILE_HAS_LINKS);
        EXPECT_EQ(file.Open(fifo.c_str(), creation), ERR_FILE_NOT_REGULAR);
        EXPECT_EQ(file.Open(u"/dev/null", creation), ERR_FILE_NOT_REGULAR);
        EXPECT_FALSE(file.IsOpen());
    }
    FILE_HANDLE file;
    EXPECT_EQ(file.Open(dangling.c_str(), FILE_CREATION::NEW_ONLY), ERR_FILE_EXISTS);
    EXPECT_EQ(Read(target), "precious");
    EXPECT_FALSE(fs::exists(fs::path(PathOf(u"made.txt"))));
}

// A file is written only when it belongs to this account, to root, or to the owner of its folder
// (who could replace it anyway); what root makes in another account's folder is that account's.
TEST_F(FilesTest, OnlyFilesOfTrustedOwnersAreWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "giving files to another account needs root";
    const std::u16string planted = PathOf(u"planted.log");
    Create(planted, "someone else's");
    ASSERT_EQ(chown(fs::path(planted).c_str(), 65534, 65534), 0);
    FILE_HANDLE file;
    EXPECT_EQ(file.Open(planted.c_str(), FILE_CREATION::REPLACE), ERR_FILE_OWNER_UNTRUSTED);
    EXPECT_EQ(Read(planted), "someone else's");

    ASSERT_EQ(chown(Folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(file.Open(planted.c_str(), FILE_CREATION::APPEND), ERR_SUCCESS);
    const std::u16string made = PathOf(u"made.log");
    ASSERT_EQ(file.Open(made.c_str(), FILE_CREATION::APPEND), ERR_SUCCESS);
    struct stat info {};
    ASSERT_EQ(stat(fs::path(made).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_mode & 0007, 0u) << "a log is for its owner and group only";
}

// A full file system: the write fails the way a full disk does. A small tmpfs of its own, in a
// child with a mount namespace of its own, so nothing outside sees it.
TEST(FilesDeviceTest, WriteToAFullFileSystemReportsDiskFull) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    char folder[] = "/tmp/qv_full_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const pid_t child = test::StartChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 10;
        if (mount("tmpfs", folder, "tmpfs", 0, "size=64k") != 0) return 11;
        FILE_HANDLE file;
        const std::u16string path = fs::path(std::string(folder) + "/full.log").u16string();
        if (file.Open(path.c_str(), FILE_CREATION::APPEND) != ERR_SUCCESS) return 1;
        const std::string block(4096, 'x');
        for (int i = 0; i < 64; ++i) {
            const uint32_t code = file.Write(block.data(), static_cast<uint32_t>(block.size()));
            if (code != ERR_SUCCESS) return code == ERR_DISK_FULL && GetLastErrorCode() == ERR_DISK_FULL ? 0 : 2;
        }
        return 3;
    });
    const int status = test::WaitChild(child);
    rmdir(folder);
    if (status == 10 || status == 11) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(status, 0);
}
#endif

}  // namespace
}  // namespace qv
