#pragma once

// Network namespaces and a veth pair between two of them, for benchmarks whose traffic must
// cross a real device. A network namespace belongs to a thread, not to the process: each side
// runs on a thread that entered its namespace. Nothing is named or mounted, so a namespace is
// gone once no descriptor, thread or socket holds it.

#include "core/linux/UniqueFd.h"

#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace kt::bench {

// The calling thread's network namespace, held open.
UniqueFd ThisNetworkNamespace();
// A new network namespace with lo up, made on a thread of its own so that the caller stays
// where it is; invalid, with the reason, when it could not be made.
UniqueFd NewNetworkNamespace(std::string& whyNot);
// Moves the calling thread into the namespace.
bool EnterNetworkNamespace(const UniqueFd& ns);

// Runs f on a short-lived thread inside the namespace and answers what it answers (nothing
// when the namespace could not be entered).
template <typename F> auto RunIn(const UniqueFd& ns, F f) {
    std::optional<decltype(f())> result;
    std::thread([&] {
        if (EnterNetworkNamespace(ns)) {
            result = f();
        }
    }).join();
    return result;
}

// A veth pair: one end in the caller's network namespace, the other in peer's, each with its
// IPv4 address (/24), its IPv6 one (/64) when given, and up. The destructor deletes it (the kernel
// would with either namespace).
class VethPair {
public:
    static std::unique_ptr<VethPair> Create(const UniqueFd& peer, const char* address,
                                            const char* peerAddress, std::string& whyNot,
                                            const char* address6 = nullptr,
                                            const char* peerAddress6 = nullptr);
    ~VethPair();
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;

private:
    explicit VethPair(UniqueFd route) : route_(std::move(route)) {}
    UniqueFd route_; // rtnetlink in the caller's namespace, where the pair was made
};

} // namespace kt::bench
