#include "../../TimeScale.h"
#include "Loopback.h"
#include "engine/linux/KernelGuard.h"

#include <algorithm>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <set>
#include <sys/fsuid.h>
#include <thread>
#include <vector>

namespace kt::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 21011; // below ip_local_port_range
constexpr uid_t kStranger = 4242; // the owner of the stuck sockets

struct Connection {
    Socket client, server;
};

Connection Open(const Socket& listener, uid_t owner = 0) {
    ::setfsuid(owner); // a socket belongs to the file system user of the thread that makes it
    Connection c{Connect("127.0.0.2", "127.0.0.3", listener.LocalPort()), Accept(listener)};
    ::setfsuid(0);
    return c;
}

// Counts the helpers waiting in the kernel until done answers true or the bound has passed; the
// most seen at once.
template <typename Done>
size_t WatchHelpers(const std::map<int, char>& before, std::chrono::milliseconds bound, Done done) {
    size_t most = 0;
    for (const auto end = Clock::now() + Scaled(bound); Clock::now() < end && !done();) {
        const auto states = ChildStates("kt-destroyer");
        most = std::max<size_t>(most, std::count_if(states.begin(), states.end(), [&](auto s) {
                                    return s.second == 'D' && !before.contains(s.first);
                                }));
        std::this_thread::sleep_for(10ms);
    }
    return most;
}

class StuckSockets : public ::testing::TestWithParam<GuardAttachPoint> {};

// One user holds many blocked connections' sockets (each send() waits on a page fault): their
// cuts keep a bounded number of helpers waiting, other users' connections are still cut, and once
// the owners let go every stuck one is cut and logged, and no helper is left behind.
TEST_P(StuckSockets, CostAUserABoundedNumberOfHelpers) {
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    const auto before = ChildStates("kt-destroyer"); // an earlier test's, in the same process
    const Socket listener = Listen("127.0.0.3", kPort);
    std::vector<Connection> held;
    std::vector<std::unique_ptr<StuckSender>> owners;
    for (int i = 0; i < 10; ++i) {
        held.push_back(Open(listener, kStranger));
        owners.push_back(std::make_unique<StuckSender>(held.back().client));
        ASSERT_TRUE(owners.back()->Stuck()) << "no send() waits on a userfaultfd page";
    }
    std::mutex lock;
    std::multiset<uint16_t> logged; // the cut clients' ports
    KernelGuardOptions options;
    options.attachPoint = GetParam();
    options.onCut = [&](const CutRecord& record) {
        const std::lock_guard hold(lock);
        logged.insert(record.LocalPort);
    };
    std::vector<SlowCause> named;
    options.onSlowCut = [&](const CutRecord&, SlowCause cause) {
        const std::lock_guard hold(lock);
        named.push_back(cause);
    };
    std::string whyNot;
    auto guard = KernelGuard::Start({{}, {kPort}, {}}, whyNot, options);
    ASSERT_TRUE(guard) << whyNot;

    size_t most = WatchHelpers(before, 500ms, [] { return false; });
    if (!KernelSerializesSockDiag()) { // before Linux 6.9 every destroy waits behind a stuck one
        for (int i = 0; i < 3; ++i) {
            const Connection other = Open(listener);
            const auto start = Clock::now();
            EXPECT_THAT(ConnectionError(other.client), ::testing::AnyOf(ECONNRESET, ECONNABORTED));
            EXPECT_LT(Clock::now() - start, Scaled(500ms));
        }
    }
    EXPECT_GT(most, 0u) << "no cut waited for its socket";
    EXPECT_LT(most, held.size()) << "each stuck socket of one user kept a helper waiting";

    // Each stuck cut is named once, and those that wait their turn are not said to wait for
    // their own socket.
    most = std::max(most, WatchHelpers(before, 3s, [&] {
                        const std::lock_guard hold(lock);
                        return named.size() >= held.size();
                    }));
    {
        const std::lock_guard hold(lock);
        EXPECT_EQ(named.size(), held.size());
        const auto holds = std::count(named.begin(), named.end(), SlowCause::OwnerHolds);
        EXPECT_GT(holds, 0);
        EXPECT_LT(static_cast<size_t>(holds), held.size());
    }

    owners.clear(); // the owners let go
    const auto settled = [&] {
        const auto states = ChildStates("kt-destroyer");
        const std::lock_guard hold(lock);
        return std::all_of(
                   held.begin(), held.end(),
                   [&](const Connection& c) { return logged.contains(c.client.LocalPort()); }) &&
               std::count_if(states.begin(), states.end(), [&](auto s) {
                   return !before.contains(s.first);
               }) <= 1; // the one that takes the next cut
    };
    most = std::max(most, WatchHelpers(before, 5s, settled));
    EXPECT_TRUE(settled());
    for (const Connection& c : held) {
        EXPECT_THAT(ConnectionError(c.client, 0), ::testing::AnyOf(ECONNRESET, ECONNABORTED));
        const std::lock_guard hold(lock);
        EXPECT_EQ(logged.count(c.client.LocalPort()), 1u) << c.client.LocalPort();
    }
    EXPECT_LT(most, held.size());
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
    guard.reset();
    const auto left = ChildStates("kt-destroyer");
    EXPECT_TRUE(std::all_of(left.begin(), left.end(), [&](auto s) {
        return before.contains(s.first);
    })) << "a helper outlived the guard";
}

INSTANTIATE_TEST_SUITE_P(AttachPoints, StuckSockets,
                         ::testing::Values(GuardAttachPoint::Typed, GuardAttachPoint::Raw),
                         [](const auto& info) {
                             return info.param == GuardAttachPoint::Typed ? "Typed" : "Raw";
                         });

} // namespace
} // namespace kt::test
