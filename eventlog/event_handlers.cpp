#include "eventlog/event_handlers.h"


namespace qv {

const EVENT_KIND EVENT_KIND_NAMES[EVENT_KIND_COUNT] = {
    {u"LOGOFF", 538, Do_EVENT_LOGOFF},
    {u"LOGON", 540, Do_EVENT_LOGON},
    {u"LOCAL_LOGON", 528, Do_EVENT_LOCAL_LOGON},
    {u"SERVICE_TICKET", 673, Do_EVENT_SERVICE_TICKET},
    {u"ACCOUNT_LOGON", 4624, Do_EVENT_ACCOUNT_LOGON},
    {u"ACCOUNT_LOGOFF", 4634, Do_EVENT_ACCOUNT_LOGOFF},
    {u"KERBEROS_SERVICE_TICKET", 4769, nullptr},
};

const EVENT_KIND* FindEventKind(uint32_t eventId) {
    for (const EVENT_KIND& kind : EVENT_KIND_NAMES) {
        if (kind.EventID == eventId) return &kind;
    }
    return nullptr;
}

const char16_t* EventKindName(uint16_t code) {
    for (const EVENT_KIND& kind : EVENT_KIND_NAMES) {
        if (kind.EventID == code) return kind.Name;
    }
    return nullptr;
}

}  // namespace qv
