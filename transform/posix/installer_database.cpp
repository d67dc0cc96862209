// The installer database on POSIX: libmsi for opening, statements and commits; the transform
// writer of this folder for what libmsi can't do.
#include "transform/installer_database.h"

#include <libmsi.h>

#include "base/error_codes.h"
#include "transform/posix/glib_objects.h"
#include "transform/posix/installer_messages.h"
#include "transform/posix/transform_writer.h"

namespace qv {

struct DATABASE_STATE {
    G_OBJECT<LibmsiDatabase> Database;
    std::string Path;  // UTF-8
};

struct VIEW_STATE {
    G_OBJECT<LibmsiQuery> Query;
};

namespace {

// Every operation starts with a clean detail, so a failure reports only what it said itself.
void StartOperation() {
    CaptureLibraryMessages();
    ClearInstallerMessages();
}

}  // namespace

INSTALLER_DATABASE::INSTALLER_DATABASE() : Platform(std::make_unique<DATABASE_STATE>()) {}
INSTALLER_DATABASE::~INSTALLER_DATABASE() = default;

uint32_t INSTALLER_DATABASE::Open(const STRING& path, DATABASE_ACCESS access) {
    StartOperation();
    Close();
    const std::string utf8(STRING_A(path).Text());
    G_ERROR error;
    const bool readOnly = access == DATABASE_ACCESS::READ_ONLY;
    // A transacted database collects its changes in a file beside it and takes that file's
    // place at commit; without a commit the file is left as it was.
    const guint flags = readOnly ? LIBMSI_DB_FLAGS_READONLY : LIBMSI_DB_FLAGS_TRANSACT;
    Platform->Database.reset(libmsi_database_new(utf8.c_str(), flags, nullptr, error.Receive()));
    if (!Platform->Database) return error ? InstallerCodeFromError(error.Get()) : ERR_OPEN_FAILED;
    Platform->Path = utf8;
    return ERR_SUCCESS;
}

uint32_t INSTALLER_DATABASE::Commit() {
    StartOperation();
    if (!Platform->Database) return ERR_INVALID_HANDLE;
    G_ERROR error;
    return libmsi_database_commit(Platform->Database.get(), error.Receive()) ? ERR_SUCCESS
                                                                             : InstallerCodeFromError(error.Get());
}

void INSTALLER_DATABASE::Close() {
    Platform->Database.reset();
    Platform->Path.clear();
}

INSTALLER_VIEW::INSTALLER_VIEW() : Platform(std::make_unique<VIEW_STATE>()) {}
INSTALLER_VIEW::~INSTALLER_VIEW() = default;

uint32_t INSTALLER_VIEW::Open(INSTALLER_DATABASE& database, const char16_t* statement) {
    StartOperation();
    Close();
    if (!database.State().Database) return ERR_INVALID_HANDLE;
    G_ERROR error;
    Platform->Query.reset(libmsi_query_new(database.State().Database.get(), STRING_A(statement).Text(), error.Receive()));
    return Platform->Query ? ERR_SUCCESS : InstallerCodeFromError(error.Get());
}

uint32_t INSTALLER_VIEW::Execute(std::initializer_list<const char16_t*> parameters) {
    StartOperation();
    if (!Platform->Query) return ERR_INVALID_HANDLE;
    G_OBJECT<LibmsiRecord> record;
    if (parameters.size() != 0) {
        record.reset(libmsi_record_new(static_cast<guint>(parameters.size())));
        guint field = 1;
        for (const char16_t* value : parameters) libmsi_record_set_string(record.get(), field++, STRING_A(value).Text());
    }
    G_ERROR error;
    return libmsi_query_execute(Platform->Query.get(), record.get(), error.Receive()) ? ERR_SUCCESS
                                                                                     : InstallerCodeFromError(error.Get());
}

uint32_t INSTALLER_VIEW::FetchText(uint32_t field, STRING& text) {
    StartOperation();
    text.Clear();
    if (!Platform->Query) return ERR_INVALID_HANDLE;
    G_ERROR error;
    G_OBJECT<LibmsiRecord> row(libmsi_query_fetch(Platform->Query.get(), error.Receive()));
    if (!row) return error ? InstallerCodeFromError(error.Get()) : ERR_NO_MORE_ITEMS;
    if (field == 0 || field > libmsi_record_get_field_count(row.get())) return ERR_INVALID_PARAMETER;
    G_TEXT value(libmsi_record_get_string(row.get(), field));
    if (value) text = STRING(value.get());
    return ERR_SUCCESS;
}

void INSTALLER_VIEW::Close() { Platform->Query.reset(); }

uint32_t GenerateTransform(INSTALLER_DATABASE& database, INSTALLER_DATABASE& reference, const STRING& transformPath) {
    StartOperation();
    if (!database.State().Database || !reference.State().Database) return ERR_INVALID_HANDLE;
    return WriteTransform(database.State().Database.get(), reference.State().Database.get(), reference.State().Path,
                          STRING_A(transformPath).Text());
}

uint32_t CreateTransformSummaryInfo(INSTALLER_DATABASE& database, INSTALLER_DATABASE& reference,
                                    const STRING& transformPath) {
    StartOperation();
    if (!database.State().Database || !reference.State().Database) return ERR_INVALID_HANDLE;
    return WriteTransformSummary(database.State().Database.get(), reference.State().Database.get(),
                                 STRING_A(transformPath).Text());
}

STRING TakeInstallerErrorText() { return STRING(TakeInstallerMessages().c_str()); }

}  // namespace qv
