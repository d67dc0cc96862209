// The string values of a program file's version resource ("FileVersion", "ProductName", ...).
#pragma once

#include <cstdint>
#include <initializer_list>

#include "base/string.h"
#include "platform/version_resource.h"

namespace qv {

// One value to read: its name and where its text goes.
struct VERSION_VALUE {
    const char16_t* Name;
    STRING* Value;
};

// Reads the named values of the version resource of 'fileName' (looked up along the search
// path), or of the program's own file when null:
//     GetVersionStrings(nullptr, {{u"FileVersion", &version}, {u"ProductName", &product}});
// Every value is emptied first. The values are those of the translation in the calling
// thread's language, else of the first US English one (1033); when neither exists the values
// stay empty and the result is still 0. A value the resource lacks stays empty. The result is 0
// or a system error code (see VERSION_RESOURCE::Load), with the values empty.
uint32_t GetVersionStrings(const char16_t* fileName, std::initializer_list<VERSION_VALUE> values);

constexpr uint16_t VERSION_LANGUAGE_US_ENGLISH = 1033;
// The longest path of a value, "\StringFileInfo\LLLLCCCC\" and the name, in characters.
constexpr uint32_t VERSION_VALUE_PATH_LIMIT = 127;

// The translation whose string values are read: the first whose language is the thread's,
// else the first US English one. -1 when none fits.
int32_t ChooseVersionTranslation(const VERSION_TRANSLATION* translations, uint32_t count, uint16_t threadLanguage);

// "\StringFileInfo\LLLLCCCC\": the path of a translation's string values, in upper-case hex.
STRING VersionValuePrefix(VERSION_TRANSLATION translation);

}  // namespace qv
