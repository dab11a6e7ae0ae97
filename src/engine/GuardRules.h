#pragma once

#include "engine/TcpTable.h"

#include <cstdint>
#include <set>
#include <vector>

namespace kt {

class List;

// The three rule lists as plain data, for a guard that must not read the Manager's lists.
struct GuardRules {
    std::vector<uint16_t> blockedLocalPorts;
    std::vector<uint16_t> blockedRemotePorts;
    // IPv6 form; an IPv4 address as IPv4-mapped (::ffff:a.b.c.d).
    std::vector<Address6> allowedAddresses;

    bool operator==(const GuardRules&) const = default;
};

// One entry added to or deleted from one rule list, as a guard takes it.
struct GuardRuleEdit {
    enum class Kind : uint8_t { AllowedAddress, BlockedLocalPort, BlockedRemotePort };
    Kind kind = Kind::AllowedAddress;
    bool add = true;
    uint16_t port = 0;  // a port's kind
    Address6 address{}; // AllowedAddress: IPv6 form, IPv4 as IPv4-mapped

    bool operator==(const GuardRuleEdit&) const = default;
};

// The edits that turn one rule set into another: deletions first, then additions, each list in
// the order of the set it comes from.
std::vector<GuardRuleEdit> RuleEditsBetween(const GuardRules& from, const GuardRules& to);

// The rules as the engine applies them: an allowed address of either family counts only when
// its text is already the plain form (the engine compares texts exactly), a port only from 1 to
// 65535.
GuardRules MakeGuardRules(const List& allowedIP, const List& blockedLocalPorts,
                          const List& blockedRemotePorts);

// The engine's judgement of one connection, over rules looked up in constant time.
class GuardJudge {
public:
    explicit GuardJudge(const GuardRules& rules);
    // True for an established connection that the rules cut.
    bool Blocks(const TcpRow& row) const;
    // For a row it blocks: whether the local port's rule matched, which is judged first.
    bool BlocksByLocalPort(const TcpRow& row) const {
        return local_[PortFromField(row.dwLocalPort)];
    }

private:
    std::vector<bool> local_;
    std::vector<bool> remote_;
    std::set<Address6> allowed_;
};

} // namespace kt
