#include "transform/codepage.h"

#include <algorithm>
#include <iterator>

namespace qv {

namespace {

// The code pages the installer's string pools are read in.
constexpr uint32_t INSTALLER_CODEPAGES[] = {
    NEUTRAL_CODEPAGE, 37,    424,   437,   500,   737,   775,   850,   852,   855,   856,   857,   860,
    861,              862,   863,   864,   865,   866,   869,   874,   875,   878,   932,   936,   949,
    950,              1006,  1026,  1250,  1251,  1252,  1253,  1254,  1255,  1256,  1257,  1258,  1361,
    10000,            10006, 10007, 10029, 10079, 10081, 20127, 20866, 20932, 21866, 28591, 28592, 28593,
    28594,            28595, 28596, 28597, 28598, 28599, 28600, 28603, 28604, 28605, 28606, 65000, 65001,
};

bool IsAscii(const STRING& text) {
    const char16_t* units = text.Text();
    return std::all_of(units, units + text.Length(), [](char16_t unit) { return unit < 0x80; });
}

}  // namespace

bool IsInstallerCodepage(uint32_t codepage) {
    return std::find(std::begin(INSTALLER_CODEPAGES), std::end(INSTALLER_CODEPAGES), codepage) !=
           std::end(INSTALLER_CODEPAGES);
}

bool CodepageHolds(uint32_t codepage, const STRING& text) {
    if (!IsInstallerCodepage(codepage)) return false;
    if (codepage == NEUTRAL_CODEPAGE) return IsAscii(text);
    // A text that doesn't survive the trip through UTF-8 (a lone surrogate) isn't held either.
    const STRING_A utf8(text);
    std::string bytes;
    return STRING(utf8) == text && CODEPAGE_TEXT(codepage).Encode(std::string(utf8.Text(), utf8.Length()), bytes);
}

}  // namespace qv
