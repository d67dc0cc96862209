// The summary information stream ("\005SummaryInformation"): one property set in the
// layout every structured-storage document uses, with the properties the installer reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transform/package_streams.h"

namespace qv {

// Property numbers of the summary information.
constexpr uint32_t SUMMARY_CODEPAGE = 1;
constexpr uint32_t SUMMARY_TITLE = 2;
constexpr uint32_t SUMMARY_TEMPLATE = 7;
constexpr uint32_t SUMMARY_LAST_AUTHOR = 8;
constexpr uint32_t SUMMARY_REVISION_NUMBER = 9;
constexpr uint32_t SUMMARY_PAGE_COUNT = 14;
constexpr uint32_t SUMMARY_CHARACTER_COUNT = 16;

struct SUMMARY_PROPERTY {
    enum class KIND { SHORT, LONG, TEXT } Kind;
    uint32_t Id;
    int32_t Number;
    std::string Text;  // already in the property set's code page
};

// The stream's bytes for these properties (in the order given; the set's own order is by
// number, so give them sorted).
std::string EncodeSummaryInformation(const std::vector<SUMMARY_PROPERTY>& properties);

}  // namespace qv
