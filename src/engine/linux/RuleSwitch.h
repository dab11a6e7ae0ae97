#pragma once

#include "core/linux/UniqueFd.h"
#include "engine/GuardRules.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace kt {

// The kernel guard's rule set in its BPF maps, and the thread that changes it. A set lives in one
// hash map sized to fit it; a new set, or several edits at once, is built in a map of its own
// and switched in by one update of the program's slot, which the kernel answers only after every
// program that could still read the old map has ended. One edit alone is applied in place: one
// hash insert or delete is whole for every reader. At most one change is in flight; what arrives
// meanwhile joins the next one. After each, the version the program reads is stored anew, so that
// every socket's kept judgement is stale.
class RuleSwitch {
public:
    // What came into force, for the guard's thread, which judges by the same rules: whole (when
    // set) replaces its set, then the edits apply.
    struct InForce {
        std::optional<GuardJudge> whole;
        std::vector<GuardRuleEdit> edits;
        bool mayBlock = false; // a connection may be blocked now that was not
    };
    struct Counts {
        uint64_t switches = 0; // sets switched in whole
        uint64_t inPlace = 0;  // single edits applied in place
        uint64_t refused = 0;
        std::chrono::nanoseconds lastSwitch{};     // building the map and switching to it
        std::chrono::nanoseconds lastSlotUpdate{}; // of that, the slot's update (a grace period)
        size_t entries = 0;                        // in force
        size_t capacity = 0;                       // of the map in force
    };

    // slots: the program's map of one slot that holds the set's map; version: the program's.
    RuleSwitch(int slots, uint32_t* version, std::function<void(InForce&&)> onInForce);
    ~RuleSwitch();
    RuleSwitch(const RuleSwitch&) = delete;
    RuleSwitch& operator=(const RuleSwitch&) = delete;

    // Before Start, on the caller's thread: the first set, in force when it returns.
    bool Install(const GuardRules& rules, std::string& whyNot);
    void Start();
    // Any thread; each costs what it hands over.
    void Replace(GuardRules rules);
    void Edit(std::span<const GuardRuleEdit> edits);
    // A set or edit the kernel could not take, told once each; the set in force stayed.
    bool TakeRefusal(std::string& why);
    // Waits, at most bound, until everything handed over is in force or refused.
    bool Settle(std::chrono::milliseconds bound) const;
    Counts Count() const;
    // The kernel's own account of the memory of the map in force.
    uint64_t MapBytes() const;

private:
    struct Request {
        std::optional<GuardRules> whole;
        std::vector<GuardRuleEdit> edits;
    };
    void Run();
    void Change(std::vector<Request>& requests);
    // 0, or the errno of the kernel's refusal; E2BIG when the map in force is full.
    int EditInPlace(const GuardRuleEdit& edit);
    int SwitchWhole();
    void Refuse(std::string why);

    const int slots_;
    uint32_t* const version_;
    const std::function<void(InForce&&)> onInForce_;

    // The switching thread only (and Install, before it runs).
    GuardJudge set_;
    UniqueFd map_;
    size_t capacity_ = 0;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    mutable std::condition_variable settled_;
    std::vector<Request> queue_;
    bool busy_ = false;
    bool stop_ = false;
    std::deque<std::string> refusals_;
    Counts counts_;
    std::thread thread_;
};

} // namespace kt
