#include "net/LocalAddresses.h"
#include "engine/Conversions.h"
#include "net/linux/InterfaceList.h"

#include "../../engine/linux/Loopback.h"
#include "../../fakes/Fakes.h"

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <net/if.h>
#include <netinet/in.h>
#include <new>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

using RecordingHost = kt::testing::FakeHost;

namespace kt {
namespace {

uint32_t Address(const char* dotted) {
    in_addr address{};
    if (inet_pton(AF_INET, dotted, &address) != 1) {
        throw std::invalid_argument(dotted);
    }
    return address.s_addr;
}

std::vector<std::string> Pieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::istringstream in(text);
    std::string piece;
    while (std::getline(in, piece, ' ')) {
        pieces.push_back(piece);
    }
    return pieces;
}

TEST(SocketsInitialize, NeedsNoStartUp) {
    RecordingHost host;
    EXPECT_TRUE(SocketsInitialize(host));
    EXPECT_TRUE(host.messages.empty());
}

TEST(LocalAddressText, WritesEachAddressDottedWithOneSpace) {
    EXPECT_EQ(LocalAddressText({}), "");
    const uint32_t one[] = {Address("192.168.0.10")};
    EXPECT_EQ(LocalAddressText(one), "192.168.0.10 ");
    const uint32_t two[] = {Address("192.168.0.10"), Address("10.0.0.5")};
    EXPECT_EQ(LocalAddressText(two), "192.168.0.10 10.0.0.5 ");
    const uint32_t edges[] = {Address("0.0.0.0"), Address("255.255.255.255")};
    EXPECT_EQ(LocalAddressText(edges), "0.0.0.0 255.255.255.255 ");
    const Address6 ipv6[] = {*ParseIPv6Address("::1"), *ParseIPv6Address("FE80::0001"),
                             *ParseIPv6Address("fe80::1"), *ParseIPv6Address("2001:db8::a")};
    EXPECT_EQ(LocalAddressText6(ipv6), "::1 fe80::1 2001:db8::a ");
}

TEST(LocalAddressText, DropsRepeatsAndKeepsTheFirstOrder) {
    const uint32_t repeated[] = {Address("10.0.0.5"), Address("10.0.0.5"),  Address("192.168.0.1"),
                                 Address("10.0.0.5"), Address("127.0.1.1"), Address("192.168.0.1")};
    EXPECT_EQ(LocalAddressText(repeated), "10.0.0.5 192.168.0.1 127.0.1.1 ");
}

TEST(GetIP, ListsThisMachinesAddressesInTheTextForm) {
    RecordingHost host;
    const std::string text = GetIP(host);
    EXPECT_TRUE(host.messages.empty());
    ASSERT_TRUE(std::regex_match(text, std::regex(R"(([0-9]{1,3}(\.[0-9]{1,3}){3} )+)"))) << text;
    std::set<std::string> seen;
    for (const std::string& piece : Pieces(text)) {
        in_addr parsed{};
        EXPECT_EQ(inet_pton(AF_INET, piece.c_str(), &parsed), 1) << piece;
        EXPECT_TRUE(seen.insert(piece).second) << "repeated: " << piece;
    }
    // With the IPv6 ones after them, each as an allowed entry holds it.
    const std::string both = GetIPWithIPv6(host);
    EXPECT_EQ(both.substr(0, text.size()), text);
    for (const std::string& piece : Pieces(both)) {
        EXPECT_EQ(NormalizeIPAddress(piece), piece);
    }
}

// Sets a flag or an address of an interface (or of an alias such as "lo:1").
bool Configure(const char* name, unsigned long request, short flags, const char* address = "") {
    const test::Socket control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq r{};
    std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    r.ifr_flags = flags;
    if (request == SIOCSIFADDR) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = Address(address);
        std::memcpy(&r.ifr_addr, &a, sizeof a);
    }
    return ::ioctl(control.Fd(), request, &r) == 0;
}

// In a network namespace of its own: the IPv4 addresses of lo and its alias in order (not lo's
// IPv6 or link entries), none once lo is down.
TEST(GetIP, ListsTheAddressesOfTheInterfacesThatAreUp) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: a network namespace of its own";
    }
    ASSERT_EQ(test::EnterOwnNetworkNamespace(), "");
    ASSERT_TRUE(Configure("lo:1", SIOCSIFADDR, 0, "127.0.0.2"));
    RecordingHost host;
    EXPECT_EQ(GetIP(host), "127.0.0.1 127.0.0.2 ");
    EXPECT_EQ(GetIPWithIPv6(host), "127.0.0.1 127.0.0.2 ::1 ");
    ASSERT_TRUE(Configure("lo", SIOCSIFFLAGS, 0));
    EXPECT_EQ(GetIP(host), "");
    EXPECT_EQ(GetIPWithIPv6(host), "");
    EXPECT_TRUE(host.messages.empty());
}

TEST(GetIP, GivesEmptyTextWithoutMessageWhenTheListCannotBeRead) {
    InterfaceList failing = SystemInterfaceList(), empty = SystemInterfaceList();
    failing.GetIfAddrs = [](ifaddrs**) { return -1; };
    empty.GetIfAddrs = [](ifaddrs** list) { return *list = nullptr, 0; };
    for (const InterfaceList& calls : {failing, empty}) {
        RecordingHost host;
        EXPECT_EQ(GetIP(host, calls), "");
        EXPECT_TRUE(host.messages.empty());
    }
}

TEST(GetIP, ReportsRunTimeErrorsAndGivesEmptyText) {
    struct Case {
        std::function<void()> Fail;
        std::string Report;
    };
    const Case cases[] = {
        {[] { throw std::bad_alloc(); }, "GetIP: error 7: Out of memory"},
        {[] { throw std::runtime_error("interface list lost"); },
         "GetIP: error 51: interface list lost"},
    };
    for (const Case& c : cases) {
        InterfaceList calls = SystemInterfaceList();
        calls.GetIfAddrs = [&c](ifaddrs**) -> int {
            c.Fail();
            return 0;
        };
        RecordingHost host;
        EXPECT_EQ(GetIP(host, calls), "");
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0], c.Report);
        EXPECT_EQ(host.messageButtons[0], MessageButtons::Ok);
    }
}

} // namespace
} // namespace kt
