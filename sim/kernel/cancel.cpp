// Cancellation: IoCancelIrp, IoSetCancelRoutine and the cancel spin lock.
//
// As on the platform, IoCancelIrp takes the cancel spin lock, sets the IRP's
// Cancel flag and exchanges its cancel routine with nullptr; when there was
// one, it calls it with the lock still held and the previous IRQL in
// CancelIrql (the routine releases the lock with IoReleaseCancelSpinLock) and
// returns TRUE; otherwise it releases the lock and returns FALSE. The cancel
// spin lock is a spin lock like any other for the verifier.
#include "irp_table.h"
#include "verifier.h"

using namespace sim::kernel;

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    ThreadState &t = CurrentThread();
    *Irql = t.Irql;
    if (t.Irql < DISPATCH_LEVEL) t.Irql = DISPATCH_LEVEL;
    SpinLockAcquire(&CancelSpinLock, "IoAcquireCancelSpinLock");
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    ThreadState &t = CurrentThread();
    if (t.Irql != DISPATCH_LEVEL) {
        Report(rule::SPINLOCK_WRONG_IRQL, "IoReleaseCancelSpinLock",
               "cancel spin lock released at IRQL " + std::to_string(t.Irql));
    }
    SpinLockRelease(&CancelSpinLock, "IoReleaseCancelSpinLock");
    if (Irql <= t.Irql) t.Irql = Irql;
    DeliverApcs();
}

extern "C" PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return reinterpret_cast<PDRIVER_CANCEL>(__atomic_exchange_n(
        reinterpret_cast<void *volatile *>(&Irp->CancelRoutine),
        reinterpret_cast<void *>(CancelRoutine), __ATOMIC_SEQ_CST));
}

extern "C" BOOLEAN IoCancelIrp(PIRP Irp, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp", site);
    const char *violation = nullptr;
    std::string detail;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = nullptr;
        violation = CheckIrpAliveLocked(Irp, "IoCancelIrp", &rec, &detail);
    }
    if (violation != nullptr) {
        Report(violation, site, detail);
        return FALSE;
    }

    ThreadState &t = CurrentThread();
    size_t locksBefore = t.Locks.size();
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    // Published with a full barrier before the cancel routine is taken, as the
    // platform's interlocked exchange that follows orders it: a driver that
    // installs a cancel routine and then reads Cancel sees one or the other.
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(old);
        return FALSE;
    }
    Irp->CancelIrql = old;
    // An IRP not sent yet has no current location (and so no device).
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    PDRIVER_OBJECT driver = device != nullptr ? device->DriverObject : nullptr;
    EnterDriver(driver);
    routine(device, Irp);
    for (const HeldSpinLock &h : t.Locks) {
        if (h.Lock == &CancelSpinLock) {
            Report(rule::CANCEL_LOCK_NOT_RELEASED, site,
                   DriverName(driver) + " cancel routine returned holding the cancel spin lock");
            IoReleaseCancelSpinLock(old);
            break;
        }
    }
    LeaveDriver(driver, old, locksBefore, "cancel routine", 0);
    return TRUE;
}
