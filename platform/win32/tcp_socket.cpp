// TCP client sockets on Windows. The waitable is the manual-reset event that WSAEventSelect
// ties to the socket (FD_CONNECT, FD_READ, FD_WRITE, FD_CLOSE). Winsock sets it when it
// records a network event and WSAEnumNetworkEvents clears it, so each round of work starts by
// collecting the recorded events; the socket then sets it again only for what comes after.
// FD_READ is recorded again after every recv while data remains, and FD_WRITE only after a
// send has failed with WSAEWOULDBLOCK, so the owner always reads until nothing is left and
// sends until the socket refuses: writability needs no separate watch here.
//
// Every object holds one reference on the sockets library (WSAStartup/WSACleanup in pairs), so
// it works whoever else starts or cleans up the library.
#include "platform/tcp_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/win32.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "base/string.h"

namespace qv {

namespace {

class EVENT_WAITABLE : public WAITABLE {
public:
    void Take(HANDLE handle) { Adopt(handle, false); }
};

struct ADDRESS {
    sockaddr_storage Storage{};
    int Length = 0;
};

VOID CALLBACK AlarmExpired(PVOID event, BOOLEAN) { SetEvent(static_cast<HANDLE>(event)); }

uint32_t LastSocketError() { return static_cast<uint32_t>(WSAGetLastError()); }

}  // namespace

struct TCP_SOCKET::STATE {
    bool Started = false;
    EVENT_WAITABLE Event;
    SOCKET Socket = INVALID_SOCKET;
    HANDLE Alarm = nullptr;
    std::vector<ADDRESS> Addresses;
    size_t NextAddress = 0;
    bool ConnectDone = false;
    uint32_t ConnectError = ERR_SUCCESS;

    HANDLE EventHandle() const { return AsHandle(Event.NativeHandle()); }

    void CloseSocket() {
        if (Socket == INVALID_SOCKET) return;
        closesocket(Socket);
        Socket = INVALID_SOCKET;
    }

    void CancelAlarm() {
        if (Alarm == nullptr) return;
        // INVALID_HANDLE_VALUE: wait until a callback already running has finished, so it
        // never touches an event that is about to be closed.
        DeleteTimerQueueTimer(nullptr, Alarm, INVALID_HANDLE_VALUE);
        Alarm = nullptr;
    }

    // Takes what Winsock recorded since the last call (and clears the event).
    void Collect() {
        if (Socket == INVALID_SOCKET) return;
        WSANETWORKEVENTS recorded{};
        if (WSAEnumNetworkEvents(Socket, EventHandle(), &recorded) != 0) return;
        if ((recorded.lNetworkEvents & FD_CONNECT) != 0) {
            ConnectDone = true;
            ConnectError = static_cast<uint32_t>(recorded.iErrorCode[FD_CONNECT_BIT]);
        }
    }

    uint32_t ConnectNext() {
        uint32_t error = ERR_WSAHOST_NOT_FOUND;
        while (NextAddress < Addresses.size()) {
            const ADDRESS& address = Addresses[NextAddress++];
            CloseSocket();
            ConnectDone = false;
            ConnectError = ERR_SUCCESS;
            Socket = socket(address.Storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
            if (Socket == INVALID_SOCKET) {
                error = LastSocketError();
                continue;
            }
            // Requests and responses are small: each should leave at once, not wait for Nagle.
            const BOOL on = TRUE;
            setsockopt(Socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
            // Also makes the socket non-blocking.
            if (WSAEventSelect(Socket, EventHandle(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
                error = LastSocketError();
                continue;
            }
            if (connect(Socket, reinterpret_cast<const sockaddr*>(&address.Storage), address.Length) != 0 &&
                WSAGetLastError() != WSAEWOULDBLOCK) {
                error = LastSocketError();
                continue;
            }
            return ERR_SUCCESS;
        }
        CloseSocket();
        return error;
    }
};

TCP_SOCKET::TCP_SOCKET() : State(std::make_unique<STATE>()) {
    WSADATA data{};
    State->Started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    if (!State->Started) return;
    const WSAEVENT event = WSACreateEvent();
    if (event != WSA_INVALID_EVENT) State->Event.Take(event);
}

TCP_SOCKET::~TCP_SOCKET() {
    Close();
    State->CancelAlarm();
    State->Event.Close();
    if (State->Started) WSACleanup();
}

bool TCP_SOCKET::IsUsable() const { return State->Event.IsValid(); }

uint32_t TCP_SOCKET::StartConnect(const char* host, uint16_t port) {
    Close();
    if (!IsUsable()) return State->Started ? ERR_WSAENOBUFS : ERR_WSANOTINITIALISED;
    const STRING wideHost(host);
    const std::wstring service = std::to_wstring(port);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    ADDRINFOW* found = nullptr;
    const int resolved = GetAddrInfoW(AsWide(wideHost.Text()), service.c_str(), &hints, &found);
    if (resolved != 0) return static_cast<uint32_t>(resolved);  // a Winsock code
    for (const ADDRINFOW* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        ADDRESS address;
        std::memcpy(&address.Storage, entry->ai_addr, entry->ai_addrlen);
        address.Length = static_cast<int>(entry->ai_addrlen);
        State->Addresses.push_back(address);
    }
    FreeAddrInfoW(found);
    return State->ConnectNext();
}

uint32_t TCP_SOCKET::CheckConnect() {
    if (!IsOpen()) return ERR_WSAENOTCONN;
    State->Collect();
    if (!State->ConnectDone) return ERR_WSAEWOULDBLOCK;
    if (State->ConnectError == ERR_SUCCESS) return ERR_SUCCESS;
    const uint32_t failure = State->ConnectError;
    return State->ConnectNext() == ERR_SUCCESS ? ERR_WSAEWOULDBLOCK : failure;
}

uint32_t TCP_SOCKET::Send(const uint8_t* bytes, size_t count, size_t& sent) {
    sent = 0;
    if (!IsOpen()) return ERR_WSAENOTCONN;
    while (sent < count) {
        const size_t left = count - sent;
        const int chunk = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        const int result = send(State->Socket, reinterpret_cast<const char*>(bytes + sent), chunk, 0);
        if (result != SOCKET_ERROR) {
            sent += static_cast<size_t>(result);
            continue;
        }
        if (WSAGetLastError() == WSAEWOULDBLOCK) return ERR_SUCCESS;
        return LastSocketError();
    }
    return ERR_SUCCESS;
}

uint32_t TCP_SOCKET::Receive(uint8_t* buffer, size_t capacity, size_t& received) {
    received = 0;
    if (!IsOpen()) return ERR_WSAENOTCONN;
    const int chunk = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
    const int result = recv(State->Socket, reinterpret_cast<char*>(buffer), chunk, 0);
    if (result != SOCKET_ERROR) {
        received = static_cast<size_t>(result);
        return ERR_SUCCESS;
    }
    return LastSocketError();  // WSAEWOULDBLOCK when nothing is there
}

void TCP_SOCKET::Close() {
    State->CloseSocket();
    State->Addresses.clear();
    State->NextAddress = 0;
    State->ConnectDone = false;
    State->ConnectError = ERR_SUCCESS;
}

bool TCP_SOCKET::IsOpen() const { return State->Socket != INVALID_SOCKET; }

const WAITABLE& TCP_SOCKET::Readiness() const { return State->Event; }

void TCP_SOCKET::RearmReadiness() {
    if (!IsUsable()) return;
    ResetEvent(State->EventHandle());
    State->Collect();
}

void TCP_SOCKET::WatchWritable(bool) {}

void TCP_SOCKET::SignalWork() {
    if (IsUsable()) SetEvent(State->EventHandle());
}

void TCP_SOCKET::SetAlarm(uint32_t milliseconds) {
    State->CancelAlarm();
    if (milliseconds == 0 || !IsUsable()) return;
    HANDLE timer = nullptr;
    if (CreateTimerQueueTimer(&timer, nullptr, AlarmExpired, State->EventHandle(), milliseconds, 0,
                              WT_EXECUTEONLYONCE | WT_EXECUTEINTIMERTHREAD) != FALSE) {
        State->Alarm = timer;
    }
}

}  // namespace qv
