#include "Loopback.h"
#include "core/linux/UniqueFd.h"
#include "engine/linux/DestroyHelper.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace kt::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Connection {
    Socket client, server;
    TcpRow row; // the client's end
};

Connection Open(const Socket& listener) {
    Connection c{Connect("127.0.0.2", "127.0.0.3", listener.LocalPort()), Accept(listener), {}};
    c.row =
        Row(TcpEstablished, "127.0.0.2", c.client.LocalPort(), "127.0.0.3", listener.LocalPort());
    return c;
}

sockdiag::Request DestroyOf(const TcpRow& row) {
    return sockdiag::MakeDestroyRequest(AF_INET, row, 0);
}

// Outcomes by ticket, collected until count are in or bound has passed.
void CollectUntil(Destroyer& destroyer, std::map<Destroyer::Ticket, int>& got, size_t count,
                  std::chrono::milliseconds bound) {
    for (const auto end = Clock::now() + bound; got.size() < count && Clock::now() < end;) {
        std::vector<Destroyer::Outcome> outcomes;
        destroyer.Collect(outcomes, 50ms);
        for (const auto& outcome : outcomes) {
            got[outcome.ticket] = outcome.error;
        }
    }
}

TEST(DestroyerLive, AnswersEachDestroy) {
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    const Socket listener = Listen("127.0.0.3");
    const struct {
        bool closed, unprivileged, unwanted; // unwanted: no longer, when its turn comes
        int error;
    } cases[] = {{false, false, false, 0},
                 {true, false, false, ENOENT},
                 {false, true, false, EPERM},
                 {false, false, true, ECANCELED}};
    for (const auto& c : cases) {
        Connection connection = Open(listener);
        if (c.closed) {
            Abort(connection.client);
        }
        const auto destroy = [&] {
            DestroyerOptions options;
            options.stillWanted = [&](const TcpRow& row) {
                return !(c.unwanted && row == connection.row);
            };
            Destroyer destroyer(options);
            return destroyer.Wait(destroyer.Submit(DestroyOf(connection.row), connection.row), 2s);
        };
        EXPECT_EQ(c.unprivileged ? RunWithoutNetAdmin(destroy) : destroy(), c.error) << c.error;
        EXPECT_EQ(!c.closed && Exchange(connection.server, connection.client),
                  c.error == EPERM || c.error == ECANCELED);
    }
}

TEST(DestroyerLive, OneStuckDestroyHoldsUpNothingElse) {
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    if (KernelSerializesSockDiag()) {
        GTEST_SKIP() << "before Linux 6.9 a destroy waiting for its socket holds up all others";
    }
    const Socket listener = Listen("127.0.0.3");
    Connection c[] = {Open(listener), Open(listener), Open(listener), Open(listener)};
    StuckSender first(c[0].client), second(c[1].client);
    ASSERT_TRUE(first.Stuck() && second.Stuck()) << "no send() waits on a userfaultfd page";
    std::map<uint16_t, int> named; // by local port
    DestroyerOptions options;
    options.nameAfter = 300ms;
    options.onSlow = [&](const TcpRow& row, auto, auto) {
        ++named[PortFromField(row.dwLocalPort)];
    };
    auto destroyer = std::make_unique<Destroyer>(options);
    std::vector<Destroyer::Ticket> tickets;
    for (const Connection& connection : c) {
        tickets.push_back(destroyer->Submit(DestroyOf(connection.row), connection.row));
    }
    EXPECT_EQ(destroyer->Submit(DestroyOf(c[0].row), c[0].row), tickets[0]);

    const auto start = Clock::now();
    std::map<Destroyer::Ticket, int> got;
    CollectUntil(*destroyer, got, 2, 2s);
    EXPECT_LT(Clock::now() - start, options.nameAfter) << "the others waited behind the stuck";
    EXPECT_THAT(got, ::testing::ElementsAre(std::pair{tickets[2], 0}, std::pair{tickets[3], 0}));
    EXPECT_EQ(ConnectionError(c[3].server), ECONNRESET);
    EXPECT_EQ(ConnectionError(c[0].server, 0), 0); // still waiting for its lock
    EXPECT_EQ(destroyer->Wait(tickets[1], 20ms), Destroyer::kStillWaiting);
    const auto asked = Clock::now(); // again, as a polling tick would: no second wait
    EXPECT_EQ(destroyer->Wait(tickets[1], 2s), Destroyer::kStillWaiting);
    EXPECT_LT(Clock::now() - asked, 1s);

    CollectUntil(*destroyer, got, 3, 3 * options.nameAfter); // nothing comes: names go out
    EXPECT_THAT(named,
                ::testing::UnorderedElementsAre(std::pair{PortFromField(c[0].row.dwLocalPort), 1},
                                                std::pair{PortFromField(c[1].row.dwLocalPort), 1}));
    first.Release(); // its helper, left behind, ends; the kernel's answer is read from its socket
    CollectUntil(*destroyer, got, 3, 2s);
    EXPECT_EQ(got[tickets[0]], 0);

    const auto end = Clock::now();
    destroyer.reset();
    EXPECT_LT(Clock::now() - end, 200ms) << "the end waited for a helper stuck in the kernel";
    second.Release();
    EXPECT_EQ(ConnectionError(c[1].client), ECONNABORTED) << "the helper left behind finished";
    bool none = false; // no child left, each one reaped
    for (const auto until = Clock::now() + 2s; !none && Clock::now() < until;) {
        siginfo_t child{};
        none = ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG) != 0 && errno == ECHILD;
        std::this_thread::sleep_for(none || child.si_pid != 0 ? 0ms : 10ms);
    }
    EXPECT_TRUE(none) << "a helper outlived its destroy";
}

} // namespace
} // namespace kt::test
