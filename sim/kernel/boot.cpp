// Boot and shutdown of the emulated kernel, kernel threads, bug checks.
//
// KernelBoot returns every table to its empty state. KernelShutdown first
// reports everything still alive (handles, drivers, device objects, IRPs,
// pool, MDLs) as violations and then resets, keeping the violations for the
// caller to read.
#include <stdio.h>
#include <stdlib.h>

#include <thread>

#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

void ResetTables() {
    ClientReset();
    PnpReset();
    IrpReset();
    MdlReset();
    ClientPagesReset();
    PoolReset();
    ObjectsReset();
    NamesReset();
    SpinLocksReset();
    FaultReset();
    SetHangGuardMs(60000);
    VirtualTimeReset();
    ThreadState &t = CurrentThread();
    t.Irql = PASSIVE_LEVEL;
    t.Drivers.clear();
}

}  // namespace
}  // namespace kernel

using namespace kernel;

void KernelBoot() {
    ResetTables();
    VerifierReset();
}

void KernelShutdown() {
    ClientReportLeftovers();
    ObjectsReportLeftovers();
    IrpReportLeftovers();
    PoolReportAllLeaks();
    MdlReportLeftovers();
    ResetTables();
}

void RunOnKernelThread(KIRQL irql, const std::function<void()> &fn) {
    LentTime lent;  // a caller that takes part lends its share of virtual time
    std::thread worker([&] {
        lent.Adopt();
        ThreadState &t = CurrentThread();
        t.Irql = irql;
        fn();
        if (!t.Locks.empty()) {
            Report(rule::SPINLOCK_HELD_ON_RETURN, t.Locks.back().Site,
                   "kernel thread ended holding the spin lock acquired here");
        }
        lent.GiveBack();
    });
    worker.join();
}

void VerifierSetHangGuardMs(uint32_t ms) { SetHangGuardMs(ms); }

}  // namespace sim

using namespace sim::kernel;

extern "C" VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                             ULONG_PTR P4) {
    char detail[160];
    snprintf(detail, sizeof detail, "KeBugCheckEx(0x%X, 0x%llx, 0x%llx, 0x%llx, 0x%llx)",
             BugCheckCode, static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
             static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
    Report(rule::BUGCHECK, DriverName(CurrentDriver()), detail);
    abort();
}
