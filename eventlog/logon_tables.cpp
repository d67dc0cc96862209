#include "eventlog/logon_tables.h"

#include <algorithm>

#include "platform/system_text.h"
#include "support/time_value.h"

namespace qv {

namespace {

// Removes 'item' from the bucket of 'key', keeping the order of the rest.
template <typename INDEX, typename KEY, typename ITEM>
void Unindex(INDEX& index, const KEY& key, ITEM* item) {
    auto bucket = index.find(key);
    if (bucket == index.end()) return;
    auto& items = bucket->second;
    items.erase(std::find(items.begin(), items.end(), item));
    if (items.empty()) index.erase(bucket);
}

}  // namespace

std::u16string SERVICE_TICKET_TABLE::KeyOf(const char16_t* ntUserName, const char16_t* ipAddress) {
    const STRING user = UpperCaseText(ntUserName);
    const STRING address = UpperCaseText(ipAddress);
    std::u16string key(user.Text(), user.Length());
    key.push_back(u'\0');  // no name holds a NUL: the pair cannot be read two ways
    key.append(address.Text(), address.Length());
    return key;
}

SERVICE_TICKET* SERVICE_TICKET_TABLE::Find(const char16_t* ntUserName, const char16_t* ipAddress) {
    auto bucket = Index.find(KeyOf(ntUserName, ipAddress));
    if (bucket == Index.end()) return nullptr;
    for (SERVICE_TICKET* ticket : bucket->second) {
        if (EqualsIgnoringCase(ticket->NtUserName, ntUserName) && EqualsIgnoringCase(ticket->IpAddress, ipAddress)) {
            return ticket;
        }
    }
    return nullptr;
}

SERVICE_TICKET& SERVICE_TICKET_TABLE::Append(const STRING& ntUserName, const STRING& ntComputerName,
                                             const STRING& ipAddress) {
    SERVICE_TICKET& ticket = Entries.emplace_back();
    ticket.Created = STOPWATCH::Now();
    ticket.NtUserName = ntUserName;
    ticket.NtComputerName = ntComputerName;
    ticket.IpAddress = ipAddress;
    ticket.Position = std::prev(Entries.end());
    ticket.Key = KeyOf(ntUserName.Text(), ipAddress.Text());
    Index[ticket.Key].push_back(&ticket);
    return ticket;
}

void SERVICE_TICKET_TABLE::Remove(SERVICE_TICKET& ticket) {
    Unindex(Index, ticket.Key, &ticket);
    Entries.erase(ticket.Position);
}

std::string LOGON_TABLE::KeyOf(const IP_ADDRESS& address) {
    std::string key(1, static_cast<char>(IpAddressVersion(address)));
    if (const uint8_t* bytes = IpAddressBytes(address)) key.append(reinterpret_cast<const char*>(bytes), IpAddressLength(address));
    return key;
}

LOGON_ENTRY* LOGON_TABLE::FindByAddress(const IP_ADDRESS& address) {
    auto bucket = Index.find(KeyOf(address));
    return bucket == Index.end() ? nullptr : bucket->second.front();
}

LOGON_ENTRY& LOGON_TABLE::Append(const IP_ADDRESS& address) {
    LOGON_ENTRY& entry = Entries.emplace_back();
    entry.TtlStart = entry.LastHeartbeat = STOPWATCH::Now();
    entry.Position = std::prev(Entries.end());
    entry.Key = KeyOf(address);
    Index[entry.Key].push_back(&entry);
    return entry;
}

void LOGON_TABLE::Remove(LOGON_ENTRY& entry) {
    Unindex(Index, entry.Key, &entry);
    Entries.erase(entry.Position);
}

void LOGON_TABLE::ResetTtl(LOGON_ENTRY& entry) { entry.TtlStart = STOPWATCH::Now(); }

}  // namespace qv
