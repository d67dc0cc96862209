#include "platform/computer_name.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error_codes.h"
#include "base/string.h"
#include "platform/last_error.h"

namespace qv {

uint32_t QueryComputerName(char16_t* buffer, uint32_t& size) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        uint32_t code = ErrorFromErrno(errno);
        SetLastErrorCode(code);
        return code;
    }
    if (char* dot = std::strchr(host, '.')) *dot = '\0';
    STRING name(host);
    char16_t* units = name.Buffer();
    for (uint32_t i = 0; i < name.Length(); ++i) {
        if (units[i] >= u'a' && units[i] <= u'z') units[i] = static_cast<char16_t>(units[i] - u'a' + u'A');
    }
    if (!buffer || size < name.Length() + 1) {
        size = name.Length() + 1;
        SetLastErrorCode(ERR_BUFFER_OVERFLOW);
        return ERR_BUFFER_OVERFLOW;
    }
    std::memcpy(buffer, name.Text(), (name.Length() + 1) * sizeof(char16_t));
    size = name.Length();
    return ERR_SUCCESS;
}

}  // namespace qv
