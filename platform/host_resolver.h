// The host's name, its own addresses and reverse lookups: the operations that ask the system
// about names. They go through one replaceable object so that tests never reach the system
// resolver (a test installs a fake of its own with SetHostResolver).
#pragma once

#include <cstdint>
#include <vector>

namespace qv {

class STRING;
class STRING_A;

class HOST_RESOLVER {
public:
    virtual ~HOST_RESOLVER() = default;

    // As gethostname into a 256-byte buffer; 0 or the socket error code.
    virtual uint32_t HostName(STRING_A& name) = 0;
    // The local host's addresses in the resolver's order, each a platform socket address
    // (Windows: getaddrinfo of the empty host name; POSIX: the interfaces' addresses).
    virtual uint32_t LocalAddresses(std::vector<std::vector<uint8_t>>& addresses) = 0;
    // The name of the host at an address; a name is required (no numeric answer).
    virtual uint32_t ReverseLookup(const void* address, uint32_t length, STRING& hostName) = 0;
};

HOST_RESOLVER& SystemHostResolver();
// The resolver in use: the system's unless one was installed; null puts the system's back.
HOST_RESOLVER& CurrentHostResolver();
void SetHostResolver(HOST_RESOLVER* resolver);

}  // namespace qv
