// The rules model's own share of an edit: one address added and deleted again, with 100 or
// 100,000 allowed addresses there, and the edits a guard is handed for it.

#include "rules/RuleModel.h"

#include <benchmark/benchmark.h>
#include <string>

namespace {

std::string Address(int i) {
    return "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) + "." +
           std::to_string(i & 255);
}

void BM_ModelAddAndDelete(benchmark::State& state) {
    kt::RuleModel model;
    kt::RuleEntries all;
    for (int i = 0; i < state.range(0); ++i) {
        all[0].push_back(Address(i));
    }
    model.Replace(all, kt::RuleOrigin::Start);
    size_t handed = 0;
    model.Listen(
        [&](const kt::RuleChange& change) { handed += kt::GuardEdits(change.edits).size(); });
    const std::string added = "192.168.77.77";
    for (auto _ : state) {
        model.Add(kt::RuleListId::Allowed, added, kt::RuleOrigin::Client);
        model.Delete(kt::RuleListId::Allowed, added, kt::RuleOrigin::Client);
    }
    benchmark::DoNotOptimize(handed);
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_ModelAddAndDelete)->Arg(100)->Arg(100000);

} // namespace
