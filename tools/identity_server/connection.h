// One client connection: reads requests in sequence, reports each and answers it (or
// misbehaves as told).
#pragma once

#include "tools/identity_server/report_output.h"
#include "tools/identity_server/server_options.h"
#include "tools/identity_server/socket_handle.h"
#include "tools/identity_server/tls_context.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace qv::identity_server {

// What all connections of one server share.
struct SERVER_STATE {
    SERVER_STATE(const SERVER_OPTIONS& options, REPORT_OUTPUT& output) : Options(options), Output(output) {}

    const SERVER_OPTIONS& Options;
    REPORT_OUTPUT& Output;
    std::atomic<uint64_t> RequestsReceived{0};
    std::atomic<uint64_t> Connections{0};
    std::atomic<bool> Stopping{false};
    // Every connection ends as soon as it looks: the server stops or goes down (--down-file).
    std::atomic<bool> EndConnections{false};
    // Called once the request limit (--count) was reached and its last request handled.
    std::function<void()> LimitReached;
};

// tls null: a plain connection. Returns when the peer closes, the connection fails or is
// dropped on purpose, or the server stops.
void ServeConnection(SERVER_STATE& state, SOCKET_HANDLE socket, SSL_CTX* tls, const std::string& client);

}  // namespace qv::identity_server
