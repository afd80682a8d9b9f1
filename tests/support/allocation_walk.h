// The allocation-failure walk: a scenario run once per pool allocation it
// makes, the n-th allocation failed on pass n, until a pass runs through
// without a fault injected. Every unwinding path of the scenario is taken
// once, in order.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/kernel.h"

namespace sim::test {

struct AllocationWalk {
    // Only this driver's allocations fail (null: anyone's).
    PDRIVER_OBJECT Driver = nullptr;
    // Runs before the fault is armed (a fresh camera to remove, say).
    std::function<void()> Prepare;
    // The scenario, with the fault armed; the fault is cleared after it.
    std::function<void()> Run;
    // Follows each pass; injected is false on the last, unfaulted one.
    // Failures inside it are traced with the allocation number.
    std::function<void(bool injected)> Check;
    // A walk still finding allocations after this many passes fails the test.
    uint64_t Limit = 500;
};

// Returns the number of passes (1 + the allocations failed), 0 when the limit
// was reached.
int WalkAllocations(const AllocationWalk &walk);

// The same with the usual parts in order.
inline int WalkAllocations(PDRIVER_OBJECT driver, const std::function<void()> &run,
                           const std::function<void(bool injected)> &check,
                           const std::function<void()> &prepare = nullptr) {
    AllocationWalk walk;
    walk.Driver = driver;
    walk.Run = run;
    walk.Check = check;
    walk.Prepare = prepare;
    return WalkAllocations(walk);
}

}  // namespace sim::test
