#include "directory/directory_cache.h"

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
    Objects.Clear();
}

void DIRECTORY_CACHE::Configure(uint64_t maximumAgeMilliseconds, size_t capacity, std::function<uint64_t()> clock) {
    std::lock_guard lock(Lock);
    MaximumAge = maximumAgeMilliseconds;
    Capacity = capacity;
    Clock = std::move(clock);
    Translations.Clear();
    Objects.Clear();
}

size_t DIRECTORY_CACHE::Size() {
    std::lock_guard lock(Lock);
    return Translations.Size() + Objects.Size();
}

DIRECTORY_CACHE& DirectoryCache() {
    static DIRECTORY_CACHE cache;
    return cache;
}

}  // namespace qv
