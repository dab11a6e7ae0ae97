#pragma once

#include "engine/TcpTable.h"

#include <cstdint>
#include <cstring>
#include <unordered_set>
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

struct Address6Hash {
    size_t operator()(const Address6& address) const noexcept {
        uint64_t high = 0;
        uint64_t low = 0;
        std::memcpy(&high, address.data(), 8);
        std::memcpy(&low, address.data() + 8, 8);
        // IPv4-mapped addresses differ only in the low half.
        return static_cast<size_t>((low * 0x9E3779B97F4A7C15ull) ^ (high + (low >> 29)));
    }
};

// The rules as the engine applies them: an allowed address of either family counts only when
// its text is already the plain form (the engine compares texts exactly), a port only from 1 to
// 65535.
GuardRules MakeGuardRules(const List& allowedIP, const List& blockedLocalPorts,
                          const List& blockedRemotePorts);

// A rule set kept for judging: one connection, one entry added or deleted, each in constant time
// whatever the lists' length.
class GuardJudge {
public:
    GuardJudge() : local_(kPorts), remote_(kPorts) {}
    explicit GuardJudge(const GuardRules& rules);
    // True for an established connection that the rules cut.
    bool Blocks(const TcpRow& row) const;
    // For a row it blocks: whether the local port's rule matched, which is judged first.
    bool BlocksByLocalPort(const TcpRow& row) const {
        return local_[PortFromField(row.dwLocalPort)];
    }
    // False when the set already was so.
    bool Apply(const GuardRuleEdit& edit);
    // Whether an edit could make a connection blocked that was not.
    static bool MayBlock(const GuardRuleEdit& edit) {
        return edit.add != (edit.kind == GuardRuleEdit::Kind::AllowedAddress);
    }
    // The edits that make this set into another: deletions first.
    std::vector<GuardRuleEdit> EditsTo(const GuardJudge& other) const;
    // Calls visit with every entry, as the edit that adds it.
    template <typename Visit> void ForEachEntry(Visit visit) const {
        for (size_t port = 1; port < kPorts; ++port) {
            if (local_[port]) {
                visit(GuardRuleEdit{
                    GuardRuleEdit::Kind::BlockedLocalPort, true, static_cast<uint16_t>(port), {}});
            }
            if (remote_[port]) {
                visit(GuardRuleEdit{
                    GuardRuleEdit::Kind::BlockedRemotePort, true, static_cast<uint16_t>(port), {}});
            }
        }
        for (const Address6& address : allowed_) {
            visit(GuardRuleEdit{GuardRuleEdit::Kind::AllowedAddress, true, 0, address});
        }
    }
    size_t Size() const { return ports_ + allowed_.size(); }
    std::vector<uint16_t> LocalPorts() const { return Ports(local_); }
    std::vector<uint16_t> RemotePorts() const { return Ports(remote_); }

private:
    static constexpr size_t kPorts = 65536;
    static std::vector<uint16_t> Ports(const std::vector<bool>& set);

    std::vector<bool> local_;
    std::vector<bool> remote_;
    size_t ports_ = 0;
    std::unordered_set<Address6, Address6Hash> allowed_;
};

// The edits that turn one rule set into another: deletions first.
inline std::vector<GuardRuleEdit> RuleEditsBetween(const GuardRules& from, const GuardRules& to) {
    return GuardJudge(from).EditsTo(GuardJudge(to));
}

} // namespace kt
