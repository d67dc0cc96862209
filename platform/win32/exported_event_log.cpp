// The Windows build does not read exported logs yet (see exported_event_log.h).
#include "platform/exported_event_log.h"

namespace qv {

bool ReadEvtxFile(const std::string& path, std::vector<EVTX_RECORD>& records, std::string& problem) {
    records.clear();
    problem = "reading exported event logs (" + path + ") is not available in the Windows build yet";
    return false;
}

}  // namespace qv
