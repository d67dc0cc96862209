#include "service/read_position.h"

#include <cstdint>

#include "platform/error_text.h"
#include "platform/registry.h"
#include "service/command_line.h"
#include "service/settings.h"
#include "support/debug_log.h"

namespace qv {

namespace {

constexpr const char16_t* STATE = u"State";
constexpr const char16_t* SECURITY_LOG = u"SecurityLog";
constexpr uint32_t POSITION_BYTES = 8;

bool SaveFailed = false;  // only the worker thread saves

void PutLittleEndian32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittleEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

}  // namespace

bool LoadReadPosition(READ_POSITION& position) {
    REGISTRY_KEY state;
    if (SettingsKey().CreateSubkey(STATE, state) != 0) return false;
    uint8_t bytes[POSITION_BYTES] = {};
    uint32_t type = 0;
    uint32_t size = sizeof bytes;
    if (state.QueryValue(SECURITY_LOG, &type, bytes, &size) != 0) return false;
    if (type != REG_TYPE_BINARY || size != POSITION_BYTES) {
        DebugLog(u"Registry value \"%s\" of \"%s\" is not %lu bytes of REG_BINARY; it is not used", SECURITY_LOG,
                 SettingsKeyFullPath(STATE), POSITION_BYTES);
        return false;
    }
    position.RecordNumber = GetLittleEndian32(bytes);
    position.TimeGenerated = GetLittleEndian32(bytes + 4);
    return true;
}

void SaveReadPosition(const READ_POSITION& position) {
    uint8_t bytes[POSITION_BYTES];
    PutLittleEndian32(bytes, position.RecordNumber);
    PutLittleEndian32(bytes + 4, position.TimeGenerated);
    REGISTRY_KEY state;
    uint32_t code = SettingsKey().CreateSubkey(STATE, state);
    if (code == 0) code = state.SetValue(SECURITY_LOG, REG_TYPE_BINARY, bytes, sizeof bytes);
    if (code == 0) {
        SaveFailed = false;
        return;
    }
    if (SaveFailed) return;
    SaveFailed = true;
    DebugLog(u"Unable to save the reading position (record %lu) in \"%s\". %s. Error code = %lu.", position.RecordNumber,
             SettingsKeyFullPath(STATE), GetErrorText(code), code);
}

}  // namespace qv
