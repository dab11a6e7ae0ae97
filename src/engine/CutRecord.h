#pragma once

#include "engine/TcpTable.h"

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
    // An IPv6 connection has its addresses here instead, and the two above are 0.
    bool IPv6 = false;
    Address6 LocalAddress6{};
    Address6 RemoteAddress6{};
    Rule Matched = Rule::BlockedLocalPort;
    bool Refused = false;
    // Why the system refused, in words; empty for a cut.
    std::string Reason;

    // A row's connection, of either family, as matched by rule.
    static CutRecord Of(const TcpRow& row, Rule rule, std::chrono::system_clock::time_point when) {
        CutRecord record;
        record.When = when;
        record.LocalAddress = row.dwLocalAddr;
        record.LocalPort = PortFromField(row.dwLocalPort);
        record.RemoteAddress = row.dwRemoteAddr;
        record.RemotePort = PortFromField(row.dwRemotePort);
        record.IPv6 = row.ipv6;
        record.LocalAddress6 = row.localAddr6;
        record.RemoteAddress6 = row.remoteAddr6;
        record.Matched = rule;
        return record;
    }
};

} // namespace kt
