// The server: its listeners, the accept loop and one thread per connection.
#pragma once

#include "tools/identity_server/connection.h"
#include "tools/identity_server/report_output.h"
#include "tools/identity_server/server_options.h"
#include "tools/identity_server/socket_handle.h"
#include "tools/identity_server/tls_context.h"

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>

namespace qv::identity_server {

class IDENTITY_SERVER {
public:
    explicit IDENTITY_SERVER(const SERVER_OPTIONS& options);
    IDENTITY_SERVER(const IDENTITY_SERVER&) = delete;
    IDENTITY_SERVER& operator=(const IDENTITY_SERVER&) = delete;
    ~IDENTITY_SERVER();

    // Opens the output, makes the TLS context, opens the listeners and writes the ready file.
    bool Start(std::string& problem);
    // Accepts connections until Stop, a signal or the request limit; then ends every connection.
    void Run();
    // Safe from a signal handler.
    void Stop();

private:
    struct CONNECTION_THREAD {
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Finished;
    };

    void AcceptFrom(const SOCKET_HANDLE& listener, bool tls);
    void ReapFinishedThreads();
    void EndAllConnections();
    // --down-file: closes the listeners and ends every connection while the file exists,
    // opens the listeners again once it is gone.
    void FollowDownFile();
    bool OpenListeners(std::string& problem);
    bool WriteReadyFile(std::string& problem) const;

    const SERVER_OPTIONS& Options;
    REPORT_OUTPUT Output;
    SERVER_STATE State;
    SSL_CTX_HANDLE TlsContext;
    SOCKET_HANDLE PlainListener;
    SOCKET_HANDLE TlsListener;
    SOCKET_HANDLE WakeRead;
    SOCKET_HANDLE WakeWrite;
    std::list<CONNECTION_THREAD> Connections;
    bool Down = false;
};

}  // namespace qv::identity_server
