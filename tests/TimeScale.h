#pragma once

// The live tests' time bounds, stretched where programs run slower than on this machine's own
// kernel: scripts/run-on-kernel.sh sets KT_TIME_SCALE when it emulates its guest.

#include <cstdlib>

namespace kt::test {

// KT_TIME_SCALE, a whole factor; 1 when it is unset or less.
inline int TimeScale() {
    const char* text = std::getenv("KT_TIME_SCALE");
    const int scale = text ? std::atoi(text) : 1;
    return scale > 1 ? scale : 1;
}

// A bound (milliseconds, a count of tries, a duration) stretched by the factor.
template <typename Bound> Bound Scaled(Bound bound) {
    return bound * TimeScale();
}

} // namespace kt::test
