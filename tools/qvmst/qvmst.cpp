// qvmst: writes the installer transform between any two packages, with the same writer that
// Setupsmith uses on Linux. For checking the writer against an installer engine, and for
// packaging work that needs more than the SERVER property.
//     qvmst DATABASE REFERENCE TRANSFORM
// writes TRANSFORM, which turns REFERENCE into DATABASE.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_codes.h"
#include "base/string.h"
#include "tools/failure_message.h"
#include "transform/installer_database.h"
#include "transform/package_check.h"

namespace {

constexpr const char* USAGE =
    "usage: qvmst DATABASE REFERENCE TRANSFORM\n"
    "Writes TRANSFORM, the installer transform that turns REFERENCE into DATABASE.\n";

// The failure, then its detail: the one given, or else the installer's.
int Fail(const std::string& what, uint32_t code, std::string detail = {}) {
    qv::WriteFailure("qvmst: ", what, code);
    if (detail.empty()) detail = qv::STRING_A(qv::TakeInstallerErrorText()).Text();
    if (!detail.empty()) std::fprintf(stderr, "%s\n", detail.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc != 4) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    const qv::STRING databasePath(argv[1]);
    const qv::STRING referencePath(argv[2]);
    const qv::STRING transformPath(argv[3]);
    // libmsi is given only packages whose tables it can read.
    for (const char* path : {argv[1], argv[2]}) {
        uint32_t codepage = 0;
        std::string problem;
        const uint32_t code = qv::CheckPackage(qv::STRING(path), codepage, problem);
        if (code != qv::ERR_SUCCESS) return Fail(std::string("Unable to open ") + path, code, problem);
    }
    qv::INSTALLER_DATABASE database;
    qv::INSTALLER_DATABASE reference;
    uint32_t code = database.Open(databasePath, qv::DATABASE_ACCESS::READ_ONLY);
    if (code != qv::ERR_SUCCESS) return Fail(std::string("Unable to open ") + argv[1], code);
    code = reference.Open(referencePath, qv::DATABASE_ACCESS::READ_ONLY);
    if (code != qv::ERR_SUCCESS) return Fail(std::string("Unable to open ") + argv[2], code);
    code = qv::GenerateTransform(database, reference, transformPath);
    if (code != qv::ERR_SUCCESS) return Fail(std::string("Unable to write ") + argv[3], code);
    code = qv::CreateTransformSummaryInfo(database, reference, transformPath);
    if (code != qv::ERR_SUCCESS) return Fail(std::string("Unable to write the summary information of ") + argv[3], code);
    return 0;
}
