#include "support/version.h"

#include "base/error_codes.h"
#include "platform/last_error.h"
#include "support/format.h"

namespace qv {

int32_t ChooseVersionTranslation(const VERSION_TRANSLATION* translations, uint32_t count, uint16_t threadLanguage) {
    for (uint32_t i = 0; i < count; ++i) {
        if (translations[i].Language == threadLanguage) return static_cast<int32_t>(i);
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (translations[i].Language == VERSION_LANGUAGE_US_ENGLISH) return static_cast<int32_t>(i);
    }
    return -1;
}

STRING VersionValuePrefix(VERSION_TRANSLATION translation) {
    return Format(u"\\StringFileInfo\\%04X%04X\\", translation.Language, translation.CodePage);
}

uint32_t GetVersionStrings(const char16_t* fileName, std::initializer_list<VERSION_VALUE> values) {
    for (const VERSION_VALUE& value : values) {
        if (value.Value != nullptr) value.Value->Clear();
    }

    VERSION_RESOURCE resource;
    const uint32_t result = resource.Load(fileName);
    if (result != ERR_SUCCESS) {
        SetLastErrorCode(result);
        return result;
    }

    // The resource's translations, chosen by the thread's language.
    const uint32_t count = resource.TranslationCount();
    VERSION_TRANSLATION translations[64];
    const uint32_t kept = count < 64 ? count : 64;
    for (uint32_t i = 0; i < kept; ++i) translations[i] = resource.Translation(i);
    const int32_t chosen = ChooseVersionTranslation(translations, kept, VERSION_RESOURCE::ThreadLanguage());
    if (chosen < 0) return ERR_SUCCESS;

    const STRING prefix = VersionValuePrefix(translations[chosen]);
    for (const VERSION_VALUE& value : values) {
        if (value.Value == nullptr || value.Name == nullptr) continue;
        const uint32_t nameLength = TextLength(value.Name);
        if (prefix.Length() + nameLength > VERSION_VALUE_PATH_LIMIT) continue;
        const STRING path = Format(u"%s%s", prefix, value.Name);
        resource.QueryString(path.Text(), *value.Value);
    }
    return ERR_SUCCESS;
}

}  // namespace qv
