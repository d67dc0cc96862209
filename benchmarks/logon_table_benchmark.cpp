// The cost of the logon table's look-ups as it fills: finding the logon at an address and the
// service ticket of a user and address, at 100, 10,000 and 100,000 entries. The cost must not
// grow with the number of entries (a large site's domain controller holds 100,000 logons).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "eventlog/logon_tables.h"

namespace qv {
namespace {

IP_ADDRESS AddressNumber(uint32_t n) {
    IP_ADDRESS address;
    const std::string text = "10." + std::to_string((n >> 16) & 0xFF) + "." + std::to_string((n >> 8) & 0xFF) + "." +
                             std::to_string(n & 0xFF);
    IpAddressFromText(address, STRING(text.c_str()).Text());
    return address;
}

void FindLogonByAddress(benchmark::State& state) {
    const uint32_t entries = static_cast<uint32_t>(state.range(0));
    LOGON_TABLE logons;
    std::vector<IP_ADDRESS> probes;
    for (uint32_t n = 0; n < entries; ++n) logons.Append(AddressNumber(n));
    for (uint32_t n = 0; n < 1024; ++n) probes.push_back(AddressNumber((n * 2654435761u) % entries));
    size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(logons.FindByAddress(probes[at]));
        at = (at + 1) & 1023;
    }
}
BENCHMARK(FindLogonByAddress)->Arg(100)->Arg(10000)->Arg(100000);

void FindServiceTicket(benchmark::State& state) {
    const uint32_t entries = static_cast<uint32_t>(state.range(0));
    SERVICE_TICKET_TABLE tickets;
    std::vector<std::pair<STRING, STRING>> probes;
    auto user = [](uint32_t n) { return STRING(("CORP\\user" + std::to_string(n)).c_str()); };
    auto address = [](uint32_t n) { return STRING(("10.0." + std::to_string(n / 256) + "." + std::to_string(n % 256)).c_str()); };
    for (uint32_t n = 0; n < entries; ++n) tickets.Append(user(n), STRING(u"CORP\\PC"), address(n));
    for (uint32_t n = 0; n < 1024; ++n) {
        const uint32_t pick = (n * 2654435761u) % entries;
        probes.emplace_back(user(pick), address(pick));
    }
    size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tickets.Find(probes[at].first.Text(), probes[at].second.Text()));
        at = (at + 1) & 1023;
    }
}
BENCHMARK(FindServiceTicket)->Arg(100)->Arg(10000)->Arg(100000);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
