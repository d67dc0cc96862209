#include "transform/posix/transform_writer.h"

#include <libmsi.h>

#include <algorithm>

#include "transform/little_endian.h"
#include "transform/posix/compound_file.h"
#include "transform/posix/database_content.h"
#include "transform/posix/libmsi_query.h"
#include "transform/posix/summary_information.h"
#include "transform/posix/table_difference.h"
#include "transform/posix/transform_encoding.h"

namespace qv {

namespace {

uint32_t ReadCodepage(const std::string& packagePath, uint32_t& codepage) {
    std::string start;
    const uint32_t code = ReadCompoundStreamStart(packagePath, TableStreamName(STRING_POOL_TABLE), 8, start);
    if (code != ERR_SUCCESS) return code;
    codepage = PoolCodepage(start);
    return ERR_SUCCESS;
}

uint32_t ReadProperty(LibmsiDatabase* database, const char* name, std::string& value) {
    value.clear();
    G_OBJECT<LibmsiRecord> parameters(libmsi_record_new(1));
    libmsi_record_set_string(parameters.get(), 1, name);
    return ForEachRow(database, "SELECT `Value` FROM `Property` WHERE `Property` = ?", parameters.get(),
                      [&](LibmsiRecord* row) {
                          value = FieldText(row, 1);
                          return ERR_SUCCESS;
                      });
}

// What the summary information says of one package.
struct PACKAGE_FACTS {
    std::string Template;  // platform;language
    int32_t PageCount = 0;  // the installer version it needs
    int32_t Codepage = 0;
    std::string ProductCode;
    std::string ProductVersion;
    std::string UpgradeCode;
};

// libmsi gives a property's value only when it has the type asked for; otherwise what it
// returns is undefined, so the type is asked first.
std::string SummaryText(LibmsiSummaryInfo* summary, LibmsiProperty property) {
    G_ERROR error;
    if (libmsi_summary_info_get_property_type(summary, property, error.Receive()) != LIBMSI_PROPERTY_TYPE_STRING) return {};
    const gchar* text = libmsi_summary_info_get_string(summary, property, error.Receive());
    return text != nullptr && !error ? text : "";
}

// A number absent or of another type counts as 0.
int32_t SummaryNumber(LibmsiSummaryInfo* summary, LibmsiProperty property) {
    G_ERROR error;
    if (libmsi_summary_info_get_property_type(summary, property, error.Receive()) != LIBMSI_PROPERTY_TYPE_INT) return 0;
    const gint number = libmsi_summary_info_get_int(summary, property, error.Receive());
    return error ? 0 : std::max(0, number);
}

uint32_t ReadPackageFacts(LibmsiDatabase* database, PACKAGE_FACTS& facts) {
    G_ERROR error;
    G_OBJECT<LibmsiSummaryInfo> summary(libmsi_summary_info_new(database, 0, error.Receive()));
    if (!summary) return InstallerCodeFromError(error.Get());
    facts.Template = SummaryText(summary.get(), LIBMSI_PROPERTY_TEMPLATE);
    facts.PageCount = SummaryNumber(summary.get(), LIBMSI_PROPERTY_VERSION);
    facts.Codepage = SummaryNumber(summary.get(), LIBMSI_PROPERTY_CODEPAGE);

    uint32_t code = ReadProperty(database, "ProductCode", facts.ProductCode);
    if (code == ERR_SUCCESS) code = ReadProperty(database, "ProductVersion", facts.ProductVersion);
    if (code == ERR_SUCCESS) code = ReadProperty(database, "UpgradeCode", facts.UpgradeCode);
    return code;
}

SUMMARY_PROPERTY Text(uint32_t id, std::string text) { return {SUMMARY_PROPERTY::KIND::TEXT, id, 0, std::move(text)}; }

}  // namespace

uint32_t WriteTransform(LibmsiDatabase* database, LibmsiDatabase* reference, const std::string& referencePath,
                        const std::string& transformPath) {
    DATABASE_CONTENT after;
    DATABASE_CONTENT before;
    uint32_t code = ReadDatabaseContent(database, after);
    if (code == ERR_SUCCESS) code = ReadDatabaseContent(reference, before);
    if (code != ERR_SUCCESS) return code;

    std::vector<TABLE_CHANGES> changes;
    std::string problem;
    if (!DifferenceBetween(after, before, changes, problem)) {
        AddInstallerMessage(problem);
        return ERR_CALL_NOT_IMPLEMENTED;
    }

    uint32_t codepage = 0;
    code = ReadCodepage(referencePath, codepage);
    if (code != ERR_SUCCESS) return code;

    STRING_POOL pool;
    for (const TABLE_CHANGES& table : changes) AddTexts(table, pool);
    std::vector<COMPOUND_STREAM> streams(2);
    streams[0].Name = TableStreamName(STRING_POOL_TABLE);
    streams[1].Name = TableStreamName(STRING_DATA_TABLE);
    if (!pool.Encode(codepage, streams[0].Bytes, streams[1].Bytes, problem)) {
        AddInstallerMessage(problem);
        return ERR_DATATYPE_MISMATCH;
    }
    for (const TABLE_CHANGES& table : changes) {
        COMPOUND_STREAM stream{TableStreamName(table.Name), {}};
        if (!EncodeTableChanges(table, pool, stream.Bytes, problem)) {
            AddInstallerMessage(problem);
            return ERR_CALL_NOT_IMPLEMENTED;
        }
        streams.push_back(std::move(stream));
    }
    return WriteCompoundFile(transformPath, TRANSFORM_CLASS_ID, streams);
}

uint32_t WriteTransformSummary(LibmsiDatabase* database, LibmsiDatabase* reference, const std::string& transformPath) {
    PACKAGE_FACTS after;
    PACKAGE_FACTS before;
    uint32_t code = ReadPackageFacts(database, after);
    if (code == ERR_SUCCESS) code = ReadPackageFacts(reference, before);
    if (code != ERR_SUCCESS) return code;

    CLASS_ID classId{};
    std::vector<COMPOUND_STREAM> streams;
    code = ReadCompoundFile(transformPath, classId, streams);
    if (code != ERR_SUCCESS) return code;
    if (classId != TRANSFORM_CLASS_ID) {
        AddInstallerMessage(transformPath + " is not a transform");
        return ERR_INVALID_DATA;
    }

    std::vector<SUMMARY_PROPERTY> properties;
    if (before.Codepage != 0) {
        properties.push_back({SUMMARY_PROPERTY::KIND::SHORT, SUMMARY_CODEPAGE, before.Codepage, {}});
    }
    properties.push_back(Text(SUMMARY_TITLE, "Transform"));
    properties.push_back(Text(SUMMARY_TEMPLATE, before.Template));
    properties.push_back(Text(SUMMARY_LAST_AUTHOR, after.Template));
    properties.push_back(Text(SUMMARY_REVISION_NUMBER, before.ProductCode + before.ProductVersion + ";" +
                                                           after.ProductCode + after.ProductVersion + ";" +
                                                           after.UpgradeCode));
    const int32_t pageCount = std::max(before.PageCount, after.PageCount);
    properties.push_back({SUMMARY_PROPERTY::KIND::LONG, SUMMARY_PAGE_COUNT, pageCount, {}});
    // Validation flags in the low half, error conditions to suppress in the high half: none.
    properties.push_back({SUMMARY_PROPERTY::KIND::LONG, SUMMARY_CHARACTER_COUNT, 0, {}});

    std::erase_if(streams, [](const COMPOUND_STREAM& stream) { return stream.Name == SUMMARY_INFORMATION_STREAM; });
    streams.push_back({SUMMARY_INFORMATION_STREAM, EncodeSummaryInformation(properties)});
    return WriteCompoundFile(transformPath, TRANSFORM_CLASS_ID, streams);
}

}  // namespace qv
