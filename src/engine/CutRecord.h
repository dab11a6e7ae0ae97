#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kt {

// What a cut log line says about one connection: which rule matched it, and whether the system
// cut it or refused to.
struct CutRecord {
    enum class Rule { BlockedLocalPort, BlockedRemotePort };

    std::chrono::system_clock::time_point When;
    // Addresses in network byte order, as in the table's rows; ports as numbers.
    uint32_t LocalAddress = 0;
    uint16_t LocalPort = 0;
    uint32_t RemoteAddress = 0;
    uint16_t RemotePort = 0;
    Rule Matched = Rule::BlockedLocalPort;
    bool Refused = false;
    // Why the system refused, in words; empty for a cut.
    std::string Reason;
};

} // namespace kt
