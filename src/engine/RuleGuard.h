#pragma once

#include "engine/GuardRules.h"

#include <span>
#include <string>

namespace kt {

// A guard that cuts by the rules on its own, outside the main loop (the kernel's, on Linux).
// While it is sound the main loop need not poll: it waits for the next thing to do. The engine
// still judges every tick, as a second line that also retries refused cuts.
class RuleGuard {
public:
    virtual ~RuleGuard() = default;
    // The rule lists changed: handed over, in force shortly after (the guard switches them whole
    // on a thread of its own). False, with the reason, only when the guard can take no rules at
    // all any more; a set it cannot take is told through TakeRefusal, and the set in force stays.
    virtual bool SetRules(const GuardRules& rules, std::string& why) = 0;
    // Some entries changed: costs what the edits do, whatever the lists' length. One edit is
    // applied in place; several are switched in whole, as one.
    virtual void Edit(std::span<const GuardRuleEdit> edits) = 0;
    // A rule set or edit the guard could not take (the set in force stays), each told once; false
    // when there is none to tell.
    virtual bool TakeRefusal(std::string& why) = 0;
    // False, with the reason, once the guard no longer guards.
    virtual bool Sound(std::string& why) const = 0;
    // Stops the guard for good: from here on the main loop polls.
    virtual void Stop() = 0;
    // What the main loop waits on between ticks (readable when the table changed); -1 for none:
    // the loop then looks at the table at the view's rate while someone sees the view, and once
    // a second otherwise.
    virtual int WakeHandle() const = 0;
};

} // namespace kt
