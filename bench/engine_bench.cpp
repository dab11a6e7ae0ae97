#include "BenchDoubles.h"
#include "engine/Engine.h"
#include "manager/Manager.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace kt;
using bench::NullStore;
using bench::QuietHost;

// A list box that keeps its rows, as a real one would.
class ListBoxForm : public MainForm {
public:
    void ClearListRows() override { rows.clear(); }
    void AppendListRow(std::string_view text) override { rows.emplace_back(text); }
    int32_t ListRowCount() const override { return static_cast<int32_t>(rows.size()); }
    std::string ListRowText(int32_t row) const override { return rows[static_cast<size_t>(row)]; }
    bool ListRowSelected(int32_t) const override { return false; }
    void SetHeadText(std::string_view) override {}
    void SetItemBoxEnabled(bool) override {}
    void SetDeleteMenuEnabled(bool) override {}
    void SetAddButtonEnabled(bool) override {}
    Value ShowConnectedValue() const override { return Value(int16_t{0}); }
    std::vector<std::string> rows;
};

// Lists a fixed set of rows; a snapshot hands them over only when asked to, so that a steady
// tick measures the engine alone.
class SteadyTable : public TcpTable {
public:
    bool TakeSnapshot(std::vector<TcpRow>& out) override {
        if (refill) {
            out = rows;
        }
        return true;
    }
    bool DeleteConnection(const TcpRow&) override { return false; }
    std::vector<TcpRow> rows;
    bool refill = true;
};

uint32_t Address(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char octets[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

std::vector<TcpRow> EstablishedRows(int count) {
    std::vector<TcpRow> rows;
    for (int i = 0; i < count; ++i) {
        rows.push_back(TcpRow{TcpEstablished, Address(127, 0, 0, 2),
                              PortToField(static_cast<uint16_t>(10000 + i % 50000)),
                              Address(127, 0, static_cast<unsigned char>(i / 250),
                                      static_cast<unsigned char>(i % 250 + 3)),
                              PortToField(443)});
    }
    return rows;
}

struct Setup {
    Setup() : manager(store, nullptr), engine(table, host, manager) {
        engine.BuildStateNames();
        manager.oConnections = &engine;
        manager.oMainForm = &form;
        manager.oAllowedIP.AddItem("127.0.0.1");
        manager.oBlockedLocalPorts.AddItem(int32_t{3389});
        manager.oBlockedRemotePorts.AddItem(int32_t{8080});
        manager.SetCurrentMode(0);
    }
    NullStore store;
    QuietHost host;
    SteadyTable table;
    ListBoxForm form;
    Manager manager;
    Engine engine;
};

void BM_SteadyTickPerRow(benchmark::State& state) {
    Setup s;
    s.table.rows = EstablishedRows(static_cast<int>(state.range(0)));
    s.engine.PollConnections(); // judges every row once
    s.table.refill = false;
    for (auto _ : state) {
        s.engine.PollConnections();
    }
    state.counters["ns_per_row"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(state.range(0)),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SteadyTickPerRow)->Arg(100)->Arg(1000)->Arg(10000);

void BM_FirstTickNewRowsWithView(benchmark::State& state) {
    Setup s;
    s.table.rows = EstablishedRows(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        s.engine.ClearConnectionCache();
        s.engine.PollConnections();
    }
    benchmark::DoNotOptimize(s.form.rows.size());
}
BENCHMARK(BM_FirstTickNewRowsWithView)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
