// The code page of an installer package. Every text of a package is stored in its one code
// page, so a text that code page can't hold can't be stored at all: the installer keeps
// something else, or nothing. A neutral package (code page 0) is read in the ANSI code page of
// whichever system opens it, so it holds only what every such code page holds: ASCII.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/string.h"

namespace qv {

constexpr uint32_t NEUTRAL_CODEPAGE = 0;

// Whether the installer reads packages of this code page at all.
bool IsInstallerCodepage(uint32_t codepage);

// Whether a package of this code page stores the text exactly as given: ASCII in a neutral
// package, else what the code page holds and gives back unchanged.
bool CodepageHolds(uint32_t codepage, const STRING& text);

struct CODEPAGE_STATE;

// Conversions between UTF-8 and one code page (0: the system's ANSI code page, as the installer
// reads a neutral package), made ready once for many texts.
class CODEPAGE_TEXT {
public:
    explicit CODEPAGE_TEXT(uint32_t codepage);
    ~CODEPAGE_TEXT();
    CODEPAGE_TEXT(const CODEPAGE_TEXT&) = delete;
    CODEPAGE_TEXT& operator=(const CODEPAGE_TEXT&) = delete;

    // False for bytes the code page doesn't define.
    bool Decode(const std::string& bytes, std::string& utf8);
    // False for text that doesn't come back unchanged from the code page.
    bool Encode(const std::string& utf8, std::string& bytes);

private:
    std::unique_ptr<CODEPAGE_STATE> Platform;
};

}  // namespace qv
