#include "../../TimeScale.h"
#include "../../fakes/Fakes.h"
#include "Loopback.h"
#include "engine/Engine.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "manager/Manager.h"

#include <algorithm>
#include <cerrno>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <span>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kt {
namespace {

using namespace kt::test;
using ::testing::AnyOf;

const auto Aborted = AnyOf(ECONNRESET, ECONNABORTED, EPIPE);

// The engine on the real kernel table, as root, in a network namespace of the test's own.
class EngineLive : public ::testing::Test {
protected:
    void SetUp() override {
        KT_ENTER_OWN_NETWORK_NAMESPACE();
        manager.emplace(store, nullptr);
        engine.emplace(table, host, *manager);
        engine->BuildStateNames();
        manager->oConnections = &*engine;
        manager->oAllowedIP.AddItem("127.0.0.1");
    }

    struct Connection {
        Socket client;
        Socket server;
    };

    static Connection Open(const Socket& listener, const char* from = "127.0.0.2",
                           const char* to = "127.0.0.3") {
        Connection c{Connect(from, to, listener.LocalPort()), Socket()};
        c.server = Accept(listener);
        return c;
    }

    static bool Alive(const Connection& c) {
        return Exchange(c.client, c.server) && Exchange(c.server, c.client);
    }

    testing::FakeHost host;
    testing::MemoryStore store;
    NetlinkTcpTable table;
    std::optional<Manager> manager;
    std::optional<Engine> engine;
};

TEST_F(EngineLive, ABlockedLocalPortIsCutOnTheNextTick) {
    const Socket listener = Listen("127.0.0.3");
    manager->oBlockedLocalPorts.AddItem(int32_t{listener.LocalPort()});
    const Connection c = Open(listener);
    ASSERT_TRUE(c.client.Valid() && c.server.Valid());
    engine->PollConnections();
    EXPECT_THAT(ConnectionError(c.client), Aborted);
}

TEST_F(EngineLive, ABlockedRemotePortIsCutOnTheNextTick) {
    const Socket listener = Listen("127.0.0.3");
    manager->oBlockedRemotePorts.AddItem(int32_t{listener.LocalPort()});
    const Connection c = Open(listener);
    engine->PollConnections();
    EXPECT_THAT(ConnectionError(c.server), Aborted);
}

TEST_F(EngineLive, UnblockedAllowedAndListeningSocketsSurvive) {
    const Socket blockedListener = Listen("127.0.0.3");
    const Socket otherListener = Listen("127.0.0.3");
    const Socket loopbackListener = Listen("127.0.0.1");
    const auto blocked = static_cast<int32_t>(blockedListener.LocalPort());
    const auto loopbackPort = static_cast<int32_t>(loopbackListener.LocalPort());
    manager->oBlockedLocalPorts.AddItem(blocked);
    manager->oBlockedLocalPorts.AddItem(loopbackPort);
    manager->oBlockedRemotePorts.AddItem(loopbackPort);
    const Connection other = Open(otherListener);
    const Connection allowed = Open(loopbackListener, "127.0.0.1", "127.0.0.1");
    for (int tick = 0; tick < 5; ++tick) {
        engine->PollConnections();
    }
    EXPECT_TRUE(Alive(other));
    EXPECT_TRUE(Alive(allowed));
    // The listener on the blocked port still takes connections (the new one is then cut).
    const Connection late = Open(blockedListener);
    EXPECT_TRUE(late.server.Valid());
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(EngineLive, AConnectionOfADualStackSocketIsCut) {
    const Socket listener = Listen6("::");
    ASSERT_TRUE(listener.Valid());
    manager->oBlockedLocalPorts.AddItem(int32_t{listener.LocalPort()});
    const Socket client = Connect6("::ffff:127.0.0.2", "::ffff:127.0.0.3", listener.LocalPort());
    const Socket server = Accept(listener);
    ASSERT_TRUE(server.Valid());
    engine->PollConnections();
    EXPECT_THAT(ConnectionError(client), Aborted);
}

TEST_F(EngineLive, ARuleSavedLaterCutsAnAlreadyJudgedConnection) {
    const Socket listener = Listen("127.0.0.3");
    const Connection c = Open(listener);
    engine->PollConnections();
    engine->PollConnections();
    ASSERT_TRUE(Alive(c));
    manager->oBlockedRemotePorts.AddItem(int32_t{listener.LocalPort()});
    manager->SaveChanges();
    engine->PollConnections();
    EXPECT_THAT(ConnectionError(c.client), Aborted);
}

TEST_F(EngineLive, WithoutCapNetAdminNothingIsCutAndTheEngineGoesOn) {
    const Socket listener = Listen("127.0.0.3");
    manager->oBlockedLocalPorts.AddItem(int32_t{listener.LocalPort()});
    const Connection c = Open(listener);
    const int result = RunWithoutNetAdmin([this] {
        NetlinkTcpTable unprivileged;
        Engine refused(unprivileged, host, *manager);
        refused.BuildStateNames();
        for (int tick = 0; tick < 20; ++tick) {
            refused.PollConnections();
        }
        // Each tick tried again: one message pass per refused cut.
        return host.doEventsCount >= 20 && host.messages.empty() ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(Alive(c));
}

TEST_F(EngineLive, HundredsOfBlockedConnectionsOpenAtStartAreCutInTheFirstTicks) {
    ASSERT_TRUE(RaiseFileLimit(2000));
    // Below ip_local_port_range: one of 501 clients took the listener's port now and then.
    const Socket blocked = Listen("127.0.0.3", 21001);
    const Socket open = Listen("127.0.0.3");
    const uint16_t port = blocked.LocalPort();
    manager->oBlockedLocalPorts.AddItem(int32_t{port});
    std::vector<Connection> victims;
    for (int i = 0; i < 500; ++i) {
        victims.push_back(Open(blocked));
    }
    const Connection survivor = Open(open);
    // The kernel's filter hands over exactly the server ends on the blocked port.
    std::vector<TcpRow> judged;
    ASSERT_TRUE(table.TakeBlockedSnapshot(judged, std::span(&port, 1), {}));
    EXPECT_EQ(judged.size(), victims.size());
    for (int tick = 0; tick < 3; ++tick) {
        engine->PollConnections();
    }
    EXPECT_EQ(std::count_if(victims.begin(), victims.end(),
                            [](const Connection& c) { return ConnectionError(c.client) != 0; }),
              500);
    EXPECT_TRUE(Alive(survivor));
}

// The owner of a blocked connection holds its socket (a send() waits on a page fault): the ticks
// go on without its cut, which is named once it has waited a second, and reported once made.
TEST_F(EngineLive, ACutThatWaitsForItsSocketIsNamedAndReportedWhenMade) {
    if (KernelSerializesSockDiag()) {
        GTEST_SKIP() << "before Linux 6.9 a destroy waiting for its socket holds up every dump";
    }
    const Socket listener = Listen("127.0.0.3");
    manager->oBlockedRemotePorts.AddItem(int32_t{listener.LocalPort()});
    const Connection c = Open(listener);
    StuckSender owner(c.client);
    ASSERT_TRUE(owner.Stuck()) << "no send() waits on a userfaultfd page";
    std::vector<CutRecord> reported;
    engine->SetCutReport([&](const CutRecord& record) { reported.push_back(record); });
    const auto named = [&] {
        return std::count_if(host.diagnosed.begin(), host.diagnosed.end(), [](const auto& line) {
            return line.starts_with("a cut waits for its socket");
        });
    };
    const auto tickUntil = [&](auto done) {
        for (const auto end = std::chrono::steady_clock::now() + Scaled(std::chrono::seconds(3));
             !done() && std::chrono::steady_clock::now() < end;) {
            engine->PollConnections();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    tickUntil([&] { return named() > 0; });
    EXPECT_EQ(named(), 1);
    EXPECT_TRUE(reported.empty());
    owner.Release();
    tickUntil([&] { return !reported.empty(); });
    EXPECT_THAT(ConnectionError(c.client, 0), Aborted);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_FALSE(reported[0].Refused);
    EXPECT_EQ(reported[0].LocalPort, c.client.LocalPort());
    EXPECT_EQ(named(), 1);
}

} // namespace
} // namespace kt
