#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "support/version.h"
#include "tests/test_text.h"
#include "version_info.h"

#if defined(_WIN32)
#include "platform/win32/win32.h"
#else
#include <unistd.h>
#endif

namespace qv {
namespace {

using test::Utf8;

TEST(VersionTest, TheProgramsOwnValues) {
    STRING fileVersion, productVersion, company, description, product, original;
    ASSERT_EQ(GetVersionStrings(nullptr, {{u"FileVersion", &fileVersion},
                                          {u"ProductVersion", &productVersion},
                                          {u"CompanyName", &company},
                                          {u"FileDescription", &description},
                                          {u"ProductName", &product},
                                          {u"OriginalFilename", &original}}),
              ERR_SUCCESS);
    EXPECT_EQ(Utf8(fileVersion), QV_FILE_VERSION_TEXT);
    EXPECT_EQ(Utf8(productVersion), QV_PRODUCT_VERSION_TEXT);
    EXPECT_EQ(Utf8(company), "Tarnwell Systems");
    EXPECT_EQ(Utf8(description), "Quorvane identity agent");
    EXPECT_EQ(Utf8(product), "Quorvane");
    EXPECT_EQ(Utf8(original), "Quorvane.exe");
}

TEST(VersionTest, ValuesAreEmptiedAndMissingOnesStayEmpty) {
    STRING missing(u"stale"), version(u"stale");
    EXPECT_EQ(GetVersionStrings(nullptr, {{u"NoSuchValue", &missing}, {u"fileversion", &version}}), ERR_SUCCESS);
    EXPECT_TRUE(missing.IsEmpty());
    // Value names are matched as the system matches them, without regard to case.
    EXPECT_EQ(Utf8(version), QV_FILE_VERSION_TEXT);

    // A path beyond 127 characters is not asked for at all.
    const std::u16string longName(110, u'N');
    STRING tooLong(u"stale");
    EXPECT_EQ(GetVersionStrings(nullptr, {{longName.c_str(), &tooLong}}), ERR_SUCCESS);
    EXPECT_TRUE(tooLong.IsEmpty());
}

TEST(VersionTest, FilesThatCannotBeFound) {
    STRING value(u"stale");
    EXPECT_EQ(GetVersionStrings(u"quorvane-no-such-file.dll", {{u"FileVersion", &value}}), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(value.IsEmpty());
    EXPECT_EQ(GetLastErrorCode(), ERR_FILE_NOT_FOUND);

    value = u"stale";
    EXPECT_EQ(GetVersionStrings(u"", {{u"FileVersion", &value}}), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(value.IsEmpty());

    const std::u16string longPath(300, u'x');
    value = u"stale";
    EXPECT_EQ(GetVersionStrings(longPath.c_str(), {{u"FileVersion", &value}}), ERR_FILE_NOT_FOUND);
    EXPECT_TRUE(value.IsEmpty());
}

TEST(VersionTest, AFileWithoutAVersionResource) {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::temp_directory_path(error) / "quorvane-version-test.dat";
    {
        std::ofstream out(file, std::ios::binary);
        out << "not a program, and no version resource in it\n";
    }
    const std::u16string name = file.u16string();
    STRING value(u"stale");
    const uint32_t result = GetVersionStrings(name.c_str(), {{u"FileVersion", &value}});
    std::filesystem::remove(file, error);
    // Windows gives its own reason for a file without the resource; elsewhere only the program
    // itself has one and any other file is reported as not found.
    EXPECT_NE(result, ERR_SUCCESS);
#if !defined(_WIN32)
    EXPECT_EQ(result, ERR_FILE_NOT_FOUND);
#endif
    EXPECT_TRUE(value.IsEmpty());
}

TEST(VersionTest, TheProgramByItsName) {
#if defined(_WIN32)
    wchar_t path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    const STRING name(AsUtf16(path));
#else
    char path[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", path, sizeof path - 1), 0);
    const STRING name(path);
#endif
    STRING version;
    EXPECT_EQ(GetVersionStrings(name.Text(), {{u"FileVersion", &version}}), ERR_SUCCESS);
    EXPECT_EQ(Utf8(version), QV_FILE_VERSION_TEXT);
}

TEST(VersionTranslationTest, TheThreadsLanguageThenUsEnglish) {
    const VERSION_TRANSLATION germanOnly[] = {{0x0407, 1252}};
    EXPECT_EQ(ChooseVersionTranslation(germanOnly, 1, 0x0409), -1);
    EXPECT_EQ(ChooseVersionTranslation(germanOnly, 1, 0x0407), 0);

    const VERSION_TRANSLATION both[] = {{0x0407, 1252}, {0x0409, 1200}};
    EXPECT_EQ(ChooseVersionTranslation(both, 2, 0x0407), 0);
    EXPECT_EQ(ChooseVersionTranslation(both, 2, 0x0409), 1);
    EXPECT_EQ(ChooseVersionTranslation(both, 2, 0x040C), 1);

    const VERSION_TRANSLATION several[] = {{0x0809, 1200}, {0x0409, 1252}, {0x0409, 1200}};
    EXPECT_EQ(ChooseVersionTranslation(several, 3, 0x0C07), 1);  // the first US English one
    EXPECT_EQ(ChooseVersionTranslation(several, 3, 0x0809), 0);
    EXPECT_EQ(ChooseVersionTranslation(nullptr, 0, 0x0409), -1);
}

TEST(VersionTranslationTest, ThePathOfATranslationsValues) {
    EXPECT_EQ(Utf8(VersionValuePrefix({0x0409, 1200})), "\\StringFileInfo\\040904B0\\");
    EXPECT_EQ(Utf8(VersionValuePrefix({0x0007, 0x04E4})), "\\StringFileInfo\\000704E4\\");
}

// The program's values are US English; a thread in another language still reads them.
TEST(VersionTranslationTest, AnotherLanguageFallsBackToUsEnglish) {
#if defined(_WIN32)
    const LCID previous = GetThreadLocale();
    if (!SetThreadLocale(MAKELCID(0x0407, SORT_DEFAULT))) GTEST_SKIP() << "the thread's locale can't be changed";
    EXPECT_EQ(VERSION_RESOURCE::ThreadLanguage(), 0x0407);
    STRING version;
    EXPECT_EQ(GetVersionStrings(nullptr, {{u"FileVersion", &version}}), ERR_SUCCESS);
    SetThreadLocale(previous);
#else
    const char* previous = std::getenv("LC_ALL");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(VERSION_RESOURCE::ThreadLanguage(), 0x0407);
    STRING version;
    EXPECT_EQ(GetVersionStrings(nullptr, {{u"FileVersion", &version}}), ERR_SUCCESS);
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(VERSION_RESOURCE::ThreadLanguage(), 0x0409);
    if (previous != nullptr) {
        ::setenv("LC_ALL", saved.c_str(), 1);
    } else {
        ::unsetenv("LC_ALL");
    }
#endif
    EXPECT_EQ(Utf8(version), QV_FILE_VERSION_TEXT);
}

}  // namespace
}  // namespace qv
