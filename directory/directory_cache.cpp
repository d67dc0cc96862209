#include "directory/directory_cache.h"

#include <algorithm>
#include <chrono>

namespace qv {

uint64_t DIRECTORY_CACHE::Now() const {
    if (Clock) return Clock();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool DIRECTORY_CACHE::FindTranslation(const std::u16string& key, STRING& result) {
    std::lock_guard lock(Lock);
    return Translations.Find(key, Now(), MaximumAge, result);
}

void DIRECTORY_CACHE::StoreTranslation(const std::u16string& key, const STRING& result) {
    std::lock_guard lock(Lock);
    if (MaximumAge != 0) Translations.Store(key, result, Now(), Capacity);
}

bool DIRECTORY_CACHE::FindFailure(const std::u16string& key, DIRECTORY_FAILURE& failure) {
    std::lock_guard lock(Lock);
    return Failures.Find(key, Now(), FailureAge, failure);
}

void DIRECTORY_CACHE::StoreFailure(const std::u16string& key, const DIRECTORY_FAILURE& failure) {
    std::lock_guard lock(Lock);
    if (FailureAge != 0) Failures.Store(key, failure, Now(), Capacity);
}

namespace {

std::u16string DomainKey(const char16_t* dnsDomain) {
    std::u16string key;
    for (const char16_t* at = dnsDomain ? dnsDomain : u""; *at; ++at) {
        key += (*at >= u'a' && *at <= u'z') ? static_cast<char16_t>(*at - u'a' + u'A') : *at;
    }
    return key;
}

}  // namespace

bool DIRECTORY_CACHE::FindDomain(const char16_t* dnsDomain, STRING& netbiosName) {
    std::lock_guard lock(Lock);
    auto found = Domains.find(DomainKey(dnsDomain));
    if (found == Domains.end()) return false;
    netbiosName = found->second;
    return true;
}

void DIRECTORY_CACHE::StoreDomain(const char16_t* dnsDomain, const STRING& netbiosName) {
    std::lock_guard lock(Lock);
    std::u16string key = DomainKey(dnsDomain);
    // A forest has a handful of domains; a full table keeps the names it has.
    if (Domains.size() >= DIRECTORY_CACHE_DOMAINS && Domains.find(key) == Domains.end()) return;
    Domains[key] = netbiosName;
}

std::shared_ptr<OBJECT_PROPERTIES> DIRECTORY_CACHE::FindObject(const std::u16string& key) {
    std::lock_guard lock(Lock);
    std::shared_ptr<OBJECT_PROPERTIES> properties;
    Objects.Find(key, Now(), MaximumAge, properties);
    return properties;
}

void DIRECTORY_CACHE::StoreObject(const std::u16string& key, const std::shared_ptr<OBJECT_PROPERTIES>& properties) {
    std::lock_guard lock(Lock);
    if (MaximumAge != 0) Objects.Store(key, properties, Now(), Capacity);
}

void DIRECTORY_CACHE::Clear() {
    std::lock_guard lock(Lock);
    Translations.Clear();
    Failures.Clear();
    Objects.Clear();
    Domains.clear();
}

void DIRECTORY_CACHE::Configure(uint64_t maximumAgeMilliseconds, size_t capacity, std::function<uint64_t()> clock) {
    std::lock_guard lock(Lock);
    MaximumAge = maximumAgeMilliseconds;
    FailureAge = std::min(maximumAgeMilliseconds, DIRECTORY_CACHE_FAILURE_AGE_MILLISECONDS);
    Capacity = capacity;
    Clock = std::move(clock);
    Translations.Clear();
    Failures.Clear();
    Objects.Clear();
    Domains.clear();
}

size_t DIRECTORY_CACHE::Size() {
    std::lock_guard lock(Lock);
    return Translations.Size() + Failures.Size() + Objects.Size();
}

DIRECTORY_CACHE& DirectoryCache() {
    static DIRECTORY_CACHE cache;
    return cache;
}

}  // namespace qv
