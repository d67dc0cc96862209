// How fast qvsamba turns Samba's JSON audit lines into Security records, in lines a second: a
// busy domain controller writes a few hundred a second at its peak, and the goal is a hundred
// times that. The log holds what Samba writes: each authentication followed by its
// authorization, the authentications NTLM, Kerberos and simple binds from many addresses.
//   Pipeline: the audit log file read by the follower, every line parsed, the records appended
//             to a Security log (and fsynced) and the position saved, as the service does it.
//   ParseAndBuild: the lines parsed and the records laid out in memory only.
#include <benchmark/benchmark.h>

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/event_log_store.h"
#include "tools/qvsamba/audit_follower.h"
#include "tools/qvsamba/record_writer.h"
#include "tools/qvsamba/tests/samba_lines.h"

namespace qv {
namespace {

constexpr int LINES = 60000;

std::vector<std::string> SambaLines() {
    std::vector<std::string> lines;
    for (int i = 0; lines.size() < LINES; ++i) {
        const std::string user = "user" + std::to_string(i % 5000);
        const std::string address = "10.1." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250 + 1);
        switch (i % 3) {
            case 0: lines.push_back(samba_lines::Ntlm(user, address, i)); break;
            case 1: lines.push_back(samba_lines::Kerberos(user, address)); break;
            default: lines.push_back(samba_lines::SimpleBind(user, address)); break;
        }
        lines.push_back(samba_lines::Authorization(user));
    }
    return lines;
}

class SCRATCH {
public:
    SCRATCH() {
        char pattern[] = "/tmp/qv-samba-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        Root = pattern;
        setenv("QUORVANE_DATA_ROOT", Root.c_str(), 1);
        AuditLog = Root + "/auth_json_audit.log";
        std::ofstream file(AuditLog, std::ios::binary);
        for (const std::string& line : SambaLines()) file << line << '\n';
    }
    ~SCRATCH() {
        if (!Root.empty()) nftw(Root.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
    }
    std::string Root;
    std::string AuditLog;

private:
    static int Remove(const char* path, const struct stat*, int, FTW*) { return remove(path); }
};

const DOMAIN_CONTROLLER CONTROLLER = {u"dc1.corp.example.test", u"DC1$"};

void Pipeline(benchmark::State& state) {
    SCRATCH scratch;
    if (scratch.Root.empty()) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const std::string position = scratch.Root + "/qvsamba.position";
    uint64_t records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        EVENT_LOG_WRITER log;
        // Room for every record: the log's own trimming is measured by the event log benchmark.
        if (log.Open(u"Security") != 0 || log.Clear() != 0 || log.SetMaximumSize(1ull << 32) != 0) {
            state.SkipWithError("cannot prepare the Security log");
            return;
        }
        unlink(position.c_str());
        state.ResumeTiming();

        RECORD_WRITER writer(position, CONTROLLER, [](const std::string&) {});
        std::string problem;
        AUDIT_FOLLOWER follower(scratch.AuditLog, writer, [](const std::string&) {});
        if (!writer.Open(problem) || !follower.Start(writer.Position(), true) || !follower.Poll() ||
            writer.Counts().Lines != LINES) {
            state.SkipWithError("the pipeline failed");
            return;
        }
        records += writer.Counts().Records;
    }
    state.SetItemsProcessed(state.iterations() * LINES);
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(Pipeline)->Unit(benchmark::kMillisecond)->UseRealTime();

void ParseAndBuild(benchmark::State& state) {
    const std::vector<std::string> lines = SambaLines();
    size_t records = 0;
    for (auto _ : state) {
        for (const std::string& line : lines) {
            const AUDIT_LINE parsed = ParseAuditLine(line);
            if (parsed.Kind != AUDIT_LINE_KIND::AUTHENTICATION) continue;
            const std::vector<uint8_t> record = BuildEventLogRecord(BuildSecurityRecord(parsed.Authentication, CONTROLLER), 0);
            benchmark::DoNotOptimize(record.data());
            ++records;
        }
    }
    state.SetItemsProcessed(state.iterations() * LINES);
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(ParseAndBuild)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
