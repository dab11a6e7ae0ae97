#include "engine/GuardRules.h"

#include "engine/Conversions.h"
#include "list/List.h"

namespace kt {
namespace {

constexpr size_t kPorts = 65536;

std::vector<uint16_t> Ports(const List& list) {
    std::vector<uint16_t> ports;
    for (int32_t i = 0; i < list.GetItemCount(); ++i) {
        const auto port = ToInt32(list.GetItem(i));
        if (port && *port >= 1 && *port <= 65535) {
            ports.push_back(static_cast<uint16_t>(*port));
        }
    }
    return ports;
}

std::vector<bool> PortSet(const std::vector<uint16_t>& ports) {
    std::vector<bool> set(kPorts);
    for (const uint16_t port : ports) {
        set[port] = true;
    }
    return set;
}

} // namespace

GuardRules MakeGuardRules(const List& allowedIP, const List& blockedLocalPorts,
                          const List& blockedRemotePorts) {
    GuardRules rules{Ports(blockedLocalPorts), Ports(blockedRemotePorts), {}};
    for (int32_t i = 0; i < allowedIP.GetItemCount(); ++i) {
        const auto text = ToText(allowedIP.GetItem(i));
        if (!text || NormalizeIPAddress(*text) != *text) {
            continue;
        }
        const std::optional<uint32_t> ipv4 = ParseIPAddress(*text);
        rules.allowedAddresses.push_back(ipv4 ? MappedAddress(*ipv4) : *ParseIPv6Address(*text));
    }
    return rules;
}

std::vector<GuardRuleEdit> RuleEditsBetween(const GuardRules& from, const GuardRules& to) {
    using Kind = GuardRuleEdit::Kind;
    std::vector<GuardRuleEdit> edits;
    const auto ports = [&](const std::vector<uint16_t>& a, const std::vector<uint16_t>& b,
                           Kind kind, bool add) {
        const std::vector<bool> in = PortSet(b);
        for (const uint16_t port : a) {
            if (!in[port]) {
                edits.push_back({kind, add, port, {}});
            }
        }
    };
    const auto addresses = [&](const std::vector<Address6>& a, const std::vector<Address6>& b,
                               bool add) {
        const std::set<Address6> in(b.begin(), b.end());
        for (const Address6& address : a) {
            if (!in.contains(address)) {
                edits.push_back({Kind::AllowedAddress, add, 0, address});
            }
        }
    };
    ports(from.blockedLocalPorts, to.blockedLocalPorts, Kind::BlockedLocalPort, false);
    ports(from.blockedRemotePorts, to.blockedRemotePorts, Kind::BlockedRemotePort, false);
    addresses(from.allowedAddresses, to.allowedAddresses, false);
    ports(to.blockedLocalPorts, from.blockedLocalPorts, Kind::BlockedLocalPort, true);
    ports(to.blockedRemotePorts, from.blockedRemotePorts, Kind::BlockedRemotePort, true);
    addresses(to.allowedAddresses, from.allowedAddresses, true);
    return edits;
}

GuardJudge::GuardJudge(const GuardRules& rules)
    : local_(PortSet(rules.blockedLocalPorts)), remote_(PortSet(rules.blockedRemotePorts)),
      allowed_(rules.allowedAddresses.begin(), rules.allowedAddresses.end()) {}

bool GuardJudge::Blocks(const TcpRow& row) const {
    return row.dwState == static_cast<uint32_t>(TcpEstablished) &&
           !allowed_.contains(RemoteAddress6(row)) &&
           (local_[PortFromField(row.dwLocalPort)] || remote_[PortFromField(row.dwRemotePort)]);
}

} // namespace kt
