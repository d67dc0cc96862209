// Connection components for the tests that write down every event they receive, and a pump
// loop that waits on the component's activity handle the way the identity connection does.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "identity/ip_port.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace qv::test {

template <typename BASE>
class RECORDING_PORT : public BASE {
public:
    std::vector<std::string> Events;  // "Connected 0", "DataIn", "Error 280", ...
    std::string Received;
    int DataInCalls = 0;
    std::string Description;  // of the last event that carried one

    int FireConnected(CONNECTED_EVENT_ARGS& args) override {
        Events.push_back("Connected " + std::to_string(args.StatusCode));
        Description = args.Description != nullptr ? args.Description : "";
        return 0;
    }
    int FireConnectionStatus(CONNECTION_STATUS_EVENT_ARGS& args) override {
        Events.push_back("ConnectionStatus " + std::to_string(args.StatusCode));
        return 0;
    }
    int FireDataIn(DATA_IN_EVENT_ARGS& args) override {
        ++DataInCalls;
        if (Events.empty() || Events.back() != "DataIn") Events.push_back("DataIn");
        Received.append(reinterpret_cast<const char*>(args.Text), static_cast<size_t>(args.Length));
        return 0;
    }
    int FireDisconnected(DISCONNECTED_EVENT_ARGS& args) override {
        Events.push_back("Disconnected " + std::to_string(args.StatusCode));
        return 0;
    }
    int FireError(ERROR_EVENT_ARGS& args) override {
        Events.push_back("Error " + std::to_string(args.ErrorCode));
        Description = args.Description != nullptr ? args.Description : "";
        return 0;
    }
    int FireReadyToSend(READY_TO_SEND_EVENT_ARGS&) override {
        Events.push_back("ReadyToSend");
        return 0;
    }

    bool Saw(const std::string& event) const {
        for (const std::string& seen : Events) {
            if (seen == event) return true;
        }
        return false;
    }
    // A connection attempt is over once it has been reported either way.
    bool AttemptEnded() const {
        for (const std::string& seen : Events) {
            if (seen.rfind("Connected ", 0) == 0 || seen.rfind("Error ", 0) == 0) return true;
        }
        return false;
    }
};

// Pumps until 'done' holds or timeoutMs has passed; true when 'done' held.
inline bool PumpUntil(IPPort& port, const std::function<bool()>& done, uint32_t timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        port.PumpEvents();
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        WaitForOne(port.ActivityHandle(), 20);
    }
}

}  // namespace qv::test
