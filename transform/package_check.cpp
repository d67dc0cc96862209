#include "transform/package_check.h"

#include <map>
#include <set>

#include "base/error_codes.h"
#include "transform/codepage.h"
#include "transform/little_endian.h"
#include "transform/summary_check.h"
#include "transform/table_format.h"

namespace qv {

namespace {

constexpr uint32_t MAXIMUM_COLUMNS = 255;
// The installer makes a table's stream name (the mark, then the packed name) in room for 30
// characters; a longer one it can't make at all.
constexpr size_t MAXIMUM_TABLE_STREAM_NAME = 30;
// Integers are stored offset so that 0 is null: a 16-bit value v as v + 0x8000.
constexpr uint32_t SHORT_INTEGER_OFFSET = 0x8000;

std::string Number(uint64_t value) { return std::to_string(value); }

// The string pool and the tables that define the others: the installer's own.
bool IsDefiningTable(const std::string& table) {
    return table == STRING_POOL_TABLE || table == STRING_DATA_TABLE || table == TABLES_TABLE || table == COLUMNS_TABLE;
}

// The texts of the string pool by number. Number 0 is null; a number whose entry is unused, or
// whose text has no uses, names no text, and the installer finds nothing behind it.
struct POOL_TEXTS {
    uint32_t Codepage = 0;
    uint32_t ReferenceSize = 2;
    std::vector<std::string> Texts;  // UTF-8
    std::vector<bool> Named;

    bool Has(uint32_t number) const { return number < Named.size() && Named[number]; }
};

bool ReadStringPool(const std::string& pool, const std::string& data, POOL_TEXTS& texts, std::string& problem) {
    if (pool.size() < 4 || pool.size() % 4 != 0) {
        problem = "The string pool is damaged: it doesn't hold whole entries";
        return false;
    }
    texts.Codepage = PoolCodepage(pool);
    texts.ReferenceSize = pool.size() > 4 && (ReadLittleEndian(pool, 0, 4) & LONG_STRING_REFERENCES) != 0 ? 3 : 2;
    if (!IsInstallerCodepage(texts.Codepage)) {
        problem = "The package's code page " + Number(texts.Codepage) + " is not one the installer reads";
        return false;
    }
    const size_t entries = pool.size() / 4;
    texts.Texts.assign(entries, {});
    texts.Named.assign(entries, false);
    CODEPAGE_TEXT converter(texts.Codepage);
    size_t offset = 0;
    uint32_t number = 1;
    for (size_t entry = 1; entry < entries; ++number) {
        uint32_t length = ReadLittleEndian(pool, entry * 4, 2);
        uint32_t uses = ReadLittleEndian(pool, entry * 4 + 2, 2);
        ++entry;
        if (length == 0 && uses == 0) continue;
        if (length == 0) {
            // A text longer than 16 bits: this entry holds the high half of its length, the
            // next one the low half and the uses.
            if (entry == entries) {
                problem = "The string pool is damaged: its last text is cut short";
                return false;
            }
            length = (uses << 16) | ReadLittleEndian(pool, entry * 4, 2);
            uses = ReadLittleEndian(pool, entry * 4 + 2, 2);
            ++entry;
        }
        if (length > data.size() - offset) {
            problem = "The string pool is damaged: its texts run past the string data";
            return false;
        }
        // The installer converts every text, used or not; one it can't convert it can't keep.
        const std::string bytes = data.substr(offset, length);
        offset += length;
        if (bytes.find('\0') != std::string::npos || !converter.Decode(bytes, texts.Texts[number])) {
            problem = "Text " + Number(number) + " of the string pool is not text in code page " + Number(texts.Codepage);
            return false;
        }
        texts.Named[number] = uses != 0;
    }
    if (offset != data.size()) {
        problem = "The string pool is damaged: its texts don't fill the string data";
        return false;
    }
    return true;
}

// One table's stream, which holds the table column by column: first every row's cell of the
// first column, then of the second, and so on.
class TABLE_CELLS {
public:
    TABLE_CELLS(const std::string* bytes, const std::vector<uint32_t>& widths) : Bytes(bytes), Widths(widths) {
        for (uint32_t width : Widths) RowSize += width;
        if (Bytes != nullptr && RowSize != 0) RowCount = Bytes->size() / RowSize;
    }

    bool HasWholeRows() const { return Bytes == nullptr || (RowSize != 0 && Bytes->size() % RowSize == 0); }
    size_t Rows() const { return RowCount; }
    uint32_t Cell(size_t row, size_t column) const {
        size_t start = 0;
        for (size_t i = 0; i < column; ++i) start += RowCount * Widths[i];
        return ReadLittleEndian(*Bytes, start + row * Widths[column], Widths[column]);
    }

private:
    const std::string* Bytes;
    std::vector<uint32_t> Widths;
    size_t RowSize = 0;
    size_t RowCount = 0;
};

class PACKAGE_CHECK {
public:
    PACKAGE_CHECK(const std::vector<COMPOUND_STREAM>& streams, std::string& problem) : Problem(problem) {
        for (const COMPOUND_STREAM& stream : streams) Streams.emplace(stream.Name, &stream.Bytes);
    }

    bool Run(uint32_t& codepage) {
        const std::string* pool = Stream(STRING_POOL_TABLE);
        const std::string* data = Stream(STRING_DATA_TABLE);
        if (pool == nullptr || data == nullptr) return Fail("The package has no string pool");
        if (!ReadStringPool(*pool, *data, Texts, Problem)) return false;
        codepage = Texts.Codepage;
        if (!ReadTableList() || !ReadColumns()) return false;
        // The installer takes every table stream for a table, listed or not.
        for (const auto& [name, bytes] : Streams) {
            const std::string table = TableOfStream(name);
            if (name != table && !IsDefiningTable(table)) Tables.insert(table);
        }
        for (const std::string& table : Tables) {
            if (!CheckRows(table)) return false;
        }
        const auto summary = Streams.find(SUMMARY_INFORMATION_STREAM);
        return summary == Streams.end() || CheckSummaryInformation(*summary->second, Problem);
    }

private:
    const std::string* Stream(const std::string& table) const {
        const auto found = Streams.find(TableStreamName(table));
        return found == Streams.end() ? nullptr : found->second;
    }

    bool Fail(const std::string& problem) {
        Problem = problem;
        return false;
    }

    uint32_t Width(const COLUMN& column) const {
        if (column.IsBinary()) return 2;
        return column.IsText() ? Texts.ReferenceSize : column.IntegerSize();
    }

    std::vector<uint32_t> Widths(const std::vector<COLUMN>& columns) const {
        std::vector<uint32_t> widths;
        for (const COLUMN& column : columns) widths.push_back(Width(column));
        return widths;
    }

    // A defining table's cells, or the reason they can't be read.
    bool DefiningTable(const char* name, TABLE_CELLS& cells) {
        cells = TABLE_CELLS(Stream(name), Widths(name == std::string(TABLES_TABLE) ? TablesTableColumns()
                                                                                    : ColumnsTableColumns()));
        return cells.HasWholeRows() || Fail(std::string("The table ") + name + " is damaged: it doesn't hold whole rows");
    }

    bool Text(const TABLE_CELLS& cells, size_t row, size_t column, const char* table, std::string& text) {
        const uint32_t number = cells.Cell(row, column);
        if (!Texts.Has(number)) {
            return Fail(std::string("The table ") + table + " is damaged: row " + Number(row + 1) + " refers to text " +
                        Number(number) + ", which the string pool doesn't have");
        }
        text = Texts.Texts[number];
        return true;
    }

    bool ReadTableList() {
        TABLE_CELLS cells(nullptr, {});
        if (!DefiningTable(TABLES_TABLE, cells)) return false;
        for (size_t row = 0; row < cells.Rows(); ++row) {
            std::string name;
            if (!Text(cells, row, 0, TABLES_TABLE, name)) return false;
            // The defining tables are the installer's own, whatever the list says of them.
            if (IsDefiningTable(name)) continue;
            if (!Tables.insert(name).second) return Fail("The table " + name + " is listed twice");
        }
        return true;
    }

    bool ReadColumns() {
        TABLE_CELLS cells(nullptr, {});
        if (!DefiningTable(COLUMNS_TABLE, cells)) return false;
        for (size_t row = 0; row < cells.Rows(); ++row) {
            std::string table;
            COLUMN column;
            if (!Text(cells, row, 0, COLUMNS_TABLE, table) || !Text(cells, row, 2, COLUMNS_TABLE, column.Name)) {
                return false;
            }
            const uint32_t number = cells.Cell(row, 1);
            const uint32_t type = cells.Cell(row, 3);
            if (number <= SHORT_INTEGER_OFFSET || number - SHORT_INTEGER_OFFSET > MAXIMUM_COLUMNS ||
                type < SHORT_INTEGER_OFFSET) {
                return Fail("The column definitions are damaged: row " + Number(row + 1) + " of table " +
                            COLUMNS_TABLE + " is not a column of a table");
            }
            column.Type = type - SHORT_INTEGER_OFFSET;
            std::vector<COLUMN>& columns = Columns[table];
            const size_t index = number - SHORT_INTEGER_OFFSET - 1;
            if (columns.size() <= index) columns.resize(index + 1);
            if (!columns[index].Name.empty()) {
                return Fail("The table " + table + " defines its column " + Number(index + 1) + " twice");
            }
            columns[index] = column;
        }
        return true;
    }

    bool CheckRows(const std::string& table) {
        const auto defined = Columns.find(table);
        if (defined == Columns.end()) return Fail("The table " + table + " has no columns");
        const std::vector<COLUMN>& columns = defined->second;
        for (size_t i = 0; i < columns.size(); ++i) {
            if (columns[i].Name.empty()) return Fail("The table " + table + " has no column " + Number(i + 1));
        }
        const std::string streamName = TableStreamName(table);
        if (STRING(streamName.c_str()).Length() > MAXIMUM_TABLE_STREAM_NAME) {
            return Fail("The table " + table + " has a name too long for the installer");
        }
        const TABLE_CELLS cells(Stream(table), Widths(columns));
        if (!cells.HasWholeRows()) return Fail("The table " + table + " is damaged: it doesn't hold whole rows");
        for (size_t column = 0; column < columns.size(); ++column) {
            if (!columns[column].IsText()) continue;
            for (size_t row = 0; row < cells.Rows(); ++row) {
                std::string text;
                if (cells.Cell(row, column) != 0 && !Text(cells, row, column, table.c_str(), text)) return false;
            }
        }
        return true;
    }

    std::string& Problem;
    std::map<std::string, const std::string*> Streams;
    POOL_TEXTS Texts;
    std::set<std::string> Tables;
    std::map<std::string, std::vector<COLUMN>> Columns;
};

}  // namespace

bool CheckPackageStreams(const std::vector<COMPOUND_STREAM>& streams, uint32_t& codepage, std::string& problem) {
    problem.clear();
    return PACKAGE_CHECK(streams, problem).Run(codepage);
}

uint32_t CheckPackage(const STRING& path, uint32_t& codepage, std::string& problem) {
    std::vector<COMPOUND_STREAM> streams;
    const uint32_t code = ReadPackageStreams(path, streams, problem);
    if (code != ERR_SUCCESS) return code;
    return CheckPackageStreams(streams, codepage, problem) ? ERR_SUCCESS : ERR_INVALID_DATA;
}

}  // namespace qv
