// Wine's msi.dll as the judge of the transforms that Linux writes: each transform, applied by
// the installer engine to the package it was made from, must give exactly the changed package.
// tests/e2e/transform_judge.sh prepares the cases and runs this test alone; the folder holds,
// per case, CASE.mst, CASE-before.msi and CASE-after.msi.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

#include <msi.h>
#include <msidefs.h>
#include <msiquery.h>

namespace qv {
namespace {

class HANDLE_OF_MSI {
public:
    HANDLE_OF_MSI() = default;
    HANDLE_OF_MSI(const HANDLE_OF_MSI&) = delete;
    HANDLE_OF_MSI& operator=(const HANDLE_OF_MSI&) = delete;
    ~HANDLE_OF_MSI() {
        if (Handle != 0) MsiCloseHandle(Handle);
    }
    MSIHANDLE Handle = 0;
};

std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(std::max(length, 0)));
    return wide;
}

std::vector<std::wstring> TableNames(MSIHANDLE database) {
    std::vector<std::wstring> names;
    HANDLE_OF_MSI view;
    if (MsiDatabaseOpenViewW(database, L"SELECT `Name` FROM `_Tables`", &view.Handle) != ERROR_SUCCESS) return names;
    if (MsiViewExecute(view.Handle, 0) != ERROR_SUCCESS) return names;
    for (;;) {
        HANDLE_OF_MSI row;
        if (MsiViewFetch(view.Handle, &row.Handle) != ERROR_SUCCESS) break;
        wchar_t name[128];
        DWORD size = 128;
        if (MsiRecordGetStringW(row.Handle, 1, name, &size) == ERROR_SUCCESS) names.emplace_back(name, size);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A table as the installer exports it: the three header lines, then the rows in any order.
std::vector<std::string> ExportedTable(MSIHANDLE database, const std::wstring& table, const std::wstring& folder) {
    const std::wstring file = L"table.idt";
    EXPECT_EQ(MsiDatabaseExportW(database, table.c_str(), folder.c_str(), file.c_str()), ERROR_SUCCESS);
    std::ifstream input(std::filesystem::path(folder + L"\\" + file), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(input, line);) lines.push_back(line);
    if (lines.size() > 3) std::sort(lines.begin() + 3, lines.end());
    return lines;
}

void JudgeCase(const std::wstring& folder, const std::wstring& name) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    HANDLE_OF_MSI before;
    HANDLE_OF_MSI after;
    ASSERT_EQ(MsiOpenDatabaseW((folder + L"\\" + name + L"-before.msi").c_str(), MSIDBOPEN_READONLY, &before.Handle),
              ERROR_SUCCESS);
    ASSERT_EQ(MsiOpenDatabaseW((folder + L"\\" + name + L"-after.msi").c_str(), MSIDBOPEN_READONLY, &after.Handle),
              ERROR_SUCCESS);
    const std::wstring transform = folder + L"\\" + name + L".mst";
    ASSERT_EQ(MsiDatabaseApplyTransformW(before.Handle, transform.c_str(), 0), ERROR_SUCCESS);

    const std::vector<std::wstring> tables = TableNames(after.Handle);
    ASSERT_FALSE(tables.empty());
    EXPECT_EQ(TableNames(before.Handle), tables);
    for (const std::wstring& table : tables) {
        const std::vector<std::string> applied = ExportedTable(before.Handle, table, folder);
        const std::vector<std::string> expected = ExportedTable(after.Handle, table, folder);
        EXPECT_EQ(applied.size(), expected.size()) << std::string(table.begin(), table.end());
        const auto [left, right] = std::mismatch(applied.begin(), applied.end(), expected.begin(), expected.end());
        if (left != applied.end() || right != expected.end()) {
            // Rows can be long; the start of the first that differs says enough.
            ADD_FAILURE() << std::string(table.begin(), table.end()) << ": the transform gives ["
                          << (left != applied.end() ? left->substr(0, 120) : "") << "], the changed package has ["
                          << (right != expected.end() ? right->substr(0, 120) : "") << "]";
        }
    }

    // The transform's own summary information names the platform and language it is for.
    HANDLE_OF_MSI summary;
    ASSERT_EQ(MsiGetSummaryInformationW(0, transform.c_str(), 0, &summary.Handle), ERROR_SUCCESS);
    wchar_t text[64];
    DWORD size = 64;
    UINT type = 0;
    INT number = 0;
    FILETIME time{};
    ASSERT_EQ(MsiSummaryInfoGetPropertyW(summary.Handle, PID_TEMPLATE, &type, &number, &time, text, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(text, size), L"x64;1033");
}

TEST(InstallerTransformJudge, EachTransformTurnsItsPackageIntoTheChangedOne) {
    const char* folderText = std::getenv("QV_JUDGE_DIR");
    ASSERT_NE(folderText, nullptr) << "QV_JUDGE_DIR names the folder of cases";
    const std::wstring folder = Widen(folderText);
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*.mst").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    int cases = 0;
    do {
        const std::wstring file = found.cFileName;
        JudgeCase(folder, file.substr(0, file.size() - 4));
        ++cases;
    } while (FindNextFileW(search, &found) != FALSE);
    FindClose(search);
    EXPECT_GT(cases, 0);
}

}  // namespace
}  // namespace qv

#endif
