#include "transform/posix/table_difference.h"

#include <map>

namespace qv {

namespace {

// A row's key fields as one comparable value.
std::string KeyOf(const std::vector<COLUMN>& columns, const ROW& row) {
    std::string key;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (!columns[i].IsKey()) continue;
        const FIELD& field = row[i];
        if (field.Null) {
            key += 'N';
        } else if (columns[i].IsText()) {
            key += 'S' + std::to_string(field.Text.size()) + ':' + field.Text;
        } else {
            key += 'I' + std::to_string(field.Integer) + ';';
        }
    }
    return key;
}

FIELD TextField(const std::string& text) { return FIELD{false, 0, text}; }
FIELD IntegerField(int32_t value) { return FIELD{false, value, {}}; }

// The rows of _Tables and _Columns that define a table the reference doesn't have.
void DefineTable(const TABLE& table, TABLE_CHANGES& tables, TABLE_CHANGES& columns) {
    tables.Rows.push_back({ROW_CHANGE_KIND::INSERT, {TextField(table.Name)}, {}});
    for (size_t i = 0; i < table.Columns.size(); ++i) {
        const COLUMN& column = table.Columns[i];
        columns.Rows.push_back({ROW_CHANGE_KIND::INSERT,
                                {TextField(table.Name), IntegerField(static_cast<int32_t>(i + 1)),
                                 TextField(column.Name), IntegerField(static_cast<int32_t>(column.Type))},
                                {}});
    }
}

bool CompareRows(const TABLE& table, const TABLE& reference, TABLE_CHANGES& changes, std::string& problem) {
    const std::vector<COLUMN>& columns = table.Columns;
    std::map<std::string, const ROW*> referenceRows;
    for (const ROW& row : reference.Rows) referenceRows.emplace(KeyOf(columns, row), &row);

    for (const ROW& row : table.Rows) {
        const auto found = referenceRows.find(KeyOf(columns, row));
        if (found == referenceRows.end()) {
            changes.Rows.push_back({ROW_CHANGE_KIND::INSERT, row, {}});
            continue;
        }
        const ROW& before = *found->second;
        referenceRows.erase(found);
        std::vector<bool> changed(columns.size(), false);
        bool any = false;
        for (size_t i = 0; i < columns.size(); ++i) {
            if (row[i] == before[i]) continue;
            if (columns[i].IsBinary()) {
                problem = "The stream data of column " + columns[i].Name + " of table " + table.Name + " changed";
                return false;
            }
            changed[i] = any = true;
        }
        if (any) changes.Rows.push_back({ROW_CHANGE_KIND::MODIFY, row, std::move(changed)});
    }
    // What is left of the reference is gone from the database.
    for (const ROW& row : reference.Rows) {
        if (referenceRows.count(KeyOf(columns, row)) != 0) changes.Rows.push_back({ROW_CHANGE_KIND::DELETE, row, {}});
    }
    return true;
}

}  // namespace

bool DifferenceBetween(const DATABASE_CONTENT& database, const DATABASE_CONTENT& reference,
                       std::vector<TABLE_CHANGES>& changes, std::string& problem) {
    changes.clear();
    for (const auto& [name, table] : reference) {
        if (database.find(name) == database.end()) {
            problem = "Table " + name + " was removed";
            return false;
        }
    }

    TABLE_CHANGES tables{TABLES_TABLE, TablesTableColumns(), {}};
    TABLE_CHANGES columns{COLUMNS_TABLE, ColumnsTableColumns(), {}};
    std::vector<TABLE_CHANGES> rows;
    for (const auto& [name, table] : database) {
        TABLE_CHANGES tableChanges{name, table.Columns, {}};
        const auto before = reference.find(name);
        if (before == reference.end()) {
            DefineTable(table, tables, columns);
            for (const ROW& row : table.Rows) tableChanges.Rows.push_back({ROW_CHANGE_KIND::INSERT, row, {}});
        } else if (before->second.Columns != table.Columns) {
            problem = "The columns of table " + name + " changed";
            return false;
        } else if (!CompareRows(table, before->second, tableChanges, problem)) {
            return false;
        }
        if (tableChanges.Rows.empty()) continue;
        // A transform's row names its stream data by the row's key; rows with stream data
        // are not written here.
        for (const ROW_CHANGE& change : tableChanges.Rows) {
            if (change.Kind == ROW_CHANGE_KIND::INSERT && HasBinaryColumn(table.Columns)) {
                problem = "Table " + name + " gains a row with stream data";
                return false;
            }
        }
        rows.push_back(std::move(tableChanges));
    }

    if (!tables.Rows.empty()) changes.push_back(std::move(tables));
    if (!columns.Rows.empty()) changes.push_back(std::move(columns));
    for (TABLE_CHANGES& table : rows) changes.push_back(std::move(table));
    return true;
}

}  // namespace qv
