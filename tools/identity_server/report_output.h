// What the server tells about each request it received: one readable line (--print) and one
// JSON object per line (--record), the latter flushed at once so a test can follow the file
// while the server runs. Malformations also go to stderr.
#pragma once

#include "tools/identity_server/request_decoder.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace qv::identity_server {

struct REQUEST_REPORT {
    uint64_t Sequence = 0;          // 1 for the first request the server received
    std::string Transport;          // "plain" or "tls"
    std::string TlsVersion;         // "TLSv1.2" etc.; empty on plain connections
    std::string Client;             // "127.0.0.1:50123", "[::1]:50123"
    std::vector<uint8_t> Bytes;     // the request as received
    DECODE_RESULT Decoded;
    std::string StreamError;        // a problem with the byte stream itself (bad Length, cut short)

    bool Valid() const { return StreamError.empty() && Decoded.Valid; }
    const std::string& Error() const { return StreamError.empty() ? Decoded.Error : StreamError; }
};

std::string FormatReportLine(const REQUEST_REPORT& report);
std::string FormatReportJson(const REQUEST_REPORT& report);

class REPORT_OUTPUT {
public:
    REPORT_OUTPUT() = default;
    REPORT_OUTPUT(const REPORT_OUTPUT&) = delete;
    REPORT_OUTPUT& operator=(const REPORT_OUTPUT&) = delete;
    ~REPORT_OUTPUT();

    // Appends to recordPath when it is not empty; false with a reason when it cannot be opened.
    bool Open(bool print, const std::string& recordPath, std::string& problem);
    void Write(const REQUEST_REPORT& report);
    // A line for the administrator about the server itself (connections, TLS failures).
    void Note(const std::string& text);

private:
    std::mutex Lock;
    bool Print = false;
    FILE* Record = nullptr;
};

}  // namespace qv::identity_server
