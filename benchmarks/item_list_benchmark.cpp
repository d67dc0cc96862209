// How long encoding an ordinary request takes: about sixty items, a header with back-filled
// lengths and a run of attributes, built into one exactly sized block.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "support/item_list.h"

namespace qv {
namespace {

void TypicalRequest(benchmark::State& state) {
    uint8_t* header = nullptr;
    uint32_t total = 0;
    const char16_t* user = u"someone";
    const char* host = "host.example";
    const uint8_t address[] = {10, 0, 0, 1};
    std::vector<ITEM> items = {ITEM_UINT32 | ITEM_BIG_ENDIAN, 0x51560001u, ITEM_MARK, &header, ITEM_UINT16, 0u,
                               ITEM_ORIGIN};
    for (int i = 0; i < 10; ++i) {
        items.insert(items.end(), {ITEM_UINT16 | ITEM_BIG_ENDIAN, static_cast<uint32_t>(i), ITEM_WTEXT | ITEM_TERMINATE,
                                   user, ITEM_ATEXT, host, ITEM_BYTES, address, 4u, ITEM_WDEC_UINT32, 123456u,
                                   ITEM_ALIGN, 4u, 0u});
    }
    items.insert(items.end(), {ITEM_LENGTH16_AT, &header, ITEM_OFFSET32, &total, ITEM_END});
    for (auto _ : state) {
        uint32_t size = 0;
        uint8_t* block = BuildItemsAlloc(size, ITEMS(items));
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
}
BENCHMARK(TypicalRequest);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
