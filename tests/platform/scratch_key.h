// A writable settings key of its own for one test: on POSIX in a fresh data root (gone with
// the test); on Windows in the real registry, which keeps the key and its values from earlier
// runs, so a test that counts on a value being absent deletes it first.
#pragma once

#include "platform/registry.h"
#include "tests/platform/temp_data_root.h"

namespace qv::test {

struct SCRATCH_KEY {
    SCRATCH_KEY(const char* purpose, const char16_t* path)
#if !defined(_WIN32)
        : Root(purpose)
#endif
    {
        (void)purpose;
#if !defined(_WIN32)
        if (!Root.IsValid()) return;
#endif
        Opened = CreateRegistryKey(path) == 0 && Key.Open(path, true) == 0;
    }

#if !defined(_WIN32)
    TEMP_DATA_ROOT Root;  // declared first: the key is closed before its folder goes
#endif
    REGISTRY_KEY Key;
    bool Opened = false;
};

}  // namespace qv::test
