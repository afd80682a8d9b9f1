// IRQL: each thread's current interrupt request level.
//
// The emulation knows PASSIVE_LEVEL, APC_LEVEL and DISPATCH_LEVEL (and lets a
// thread raise higher). Raising only raises and lowering only lowers, as on the
// platform, where the opposite is a bug check; here it is a violation and the
// level is left unchanged.
#include "kernel_internal.h"
#include "verifier.h"

using namespace sim::kernel;

extern "C" KIRQL KeGetCurrentIrql(VOID) { return CurrentThread().Irql; }

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql, SIM_SITE_DECL) {
    ThreadState &t = CurrentThread();
    KIRQL old = t.Irql;
    if (NewIrql < old) {
        Report(sim::kernel::rule::IRQL_RAISE_BELOW_CURRENT, FormatSite(SimFile, SimLine),
               "KfRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
        return old;
    }
    t.Irql = NewIrql;
    return old;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql, SIM_SITE_DECL) {
    ThreadState &t = CurrentThread();
    if (NewIrql > t.Irql) {
        Report(sim::kernel::rule::IRQL_LOWER_ABOVE_CURRENT, FormatSite(SimFile, SimLine),
               "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(t.Irql));
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && !t.Locks.empty()) {
        Report(sim::kernel::rule::SPINLOCK_WRONG_IRQL, FormatSite(SimFile, SimLine),
               "KeLowerIrql below DISPATCH_LEVEL with the spin lock acquired at " +
                   t.Locks.back().Site + " held");
    }
    t.Irql = NewIrql;
    DeliverApcs();
}
