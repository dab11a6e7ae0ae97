#include "net/LocalAddresses.h"
#include "net/linux/NameService.h"

#include "../../fakes/Fakes.h"

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <new>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
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
}

// A resolver in memory: answers with the given IPv4 entries and records what it was asked.
class FakeResolver {
public:
    std::string HostName = "kt-host";
    int HostNameResult = 0;
    int ResolveResult = 0;
    bool AnswerEmptyList = false;
    std::vector<addrinfo> Entries;
    std::vector<sockaddr_in> Addresses;
    sockaddr_in6 Ipv6{};

    std::vector<std::string> AskedNames;
    std::vector<int> AskedFamilies;
    size_t HostNameBufferSize = 0;
    std::vector<addrinfo*> Freed;

    void Add(const char* dotted, int socketType) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = Address(dotted);
        Addresses.push_back(address);
        addrinfo entry{};
        entry.ai_family = AF_INET;
        entry.ai_socktype = socketType;
        entry.ai_addrlen = sizeof(sockaddr_in);
        Entries.push_back(entry);
    }
    // An entry the resolver should not give for AF_INET, and one without an address.
    void AddOddEntries() {
        addrinfo ipv6{};
        ipv6.ai_family = AF_INET6;
        ipv6.ai_addrlen = sizeof Ipv6;
        ipv6.ai_addr = reinterpret_cast<sockaddr*>(&Ipv6);
        Entries.push_back(ipv6);
        addrinfo empty{};
        empty.ai_family = AF_INET;
        Entries.push_back(empty);
        Addresses.push_back({});
        Addresses.push_back({});
    }

    NameService Calls() {
        return NameService{
            [this](char* name, size_t size) {
                HostNameBufferSize = size;
                std::strncpy(name, HostName.c_str(), size);
                return HostNameResult;
            },
            [this](const char* node, const addrinfo* hints, addrinfo** result) {
                AskedNames.emplace_back(node);
                AskedFamilies.push_back(hints ? hints->ai_family : -1);
                if (ResolveResult != 0) {
                    return ResolveResult;
                }
                *result = AnswerEmptyList ? nullptr : Link();
                return 0;
            },
            [this](addrinfo* list) { Freed.push_back(list); },
        };
    }

private:
    addrinfo* Link() {
        for (size_t i = 0; i < Entries.size(); ++i) {
            if (Entries[i].ai_family == AF_INET && Entries[i].ai_addrlen != 0) {
                Entries[i].ai_addr = reinterpret_cast<sockaddr*>(&Addresses[i]);
            }
            Entries[i].ai_next = i + 1 < Entries.size() ? &Entries[i + 1] : nullptr;
        }
        return Entries.empty() ? nullptr : Entries.data();
    }
};

TEST(GetIP, ResolvesTheTrimmedHostNameForIPv4) {
    FakeResolver resolver;
    resolver.HostName = "  kt-host \t";
    resolver.Add("192.168.0.10", SOCK_STREAM);
    RecordingHost host;
    EXPECT_EQ(GetIP(host, resolver.Calls()), "192.168.0.10 ");
    EXPECT_EQ(resolver.HostNameBufferSize, 256u);
    ASSERT_EQ(resolver.AskedNames.size(), 1u);
    EXPECT_EQ(resolver.AskedNames[0], "kt-host");
    EXPECT_EQ(resolver.AskedFamilies[0], AF_INET);
    ASSERT_EQ(resolver.Freed.size(), 1u);
    EXPECT_EQ(resolver.Freed[0], resolver.Entries.data());
    EXPECT_TRUE(host.messages.empty());
}

// getaddrinfo gives each address once per socket type.
TEST(GetIP, ListsEveryAddressOnceInResolverOrder) {
    FakeResolver resolver;
    for (const char* dotted : {"192.168.0.10", "10.0.0.5"}) {
        for (int type : {SOCK_STREAM, SOCK_DGRAM, SOCK_RAW}) {
            resolver.Add(dotted, type);
        }
    }
    resolver.AddOddEntries();
    resolver.Add("192.168.0.10", SOCK_STREAM);
    resolver.Add("172.16.1.2", SOCK_STREAM);
    RecordingHost host;
    EXPECT_EQ(GetIP(host, resolver.Calls()), "192.168.0.10 10.0.0.5 172.16.1.2 ");
    EXPECT_EQ(resolver.Freed.size(), 1u);
    EXPECT_TRUE(host.messages.empty());
}

TEST(GetIP, GivesEmptyTextWithoutMessageWhenTheNameIsNotResolved) {
    for (int failure : {EAI_NONAME, EAI_AGAIN, EAI_FAIL, EAI_NODATA, EAI_MEMORY, EAI_SYSTEM}) {
        FakeResolver resolver;
        resolver.ResolveResult = failure;
        RecordingHost host;
        EXPECT_EQ(GetIP(host, resolver.Calls()), "") << failure;
        EXPECT_EQ(resolver.AskedNames.size(), 1u);
        EXPECT_TRUE(resolver.Freed.empty());
        EXPECT_TRUE(host.messages.empty()) << failure;
    }
    FakeResolver nothing;
    nothing.AnswerEmptyList = true;
    RecordingHost host;
    EXPECT_EQ(GetIP(host, nothing.Calls()), "");
    EXPECT_TRUE(host.messages.empty());
}

TEST(GetIP, GivesEmptyTextWithoutMessageWhenTheHostNameIsUnavailable) {
    FakeResolver resolver;
    resolver.HostNameResult = -1;
    RecordingHost host;
    EXPECT_EQ(GetIP(host, resolver.Calls()), "");
    EXPECT_TRUE(resolver.AskedNames.empty());
    EXPECT_TRUE(host.messages.empty());
}

TEST(GetIP, ReadsAHostNameThatFillsTheBufferNoFurther) {
    FakeResolver resolver;
    resolver.HostName = std::string(300, 'h');
    resolver.Add("10.0.0.5", SOCK_STREAM);
    RecordingHost host;
    EXPECT_EQ(GetIP(host, resolver.Calls()), "10.0.0.5 ");
    ASSERT_EQ(resolver.AskedNames.size(), 1u);
    EXPECT_EQ(resolver.AskedNames[0], std::string(256, 'h'));
}

TEST(GetIP, ReportsRunTimeErrorsAndGivesEmptyText) {
    struct Case {
        std::function<void()> Fail;
        std::string Report;
    };
    const Case cases[] = {
        {[] { throw std::bad_alloc(); }, "GetIP: error 7: Out of memory"},
        {[] { throw std::runtime_error("resolver state lost"); },
         "GetIP: error 51: resolver state lost"},
    };
    for (const Case& c : cases) {
        FakeResolver resolver;
        NameService calls = resolver.Calls();
        calls.GetAddrInfo = [&c](const char*, const addrinfo*, addrinfo**) -> int {
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
