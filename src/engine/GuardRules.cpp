#include "engine/GuardRules.h"

#include "engine/Conversions.h"
#include "list/List.h"

namespace kt {
namespace {

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

GuardJudge::GuardJudge(const GuardRules& rules) : GuardJudge() {
    allowed_.reserve(rules.allowedAddresses.size());
    for (const uint16_t port : rules.blockedLocalPorts) {
        Apply({GuardRuleEdit::Kind::BlockedLocalPort, true, port, {}});
    }
    for (const uint16_t port : rules.blockedRemotePorts) {
        Apply({GuardRuleEdit::Kind::BlockedRemotePort, true, port, {}});
    }
    for (const Address6& address : rules.allowedAddresses) {
        allowed_.insert(address);
    }
}

bool GuardJudge::Blocks(const TcpRow& row) const {
    return row.dwState == static_cast<uint32_t>(TcpEstablished) &&
           (local_[PortFromField(row.dwLocalPort)] || remote_[PortFromField(row.dwRemotePort)]) &&
           !allowed_.contains(RemoteAddress6(row));
}

bool GuardJudge::Apply(const GuardRuleEdit& edit) {
    if (edit.kind == GuardRuleEdit::Kind::AllowedAddress) {
        return edit.add ? allowed_.insert(edit.address).second : allowed_.erase(edit.address) > 0;
    }
    if (edit.port == 0) {
        return false; // no rule names port 0
    }
    auto&& bit = (edit.kind == GuardRuleEdit::Kind::BlockedLocalPort ? local_ : remote_)[edit.port];
    if (bit == edit.add) {
        return false;
    }
    bit = edit.add;
    ports_ = edit.add ? ports_ + 1 : ports_ - 1;
    return true;
}

std::vector<GuardRuleEdit> GuardJudge::EditsTo(const GuardJudge& other) const {
    using Kind = GuardRuleEdit::Kind;
    std::vector<GuardRuleEdit> edits;
    for (const bool add : {false, true}) {
        const GuardJudge& from = add ? other : *this;
        const GuardJudge& to = add ? *this : other;
        for (size_t port = 1; port < kPorts; ++port) {
            if (from.local_[port] && !to.local_[port]) {
                edits.push_back({Kind::BlockedLocalPort, add, static_cast<uint16_t>(port), {}});
            }
            if (from.remote_[port] && !to.remote_[port]) {
                edits.push_back({Kind::BlockedRemotePort, add, static_cast<uint16_t>(port), {}});
            }
        }
        for (const Address6& address : from.allowed_) {
            if (!to.allowed_.contains(address)) {
                edits.push_back({Kind::AllowedAddress, add, 0, address});
            }
        }
    }
    return edits;
}

std::vector<uint16_t> GuardJudge::Ports(const std::vector<bool>& set) {
    std::vector<uint16_t> ports;
    for (size_t port = 1; port < kPorts; ++port) {
        if (set[port]) {
            ports.push_back(static_cast<uint16_t>(port));
        }
    }
    return ports;
}

} // namespace kt
