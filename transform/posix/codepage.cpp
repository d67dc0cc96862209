// Code pages on POSIX: the iconv tables that libgsf chooses for each Windows code page, the
// same ones libmsi reads and writes packages with.
#include "transform/codepage.h"

#include <gsf/gsf-msole-utils.h>

#include "transform/posix/glib_objects.h"

namespace qv {

namespace {

class ICONV {
public:
    explicit ICONV(GIConv converter) : Converter(converter) {}
    ICONV(const ICONV&) = delete;
    ICONV& operator=(const ICONV&) = delete;
    ~ICONV() {
        if (IsOpen()) g_iconv_close(Converter);
    }

    // The whole text converted; false when any of it can't be.
    bool Convert(const std::string& text, std::string& converted) {
        converted.clear();
        if (!IsOpen()) return false;
        if (text.empty()) return true;
        gsize written = 0;
        G_TEXT result(g_convert_with_iconv(text.data(), static_cast<gssize>(text.size()), Converter, nullptr,
                                           &written, nullptr));
        if (!result) return false;
        converted.assign(result.get(), written);
        return true;
    }

private:
    bool IsOpen() const { return Converter != reinterpret_cast<GIConv>(-1); }

    GIConv Converter;
};

int SystemCodepage(uint32_t codepage) {
    return codepage != NEUTRAL_CODEPAGE ? static_cast<int>(codepage) : gsf_msole_iconv_win_codepage();
}

}  // namespace

struct CODEPAGE_STATE {
    explicit CODEPAGE_STATE(int codepage)
        : ToUtf8(gsf_msole_iconv_open_for_import(codepage)),
          FromUtf8(gsf_msole_iconv_open_codepage_for_export(codepage)) {}
    ICONV ToUtf8;
    ICONV FromUtf8;
};

CODEPAGE_TEXT::CODEPAGE_TEXT(uint32_t codepage) : Platform(std::make_unique<CODEPAGE_STATE>(SystemCodepage(codepage))) {}
CODEPAGE_TEXT::~CODEPAGE_TEXT() = default;

bool CODEPAGE_TEXT::Decode(const std::string& bytes, std::string& utf8) { return Platform->ToUtf8.Convert(bytes, utf8); }

bool CODEPAGE_TEXT::Encode(const std::string& utf8, std::string& bytes) {
    std::string back;
    return Platform->FromUtf8.Convert(utf8, bytes) && Decode(bytes, back) && back == utf8;
}

}  // namespace qv
