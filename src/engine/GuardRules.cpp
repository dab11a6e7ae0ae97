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

GuardJudge::GuardJudge(const GuardRules& rules)
    : local_(PortSet(rules.blockedLocalPorts)), remote_(PortSet(rules.blockedRemotePorts)),
      allowed_(rules.allowedAddresses.begin(), rules.allowedAddresses.end()) {}

bool GuardJudge::Blocks(const TcpRow& row) const {
    return row.dwState == static_cast<uint32_t>(TcpEstablished) &&
           !allowed_.contains(RemoteAddress6(row)) &&
           (local_[PortFromField(row.dwLocalPort)] || remote_[PortFromField(row.dwRemotePort)]);
}

} // namespace kt
