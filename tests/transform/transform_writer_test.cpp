// Setupsmith on Linux, in process: the copy it updates, what it refuses, and the parts of the
// transform writer that an installer engine can't show directly. Whether an installer applies
// the transforms as intended is judged by Wine's msi.dll in tests/e2e/transform_judge.sh.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <libmsi.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>

#include "base/error_codes.h"
#include "tests/platform/temp_data_root.h"
#include "transform/create_transform.h"
#include "transform/posix/compound_file.h"
#include "transform/posix/database_content.h"
#include "transform/posix/glib_objects.h"
#include "transform/posix/libmsi_query.h"
#include "transform/posix/table_difference.h"
#include "transform/posix/transform_encoding.h"

namespace qv {
namespace {

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

void CopyFile(const std::string& from, const std::string& to) {
    std::ifstream source(from, std::ios::binary);
    std::ofstream target(to, std::ios::binary);
    target << source.rdbuf();
}

// Runs one statement on a package and commits it.
void Change(const std::string& path, const char* statement) {
    G_OBJECT<LibmsiDatabase> database(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_TRANSACT, path.c_str(), nullptr));
    ASSERT_TRUE(database);
    G_OBJECT<LibmsiQuery> query(libmsi_query_new(database.get(), statement, nullptr));
    ASSERT_TRUE(query);
    ASSERT_TRUE(libmsi_query_execute(query.get(), nullptr, nullptr));
    ASSERT_TRUE(libmsi_database_commit(database.get(), nullptr));
}

DATABASE_CONTENT ContentOf(const std::string& path) {
    DATABASE_CONTENT content;
    G_OBJECT<LibmsiDatabase> database(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr));
    EXPECT_TRUE(database);
    if (database) {
        EXPECT_EQ(ReadDatabaseContent(database.get(), content), ERR_SUCCESS);
    }
    return content;
}

bool SameContent(const DATABASE_CONTENT& left, const DATABASE_CONTENT& right) {
    std::vector<TABLE_CHANGES> changes;
    std::string problem;
    return DifferenceBetween(left, right, changes, problem) && changes.empty();
}

class SetupsmithTransformTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Folder.IsValid());
        CopyFile(QV_TEST_PACKAGE, Package);
        ASSERT_TRUE(Exists(Package));
    }

    test::TEMP_DATA_ROOT Folder{"setupsmith"};
    const std::string Package = Folder.Path() + "/Quorvane_Setupx64.msi";
    const std::string Copy = Folder.Path() + "/Quorvane_Setupx64_Modified.msi";
    const std::string Transform = Folder.Path() + "/Quorvane_Setupx64.mst";
};

TEST_F(SetupsmithTransformTest, AddsTheServerExactlyAsGivenAndNothingElse) {
    const std::string server = "dc1's \"dc\"; DROP TABLE `Property` -- ' OR '1'='1";
    ASSERT_EQ(CreateTransform(STRING(Package.c_str()), STRING(server.c_str())), 0);

    std::vector<TABLE_CHANGES> changes;
    std::string problem;
    ASSERT_TRUE(DifferenceBetween(ContentOf(Copy), ContentOf(Package), changes, problem)) << problem;
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].Name, "Property");
    ASSERT_EQ(changes[0].Rows.size(), 1u);
    EXPECT_EQ(changes[0].Rows[0].Kind, ROW_CHANGE_KIND::INSERT);
    EXPECT_EQ(changes[0].Rows[0].Fields[0].Text, "SERVER");
    EXPECT_EQ(changes[0].Rows[0].Fields[1].Text, server);

    CLASS_ID classId{};
    std::vector<COMPOUND_STREAM> streams;
    ASSERT_EQ(ReadCompoundFile(Transform, classId, streams), ERR_SUCCESS);
    EXPECT_EQ(classId, TRANSFORM_CLASS_ID);
    std::vector<std::string> names;
    for (const COMPOUND_STREAM& stream : streams) names.push_back(stream.Name);
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = {TableStreamName("_StringPool"), TableStreamName("_StringData"),
                                         TableStreamName("Property"), "\005SummaryInformation"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
}

TEST_F(SetupsmithTransformTest, AnotherProductsPackageLeavesTheCopyUnchanged) {
    Change(Package, "UPDATE `Property` SET `Value` = 'Another Product' WHERE `Property` = 'ProductName'");
    EXPECT_EQ(CreateTransform(STRING(Package.c_str()), STRING(u"10.1.1.2")), 7);
    ASSERT_TRUE(Exists(Copy));
    EXPECT_TRUE(SameContent(ContentOf(Copy), ContentOf(Package)));
    EXPECT_FALSE(Exists(Transform));
}

TEST_F(SetupsmithTransformTest, APackageThatHasTheServerAlreadyFailsTheInsert) {
    Change(Package, "INSERT INTO `Property` (`Property`, `Value`) VALUES ('SERVER', 'old.example')");
    EXPECT_EQ(CreateTransform(STRING(Package.c_str()), STRING(u"10.1.1.2")), 7);
    EXPECT_FALSE(Exists(Transform));
    // A product name compared ignoring case is still this product's.
    Change(Package, "UPDATE `Property` SET `Value` = 'TARNWELL systems quorvane' WHERE `Property` = 'ProductName'");
    Change(Package, "DELETE FROM `Property` WHERE `Property` = 'SERVER'");
    EXPECT_EQ(CreateTransform(STRING(Package.c_str()), STRING(u"10.1.1.2")), 0);
}

TEST_F(SetupsmithTransformTest, FailuresBeforeTheCopyKeepToTheirExitCodes) {
    EXPECT_EQ(CreateTransform(STRING((Folder.Path() + "/missing.msi").c_str()), STRING(u"host")), 3);
    // The copy's name points into a folder that isn't there.
    const std::string folder = Folder.Path() + "/pkg.old";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    CopyFile(Package, folder + "/setup");
    EXPECT_EQ(CreateTransform(STRING((folder + "/setup").c_str()), STRING(u"host")), 4);
}

// The package with one table's stream changed in place, as damage or an attacker would.
void ChangeTableStream(const std::string& path, const char* table, const std::function<void(std::string&)>& change) {
    CLASS_ID classId{};
    std::vector<COMPOUND_STREAM> streams;
    ASSERT_EQ(ReadCompoundFile(path, classId, streams), ERR_SUCCESS);
    const std::string name = TableStreamName(table);
    const auto stream = std::find_if(streams.begin(), streams.end(), [&](const COMPOUND_STREAM& s) { return s.Name == name; });
    ASSERT_NE(stream, streams.end()) << table;
    change(stream->Bytes);
    ASSERT_EQ(WriteCompoundFile(path, classId, streams), ERR_SUCCESS);
}

// Where the column definition (table, number) is among the rows of _Columns.
size_t ColumnDefinitionRow(const std::string& path, const char* table, int number) {
    G_OBJECT<LibmsiDatabase> database(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr));
    size_t row = 0;
    size_t found = 0;
    ForEachRow(database.get(), "SELECT `Table`, `Number` FROM `_Columns`", nullptr, [&](LibmsiRecord* record) {
        if (FieldText(record, 1) == table && libmsi_record_get_int(record, 2) == number) found = row;
        ++row;
        return ERR_SUCCESS;
    });
    return found;
}

// The _Columns stream holds its rows column by column: the Table references, then the numbers.
void SetColumnsCell(std::string& rows, size_t column, size_t row, uint32_t value) {
    const size_t offset = (column * rows.size() / 4) + 2 * row;
    rows[offset] = static_cast<char>(value & 0xFF);
    rows[offset + 1] = static_cast<char>(value >> 8);
}

// Damage that crashed libmsi (at the product-name query, at the commit, at the open): a text
// that isn't there, a column that isn't there, a stream that can't be opened. Each is refused
// before libmsi sees it, with the reason, and nothing is left behind.
TEST_F(SetupsmithTransformTest, DamagedPackagesAreRefusedBeforeTheInstallerReadsThem) {
    const std::string original = Folder.Path() + "/original.msi";
    CopyFile(Package, original);
    const size_t propertyColumn = ColumnDefinitionRow(original, "Property", 1);
    const struct {
        std::function<void()> Damage;
        const char* Reason;
    } damages[] = {
        {[&] {
             ChangeTableStream(Package, "_Columns", [&](std::string& rows) { SetColumnsCell(rows, 0, propertyColumn, 0xFFF0); });
         },
         "which the string pool doesn't have"},
        {[&] { ChangeTableStream(Package, "_Columns", [](std::string& rows) { SetColumnsCell(rows, 1, 0, 0x8000 + 200); }); },
         "has no column 1"},
        {[&] {
             // The summary information's directory entry: its first sector, far past the end.
             std::fstream file(Package, std::ios::in | std::ios::out | std::ios::binary);
             const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
             const std::string name("\x05\0S\0u\0m\0m\0a\0r\0y\0I\0", 18);
             const size_t entry = bytes.find(name);
             ASSERT_NE(entry, std::string::npos);
             file.seekp(static_cast<std::streamoff>(entry + 116));
             file.write("\xF0\xFF\xFF\x7F", 4);
         },
         "can't be opened"},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.Reason);
        CopyFile(original, Package);
        damage.Damage();
        testing::internal::CaptureStdout();
        EXPECT_EQ(CreateTransform(STRING(Package.c_str()), STRING(u"10.1.1.2")), 3);
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_NE(output.find("Error occured while opening input MSI file.\nThe data is invalid. Error code = 13.\n"),
                  std::string::npos) << output;
        EXPECT_NE(output.find(damage.Reason), std::string::npos) << output;
        EXPECT_FALSE(Exists(Copy));
        EXPECT_FALSE(Exists(Transform));
    }
}

TEST(TransformWriterTest, TableStreamNamesAreTheInstallersOwn) {
    CLASS_ID classId{};
    std::vector<COMPOUND_STREAM> streams;
    ASSERT_EQ(ReadCompoundFile(QV_TEST_PACKAGE, classId, streams), ERR_SUCCESS);
    for (const char* table : {"_StringPool", "_Columns", "Property", "InstallExecuteSequence", "ServiceControl"}) {
        const std::string name = TableStreamName(table);
        EXPECT_TRUE(std::any_of(streams.begin(), streams.end(), [&](const COMPOUND_STREAM& s) { return s.Name == name; }))
            << table;
    }
}

TEST(TransformWriterTest, DifferencesThatRowsCantCarryAreRefused) {
    const COLUMN key{"Name", COLUMN_VALID | COLUMN_STRING | COLUMN_KEY | 72};
    const COLUMN data{"Data", COLUMN_VALID | COLUMN_STRING | COLUMN_NULLABLE};
    const FIELD name{false, 0, "row"};
    DATABASE_CONTENT reference;
    reference["Binary"] = TABLE{"Binary", {key, data}, {{name, FIELD{false, 0, "old bytes"}}}};

    std::vector<TABLE_CHANGES> changes;
    std::string problem;
    DATABASE_CONTENT database = reference;
    database["Binary"].Rows[0][1].Text = "new bytes";
    EXPECT_FALSE(DifferenceBetween(database, reference, changes, problem));
    EXPECT_NE(problem.find("stream data"), std::string::npos);

    database = reference;
    database["Binary"].Rows.push_back({FIELD{false, 0, "another"}, FIELD{}});
    EXPECT_FALSE(DifferenceBetween(database, reference, changes, problem));

    database = reference;
    database["Binary"].Columns[1].Type |= COLUMN_KEY;
    EXPECT_FALSE(DifferenceBetween(database, reference, changes, problem));
    EXPECT_NE(problem.find("columns"), std::string::npos);

    database.clear();
    EXPECT_FALSE(DifferenceBetween(database, reference, changes, problem));
    EXPECT_NE(problem.find("removed"), std::string::npos);
}

uint32_t Word(const std::string& bytes, size_t offset) {
    return static_cast<uint8_t>(bytes[offset]) | static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 1])) << 8;
}

TEST(TransformWriterTest, StringPoolCarriesLongTextsAndWideReferences) {
    STRING_POOL pool;
    pool.Add("short");
    pool.Add(std::string(70000, 'x'));
    pool.Add("short");
    std::string entries;
    std::string data;
    std::string problem;
    ASSERT_TRUE(pool.Encode(1252, entries, data, problem)) << problem;
    ASSERT_EQ(entries.size(), 4u + 4u + 8u);
    EXPECT_EQ(Word(entries, 0), 1252u);
    EXPECT_EQ(Word(entries, 4), 5u);  // "short", used twice
    EXPECT_EQ(Word(entries, 6), 2u);
    // A text longer than 16 bits: a null entry holding the high half of the length first.
    EXPECT_EQ(Word(entries, 8), 0u);
    EXPECT_EQ(Word(entries, 10), 70000u >> 16);
    EXPECT_EQ(Word(entries, 12), 70000u & 0xFFFF);
    EXPECT_EQ(Word(entries, 14), 1u);
    EXPECT_EQ(data.size(), 70005u);
    EXPECT_EQ(pool.ReferenceSize(), 2u);

    for (int i = 0; i < 0x10000; ++i) pool.Add(std::to_string(i));
    ASSERT_TRUE(pool.Encode(1252, entries, data, problem));
    EXPECT_EQ(pool.ReferenceSize(), 3u);
    EXPECT_EQ(Word(entries, 2), 0x8000u);  // the pool says its references are 3 bytes wide

    // A text the package's code page can't hold is refused, not written as something else.
    STRING_POOL foreign;
    foreign.Add("\u65e5\u672c");
    EXPECT_FALSE(foreign.Encode(1252, entries, data, problem));
    EXPECT_NE(problem.find("1252"), std::string::npos);
}

// A change at column 15 is named by the mask; one at column 16 lies beyond the mask's 16 bits
// and only the whole row can carry it (a mask of 0 would delete the row). Once the pool holds
// more texts than 16 bits number, every reference to a text takes 3 bytes.
TEST(TransformWriterTest, RecordsOfWideTablesAndLargePoolsKeepTheirShape) {
    std::vector<COLUMN> columns = {{"Key", COLUMN_VALID | COLUMN_STRING | COLUMN_KEY | 72}};
    for (int i = 1; i <= 17; ++i) columns.push_back({"C" + std::to_string(i), COLUMN_VALID | COLUMN_NULLABLE | 2});
    ROW row(columns.size(), FIELD{false, 1, {}});
    row[0] = FIELD{false, 0, "key"};
    std::vector<bool> atFifteen(columns.size(), false);
    std::vector<bool> atSixteen(columns.size(), false);
    atFifteen[15] = true;
    atSixteen[16] = true;
    const TABLE_CHANGES table{"Wide", columns,
                              {{ROW_CHANGE_KIND::MODIFY, row, atFifteen}, {ROW_CHANGE_KIND::MODIFY, row, atSixteen}}};

    STRING_POOL pool;
    AddTexts(table, pool);
    std::string stream;
    std::string problem;
    ASSERT_TRUE(EncodeTableChanges(table, pool, stream, problem)) << problem;
    ASSERT_EQ(stream.size(), (2u + 2u + 2u) + (2u + 2u + 17u * 2u));
    EXPECT_EQ(Word(stream, 0), 1u << 15);
    EXPECT_EQ(Word(stream, 6), (18u << 8) | 1u);

    for (int i = 0; i < 0x10000; ++i) pool.Add(std::to_string(i));
    ASSERT_TRUE(EncodeTableChanges(table, pool, stream, problem)) << problem;
    EXPECT_EQ(stream.size(), (2u + 3u + 2u) + (2u + 3u + 17u * 2u));

    // A first column that isn't a key has the whole-row bit for its own: it changes whole rows.
    const TABLE_CHANGES keyLast{"KeyLast", {columns[1], columns[0]}, {{ROW_CHANGE_KIND::MODIFY, {row[1], row[0]}, {true, false}}}};
    ASSERT_TRUE(EncodeTableChanges(keyLast, pool, stream, problem)) << problem;
    EXPECT_EQ(Word(stream, 0), (2u << 8) | 1u);
}

}  // namespace
}  // namespace qv

#endif
