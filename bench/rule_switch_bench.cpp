// The kernel guard's rule sets: a million allowed addresses loaded and reloaded, single edits
// whatever the lists' length, and switches as fast as they go beside churn. Root, in a network
// namespace of its own; connections on 127.0.0.2-4 only.

#include "GateBench.h"
#include "engine/Conversions.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <deque>
#include <fstream>
#include <thread>
#include <tuple>

namespace kt::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint16_t kBlocked = 21061;
constexpr uint16_t kBoth = 21062;
constexpr uint16_t kOther = 21063;

GuardRules Allowing(uint32_t first, uint32_t count, uint16_t port) {
    GuardRules rules{{port}, {}, {}};
    rules.allowedAddresses.reserve(count + 1);
    for (uint32_t i = 0; i < count; ++i) {
        rules.allowedAddresses.push_back(MappedAddress(htonl(0x0A000000u + first + i)));
    }
    return rules;
}

uint64_t ResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string field;
    uint64_t kilobytes = 0;
    while (status >> field) {
        if (field == "VmRSS:" && status >> kilobytes) {
            return kilobytes * 1024;
        }
    }
    return 0;
}

// Whether a connection from 127.0.0.4 (never allowed) to the blocked port is cut.
bool CutsBlocked(const test::Socket& listener) {
    const test::Socket client = test::Connect("127.0.0.4", "127.0.0.3", listener.LocalPort());
    const test::Socket server = test::Accept(listener);
    return test::ConnectionError(server, 2000) != 0;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// 1,000,000 allowed addresses: the load, then 10 reloads of sets that share half of them.
void MillionAllowed(benchmark::State& state) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    constexpr uint32_t kAddresses = 1000000;
    const test::Socket listener = test::Listen("127.0.0.3", kBlocked);
    for (auto _ : state) {
        const uint64_t before = ResidentBytes();
        const auto loading = Clock::now();
        auto guard = StartGated(state, Allowing(0, kAddresses, kBlocked));
        if (!guard) {
            return;
        }
        const double load = std::chrono::duration<double>(Clock::now() - loading).count();
        int inForce = CutsBlocked(listener) ? 1 : 0;
        std::vector<double> switches;
        std::vector<double> slotUpdates;
        for (uint32_t i = 1; i <= 10; ++i) {
            std::string why;
            const auto asked = Clock::now();
            if (!guard->SetRules(Allowing(i * kAddresses / 2, kAddresses, kBlocked), why) ||
                !guard->SettleRules(seconds(120))) {
                state.SkipWithError(("reload: " + why).c_str());
                return;
            }
            switches.push_back(std::chrono::duration<double>(Clock::now() - asked).count());
            slotUpdates.push_back(
                std::chrono::duration<double, std::milli>(guard->RuleCounts().lastSlotUpdate)
                    .count());
            inForce += CutsBlocked(listener) ? 1 : 0;
        }
        std::string why;
        state.counters["load_s"] = load;
        state.counters["reload_median_s"] = Median(switches);
        state.counters["slot_update_median_ms"] = Median(slotUpdates);
        state.counters["in_force_checks_passed"] = inForce; // of 11
        state.counters["switches"] = static_cast<double>(guard->RuleCounts().switches);
        state.counters["refused"] = guard->TakeRefusal(why) ? 1 : 0;
        state.counters["sound"] = guard->Sound() ? 1 : 0;
        state.counters["program_MB"] = static_cast<double>(ResidentBytes() - before) / 1e6;
        state.counters["kernel_map_MB"] = static_cast<double>(guard->RuleMapBytes()) / 1e6;
    }
}
BENCHMARK(MillionAllowed)->Iterations(1)->Unit(benchmark::kSecond);

// 1,000 single adds one after another, each waited for until in force, beside a list of
// state.range(0) entries; then 100 edits in one batch.
void SingleAdds(benchmark::State& state) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const auto entries = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        auto guard = StartGated(state, Allowing(0, entries, kBlocked));
        if (!guard) {
            return;
        }
        std::vector<double> adds;
        for (uint32_t i = 0; i < 1000; ++i) {
            const GuardRuleEdit edit{GuardRuleEdit::Kind::AllowedAddress, true, 0,
                                     MappedAddress(htonl(0x0B000000u + i))};
            const auto asked = Clock::now();
            guard->Edit(std::span(&edit, 1));
            guard->SettleRules(seconds(10));
            adds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - asked).count());
        }
        const RuleSwitch::Counts before = guard->RuleCounts();
        std::vector<GuardRuleEdit> batch;
        for (uint32_t i = 0; i < 100; ++i) {
            batch.push_back({GuardRuleEdit::Kind::AllowedAddress, true, 0,
                             MappedAddress(htonl(0x0C000000u + i))});
        }
        const auto asked = Clock::now();
        guard->Edit(batch);
        guard->SettleRules(seconds(60));
        const RuleSwitch::Counts after = guard->RuleCounts();
        state.counters["add_median_us"] = Median(adds);
        state.counters["in_place"] = static_cast<double>(before.inPlace);
        state.counters["batch_switches"] = static_cast<double>(after.switches - before.switches);
        state.counters["batch_ms"] =
            std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
    }
}
BENCHMARK(SingleAdds)->Arg(100)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Two sets switched as fast as they go for 10 s beside 2,000 connections a second: half that
// neither set blocks (the first allows 127.0.0.2, the second blocks another port), half that both
// block (from 127.0.0.4).
void SwitchesBesideChurn(benchmark::State& state) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const test::Socket spared = test::Listen("127.0.0.3", kBlocked);
    const test::Socket both = test::Listen("127.0.0.3", kBoth);
    GuardRules first = Allowing(1, static_cast<uint32_t>(state.range(0)), kBlocked);
    first.blockedLocalPorts.push_back(kBoth);
    first.allowedAddresses.push_back(MappedAddress(test::Ipv4("127.0.0.2")));
    const GuardRules second{{kOther, kBoth}, {}, {}};
    for (auto _ : state) {
        auto guard = StartGated(state, first);
        if (!guard) {
            return;
        }
        std::atomic<uint64_t> switches{0};
        uint64_t sparedOpened = 0;
        uint64_t bothOpened = 0;
        uint64_t bothLeft = 0;
        {
            std::jthread switcher([&](const std::stop_token& stop) {
                std::string why;
                for (bool two = true; !stop.stop_requested(); two = !two, ++switches) {
                    guard->SetRules(two ? second : first, why);
                    guard->SettleRules(seconds(60));
                }
            });
            // Looked at once a second old: a cut takes microseconds.
            std::deque<std::tuple<Clock::time_point, test::Socket, test::Socket>> blocked;
            const auto look = [&](bool all) {
                while (!blocked.empty() &&
                       (all || std::get<0>(blocked.front()) + seconds(1) < Clock::now())) {
                    bothLeft += test::ConnectionError(std::get<2>(blocked.front()), 0) == 0 ? 1 : 0;
                    blocked.pop_front();
                }
            };
            const auto end = Clock::now() + seconds(10);
            for (auto next = Clock::now(); Clock::now() < end;
                 next += std::chrono::microseconds(500)) {
                std::this_thread::sleep_until(next);
                const bool isBoth = (sparedOpened + bothOpened) % 2 == 1;
                test::Socket client = test::Connect(isBoth ? "127.0.0.4" : "127.0.0.2", "127.0.0.3",
                                                    isBoth ? kBoth : kBlocked);
                test::Socket server = test::Accept(isBoth ? both : spared);
                if (isBoth) {
                    ++bothOpened;
                    blocked.emplace_back(Clock::now(), std::move(client), std::move(server));
                    look(false);
                } else {
                    ++sparedOpened;
                    test::Abort(client);
                    test::Abort(server);
                }
            }
            switcher.request_stop();
            std::this_thread::sleep_for(seconds(1));
            look(true);
        }
        const auto counts = guard->Count();
        state.counters["switches"] = static_cast<double>(switches.load());
        state.counters["spared_opened"] = static_cast<double>(sparedOpened);
        state.counters["both_opened"] = static_cast<double>(bothOpened);
        state.counters["both_left_uncut"] = static_cast<double>(bothLeft);
        // Every cut beyond the ones both sets asked for fell on a connection neither blocks.
        state.counters["false_cuts"] =
            static_cast<double>(counts.cuts) - static_cast<double>(bothOpened);
        state.counters["sound"] = guard->Sound() ? 1 : 0;
    }
}
BENCHMARK(SwitchesBesideChurn)->Arg(3000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
} // namespace kt::bench

BENCHMARK_MAIN();
