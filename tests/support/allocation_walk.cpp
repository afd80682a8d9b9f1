#include "allocation_walk.h"

#include <gtest/gtest.h>

#include <string>

namespace sim::test {

int WalkAllocations(const AllocationWalk &walk) {
    for (uint64_t n = 1; n <= walk.Limit; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
        if (walk.Prepare) walk.Prepare();
        const uint64_t before = sim::FaultInjectedCount();
        sim::FaultFailNthAllocation(n, walk.Driver);
        walk.Run();
        const bool injected = sim::FaultInjectedCount() > before;
        sim::FaultClear();
        if (walk.Check) walk.Check(injected);
        if (!injected) return (int)n;
    }
    ADD_FAILURE() << "the walk still found allocations after " << walk.Limit << " passes";
    return 0;
}

}  // namespace sim::test
