#include "transform/posix/installer_messages.h"

#include <libmsi.h>

#include <mutex>

#include "base/error_codes.h"

namespace qv {

namespace {

thread_local std::string Messages;

void KeepMessage(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
    if (message == nullptr) return;
    std::string text(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    AddInstallerMessage(text);
}

// libmsi's result codes, in the order of its LibmsiResultError.
constexpr uint32_t RESULT_CODES[] = {
    ERR_FUNCTION_FAILED,    // SUCCESS: never an error, so something else went wrong
    ERR_ACCESS_DENIED,      ERR_INVALID_HANDLE,   ERR_NOT_ENOUGH_MEMORY,    ERR_INVALID_DATA,
    ERR_OUTOFMEMORY,        ERR_INVALID_PARAMETER, ERR_OPEN_FAILED,         ERR_CALL_NOT_IMPLEMENTED,
    ERR_MORE_DATA,          ERR_NOT_FOUND,        ERR_FUNCTION_FAILED,      ERR_UNKNOWN_PROPERTY,
    ERR_BAD_QUERY_SYNTAX,   ERR_INVALID_FIELD,    ERR_FUNCTION_FAILED,      ERR_INVALID_TABLE,
    ERR_DATATYPE_MISMATCH,  ERR_INVALID_DATATYPE,
};

bool SaysMoreThanAName(const char* text) {
    for (const char* c = text; *c != 0; ++c) {
        if (*c == ' ') return true;
    }
    return false;
}

}  // namespace

void CaptureLibraryMessages() {
    static std::once_flag installed;
    std::call_once(installed, [] { g_log_set_default_handler(KeepMessage, nullptr); });
}

void ClearInstallerMessages() { Messages.clear(); }

void AddInstallerMessage(const std::string& message) {
    if (message.empty()) return;
    if (!Messages.empty()) Messages += '\n';
    Messages += message;
}

std::string TakeInstallerMessages() {
    std::string taken;
    taken.swap(Messages);
    return taken;
}

uint32_t InstallerCodeFromError(const GError* error) {
    if (error == nullptr) return ERR_FUNCTION_FAILED;
    if (error->message != nullptr && SaysMoreThanAName(error->message)) AddInstallerMessage(error->message);
    if (error->domain != LIBMSI_RESULT_ERROR) return ERR_FUNCTION_FAILED;
    const auto index = static_cast<size_t>(error->code);
    return index < std::size(RESULT_CODES) ? RESULT_CODES[index] : ERR_FUNCTION_FAILED;
}

}  // namespace qv
