#include "../../TimeScale.h"
#include "Loopback.h"
#include "engine/Conversions.h"
#include "engine/linux/KernelGuard.h"
#include "engine/linux/RuleSwitch.h"
#include "guard_events.h"

#include <arpa/inet.h>
#include <atomic>
#include <bpf/bpf.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace kt::test {
namespace {

using std::chrono::seconds;
using ::testing::AnyOf;
using ::testing::HasSubstr;

const auto Aborted = AnyOf(ECONNRESET, ECONNABORTED, EPIPE);
constexpr uint16_t kPorts[] = {21041, 21042, 21043};

struct Connection {
    Socket client;
    Socket server;
};

Connection Open(const Socket& listener, const char* from) {
    Connection c;
    c.client = Connect(from, "127.0.0.3", listener.LocalPort());
    c.server = Accept(listener);
    return c;
}

bool Alive(const Connection& c) {
    return Exchange(c.client, c.server) && Exchange(c.server, c.client);
}

// count allowed addresses in 10.x.y.z, from first on, and the extra ones.
GuardRules Allowing(uint32_t first, uint32_t count, std::vector<Address6> extra, uint16_t port) {
    GuardRules rules{{port}, {}, std::move(extra)};
    for (uint32_t i = 0; i < count; ++i) {
        rules.allowedAddresses.push_back(MappedAddress(htonl(0x0A000000u + first + i)));
    }
    return rules;
}

GuardRuleEdit AllowEdit(const char* address, bool add) {
    return {GuardRuleEdit::Kind::AllowedAddress, add, 0, MappedAddress(Ipv4(address))};
}

// Far more allowed addresses than one map of the old layout held: loaded, reloaded whole and
// edited in place, the guard in force throughout and cutting by the set in force.
TEST(KernelGuardRules, LargeSetsLoadReloadAndTakeEditsInPlace) {
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    constexpr uint32_t kAddresses = 150000;
    std::string whyNot;
    const auto guard = KernelGuard::Start(
        Allowing(0, kAddresses, {MappedAddress(Ipv4("127.0.0.2"))}, kPorts[0]), whyNot);
    ASSERT_TRUE(guard) << whyNot;
    const Connection allowed = Open(listener, "127.0.0.2");
    EXPECT_TRUE(Alive(allowed));
    const Connection blocked = Open(listener, "127.0.0.4");
    EXPECT_THAT(ConnectionError(blocked.server), Aborted);

    // A reload that drops 127.0.0.2: the connection it allowed goes with it.
    ASSERT_TRUE(guard->SetRules(Allowing(kAddresses, kAddresses, {}, kPorts[0]), whyNot));
    ASSERT_TRUE(guard->SettleRules(seconds(Scaled(60))));
    EXPECT_THAT(ConnectionError(allowed.server), Aborted);
    RuleSwitch::Counts counts = guard->RuleCounts();
    EXPECT_EQ(counts.switches, 2u);
    EXPECT_EQ(counts.entries, kAddresses + 1);

    struct Step {
        std::vector<GuardRuleEdit> edits;
        bool alive; // a connection from 127.0.0.2 afterwards
        uint64_t switches;
        uint64_t inPlace;
    };
    const Step steps[] = {
        {{AllowEdit("127.0.0.2", true)}, true, 2, 1},
        {{AllowEdit("127.0.0.2", true)}, true, 2, 1}, // nothing changed: nothing written
        {{AllowEdit("127.0.0.2", false)}, false, 2, 2},
        {{AllowEdit("127.0.0.5", true), AllowEdit("127.0.0.2", true)}, true, 3, 2},
    };
    for (const Step& step : steps) {
        guard->Edit(step.edits);
        ASSERT_TRUE(guard->SettleRules(seconds(Scaled(60))));
        const Connection c = Open(listener, "127.0.0.2");
        EXPECT_EQ(step.alive, ConnectionError(c.server, step.alive ? 100 : 2000) == 0);
        counts = guard->RuleCounts();
        EXPECT_EQ(counts.switches, step.switches);
        EXPECT_EQ(counts.inPlace, step.inPlace);
    }
    EXPECT_EQ(counts.entries, kAddresses + 3);
    std::string why;
    EXPECT_FALSE(guard->TakeRefusal(why)) << why;
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

// Two rule sets switched as fast as they go beside a stream of connections: one kind that
// neither set blocks (the first allows their address, the second blocks another port), one that
// both block. No switch shows a mix of the two, however long the lists.
TEST(KernelGuardRules, SwitchesAsFastAsTheyGoCutExactlyWhatBothSetsBlock) {
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    const Socket spared = Listen("127.0.0.3", kPorts[0]);
    const Socket cut = Listen("127.0.0.3", kPorts[2]);
    const GuardRules allowing = [] {
        GuardRules rules = Allowing(1, 3000, {MappedAddress(Ipv4("127.0.0.2"))}, kPorts[0]);
        rules.blockedLocalPorts.push_back(kPorts[2]);
        return rules;
    }();
    const GuardRules other{{kPorts[1], kPorts[2]}, {}, {}};
    std::string whyNot;
    const auto guard = KernelGuard::Start(allowing, whyNot);
    ASSERT_TRUE(guard) << whyNot;
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        std::string why;
        for (int i = 0; !done.load(); ++i) {
            EXPECT_TRUE(guard->SetRules(i % 2 == 0 ? other : allowing, why)) << why;
            EXPECT_TRUE(guard->SettleRules(seconds(Scaled(60))));
        }
    });
    int opened = 0;
    std::vector<Connection> blocked;
    // Four seconds, and at least six switches: an emulated kernel's grace periods take long.
    const auto start = std::chrono::steady_clock::now();
    const auto going = [&] {
        const auto now = std::chrono::steady_clock::now();
        return now < start + seconds(120) &&
               (now < start + seconds(4) || guard->RuleCounts().switches < 7);
    };
    for (; going(); ++opened) {
        Connection c = Open(spared, "127.0.0.2");
        Abort(c.client);
        Abort(c.server);
        if (opened % 10 == 0) {
            blocked.push_back(Open(cut, "127.0.0.4"));
        }
    }
    done.store(true);
    switcher.join();
    EXPECT_GT(opened, 200);
    for (const Connection& c : blocked) {
        EXPECT_THAT(ConnectionError(c.server), Aborted);
    }
    // The count moves after the kernel has answered a cut, which its peer may see first.
    for (int i = 0; i < Scaled(200) && guard->Count().cuts < blocked.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(guard->Count().cuts, blocked.size());
    EXPECT_GE(guard->RuleCounts().switches, 7u); // the first set's install, and six switches
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

// The rule switch against the kernel's own maps: a slot of one map that holds the set's map, as
// the guard's program has it.
class RuleSwitchKernel : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: BPF maps";
        }
        LIBBPF_OPTS(bpf_map_create_opts, set, .map_flags = BPF_F_NO_PREALLOC);
        shape_.Reset(bpf_map_create(BPF_MAP_TYPE_HASH, "shape", sizeof(kt_rule_key), 1, 1, &set));
        LIBBPF_OPTS(bpf_map_create_opts, outer, .inner_map_fd = static_cast<__u32>(shape_.Get()));
        slots_.Reset(bpf_map_create(BPF_MAP_TYPE_ARRAY_OF_MAPS, "slots", 4, 4, 1, &outer));
        ASSERT_TRUE(slots_.Valid()) << std::strerror(errno);
    }
    // The id of the set's map in the slot.
    uint32_t InForce() const {
        const uint32_t slot = 0;
        uint32_t id = 0;
        return bpf_map_lookup_elem(slots_.Get(), &slot, &id) == 0 ? id : 0;
    }
    bool Has(const GuardRuleEdit& entry) const {
        const UniqueFd set(bpf_map_get_fd_by_id(InForce()));
        kt_rule_key key{};
        key.kind = entry.kind == GuardRuleEdit::Kind::AllowedAddress     ? KT_RULE_ALLOWED_ADDRESS
                   : entry.kind == GuardRuleEdit::Kind::BlockedLocalPort ? KT_RULE_LOCAL_PORT
                                                                         : KT_RULE_REMOTE_PORT;
        if (key.kind == KT_RULE_ALLOWED_ADDRESS) {
            std::memcpy(key.value, entry.address.data(), 16);
        } else {
            std::memcpy(key.value, &entry.port, 2);
        }
        uint8_t value = 0;
        return set.Valid() && bpf_map_lookup_elem(set.Get(), &key, &value) == 0;
    }
    UniqueFd shape_;
    UniqueFd slots_;
};

TEST_F(RuleSwitchKernel, EditsInPlaceSwitchesWholeAndARefusalLeavesTheSetInForce) {
    using Kind = GuardRuleEdit::Kind;
    const GuardRuleEdit port80{Kind::BlockedLocalPort, true, 80, {}};
    const GuardRuleEdit port443{Kind::BlockedRemotePort, true, 443, {}};
    const GuardRuleEdit a = AllowEdit("10.1.0.1", true);
    const GuardRuleEdit b = AllowEdit("10.1.0.2", true);
    uint32_t version = 0;
    std::mutex lock;
    std::vector<RuleSwitch::InForce> told;
    RuleSwitch rules(slots_.Get(), &version, [&](RuleSwitch::InForce&& news) {
        const std::lock_guard held(lock);
        told.push_back(std::move(news));
    });
    std::string why;
    ASSERT_TRUE(rules.Install({{80}, {}, {a.address}}, why)) << why;
    rules.Start();
    const uint32_t first = InForce();
    EXPECT_TRUE(Has(port80) && Has(a));
    EXPECT_EQ(version, 1u);

    rules.Edit(std::vector{b}); // in place: the same map, a new version
    ASSERT_TRUE(rules.Settle(seconds(10)));
    EXPECT_EQ(InForce(), first);
    EXPECT_TRUE(Has(b));
    EXPECT_EQ(version, 2u);

    // Several at once: a new map, switched in.
    GuardRuleEdit no80 = port80;
    no80.add = false;
    rules.Edit(std::vector{no80, port443});
    ASSERT_TRUE(rules.Settle(seconds(10)));
    const uint32_t second = InForce();
    EXPECT_NE(second, first);
    EXPECT_TRUE(!Has(port80) && Has(port443) && Has(a) && Has(b));
    EXPECT_EQ(version, 3u);

    // The slot can no longer be written: the next switch is refused, and the set in force stays,
    // here and in the kernel; an edit in place still goes.
    ASSERT_EQ(bpf_map_freeze(slots_.Get()), 0) << std::strerror(errno);
    rules.Replace({{}, {}, {}});
    ASSERT_TRUE(rules.Settle(seconds(10)));
    EXPECT_TRUE(rules.TakeRefusal(why));
    EXPECT_THAT(why, HasSubstr("could not take the rules"));
    EXPECT_FALSE(rules.TakeRefusal(why));
    EXPECT_EQ(InForce(), second);
    EXPECT_TRUE(Has(port443) && Has(a) && Has(b));
    EXPECT_EQ(version, 3u);
    rules.Replace({{}, {443}, {a.address}}); // one entry less than in force: in place
    ASSERT_TRUE(rules.Settle(seconds(10)));
    EXPECT_FALSE(Has(b));
    EXPECT_EQ(version, 4u);
    const RuleSwitch::Counts counts = rules.Count();
    EXPECT_EQ(counts.switches, 2u);
    EXPECT_EQ(counts.inPlace, 2u);
    EXPECT_EQ(counts.refused, 1u);
    EXPECT_EQ(counts.entries, 2u);

    const std::lock_guard held(lock);
    ASSERT_EQ(told.size(), 3u); // the refused switch told nothing
    EXPECT_EQ(told[0].edits, std::vector{b});
    EXPECT_FALSE(told[0].mayBlock);
    EXPECT_EQ(told[1].edits, (std::vector{no80, port443}));
    EXPECT_TRUE(told[1].mayBlock);
}

} // namespace
} // namespace kt::test
