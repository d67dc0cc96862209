// Logons a second through the account logon handler, without filters and with the lists an
// administrator of a large site might keep: 5,000 account names and 50 patterns in
// IgnoreUsers and 1,000 ranges in each of IncludeNetworks and ExcludeNetworks. No logon is
// passed over (each is tested against every list and then reported), so the filters' whole
// cost shows; the goal is at least 0.9 of the rate without them. Reports go to a sink that
// takes them at once, and look-ups to a resolver and a directory that answer at once, so the
// handler's own work is measured, not the network's. FilterDecision measures the filter's
// decision alone.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "eventlog/event_log.h"
#include "eventlog/logon_filter.h"
#include "identity/identity_request.h"
#include "identity/report_sink.h"
#include "support/debug_log.h"
#include "support/format.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/eventlog/fake_event_log.h"
#include "tests/identity/fake_host_resolver.h"

namespace qv {
namespace {

// Each record's user differs from the one before it at the same address, around the whole
// cycle too: every logon logs the last user off and reports the new one, as the busiest
// addresses do.
constexpr uint32_t ADDRESSES = 4096;
constexpr uint32_t USERS = 4099;
constexpr uint32_t RECORDS = 2 * ADDRESSES;

class TAKING_SINK : public REPORT_SINK {
public:
    TAKING_SINK() { SetReportSink(this); }
    ~TAKING_SINK() override { SetReportSink(nullptr); }
    bool Take(uint8_t, const IDENTITY_REQUEST&) override {
        ++Taken;
        return true;
    }
    uint64_t Taken = 0;
};

std::u16string Text(const STRING& text) { return std::u16string(text.Text(), text.Length()); }

std::vector<std::vector<uint8_t>> LogonRecords() {
    std::vector<std::vector<uint8_t>> records;
    for (uint32_t i = 0; i < RECORDS; ++i) {
        const uint32_t host = i % ADDRESSES;
        const std::u16string user = Text(Format(u"user%05lu", (i / ADDRESSES + i) % USERS));
        const std::u16string address = Text(Format(u"10.%lu.%lu.1", host >> 8, host & 0xFF));
        records.push_back(test::MakeRecord(i + 1, 4624,
                                           {u"S-1-0-0", u"-", u"-", u"0x0", u"S-1-5-21-1-2-3-1104", user, u"CORP",
                                            u"0x3e7f1", u"3", u"NtLmSsp", u"NTLM", u"PC7",
                                            u"{00000000-0000-0000-0000-000000000000}", u"-", u"NTLM V2", u"128",
                                            u"0x0", u"-", address, u"49712"}));
    }
    return records;
}

// The lists of a large site, none of which matches the benchmark's logons.
FILTER_LISTS LargeLists() {
    FILTER_LISTS lists;
    for (uint32_t i = 0; i < 5000; ++i) {
        lists.IgnoreUsers.push_back(i % 2 == 0 ? Format(u"svcacct%04lu", i) : Format(u"CORP\\monitor%04lu", i));
    }
    const char16_t* patterns[] = {u"svc_%02lu_*", u"CORP\\backup%02lu*", u"*\\scan%02lu", u"mon%02lu?*@corp.example.test",
                                  u"*sql%02lu*"};
    for (uint32_t i = 0; i < 50; ++i) lists.IgnoreUsers.push_back(Format(patterns[i % 5], i));
    lists.IncludeNetworks.push_back(STRING(u"10.0.0.0/8"));
    for (uint32_t i = 1; i < 1000; ++i) {
        lists.IncludeNetworks.push_back(i % 4 == 0 ? Format(u"2001:db8:%lx::/48", i)
                                                   : Format(u"172.%lu.%lu.0/24", 16 + i / 256 % 16, i % 256));
        lists.ExcludeNetworks.push_back(i % 4 == 0 ? Format(u"2001:db9:%lx::/48", i)
                                                   : Format(u"192.168.%lu.%lu/32", i / 256, i % 256));
    }
    lists.ExcludeNetworks.push_back(STRING(u"11.0.0.0/8"));
    return lists;
}

// For the decision alone: 0, no lists; 1, all three; 2, only the names and patterns; 3, only
// the include ranges (where the cost lies).
FILTER_LISTS ListsOf(int64_t variant) {
    FILTER_LISTS lists = LargeLists();
    if (variant == 0) return FILTER_LISTS();
    if (variant == 2) lists.IncludeNetworks.clear(), lists.ExcludeNetworks.clear();
    if (variant == 3) lists.IgnoreUsers.clear(), lists.ExcludeNetworks.clear();
    return lists;
}

uint64_t ThreadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// The goal itself, on a machine shared with others: the two handlers take turns in slices of
// logons, each slice timed in this thread's processor time, so that what the neighbours do
// falls on both alike. The ratio is that of the median slices.
void FilteredAgainstUnfiltered(benchmark::State& state) {
    SetDebugOutputMode(0);
    test::FAKE_HOST_RESOLVER resolver;
    test::FAKE_DIRECTORY_ACCESS directory;
    directory.CreateFailure = directory.OpenFailure = 0x80040154;
    TAKING_SINK sink;
    std::vector<FILTER_PROBLEM> problems;
    LOGON_FILTER_SLOT none;
    LOGON_FILTER_SLOT large;
    none.Replace(std::make_shared<const LOGON_FILTER>(FILTER_LISTS(), problems));
    large.Replace(std::make_shared<const LOGON_FILTER>(LargeLists(), problems));
    DUMP_SWITCHES switches;
    EVENT_LOG_CONTEXT noneContext{switches};
    noneContext.LogonFilters = &none;
    EVENT_LOG_CONTEXT largeContext{switches};
    largeContext.LogonFilters = &large;
    EVENT_LOG noneLog(noneContext, std::make_unique<test::FAKE_EVENT_LOG>(std::make_shared<test::FAKE_LOG_TRACE>()));
    EVENT_LOG largeLog(largeContext, std::make_unique<test::FAKE_EVENT_LOG>(std::make_shared<test::FAKE_LOG_TRACE>()));
    static const std::vector<std::vector<uint8_t>> records = LogonRecords();

    constexpr uint32_t SLICE = 8192;
    constexpr uint32_t ROUNDS = 60;
    std::vector<double> noneSlices;
    std::vector<double> largeSlices;
    auto slice = [&](EVENT_LOG& log, std::vector<double>& times) {
        const uint64_t start = ThreadCpuNanoseconds();
        for (uint32_t i = 0; i < SLICE; ++i) {
            const std::vector<uint8_t>& record = records[i % records.size()];
            RECORD_RANGE range;
            log.DispatchRecord(record.data(), static_cast<uint32_t>(record.size()), range);
        }
        times.push_back(static_cast<double>(ThreadCpuNanoseconds() - start) / SLICE);
    };
    for (auto _ : state) {
        for (uint32_t round = 0; round < ROUNDS; ++round) {
            if (round % 2 == 0) {
                slice(noneLog, noneSlices);
                slice(largeLog, largeSlices);
            } else {
                slice(largeLog, largeSlices);
                slice(noneLog, noneSlices);
            }
        }
    }
    auto median = [](std::vector<double> times) {
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    };
    const double noneNs = median(noneSlices);
    const double largeNs = median(largeSlices);
    state.counters["unfiltered_per_s"] = 1e9 / noneNs;
    state.counters["filtered_per_s"] = 1e9 / largeNs;
    state.counters["ratio"] = noneNs / largeNs;
    state.counters["passed_over"] = static_cast<double>(large.PassedOverCount());
}

BENCHMARK(FilteredAgainstUnfiltered)->Iterations(1)->Unit(benchmark::kMillisecond);

// The filter's decision alone, for the same logons.
void FilterDecision(benchmark::State& state) {
    std::vector<FILTER_PROBLEM> problems;
    const LOGON_FILTER filter(ListsOf(state.range(0)), problems);
    std::vector<std::u16string> users;
    std::vector<IP_ADDRESS> addresses(ADDRESSES);
    for (uint32_t i = 0; i < ADDRESSES; ++i) {
        users.push_back(Text(Format(u"user%05lu", i)));
        IpAddressFromText(addresses[i], Format(u"10.%lu.%lu.1", i >> 8, i & 0xFF).Text());
    }
    size_t next = 0;
    uint64_t passedOver = 0;
    for (auto _ : state) {
        PASS_OVER why;
        if (filter.PassesOver({u"CORP", users[next].c_str(), nullptr, &addresses[next]}, why)) ++passedOver;
        next = (next + 1) % ADDRESSES;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["passed_over"] = static_cast<double>(passedOver);
}

BENCHMARK(FilterDecision)->ArgName("lists")->Arg(1)->Arg(2)->Arg(3)->MinTime(1.0);


}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
