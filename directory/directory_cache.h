// Answers the directory gave recently, so that repeat look-ups cost no round trip: name
// translations, and the properties read from opened objects. Only what the directory answered
// is kept, every entry for at most a few minutes (a group change shows after that at the
// latest), and at most so many entries (the oldest go first). A name the directory said it
// does not know is remembered for a shorter while, so that a burst of logons by one unknown
// account costs one look-up; a directory that could not be reached is not an answer (look-ups
// pause instead, see directory_guard.h). The look-ups write the same lines whether an answer
// came from here or from the directory.
//
// The NetBIOS names of domains are kept for the life of the process: they do not change, and
// a user must not be reported under another name while the directory is out of reach.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/string.h"
#include "platform/directory_access.h"

namespace qv {

constexpr uint64_t DIRECTORY_CACHE_AGE_MILLISECONDS = 5 * 60 * 1000;
constexpr uint64_t DIRECTORY_CACHE_FAILURE_AGE_MILLISECONDS = 60 * 1000;
constexpr size_t DIRECTORY_CACHE_ENTRIES = 20000;
constexpr size_t DIRECTORY_CACHE_DOMAINS = 1000;

// A failed translation as the directory answered it: its code and the step that failed.
struct DIRECTORY_FAILURE {
    uint32_t Code = 0;
    uint32_t Step = 0;
};

// Entries in the order stored, dropped when too old or too many.
template <typename VALUE>
class AGED_CACHE {
public:
    bool Find(const std::u16string& key, uint64_t now, uint64_t maximumAge, VALUE& value) {
        auto found = Entries.find(key);
        if (found == Entries.end()) return false;
        if (now - found->second.StoredAt >= maximumAge) {
            Order.erase(found->second.Position);
            Entries.erase(found);
            return false;
        }
        value = found->second.Value;
        return true;
    }

    void Store(const std::u16string& key, const VALUE& value, uint64_t now, size_t capacity) {
        auto found = Entries.find(key);
        if (found != Entries.end()) {
            Order.erase(found->second.Position);
            Entries.erase(found);
        }
        Order.push_back(key);
        Entries.emplace(key, ENTRY{value, now, std::prev(Order.end())});
        while (Entries.size() > capacity) {
            Entries.erase(Order.front());
            Order.pop_front();
        }
    }

    void Clear() {
        Entries.clear();
        Order.clear();
    }
    size_t Size() const { return Entries.size(); }

private:
    struct ENTRY {
        VALUE Value;
        uint64_t StoredAt;
        std::list<std::u16string>::iterator Position;
    };
    std::unordered_map<std::u16string, ENTRY> Entries;
    std::list<std::u16string> Order;
};

// The property reads of one object, as the directory answered them.
struct OBJECT_PROPERTIES {
    struct READ {
        uint32_t Code = 0;
        DIRECTORY_VALUE Value;
    };
    std::mutex Lock;
    std::unordered_map<std::u16string, READ> Reads;  // "Get:name" or "GetEx:name"
};

class DIRECTORY_CACHE {
public:
    bool FindTranslation(const std::u16string& key, STRING& result);
    void StoreTranslation(const std::u16string& key, const STRING& result);
    bool FindFailure(const std::u16string& key, DIRECTORY_FAILURE& failure);
    void StoreFailure(const std::u16string& key, const DIRECTORY_FAILURE& failure);
    // NetBIOS names by DNS domain (any case), never aged.
    bool FindDomain(const char16_t* dnsDomain, STRING& netbiosName);
    void StoreDomain(const char16_t* dnsDomain, const STRING& netbiosName);
    std::shared_ptr<OBJECT_PROPERTIES> FindObject(const std::u16string& key);
    void StoreObject(const std::u16string& key, const std::shared_ptr<OBJECT_PROPERTIES>& properties);

    void Clear();
    // Limits and clock for tests; a zero age keeps nothing.
    void Configure(uint64_t maximumAgeMilliseconds, size_t capacity, std::function<uint64_t()> clock = nullptr);
    size_t Size();

private:
    uint64_t Now() const;

    std::mutex Lock;
    uint64_t MaximumAge = DIRECTORY_CACHE_AGE_MILLISECONDS;
    uint64_t FailureAge = DIRECTORY_CACHE_FAILURE_AGE_MILLISECONDS;
    size_t Capacity = DIRECTORY_CACHE_ENTRIES;
    std::function<uint64_t()> Clock;
    AGED_CACHE<STRING> Translations;
    AGED_CACHE<DIRECTORY_FAILURE> Failures;
    std::unordered_map<std::u16string, STRING> Domains;
    AGED_CACHE<std::shared_ptr<OBJECT_PROPERTIES>> Objects;
};

DIRECTORY_CACHE& DirectoryCache();

}  // namespace qv
