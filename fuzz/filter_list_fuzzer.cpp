// libFuzzer target: the filter lists as an administrator (or anyone who can write the settings
// key) may store them. The input is UTF-16 text; NUL separates entries, and each entry's first
// unit picks its list. The lists are built, then every entry's own text is tried as an account
// (in all its forms, against the list's patterns) and as an address, so that wildcards and
// ranges meet names and addresses shaped like themselves.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "eventlog/logon_filter.h"
#include "support/debug_log.h"

namespace qv {
namespace {

void Run(const uint8_t* data, size_t size) {
    std::vector<char16_t> units(size / 2);
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    FILTER_LISTS lists;
    std::vector<STRING> texts;
    size_t start = 0;
    for (size_t i = 0; i <= units.size(); ++i) {
        if (i < units.size() && units[i] != 0) continue;
        if (i > start) {
            const STRING entry(units.data() + start + 1, static_cast<uint32_t>(i - start - 1));
            switch (units[start] % 3) {
                case 0: lists.IgnoreUsers.push_back(entry); break;
                case 1: lists.IncludeNetworks.push_back(entry); break;
                default: lists.ExcludeNetworks.push_back(entry); break;
            }
            texts.push_back(entry);
        }
        start = i + 1;
    }
    std::vector<FILTER_PROBLEM> problems;
    const LOGON_FILTER filter(lists, problems);

    IP_ADDRESS address;
    IpAddressFromText(address, u"10.1.2.3");
    for (const STRING& text : texts) {
        PASS_OVER why;
        filter.PassesOver({u"CORP.EXAMPLE.TEST", text.Text(), u"CORP", &address}, why);
        filter.PassesOver({text.Text(), u"svc_backup", nullptr, &address}, why);
        PARSED_ADDRESS parsed;
        if (ParseAddressText(text.Text(), text.Length(), parsed)) {
            filter.IncludedNetworks().Match(parsed);
            filter.ExcludedNetworks().Match(parsed);
        }
    }
}

}  // namespace
}  // namespace qv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        qv::SetDebugOutputMode(0);
        return true;
    }();
    (void)quiet;
    qv::Run(data, size);
    return 0;
}
