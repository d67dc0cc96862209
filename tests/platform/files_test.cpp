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
// A real device that is always full: the write fails the way a full disk does.
TEST(FilesDeviceTest, WriteToAFullDeviceReportsDiskFull) {
    FILE_HANDLE file;
    ASSERT_EQ(file.Open(u"/dev/full", FILE_CREATION::APPEND), ERR_SUCCESS);
    EXPECT_EQ(file.Write("x", 1), ERR_DISK_FULL);
    EXPECT_EQ(GetLastErrorCode(), ERR_DISK_FULL);
}
#endif

}  // namespace
}  // namespace qv
