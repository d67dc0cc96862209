#include "tools/identity_server/identity_server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qv::identity_server {
namespace {

constexpr int REAP_INTERVAL_MS = 500;
constexpr int DOWN_FILE_INTERVAL_MS = 100;

}  // namespace

IDENTITY_SERVER::IDENTITY_SERVER(const SERVER_OPTIONS& options) : Options(options), State(options, Output)
{
    State.LimitReached = [this] { Stop(); };
}

IDENTITY_SERVER::~IDENTITY_SERVER()
{
    State.Stopping = true;
    State.EndConnections = true;
    for (CONNECTION_THREAD& connection : Connections)
        connection.Thread.join();
}

bool IDENTITY_SERVER::Start(std::string& problem)
{
    if (!Output.Open(Options.Print, Options.RecordFile, problem))
        return false;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        problem = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    WakeRead = SOCKET_HANDLE(wake[0]);
    WakeWrite = SOCKET_HANDLE(wake[1]);

    if (Options.TlsPort != 0) {
        const std::string commonName = Options.Address.empty() ? "localhost" : Options.Address;
        if (!CreateServerTlsContext(Options.CertFile, Options.KeyFile, commonName, TlsContext, problem))
            return false;
        if (!Options.WriteCertFile.empty() && !WriteCertificate(TlsContext.get(), Options.WriteCertFile, problem))
            return false;
    }
    // Down from the start: the listeners open once the file is gone.
    Down = !Options.DownFile.empty() && access(Options.DownFile.c_str(), F_OK) == 0;
    if (!Down && !OpenListeners(problem))
        return false;
    return WriteReadyFile(problem);
}

bool IDENTITY_SERVER::OpenListeners(std::string& problem)
{
    if (Options.TlsPort != 0 && !OpenListener(Options.Address, Options.TlsPort, TlsListener, problem))
        return false;
    return Options.PlainPort == 0 || OpenListener(Options.Address, Options.PlainPort, PlainListener, problem);
}

void IDENTITY_SERVER::EndAllConnections()
{
    State.EndConnections = true;
    for (CONNECTION_THREAD& connection : Connections)
        connection.Thread.join();
    Connections.clear();
    State.EndConnections = State.Stopping.load();
}

void IDENTITY_SERVER::FollowDownFile()
{
    const bool down = access(Options.DownFile.c_str(), F_OK) == 0;
    if (down == Down)
        return;
    if (down) {
        PlainListener = SOCKET_HANDLE();
        TlsListener = SOCKET_HANDLE();
        EndAllConnections();
        Down = true;
        Output.Note("down while " + Options.DownFile + " exists: listeners closed, connections ended");
        return;
    }
    std::string problem;
    if (!OpenListeners(problem)) {
        // Tried again at the next look; the port may still be held for a moment.
        PlainListener = SOCKET_HANDLE();
        TlsListener = SOCKET_HANDLE();
        Output.Note("cannot come back up yet: " + problem);
        return;
    }
    Down = false;
    Output.Note("up again: " + Options.DownFile + " is gone");
}

bool IDENTITY_SERVER::WriteReadyFile(std::string& problem) const
{
    if (Options.ReadyFile.empty())
        return true;
    // Written under another name and renamed, so a waiting test never reads half a file.
    const std::string temporary = Options.ReadyFile + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    bool written = file != nullptr;
    if (file) {
        written = std::fprintf(file, "address=%s\nplain_port=%u\ntls_port=%u\npid=%ld\n",
                               Options.Address.empty() ? "*" : Options.Address.c_str(), Options.PlainPort,
                               Options.TlsPort, static_cast<long>(getpid())) > 0;
        written = std::fclose(file) == 0 && written;
    }
    if (!written || std::rename(temporary.c_str(), Options.ReadyFile.c_str()) != 0) {
        problem = "cannot write the ready file " + Options.ReadyFile + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void IDENTITY_SERVER::Stop()
{
    const char byte = 1;
    // Nothing to do when the pipe is full: the loop is woken already.
    [[maybe_unused]] const ssize_t written = write(WakeWrite.Get(), &byte, 1);
}

void IDENTITY_SERVER::AcceptFrom(const SOCKET_HANDLE& listener, bool tls)
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    SOCKET_HANDLE socket(accept4(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &size,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket.Valid()) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            Output.Note(std::string("accept: ") + std::strerror(errno));
        return;
    }
    auto finished = std::make_shared<std::atomic<bool>>(false);
    SSL_CTX* context = tls ? TlsContext.get() : nullptr;
    std::thread thread([this, finished, context, client = SocketAddressText(peer),
                        descriptor = socket.Release()] {
        ServeConnection(State, SOCKET_HANDLE(descriptor), context, client);
        *finished = true;
    });
    Connections.push_back({std::move(thread), std::move(finished)});
}

void IDENTITY_SERVER::ReapFinishedThreads()
{
    for (auto connection = Connections.begin(); connection != Connections.end();) {
        if (connection->Finished->load()) {
            connection->Thread.join();
            connection = Connections.erase(connection);
        } else {
            ++connection;
        }
    }
}

void IDENTITY_SERVER::Run()
{
    while (!State.Stopping.load()) {
        if (!Options.DownFile.empty())
            FollowDownFile();
        pollfd entries[3] = {{WakeRead.Get(), POLLIN, 0}, {PlainListener.Get(), POLLIN, 0},
                             {TlsListener.Get(), POLLIN, 0}};  // a negative descriptor is skipped
        const int ready = poll(entries, 3, Options.DownFile.empty() ? REAP_INTERVAL_MS : DOWN_FILE_INTERVAL_MS);
        if (ready < 0 && errno != EINTR) {
            Output.Note(std::string("poll: ") + std::strerror(errno));
            break;
        }
        if (entries[0].revents != 0)
            break;
        if (entries[1].revents != 0)
            AcceptFrom(PlainListener, false);
        if (entries[2].revents != 0)
            AcceptFrom(TlsListener, true);
        ReapFinishedThreads();
    }
    State.Stopping = true;
    EndAllConnections();
}

}  // namespace qv::identity_server
