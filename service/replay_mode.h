// The dry run (-REPLAY FILE): the records of an exported Security log go through the same
// handlers, filters and directory look-ups as in service, under the stored settings (with
// the filter lists and overrides given beside it, for this run only), and each logon record's
// outcome is printed: the reports it would send, or the line that says why it was passed over.
// The logon tables age by the records' own times. Nothing is sent and nothing is stored.
#pragma once

namespace qv {

// The exported log could not be read.
constexpr int EXIT_REPLAY_UNREADABLE = 1;

// 0 once every record was replayed.
int RunReplayMode();

}  // namespace qv
