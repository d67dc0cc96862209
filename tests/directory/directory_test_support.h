// Small helpers shared by the directory tests and the benchmark: a group list as its names,
// and the settings the Samba domain controller fixture writes (tests/e2e/samba_dc.sh).
#pragma once

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "directory/directory.h"
#include "tests/test_text.h"

namespace qv::test {

inline std::vector<std::string> GroupNames(const GROUP_LIST& groups) {
    std::vector<std::string> names;
    for (const GROUP_ENTRY& group : groups) names.push_back(Utf8(group.Name));
    return names;
}

// The KEY=VALUE lines of the fixture's dc.env, quotes taken off; empty when there is none.
inline std::map<std::string, std::string> ReadDcEnvironment(const char* path) {
    std::map<std::string, std::string> values;
    if (!path) return values;
    std::ifstream input(path);
    std::string line;
    while (std::getline(input, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') value = value.substr(1, value.size() - 2);
        values[line.substr(0, equals)] = value;
    }
    return values;
}

}  // namespace qv::test
