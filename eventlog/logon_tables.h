// The two tables the logon handlers keep: Kerberos service tickets that tie a user to the
// computer it asked for a ticket from an address, and the logons reported to the identity
// server, one per client address in practice. Both keep their entries in insertion order
// (the first match is the oldest) and index them, so that a look-up costs the same at a
// hundred entries as at a hundred thousand.
//
// Times are milliseconds on the monotonic clock (STOPWATCH::Now), so a step of the wall
// clock neither expires every entry at once nor keeps one alive for ever.
#pragma once

#include <cstdint>
#include <iterator>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/string.h"
#include "identity/identity_request.h"
#include "identity/ip_address.h"

namespace qv {

// Visits the entries in order; 'remove' takes each one 'visit' returns true for, which may
// erase it from the list, so the walk steps on before it.
template <typename ENTRY, typename VISIT, typename REMOVE>
void RemoveVisited(std::list<ENTRY>& entries, VISIT& visit, REMOVE remove) {
    for (auto entry = entries.begin(); entry != entries.end();) {
        auto next = std::next(entry);
        if (visit(*entry)) remove(*entry);
        entry = next;
    }
}

struct SERVICE_TICKET {
    uint64_t Created = 0;   // never refreshed
    STRING NtUserName;      // DOMAIN\user
    STRING NtComputerName;  // DOMAIN\computer, without a final "$"
    STRING IpAddress;       // the client address text exactly as the event gave it

private:
    friend class SERVICE_TICKET_TABLE;
    std::list<SERVICE_TICKET>::iterator Position;
    std::u16string Key;
};

struct LOGON_ENTRY {
    uint64_t TtlStart = 0;       // creation, or the last "Reset TTL"
    uint64_t LastHeartbeat = 0;  // creation, or the last heartbeat sent
    IDENTITY_REQUEST Request;    // built by the logon report; resent by heartbeats and the logoff

    // Read back from the request.
    STRING UserName() const { return RequestUserName(Request); }
    STRING AddressText() const { return RequestAddressText(Request); }

private:
    friend class LOGON_TABLE;
    std::list<LOGON_ENTRY>::iterator Position;
    std::string Key;
};

class SERVICE_TICKET_TABLE {
public:
    // The first ticket whose user and address both equal the arguments, ignoring case; null
    // when there is none.
    SERVICE_TICKET* Find(const char16_t* ntUserName, const char16_t* ipAddress);
    SERVICE_TICKET& Append(const STRING& ntUserName, const STRING& ntComputerName, const STRING& ipAddress);
    void Remove(SERVICE_TICKET& ticket);
    uint32_t Count() const { return static_cast<uint32_t>(Entries.size()); }

    // Calls visit(ticket) for each ticket in insertion order; a ticket for which it returns
    // true is removed.
    template <typename VISIT>
    void RemoveWhere(VISIT visit) {
        RemoveVisited(Entries, visit, [this](SERVICE_TICKET& ticket) { Remove(ticket); });
    }

private:
    static std::u16string KeyOf(const char16_t* ntUserName, const char16_t* ipAddress);
    std::list<SERVICE_TICKET> Entries;
    // Upper-cased user and address: the tickets with that key, oldest first.
    std::unordered_map<std::u16string, std::vector<SERVICE_TICKET*>> Index;
};

class LOGON_TABLE {
public:
    // The oldest entry whose request carries the same IP version and address bytes; null when
    // there is none.
    LOGON_ENTRY* FindByAddress(const IP_ADDRESS& address);
    // A new entry for a logon from 'address', whose request the report that follows builds
    // from that same address.
    LOGON_ENTRY& Append(const IP_ADDRESS& address);
    // Nothing is sent to the identity server.
    void Remove(LOGON_ENTRY& entry);
    void ResetTtl(LOGON_ENTRY& entry);
    uint32_t Count() const { return static_cast<uint32_t>(Entries.size()); }

    // As SERVICE_TICKET_TABLE::RemoveWhere.
    template <typename VISIT>
    void RemoveWhere(VISIT visit) {
        RemoveVisited(Entries, visit, [this](LOGON_ENTRY& entry) { Remove(entry); });
    }

private:
    static std::string KeyOf(const IP_ADDRESS& address);
    std::list<LOGON_ENTRY> Entries;
    // Version byte and address bytes: the entries with that address, oldest first.
    std::unordered_map<std::string, std::vector<LOGON_ENTRY*>> Index;
};

}  // namespace qv
