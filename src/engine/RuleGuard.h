#pragma once

#include "engine/GuardRules.h"

#include <string>

namespace kt {

// A guard that cuts by the rules on its own, outside the main loop (the kernel's, on Linux).
// While it is sound the main loop need not poll: it waits for the next thing to do. The engine
// still judges every tick, as a second line that also retries refused cuts.
class RuleGuard {
public:
    virtual ~RuleGuard() = default;
    // The rule lists changed. False, with the reason, when the guard could not take them; it then
    // stops cutting, so that stale rules cut nothing.
    virtual bool SetRules(const GuardRules& rules, std::string& why) = 0;
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
