// Contract checks the driver opens its routines with: the IRQL range and the
// spin locks each routine's contract names, against the calling thread's own
// IRQL and list of held locks.
#include <string>

#include "kernel_internal.h"
#include "verifier.h"

using sim::kernel::CurrentThread;
using sim::kernel::FormatSite;
using sim::kernel::Report;

extern "C" VOID SimContractIrql(KIRQL Lowest, KIRQL Highest, const char *Routine, const char *SimFile,
                                int SimLine) {
    const KIRQL irql = CurrentThread().Irql;
    if (irql >= Lowest && irql <= Highest) return;
    std::string allowed = Lowest == Highest ? "exactly " + std::to_string(Lowest)
                                            : std::to_string(Lowest) + " to " + std::to_string(Highest);
    Report(sim::kernel::rule::CONTRACT_IRQL, FormatSite(SimFile, SimLine),
           std::string(Routine) + " entered at IRQL " + std::to_string(irql) + "; its contract allows " +
               allowed);
}

extern "C" VOID SimContractLock(PKSPIN_LOCK Lock, BOOLEAN Held, const char *Routine, const char *LockName,
                                const char *SimFile, int SimLine) {
    bool holds = false;
    for (const auto &h : CurrentThread().Locks) {
        if (h.Lock == Lock) holds = true;
    }
    if (holds == (Held != FALSE)) return;
    Report(sim::kernel::rule::CONTRACT_LOCK, FormatSite(SimFile, SimLine),
           std::string(Routine) + (Held ? " entered without " : " entered holding ") + LockName);
}
