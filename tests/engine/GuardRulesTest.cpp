#include "engine/GuardRules.h"
#include "engine/Conversions.h"
#include "list/List.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

// Only what the engine could ever match reaches the kernel: plain address texts, real ports.
TEST(GuardRules, KeepOnlyWhatTheEngineCanMatch) {
    List allowed, local, remote;
    allowed.InitStringList();
    local.InitLongList();
    remote.InitLongList();
    for (const char* text : {"127.0.0.5", "127.0.0.05", "127.0.0", "localhost", "0.0.0.0",
                             "2001:db8::1", "2001:DB8::1", "::ffff:127.0.0.6"}) {
        allowed.AddItem(text);
    }
    for (const int32_t port : {0, 1, 80, 65535, 65536, -80}) {
        local.AddItem(port);
        remote.AddItem(port);
    }
    const GuardRules rules = MakeGuardRules(allowed, local, remote);
    EXPECT_EQ(rules.allowedAddresses,
              (std::vector<Address6>{MappedAddress(*ParseIPAddress("127.0.0.5")), MappedAddress(0),
                                     *ParseIPv6Address("2001:db8::1")}));
    EXPECT_EQ(rules.blockedLocalPorts, (std::vector<uint16_t>{1, 80, 65535}));
    EXPECT_EQ(rules.blockedRemotePorts, rules.blockedLocalPorts);
}

} // namespace
} // namespace kt
