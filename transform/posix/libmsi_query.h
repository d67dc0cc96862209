// Running a statement through libmsi and visiting its rows.
#pragma once

#include <libmsi.h>

#include <cstdint>

#include "base/error_codes.h"
#include "transform/posix/glib_objects.h"
#include "transform/posix/installer_messages.h"

namespace qv {

// Runs 'statement' (UTF-8), with 'parameters' for its '?' markers when given, and calls
// visit(LibmsiRecord*) for each row until it returns an error. 0 or the first error code.
template <typename VISIT>
uint32_t ForEachRow(LibmsiDatabase* database, const char* statement, LibmsiRecord* parameters, VISIT visit) {
    G_ERROR error;
    G_OBJECT<LibmsiQuery> query(libmsi_query_new(database, statement, error.Receive()));
    if (!query) return InstallerCodeFromError(error.Get());
    if (!libmsi_query_execute(query.get(), parameters, error.Receive())) return InstallerCodeFromError(error.Get());
    for (;;) {
        G_OBJECT<LibmsiRecord> row(libmsi_query_fetch(query.get(), error.Receive()));
        if (!row) return error ? InstallerCodeFromError(error.Get()) : ERR_SUCCESS;
        const uint32_t code = visit(row.get());
        if (code != ERR_SUCCESS) return code;
    }
}

// A field's text as a std::string; empty for a null field.
std::string FieldText(LibmsiRecord* record, unsigned field);

}  // namespace qv
