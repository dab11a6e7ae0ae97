#include "list/List.h"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> AddressTexts(int count) {
    std::vector<std::string> texts;
    texts.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        texts.push_back("10." + std::to_string((i >> 16) & 255) + "." +
                        std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255));
    }
    return texts;
}

void BM_AppendStrings(benchmark::State& state) {
    const auto texts = AddressTexts(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        kt::List list;
        list.InitStringList();
        for (const auto& text : texts) {
            list.AddItem(text);
        }
        benchmark::DoNotOptimize(list.GetItemCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AppendStrings)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_FindStringMissNoCase(benchmark::State& state) {
    kt::List list;
    list.InitStringList();
    for (const auto& text : AddressTexts(static_cast<int>(state.range(0)))) {
        list.AddItem(text);
    }
    const kt::Value missing("192.168.77.77");
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.FindEqual(missing, false));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FindStringMissNoCase)->Arg(20000);

void BM_FindLongMiss(benchmark::State& state) {
    kt::List list;
    list.InitLongList();
    for (int32_t i = 0; i < state.range(0); ++i) {
        list.AddItem(i);
    }
    const kt::Value missing(int32_t{-1});
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.FindEqual(missing, true));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FindLongMiss)->Arg(20000);

} // namespace
