// The version resource on POSIX: the program's own values, compiled in from the generated
// version_info.h that resources/version.rc reads on Windows. ELF files carry no version
// resource, so a named file only has one when it is the program itself (the same file as
// /proc/self/exe); any other name reports 2, as for a file that cannot be found.
#include "platform/version_resource.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "base/error_codes.h"
#include "platform/system_text.h"
#include "version_info.h"

namespace qv {

namespace {

constexpr uint32_t MAXIMUM_PATH = 259;

struct OWN_VALUE {
    const char16_t* Path;
    const char* Text;
};

#define QV_VALUE_PATH(name) u"\\StringFileInfo\\040904B0\\" name

constexpr OWN_VALUE OWN_VALUES[] = {
    {QV_VALUE_PATH(u"CompanyName"), QV_COMPANY_NAME},
    {QV_VALUE_PATH(u"FileDescription"), QV_FILE_DESCRIPTION},
    {QV_VALUE_PATH(u"FileVersion"), QV_FILE_VERSION_TEXT},
    {QV_VALUE_PATH(u"InternalName"), QV_INTERNAL_NAME},
    {QV_VALUE_PATH(u"OriginalFilename"), QV_ORIGINAL_FILENAME},
    {QV_VALUE_PATH(u"ProductName"), QV_PRODUCT_NAME},
    {QV_VALUE_PATH(u"ProductVersion"), QV_PRODUCT_VERSION_TEXT},
};

#undef QV_VALUE_PATH

static_assert(QV_VERSION_LANGUAGE == 0x0409 && QV_VERSION_CODE_PAGE == 1200,
              "the compiled-in value paths spell the translation 040904B0");

// The file a name stands for, looked up as SearchPath looks it up: a name with a slash as it
// is, else each folder of PATH in turn (the current folder first).
bool FindFile(const STRING_A& name, struct stat& found) {
    if (std::strchr(name.Text(), '/') != nullptr) return ::stat(name.Text(), &found) == 0 && S_ISREG(found.st_mode);
    if (::stat(name.Text(), &found) == 0 && S_ISREG(found.st_mode)) return true;
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    while (*path != 0) {
        const char* end = std::strchr(path, ':');
        const size_t length = end != nullptr ? static_cast<size_t>(end - path) : std::strlen(path);
        if (length > 0 && length + 1 + name.Length() <= MAXIMUM_PATH) {
            char candidate[MAXIMUM_PATH + 1];
            std::memcpy(candidate, path, length);
            candidate[length] = '/';
            std::memcpy(candidate + length + 1, name.Text(), name.Length() + 1);
            if (::stat(candidate, &found) == 0 && S_ISREG(found.st_mode)) return true;
        }
        if (end == nullptr) break;
        path = end + 1;
    }
    return false;
}

}  // namespace

uint32_t VERSION_RESOURCE::Load(const char16_t* fileName) {
    Own = false;
    if (fileName == nullptr) {
        Own = true;
        return ERR_SUCCESS;
    }
    const STRING_A name(fileName);
    if (name.IsEmpty() || name.Length() > MAXIMUM_PATH) return ERR_FILE_NOT_FOUND;
    struct stat file;
    struct stat self;
    if (!FindFile(name, file) || ::stat("/proc/self/exe", &self) != 0) return ERR_FILE_NOT_FOUND;
    if (file.st_dev != self.st_dev || file.st_ino != self.st_ino) return ERR_FILE_NOT_FOUND;
    Own = true;
    return ERR_SUCCESS;
}

uint32_t VERSION_RESOURCE::TranslationCount() const { return Own ? 1 : 0; }

VERSION_TRANSLATION VERSION_RESOURCE::Translation(uint32_t) const {
    return {QV_VERSION_LANGUAGE, QV_VERSION_CODE_PAGE};
}

bool VERSION_RESOURCE::QueryString(const char16_t* path, STRING& value) const {
    value.Clear();
    if (!Own) return false;
    // Value names are matched without regard to case, as VerQueryValue matches them.
    const STRING wanted(path);
    for (const OWN_VALUE& own : OWN_VALUES) {
        if (EqualsIgnoringCase(wanted, own.Path)) {
            value = STRING(own.Text);
            return true;
        }
    }
    return false;
}

uint16_t VERSION_RESOURCE::ThreadLanguage() {
    // The language of the locale that messages are shown in (LC_ALL, LC_MESSAGES, LANG), as a
    // Windows language ID for the languages it has a name for; US English otherwise, and for
    // the "C" and "POSIX" locales.
    struct LANGUAGE_NAME {
        const char* Prefix;
        uint16_t Language;
    };
    static constexpr LANGUAGE_NAME NAMES[] = {
        {"en_GB", 0x0809}, {"en", 0x0409},    {"de_AT", 0x0C07}, {"de_CH", 0x0807}, {"de", 0x0407},
        {"fr_CA", 0x0C0C}, {"fr_BE", 0x080C}, {"fr_CH", 0x100C}, {"fr", 0x040C},    {"es", 0x0C0A},
        {"it", 0x0410},    {"nl", 0x0413},    {"pt_BR", 0x0416}, {"pt", 0x0816},    {"ja", 0x0411},
        {"ko", 0x0412},    {"zh_TW", 0x0404}, {"zh", 0x0804},    {"ru", 0x0419},    {"pl", 0x0415},
        {"sv", 0x041D},    {"da", 0x0406},    {"nb", 0x0414},    {"fi", 0x040B},    {"cs", 0x0405},
    };
    const char* locale = nullptr;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = std::getenv(variable);
        if (locale != nullptr && *locale != 0) break;
    }
    if (locale != nullptr) {
        for (const LANGUAGE_NAME& name : NAMES) {
            const size_t length = std::strlen(name.Prefix);
            if (std::strncmp(locale, name.Prefix, length) == 0 &&
                (locale[length] == 0 || locale[length] == '_' || locale[length] == '.' || locale[length] == '@')) {
                return name.Language;
            }
        }
    }
    return 0x0409;
}

}  // namespace qv
