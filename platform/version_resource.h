// The version resource of a program file: its translations and its string values.
//
// Windows: the file's VERSIONINFO resource, read with GetFileVersionInfoW and VerQueryValueW.
// POSIX: executables carry no version resource, so only the program itself has one: the values
// of resources/version.rc are compiled in (from the same generated version_info.h). A file named
// by the caller that is not the program itself has none and is reported as not found (2), the
// error Windows gives for a file it cannot find; on Windows a file that exists but carries no
// resource gives the system's own error instead.
#pragma once

#include <cstdint>

#include "base/byte_buffer.h"
#include "base/string.h"

namespace qv {

// One entry of "\VarFileInfo\Translation": a language and the code page of its string values.
struct VERSION_TRANSLATION {
    uint16_t Language;
    uint16_t CodePage;
};

class VERSION_RESOURCE {
public:
    // Reads the resource of 'fileName', looked up along the search path, or of the program's
    // own file when null. 0 or a system error code: 2 when the file can't be found or its path
    // is empty or longer than 259 characters, 8 when the block can't be allocated, the
    // system's code when the file has no resource (13 when the system gives none).
    uint32_t Load(const char16_t* fileName);

    // The translations, in the resource's order; none when the resource has no list.
    uint32_t TranslationCount() const;
    VERSION_TRANSLATION Translation(uint32_t index) const;

    // A string value by its full path, e.g. "\StringFileInfo\040904B0\FileVersion". False, and
    // the value empty, when there is no such value.
    bool QueryString(const char16_t* path, STRING& value) const;

    // The language of the calling thread, as a Windows language ID.
    static uint16_t ThreadLanguage();

private:
    BYTE_BUFFER Block;  // Windows: the file's version information block
    bool Own = false;   // POSIX: the program's compiled-in values
};

}  // namespace qv
