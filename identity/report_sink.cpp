#include "identity/report_sink.h"

#include <atomic>

namespace qv {

namespace {

std::atomic<REPORT_SINK*> Sink{nullptr};

}  // namespace

REPORT_SINK* CurrentReportSink() { return Sink.load(); }
void SetReportSink(REPORT_SINK* sink) { Sink.store(sink); }

}  // namespace qv
