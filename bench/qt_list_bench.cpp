// The Current Connections view rebuilt into the real Qt window (offscreen): from the Manager's
// lines to the list box, its layout and its painting.

#include "BenchDoubles.h"
#include "core/Application.h"
#include "engine/Engine.h"
#include "manager/Manager.h"
#include "ui/qt/QtMainWindow.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

using namespace kt;

// Lists the rows it is given, every snapshot.
class FixedTable : public TcpTable {
public:
    bool TakeSnapshot(std::vector<TcpRow>& out) override {
        out = rows;
        return true;
    }
    bool DeleteConnection(const TcpRow&) override { return false; }
    std::vector<TcpRow> rows;
};

uint32_t Address(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char octets[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

// The program with its real window over a table of `count` established connections.
struct Program {
    explicit Program(int count)
        : app(Platform{host, store, table, windows, [] { return std::string("10.1.2.3 "); }}) {
        for (int i = 0; i < count; ++i) {
            table.rows.push_back(TcpRow{TcpEstablished, Address(127, 0, 0, 2),
                                        PortToField(static_cast<uint16_t>(20000 + i)),
                                        Address(127, 0, static_cast<unsigned char>(i / 250),
                                                static_cast<unsigned char>(i % 250 + 3)),
                                        PortToField(443)});
        }
        app.StartUp();
        Next([](TcpRow&) {});
    }
    // The engine takes the changed table without showing it, so that the rebuild alone is timed.
    void Next(const std::function<void(TcpRow&)>& change) {
        for (TcpRow& row : table.rows) {
            change(row);
        }
        app.AppManager->oMainForm = nullptr;
        app.GetEngine()->PollConnections();
        app.AppManager->oMainForm = windows.LastWindow();
    }
    void Rebuild() {
        app.AppManager->RefreshCurrentConnections();
        QCoreApplication::processEvents();
    }

    bench::QuietHost host;
    bench::NullStore store;
    FixedTable table;
    QtMainWindowFactory windows{[] { return false; }};
    Application app;
};

void Flip(TcpRow& row) {
    row.dwRemotePort = PortToField(row.dwRemotePort == PortToField(443) ? 8443 : 443);
}

void BM_QtRebuildOneLineChanged(benchmark::State& state) {
    Program program(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        Flip(program.table.rows[10]); // a line on screen: it is repainted too
        program.Next([](TcpRow&) {});
        state.ResumeTiming();
        program.Rebuild();
    }
}
BENCHMARK(BM_QtRebuildOneLineChanged)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_QtRebuildAllLinesChanged(benchmark::State& state) {
    Program program(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        program.Next(Flip);
        state.ResumeTiming();
        program.Rebuild();
    }
}
BENCHMARK(BM_QtRebuildAllLinesChanged)->Arg(2000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qt(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
