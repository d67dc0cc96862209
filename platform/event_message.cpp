#include "platform/event_message.h"

#include <string>

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "platform/registry.h"
#include "platform/registry_values.h"

namespace qv {

uint32_t FindEventMessageFiles(const char16_t* logName, const char16_t* sourceName, STRING& files,
                               STRING& unopenedKey) {
    unopenedKey.Clear();
    if (BuiltInEventMessageFiles(logName, sourceName, files)) return ERR_SUCCESS;

    std::u16string subkey = u"SYSTEM\\CurrentControlSet\\services\\EventLog\\";
    subkey.append(logName).append(u"\\").append(sourceName);
    REGISTRY_KEY key;
    const uint32_t code = key.Open(subkey.c_str(), false);
    if (code != ERR_SUCCESS) {
        unopenedKey = (u"HKEY_LOCAL_MACHINE\\" + subkey).c_str();
        return code;
    }
    if (!ReadRegistryString(key, u"EventMessageFile", files)) {
        const uint32_t readCode = GetLastErrorCode();
        return readCode != ERR_SUCCESS ? readCode : ERR_FILE_NOT_FOUND;
    }
    return ERR_SUCCESS;
}

}  // namespace qv
