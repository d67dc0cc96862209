// Where built identity requests go instead of the identity server: a dry run shows them, and
// says they were taken, while everything before the send (names, directory look-ups, the
// encoding) runs as it does in service. Set by whoever runs such a run, for its length.
#pragma once

#include <cstdint>

namespace qv {

struct IDENTITY_REQUEST;

class REPORT_SINK {
public:
    virtual ~REPORT_SINK() = default;
    // 'kind': REPORT_KIND_LOGON, REPORT_KIND_HEARTBEAT or REPORT_KIND_LOGOFF. The result is
    // the report's, as the server's acknowledgement would be.
    virtual bool Take(uint8_t kind, const IDENTITY_REQUEST& request) = 0;
};

// Null: requests go to the identity server.
REPORT_SINK* CurrentReportSink();
void SetReportSink(REPORT_SINK* sink);

}  // namespace qv
