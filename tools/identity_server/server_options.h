// The server's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv::identity_server {

inline constexpr uint16_t DEFAULT_PLAIN_PORT = 1306;
inline constexpr uint16_t DEFAULT_TLS_PORT = 1308;

// How answers are spoiled for fault tests. A request misbehaves when its number n (1 for the
// first request the server received, or the connection received with PerConnection) satisfies
// After < n <= After + Count (Count 0: no end).
struct MISBEHAVIOUR {
    uint32_t DelayMs = 0;
    bool WrongId = false;
    bool NoFlag = false;
    std::optional<uint32_t> ResponseLength;
    std::optional<uint32_t> SplitResponseMs;
    bool Drop = false;
    std::optional<uint32_t> CloseAfterAnswerMs;  // end the connection this long after the (spoiled) answer
    uint64_t After = 0;
    uint64_t Count = 0;
    bool PerConnection = false;  // number requests within each connection, not across the server
    uint32_t ResetIdleMs = 0;    // reset (RST) a connection idle this long; 0: never

    bool Spoils() const
    {
        return DelayMs != 0 || WrongId || NoFlag || ResponseLength || SplitResponseMs || Drop || CloseAfterAnswerMs;
    }
    bool Applies(uint64_t requestNumber) const
    {
        return requestNumber > After && (Count == 0 || requestNumber <= After + Count);
    }
};

struct SERVER_OPTIONS {
    std::string Address;  // empty: every address
    uint16_t PlainPort = DEFAULT_PLAIN_PORT;  // 0: no plain listener
    uint16_t TlsPort = DEFAULT_TLS_PORT;      // 0: no TLS listener
    std::string CertFile;
    std::string KeyFile;
    std::string WriteCertFile;
    uint32_t Status = 0;
    bool Print = false;
    std::string RecordFile;
    std::string ReadyFile;
    std::string DownFile;  // while it exists the server is down (fault tests of failover)
    uint64_t Count = 0;  // 0: run until a signal
    MISBEHAVIOUR Misbehave;
    // Soak testing: each request at random answered late, dropped or followed by a close.
    std::optional<uint32_t> ChaosSeed;
    uint32_t ChaosLateMs = 2500;
};

enum class PARSE_OUTCOME { RUN, HELP, BAD_ARGUMENTS };

PARSE_OUTCOME ParseServerOptions(const std::vector<std::string>& arguments, SERVER_OPTIONS& options,
                                 std::string& problem);

const char* UsageText();

}  // namespace qv::identity_server
