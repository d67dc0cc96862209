// How fast the reader gets through the Security log: records read from the POSIX event log
// store in bulk into one buffer and dispatched in place, counted in records a second. One log
// holds records that no handler takes; the other holds the exported Windows logs of the
// shared test data, imported many times over.
//
// The exported logs are found in QUORVANE_EVTX_DIR, else in shared/data/evtx beside the
// source tree.
#include <benchmark/benchmark.h>

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "eventlog/event_log.h"
#include "eventlog/event_log_context.h"
#include "platform/exported_event_log.h"
#include "platform/posix/event_log_store.h"
#include "tests/directory/fake_directory_access.h"
#include "tests/identity/fake_host_resolver.h"

namespace qv {
namespace {

constexpr uint32_t RECORDS_PER_LOG = 200000;

// A data root of its own for the benchmark's logs, removed at the end.
class SCRATCH_DATA_ROOT {
public:
    SCRATCH_DATA_ROOT() {
        char pattern[] = "/tmp/qv-bench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            Root = pattern;
            setenv("QUORVANE_DATA_ROOT", Root.c_str(), 1);
        }
    }
    ~SCRATCH_DATA_ROOT() {
        if (!Root.empty()) nftw(Root.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
    }
    bool IsValid() const { return !Root.empty(); }

private:
    static int Remove(const char* path, const struct stat*, int, FTW*) { return remove(path); }
    std::string Root;
};

SCRATCH_DATA_ROOT& DataRoot() {
    static SCRATCH_DATA_ROOT root;
    return root;
}

// Writes the records into the log in rounds until it holds 'total' of them.
bool FillLog(const char16_t* logName, std::vector<NEW_EVENT_RECORD> records, uint32_t total) {
    if (!DataRoot().IsValid() || records.empty()) return false;
    EVENT_LOG_WRITER writer;
    if (writer.Open(logName) != 0 || writer.SetMaximumSize(1ULL << 31) != 0) return false;
    std::vector<std::vector<uint8_t>> built;
    for (const NEW_EVENT_RECORD& record : records) built.push_back(BuildEventLogRecord(record, 0));
    for (uint32_t written = 0; written < total;) {
        const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(built.size()), total - written);
        std::vector<std::vector<uint8_t>> round(built.begin(), built.begin() + count);
        if (writer.AppendRecords(round) != 0) return false;
        written += count;
    }
    return true;
}

// A record of an event no handler takes (a firewall connection), with strings like a real one.
NEW_EVENT_RECORD UnhandledRecord(uint32_t serial) {
    NEW_EVENT_RECORD record;
    record.EventID = 5156;
    record.EventType = 8;
    record.TimeGenerated = 1700000000 + serial;
    record.TimeWritten = record.TimeGenerated;
    record.SourceName = u"Microsoft-Windows-Security-Auditing";
    record.ComputerName = u"DC1.corp.example.test";
    record.Strings = {u"4", u"\\device\\harddiskvolume2\\windows\\system32\\svchost.exe", u"%%14592", u"10.0.0.5",
                      u"53", u"10.0.0.9", u"52114", u"17", u"65792", u"%%14610", u"44"};
    return record;
}

std::string EvtxFolder() {
    if (const char* folder = getenv("QUORVANE_EVTX_DIR")) return folder;
    return std::string(QV_SOURCE_DIR) + "/../shared/data/evtx";
}

std::vector<NEW_EVENT_RECORD> SharedLogRecords(std::string& problem) {
    std::vector<NEW_EVENT_RECORD> records;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(EvtxFolder(), error)) {
        if (entry.path().extension() != ".evtx") continue;
        std::vector<EVTX_RECORD> file;
        if (!ReadEvtxFile(entry.path().string(), file, problem)) return {};
        for (EVTX_RECORD& record : file) records.push_back(std::move(record.Record));
    }
    if (records.empty() && problem.empty()) problem = "no .evtx files in " + EvtxFolder();
    return records;
}

// Reads the whole log from its oldest record, as the reader's batches do, and dispatches every
// record in the buffer it was read into.
void ReadWholeLog(benchmark::State& state, const char16_t* logName) {
    // The logons of the shared logs are reported to nobody (there is no connection); their
    // reverse look-ups and directory look-ups find nothing instead of asking the network.
    test::FAKE_HOST_RESOLVER resolver;
    test::FAKE_DIRECTORY_ACCESS directory;
    directory.CreateFailure = directory.OpenFailure = 0x80040154;
    DUMP_SWITCHES switches;
    uint64_t records = 0;
    for (auto _ : state) {
        EVENT_LOG log(EVENT_LOG_CONTEXT{switches});
        EVENT stop;
        if (!stop.Create(true, false) || !log.Open(logName, stop)) {
            state.SkipWithError("cannot open the log");
            return;
        }
        BYTE_BUFFER buffer;
        buffer.Resize(RECORD_BUFFER_SIZE);
        RECORD_RANGE range;
        uint32_t bytesRead = 0;
        uint32_t code = 0;
        while ((code = log.Read(EVENTLOG_READ_SEQUENTIAL | EVENTLOG_READ_FORWARDS, buffer, bytesRead)) == 0) {
            log.DispatchRecords(buffer.Data(), bytesRead, range);
        }
        if (code != ERR_HANDLE_EOF || range.Count == 0) {
            state.SkipWithError("the log could not be read to its end");
            return;
        }
        records += range.Count;
    }
    state.SetItemsProcessed(static_cast<int64_t>(records));
}

void UnhandledRecords(benchmark::State& state) {
    static const bool filled = [] {
        std::vector<NEW_EVENT_RECORD> records;
        for (uint32_t i = 0; i < 1000; ++i) records.push_back(UnhandledRecord(i));
        return FillLog(u"BenchUnhandled", std::move(records), RECORDS_PER_LOG);
    }();
    if (!filled) {
        state.SkipWithError("cannot write the log");
        return;
    }
    ReadWholeLog(state, u"BenchUnhandled");
}
BENCHMARK(UnhandledRecords)->Unit(benchmark::kMillisecond);

void SharedLogsImportedManyTimes(benchmark::State& state) {
    static std::string problem;
    static const bool filled = [] { return FillLog(u"BenchShared", SharedLogRecords(problem), RECORDS_PER_LOG); }();
    if (!filled) {
        state.SkipWithError(problem.empty() ? "cannot write the log" : problem.c_str());
        return;
    }
    ReadWholeLog(state, u"BenchShared");
}
BENCHMARK(SharedLogsImportedManyTimes)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
