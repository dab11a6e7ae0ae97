#include "net/LocalAddresses.h"
#include "net/AddressText.h"
#include "net/win32/Winsock.h"

#include "../../fakes/Fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <new>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace kt::win32 {
namespace {

using RecordingHost = kt::testing::FakeHost;

// ---- The real socket library ----------------------------------------------------------------

TEST(WinsockUnderTheSystem, SocketsInitializeGrantsVersionOneOne) {
    RecordingHost host;
    EXPECT_TRUE(kt::SocketsInitialize(host));
    EXPECT_TRUE(host.messages.empty());
}

TEST(WinsockUnderTheSystem, GetIPListsDottedAddressesEachFollowedByOneSpace) {
    RecordingHost host;
    const std::string text = kt::GetIP(host);
    EXPECT_TRUE(host.messages.empty());
    const std::regex form(R"(((\d{1,3}\.){3}\d{1,3} )+)");
    ASSERT_TRUE(std::regex_match(text, form)) << '"' << text << '"';
    std::istringstream parts(text);
    std::string address;
    while (std::getline(parts, address, ' ')) {
        std::istringstream octets(address);
        std::string octet;
        while (std::getline(octets, octet, '.')) {
            EXPECT_LE(std::stoi(octet), 255) << address;
        }
    }
}

TEST(WinsockUnderTheSystem, InetNtoaFormatterGivesTheSameTextAsThePortableOne) {
    RecordingHost host;
    ASSERT_TRUE(kt::SocketsInitialize(host));
    for (uint32_t address : {0u, 0x0100007Fu, 0x0A00A8C0u, 0xFFFFFFFFu, 0x01020304u}) {
        char expected[32] = {};
        char actual[32] = {};
        ASSERT_TRUE(FormatDottedAddress(address, expected, sizeof expected));
        ASSERT_TRUE(FormatAddressWithInetNtoa(address, actual, sizeof actual)) << address;
        EXPECT_STREQ(actual, expected);
    }
    EXPECT_EQ(AddressToText(0x0A00A8C0u, FormatAddressWithInetNtoa), "192.168.0.10");
    char small[8];
    EXPECT_FALSE(FormatAddressWithInetNtoa(0xFFFFFFFFu, small, sizeof small));
}

// ---- Socket library behaviours forced through replaced calls --------------------------------

// Start-up that grants the given version and datagram size, remembering what it was asked.
struct StartupAnswer {
    int Result = 0;
    WORD Version = 0x0101;
    unsigned short MaxUdpDg = 65467;
    int Calls = 0;
    WORD Requested = 0;
    bool RecordWasZeroed = false;
};

WinsockCalls Calls(StartupAnswer& startup) {
    return {
        [&startup](WORD version, WSADATA* data) {
            ++startup.Calls;
            startup.Requested = version;
            const auto* bytes = reinterpret_cast<const unsigned char*>(data);
            startup.RecordWasZeroed =
                std::all_of(bytes, bytes + sizeof(WSADATA), [](unsigned char b) { return b == 0; });
            data->wVersion = startup.Version;
            data->wHighVersion = 0x0202;
            data->iMaxUdpDg = startup.MaxUdpDg;
            return startup.Result;
        },
        [](char*, int) -> int { throw std::logic_error("host name not expected"); },
        [](const char*) -> const hostent* { throw std::logic_error("resolver not expected"); },
    };
}

TEST(SocketsInitialize, AsksForVersionOneOneWithAZeroedRecord) {
    RecordingHost host;
    StartupAnswer startup;
    EXPECT_TRUE(SocketsInitialize(host, Calls(startup)));
    EXPECT_EQ(startup.Requested, 0x0101);
    EXPECT_TRUE(startup.RecordWasZeroed);
}

TEST(SocketsInitialize, IsTrueFromVersionOneOneOn) {
    for (WORD granted : {WORD{0x0101}, WORD{0x0201}, WORD{0x0202}, WORD{0x0002}}) {
        RecordingHost host;
        StartupAnswer startup;
        startup.Version = granted; // low byte major, high byte minor
        EXPECT_TRUE(SocketsInitialize(host, Calls(startup))) << std::hex << granted;
    }
}

TEST(SocketsInitialize, IsFalseSilentlyWhenRefusedTooOldOrWithoutDatagrams) {
    auto refused = [](StartupAnswer& a) { a.Result = WSAVERNOTSUPPORTED; };
    auto versionOneZero = [](StartupAnswer& a) { a.Version = 0x0001; };
    auto versionZeroNine = [](StartupAnswer& a) { a.Version = 0x0900; };
    auto noDatagrams = [](StartupAnswer& a) { a.MaxUdpDg = 0; };
    for (void (*change)(StartupAnswer&) :
         {+refused, +versionOneZero, +versionZeroNine, +noDatagrams}) {
        RecordingHost host;
        StartupAnswer startup;
        change(startup);
        EXPECT_FALSE(SocketsInitialize(host, Calls(startup)));
        EXPECT_TRUE(host.messages.empty());
    }
}

TEST(SocketsInitialize, ReportsARunTimeErrorAndAnswersFalse) {
    RecordingHost host;
    StartupAnswer startup;
    WinsockCalls calls = Calls(startup);
    calls.Startup = [](WORD, WSADATA*) -> int { throw std::bad_alloc(); };
    EXPECT_FALSE(SocketsInitialize(host, calls));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], "SocketsInitialize: error 7: Out of memory");
    EXPECT_EQ(host.messageButtons[0], MessageButtons::Ok);
}

// A resolver answer whose address bytes live as long as the object.
class HostEntry {
public:
    explicit HostEntry(std::vector<std::array<char, 4>> addresses, short type = AF_INET,
                       short length = 4)
        : addresses_(std::move(addresses)) {
        for (auto& address : addresses_) {
            pointers_.push_back(address.data());
        }
        pointers_.push_back(nullptr);
        entry_.h_addrtype = type;
        entry_.h_length = length;
        entry_.h_addr_list = pointers_.data();
    }
    const hostent* Get() const { return &entry_; }

private:
    std::vector<std::array<char, 4>> addresses_;
    std::vector<char*> pointers_;
    hostent entry_{};
};

std::array<char, 4> Octets(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
}

// A host whose name query and resolver answer as told, remembering the name resolved.
struct Resolver {
    std::string Name = "  korvan-host  ";
    int NameResult = 0;
    const hostent* Entry = nullptr;
    std::vector<std::string> Resolved;
    int NameCalls = 0;
};

WinsockCalls Calls(StartupAnswer& startup, Resolver& resolver) {
    WinsockCalls calls = Calls(startup);
    calls.GetHostName = [&resolver](char* name, int length) {
        ++resolver.NameCalls;
        EXPECT_EQ(length, 256);
        if (resolver.NameResult != 0) {
            return resolver.NameResult;
        }
        resolver.Name.copy(name, static_cast<size_t>(length) - 1);
        return 0;
    };
    calls.GetHostByName = [&resolver](const char* name) {
        resolver.Resolved.emplace_back(name);
        return resolver.Entry;
    };
    return calls;
}

TEST(GetIP, ListsEveryAddressInResolverOrderEachFollowedByOneSpace) {
    const HostEntry two({Octets(192, 168, 0, 10), Octets(10, 0, 0, 5)});
    const HostEntry one({Octets(255, 0, 7, 1)});
    const HostEntry none({});
    const std::pair<const HostEntry*, std::string> cases[] = {
        {&two, "192.168.0.10 10.0.0.5 "}, {&one, "255.0.7.1 "}, {&none, ""}};
    for (const auto& [entry, expected] : cases) {
        RecordingHost host;
        StartupAnswer startup;
        Resolver resolver;
        resolver.Entry = entry->Get();
        EXPECT_EQ(GetIP(host, Calls(startup, resolver)), expected);
        EXPECT_EQ(startup.Calls, 1);
        EXPECT_EQ(resolver.Resolved, std::vector<std::string>{"korvan-host"})
            << "the name is resolved without its surrounding blanks";
        EXPECT_TRUE(host.messages.empty());
    }
}

TEST(GetIP, QueriesTheHostNameEvenWhenTheLibraryRefusedToStart) {
    const HostEntry one({Octets(10, 1, 2, 3)});
    for (WORD version : {WORD{0x0001}, WORD{0x0000}}) {
        RecordingHost host;
        StartupAnswer startup;
        startup.Version = version;
        startup.Result = version == 0 ? WSASYSNOTREADY : 0;
        Resolver resolver;
        resolver.Entry = one.Get();
        EXPECT_EQ(GetIP(host, Calls(startup, resolver)), "10.1.2.3 ");
        EXPECT_EQ(resolver.NameCalls, 1);
        EXPECT_TRUE(host.messages.empty());
    }
}

TEST(GetIP, IsEmptyWithoutMessageWhenTheNameCannotBeReadOrResolved) {
    {
        RecordingHost host;
        StartupAnswer startup;
        Resolver resolver;
        resolver.NameResult = SOCKET_ERROR;
        EXPECT_EQ(GetIP(host, Calls(startup, resolver)), "");
        EXPECT_TRUE(resolver.Resolved.empty()) << "no name, nothing to resolve";
        EXPECT_TRUE(host.messages.empty());
    }
    {
        RecordingHost host;
        StartupAnswer startup;
        Resolver resolver; // resolves to nothing
        EXPECT_EQ(GetIP(host, Calls(startup, resolver)), "");
        EXPECT_EQ(resolver.Resolved.size(), 1u);
        EXPECT_TRUE(host.messages.empty());
    }
}

TEST(GetIP, ReportsRunTimeErrorsAndAnswersEmpty) {
    {
        // An entry of another address family would give text that is no dotted address.
        const HostEntry wide({Octets(0xfe, 0x80, 0, 0)}, AF_INET6, 16);
        RecordingHost host;
        StartupAnswer startup;
        Resolver resolver;
        resolver.Entry = wide.Get();
        EXPECT_EQ(GetIP(host, Calls(startup, resolver)), "");
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0], "GetIP: error 10047: The host entry holds no IPv4 addresses");
        EXPECT_EQ(host.messageButtons[0], MessageButtons::Ok);
    }
    {
        RecordingHost host;
        StartupAnswer startup;
        Resolver resolver;
        WinsockCalls calls = Calls(startup, resolver);
        calls.GetHostByName = [](const char*) -> const hostent* {
            throw std::runtime_error("resolver crashed");
        };
        EXPECT_EQ(GetIP(host, calls), "");
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0], "GetIP: error 51: resolver crashed");
    }
    {
        // A failing start-up reports under its own name; GetIP still finds the addresses.
        const HostEntry one({Octets(10, 1, 2, 3)});
        RecordingHost host;
        StartupAnswer startup;
        Resolver resolver;
        resolver.Entry = one.Get();
        WinsockCalls calls = Calls(startup, resolver);
        calls.Startup = [](WORD, WSADATA*) -> int {
            throw std::system_error(WSAEPROCLIM, std::system_category(), "too many tasks");
        };
        EXPECT_EQ(GetIP(host, calls), "10.1.2.3 ");
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0].rfind("SocketsInitialize: error 10067: too many tasks", 0), 0u)
            << host.messages[0];
    }
}

} // namespace
} // namespace kt::win32
