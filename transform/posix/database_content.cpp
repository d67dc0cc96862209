#include "transform/posix/database_content.h"

#include <gio/gio.h>

#include "transform/posix/libmsi_query.h"

namespace qv {

namespace {

constexpr uint32_t MAXIMUM_COLUMNS = 255;

uint32_t ReadColumns(LibmsiDatabase* database, DATABASE_CONTENT& content) {
    return ForEachRow(database, "SELECT `Table`, `Number`, `Name`, `Type` FROM `_Columns`", nullptr,
                      [&](LibmsiRecord* row) {
                          const std::string table = FieldText(row, 1);
                          const int number = libmsi_record_get_int(row, 2);
                          if (number < 1 || number > static_cast<int>(MAXIMUM_COLUMNS)) {
                              AddInstallerMessage("Column " + std::to_string(number) + " of table " + table +
                                                  " is out of range");
                              return ERR_INVALID_DATA;
                          }
                          std::vector<COLUMN>& columns = content[table].Columns;
                          if (columns.size() < static_cast<size_t>(number)) columns.resize(static_cast<size_t>(number));
                          COLUMN& column = columns[static_cast<size_t>(number) - 1];
                          column.Name = FieldText(row, 3);
                          column.Type = static_cast<uint32_t>(libmsi_record_get_int(row, 4)) & 0xFFFF;
                          return ERR_SUCCESS;
                      });
}

uint32_t ReadStream(LibmsiRecord* record, unsigned field, std::string& bytes) {
    G_OBJECT<GInputStream> stream(libmsi_record_get_stream(record, field));
    if (!stream) return ERR_READ_FAULT;
    char buffer[65536];
    for (;;) {
        G_ERROR error;
        gsize read = 0;
        if (!g_input_stream_read_all(stream.get(), buffer, sizeof buffer, &read, nullptr, error.Receive())) {
            if (error) AddInstallerMessage(error.Get()->message);
            return ERR_READ_FAULT;
        }
        bytes.append(buffer, read);
        if (read < sizeof buffer) return ERR_SUCCESS;
    }
}

uint32_t ReadRows(LibmsiDatabase* database, TABLE& table) {
    const std::string statement = "SELECT * FROM `" + table.Name + "`";
    return ForEachRow(database, statement.c_str(), nullptr, [&](LibmsiRecord* record) {
        ROW row(table.Columns.size());
        for (unsigned i = 0; i < row.size(); ++i) {
            const unsigned field = i + 1;
            FIELD& value = row[i];
            if (libmsi_record_is_null(record, field)) continue;
            value.Null = false;
            const COLUMN& column = table.Columns[i];
            if (column.IsBinary()) {
                const uint32_t code = ReadStream(record, field, value.Text);
                if (code != ERR_SUCCESS) return code;
            } else if (column.IsText()) {
                value.Text = FieldText(record, field);
            } else {
                value.Integer = libmsi_record_get_int(record, field);
            }
        }
        table.Rows.push_back(std::move(row));
        return ERR_SUCCESS;
    });
}

}  // namespace

std::string FieldText(LibmsiRecord* record, unsigned field) {
    G_TEXT text(libmsi_record_get_string(record, field));
    return text ? std::string(text.get()) : std::string();
}

uint32_t ReadDatabaseContent(LibmsiDatabase* database, DATABASE_CONTENT& content) {
    content.clear();
    uint32_t code = ReadColumns(database, content);
    if (code != ERR_SUCCESS) return code;
    // Every table that has columns is listed in _Tables; one that is listed but has no
    // columns can't be read.
    code = ForEachRow(database, "SELECT `Name` FROM `_Tables`", nullptr, [&](LibmsiRecord* row) {
        const std::string name = FieldText(row, 1);
        if (content.find(name) == content.end()) {
            AddInstallerMessage("Table " + name + " has no columns");
            return ERR_INVALID_TABLE;
        }
        return ERR_SUCCESS;
    });
    if (code != ERR_SUCCESS) return code;
    for (auto& [name, table] : content) {
        table.Name = name;
        for (const COLUMN& column : table.Columns) {
            if (column.Name.empty()) {
                AddInstallerMessage("Table " + name + " has a gap in its column numbers");
                return ERR_INVALID_TABLE;
            }
        }
        code = ReadRows(database, table);
        if (code != ERR_SUCCESS) return code;
    }
    return ERR_SUCCESS;
}

}  // namespace qv
