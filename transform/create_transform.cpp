#include "transform/create_transform.h"

#include "base/error_codes.h"
#include "platform/error_text.h"
#include "platform/system_text.h"
#include "transform/codepage.h"
#include "transform/console_output.h"
#include "transform/derived_names.h"
#include "transform/exit_codes.h"
#include "transform/installer_database.h"
#include "transform/package_check.h"
#include "transform/package_file.h"

namespace qv {

namespace {

STRING CodepageDescription(uint32_t codepage) {
    return codepage == NEUTRAL_CODEPAGE ? STRING(u"neutral: ASCII only") : Format(u"%lu", codepage);
}

constexpr const char16_t* PRODUCT_NAME_QUERY = u"SELECT `Value` FROM `Property` WHERE Property = 'ProductName'";
// The server is a parameter, not statement text: an apostrophe or crafted text in it can
// neither break the statement nor change it.
constexpr const char16_t* INSERT_PROPERTY = u"INSERT INTO `Property` (`Property`, `Value`) VALUES (?, ?)";

uint32_t ReadProductName(INSTALLER_DATABASE& database, STRING& name) {
    INSTALLER_VIEW view;
    uint32_t code = view.Open(database, PRODUCT_NAME_QUERY);
    if (code == ERR_SUCCESS) code = view.Execute();
    if (code == ERR_SUCCESS) code = view.FetchText(1, name);
    return code;
}

// Adds the property to the copy: 0, or the exit code after the failure has been reported.
int InsertServerProperty(INSTALLER_DATABASE& copy, const STRING& server) {
    INSTALLER_VIEW view;
    uint32_t code = view.Open(copy, INSERT_PROPERTY);
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"opening view to modify backup MSI");
        return SETUPSMITH_QUERY_FAILED;
    }
    code = view.Execute({SERVER_PROPERTY, server.Text()});
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"executing view on backup MSI");
        return SETUPSMITH_UPDATE_FAILED;
    }
    return 0;
}

}  // namespace

void ReportInstallerError(uint32_t code, const char16_t* what) { ReportFailure(code, what, TakeInstallerErrorText()); }

void ReportFailure(uint32_t code, const char16_t* what, const STRING& detail) {
    const STRING systemText = GetErrorText(code);
    if (detail.IsEmpty()) {
        Print(u"Error occured while %s.\n%s. Error code = %lu.", what, systemText, code);
    } else {
        Print(u"Error occured while %s.\n%s. Error code = %lu.\n%s\n", what, systemText, code, detail);
    }
}

int CreateTransform(const STRING& input, const STRING& server) {
    Print(u"Creating MSI transform file from input file\n    \"%s\"\n\n", input);

    // The installer is given only a package whose tables it can read.
    uint32_t codepage = NEUTRAL_CODEPAGE;
    std::string problem;
    uint32_t code = CheckPackage(input, codepage, problem);
    if (code != ERR_SUCCESS) {
        ReportFailure(code, u"opening input MSI file", STRING(problem.c_str()));
        return SETUPSMITH_OPEN_INPUT_FAILED;
    }
    INSTALLER_DATABASE package;
    code = package.Open(input, DATABASE_ACCESS::READ_ONLY);
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"opening input MSI file");
        return SETUPSMITH_OPEN_INPUT_FAILED;
    }

    // A text the package can't hold would be stored as something else, or as nothing.
    if (!CodepageHolds(codepage, server)) {
        Print(u"The code page of \"%s\" (%s) can't hold the server \"%s\".\n", input, CodepageDescription(codepage),
              server);
        return SETUPSMITH_UPDATE_FAILED;
    }

    const STRING copyPath = ModifiedCopyPath(input);
    code = CopyPackageFile(input, copyPath);
    if (code != ERR_SUCCESS) {
        Print(u"Unable to copy \"%s\" to\n    \"%s\".\n%s. Error code = %lu.", input, copyPath, GetErrorText(code),
              code);
        return SETUPSMITH_COPY_FAILED;
    }
    MakeFileWritable(copyPath);

    INSTALLER_DATABASE copy;
    code = copy.Open(copyPath, DATABASE_ACCESS::TRANSACTED);
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"opening backup file");
        return SETUPSMITH_OPEN_COPY_FAILED;
    }

    STRING productName;
    code = ReadProductName(copy, productName);
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"determing package type");
        return SETUPSMITH_QUERY_FAILED;
    }
    if (!EqualsIgnoringCase(productName, PRODUCT_NAME)) {
        Print(u"\"%s\" is not an installer package of %s.\n", input, PRODUCT_NAME);
        return SETUPSMITH_UPDATE_FAILED;
    }

    if (const int exitCode = InsertServerProperty(copy, server); exitCode != 0) return exitCode;
    code = copy.Commit();
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"committing backup MSI database");
        return SETUPSMITH_UPDATE_FAILED;
    }

    const STRING transformPath = TransformPath(input);
    code = GenerateTransform(copy, package, transformPath);
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"generating transform file");
        return SETUPSMITH_UPDATE_FAILED;
    }
    code = CreateTransformSummaryInfo(copy, package, transformPath);
    if (code != ERR_SUCCESS) {
        ReportInstallerError(code, u"generating transform summary information");
        return SETUPSMITH_UPDATE_FAILED;
    }

    Print(u"Finished creating transform file\n    \"%s\"\n    Property name \"%s\" set to \"%s\"\n", transformPath,
          SERVER_PROPERTY, server);
    return SETUPSMITH_TRANSFORM_WRITTEN;
}

}  // namespace qv
