// The logon event handlers and the table of the event kinds the program knows by name. Each
// handler takes the one record the reader is dispatching and the EVENT_LOG whose tables it
// keeps up to date; a handler never fails upwards.
#pragma once

#include <cstdint>

namespace qv {

class EVENT_LOG;
struct EVENT_RECORD;

using EVENT_HANDLER = void (*)(EVENT_LOG& log, const EVENT_RECORD& record);

void Do_EVENT_LOCAL_LOGON(EVENT_LOG& log, const EVENT_RECORD& record);
void Do_EVENT_LOGOFF(EVENT_LOG& log, const EVENT_RECORD& record);
void Do_EVENT_LOGON(EVENT_LOG& log, const EVENT_RECORD& record);
void Do_EVENT_SERVICE_TICKET(EVENT_LOG& log, const EVENT_RECORD& record);
void Do_EVENT_ACCOUNT_LOGON(EVENT_LOG& log, const EVENT_RECORD& record);
void Do_EVENT_ACCOUNT_LOGOFF(EVENT_LOG& log, const EVENT_RECORD& record);

struct EVENT_KIND {
    const char16_t* Name;
    uint32_t EventID;
    EVENT_HANDLER Handler;  // null: the kind is only named (in dumps)
};

constexpr uint32_t EVENT_KIND_COUNT = 7;
extern const EVENT_KIND EVENT_KIND_NAMES[EVENT_KIND_COUNT];

// The kind whose EventID equals the full 32-bit 'eventId' (qualifier bits included), or null.
const EVENT_KIND* FindEventKind(uint32_t eventId);
// The name of the kind with the event code 'code' (the low 16 bits of an EventID), or null.
const char16_t* EventKindName(uint16_t code);

}  // namespace qv
