#include "Loopback.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

// As root the tests move into a fresh network namespace, where the TCP table holds nothing but
// their own sockets and a cut cannot reach anything else. Without root the live tests skip.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::geteuid() == 0) {
        const std::string error = kt::test::EnterOwnNetworkNamespace();
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    return RUN_ALL_TESTS();
}
