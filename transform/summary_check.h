// The summary information stream ("\005SummaryInformation") of a package, checked as an
// installer engine reads it: its property set's header and section, and each property's type
// and value within the stream.
#pragma once

#include <string>

namespace qv {

// False, with the reason in 'problem', for a property set that can't be read safely.
bool CheckSummaryInformation(const std::string& stream, std::string& problem);

}  // namespace qv
