// A resolver that never asks the system: the host name, local addresses and reverse lookups
// a test sets. Installed for the life of the object.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/error_codes.h"
#include "base/string.h"
#include "identity/ip_address.h"
#include "platform/host_resolver.h"

namespace qv::test {

class FAKE_HOST_RESOLVER : public HOST_RESOLVER {
public:
    FAKE_HOST_RESOLVER() { SetHostResolver(this); }
    ~FAKE_HOST_RESOLVER() override { SetHostResolver(nullptr); }

    uint32_t HostName(STRING_A& name) override {
        if (HostNameError != ERR_SUCCESS) return HostNameError;
        name = Name.c_str();
        return ERR_SUCCESS;
    }
    uint32_t LocalAddresses(std::vector<std::vector<uint8_t>>& addresses) override {
        addresses = Addresses;
        return AddressesError;
    }
    uint32_t ReverseLookup(const void* address, uint32_t length, STRING& hostName) override {
        STRING text;
        if (!AddressToString(address, length, text)) return ERR_WSAEINVAL;
        auto found = Names.find(std::u16string(text.Text(), text.Length()));
        if (found == Names.end()) return ERR_WSAHOST_NOT_FOUND;
        hostName = found->second.c_str();
        return ERR_SUCCESS;
    }

    // Adds a local address given as text.
    void AddLocal(const char16_t* text) {
        IP_ADDRESS address;
        if (IpAddressFromText(address, text)) {
            const uint8_t* bytes = address.SocketAddress.Data();
            Addresses.emplace_back(bytes, bytes + address.SocketAddress.Size());
        }
    }

    std::string Name = "testhost";
    uint32_t HostNameError = ERR_SUCCESS;
    uint32_t AddressesError = ERR_SUCCESS;
    std::vector<std::vector<uint8_t>> Addresses;
    std::map<std::u16string, std::u16string> Names;
};

}  // namespace qv::test
