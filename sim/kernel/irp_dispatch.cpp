// Sending and completing IRPs: IofCallDriver, PoCallDriver and
// IofCompleteRequest.
//
// IofCallDriver moves the IRP to its next stack location, records the device
// there and the driver that handed the location down (the owner of any
// completion routine in it), and calls the target driver's dispatch routine.
// A dispatch routine that returns STATUS_PENDING must have marked its location
// pending; the check reads the mark where the completion recorded it, because
// the IRP may already be completed (and its locations cleared) when the
// dispatch routine returns.
//
// IofCompleteRequest walks the locations bottom-up as the platform does: for
// each, PendingReturned takes the location's pending mark; its completion
// routine runs when SL_INVOKE_ON_SUCCESS / _ERROR / _CANCEL asks for it, with
// the device of the location above (nullptr above the top); without a routine
// the pending mark is carried to the location above; the location is cleared;
// a routine returning STATUS_MORE_PROCESSING_REQUIRED stops the walk, and the
// IRP is never touched again by this call. Past the top location the I/O
// manager finishes the request according to its kind: a threaded request
// (IoBuildDeviceIoControlRequest) gets its buffers copied back, its status
// block written, its event set, and is freed; a client, Plug and Play or power
// request wakes the thread that waits for it; a driver-allocated IRP should
// never get there.
#include <string.h>

#include <atomic>

#include "irp_table.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

std::atomic<uint64_t> g_callIds{0};

// Call sites of the IofCallDriver / PoCallDriver calls running on this thread,
// innermost last, for reports made by the platform's own drivers.
thread_local std::vector<std::string> t_callSites;
// Completion routines a thread may run nested before IofCallDriver from the
// innermost one is reported; past the second figure the platform's stack is
// surely gone (and the host's would follow).
constexpr int kMaxCompletionNesting = 4;
constexpr int kStackOverflowNesting = 400;

const char *MajorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
        case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
        case IRP_MJ_READ: return "IRP_MJ_READ";
        case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
        case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
        case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
        case IRP_MJ_POWER: return "IRP_MJ_POWER";
        case IRP_MJ_PNP: return "IRP_MJ_PNP";
        default: return "IRP_MJ_?";
    }
}

// The last stage of a request built by IoBuildDeviceIoControlRequest, run as
// a kernel APC in the thread that built it: copy the buffers back, write the
// status block, free the IRP, then signal the event (last: the waiter may
// return and drop both the moment it is set).
void FinishThreadedRequest(PIRP irp, const std::string &site) {
    std::string detail;
    PKEVENT event = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = FindIrpLocked(irp);
        if (rec == nullptr || rec->State != IrpState::Completed) return;
        detail = FinishBuffersLocked(rec, true);
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        event = irp->UserEvent;
        FreeIrpLocked(rec, site, true);
    }
    if (!detail.empty()) Report(rule::BUFFERED_INFORMATION_TOO_LARGE, site, detail);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// The I/O manager's last stage, once the walk has passed the top location.
void FinishRequest(PIRP irp, const std::string &site) {
    const char *violation = nullptr;
    std::string detail;
    std::shared_ptr<RequestWaiter> waiter;
    std::shared_ptr<ApcQueue> apc;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = FindIrpLocked(irp);
        if (rec == nullptr) return;
        switch (rec->Kind) {
            case IrpKind::DriverAllocated:
            case IrpKind::DriverInitialized:
                rec->State = IrpState::Completed;
                violation = rule::ALLOCATED_IRP_NOT_RECLAIMED;
                detail = "IRP allocated at " + rec->AllocSite +
                         " completed past its top stack location without "
                         "STATUS_MORE_PROCESSING_REQUIRED; nobody can release it";
                break;
            case IrpKind::Threaded:
                rec->State = IrpState::Completed;
                apc = rec->Thread;
                break;
            case IrpKind::Client:
            case IrpKind::Pnp:
            case IrpKind::Power: {
                rec->State = IrpState::Completed;
                waiter = rec->Waiter;
                break;
            }
        }
        if (waiter) {
            std::lock_guard<std::mutex> wl(waiter->Mutex);
            detail = FinishBuffersLocked(rec, !waiter->Abandoned);
            if (!detail.empty()) violation = rule::BUFFERED_INFORMATION_TOO_LARGE;
            waiter->Iosb = irp->IoStatus;
            waiter->Completed = true;
            if (waiter->Abandoned) FreeIrpLocked(rec, site, true);
            if (waiter->Park != nullptr) Unpark(*waiter->Park);
            waiter->Done.notify_all();
        }
    }
    if (violation != nullptr) Report(violation, site, detail);
    if (apc) QueueApc(apc, [irp, site] { FinishThreadedRequest(irp, site); });
}

}  // namespace

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const std::string &site, bool power) {
    const char *routine = power ? "PoCallDriver" : "IofCallDriver";
    CheckIrqlAtMost(DISPATCH_LEVEL, routine, site);
    CheckNoSpinLockHeld(rule::SPINLOCK_HELD_ACROSS_CALL, routine, site);
    if (!CheckDeviceAlive(device, routine, site)) return STATUS_INVALID_PARAMETER;
    if (device == nullptr || device->Type != IO_TYPE_DEVICE) {
        Report(rule::INVALID_PARAMETER, site, std::string(routine) + " without a device object");
        return STATUS_INVALID_PARAMETER;
    }
    ThreadState &thread = CurrentThread();
    if (thread.CompletionDepth > kMaxCompletionNesting) {
        if (!thread.NestingReported) {
            thread.NestingReported = true;
            Report(rule::CALL_NESTED_IN_COMPLETION, site,
                   std::string(routine) + " from inside " + std::to_string(thread.CompletionDepth) +
                       " nested completion routines (at most " +
                       std::to_string(kMaxCompletionNesting) +
                       "): a lower driver completing inline and a routine that sends again "
                       "overflow the platform's kernel stack");
        }
        if (thread.CompletionDepth > kStackOverflowNesting) {
            KeBugCheckEx(0x7F /* UNEXPECTED_KERNEL_MODE_TRAP: stack overflow */, 8, 0, 0, 0);
        }
    }
    const char *violation = nullptr;
    std::string detail;
    uint64_t callId = 0;
    int index = 0;
    PIO_STACK_LOCATION stack = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = nullptr;
        if ((violation = CheckIrpAliveLocked(irp, routine, &rec, &detail)) != nullptr) {
            // reported below
        } else if (rec->State == IrpState::Completed || rec->State == IrpState::Completing) {
            violation = rule::IRP_USED_AFTER_FREE;
            detail = std::string(routine) + " with an IRP already completed at " + rec->CompleteSite;
        } else if (irp->CurrentLocation <= 1) {
            violation = rule::IRP_NO_MORE_STACK_LOCATIONS;
            detail = std::string(routine) + " with no stack location left for " +
                     DriverName(device->DriverObject) + " (IRP has " +
                     std::to_string(irp->StackCount) + ")";
        } else {
            irp->CurrentLocation--;
            irp->Tail.Overlay.CurrentStackLocation--;
            index = irp->CurrentLocation - 1;
            stack = irp->Tail.Overlay.CurrentStackLocation;
            stack->DeviceObject = device;
            rec->State = IrpState::InFlight;
            rec->EverSent = true;
            ++rec->Epoch;
            callId = ++g_callIds;
            rec->Owner[index] = CurrentDriver();
            if (index + 1 < static_cast<int>(rec->CallAt.size()) && rec->CallAt[index + 1] != 0)
                rec->PassedDown.insert(rec->CallAt[index + 1]);
            rec->CallAt[index] = callId;
        }
    }
    if (violation != nullptr) {
        Report(violation, site, detail);
        return STATUS_INVALID_PARAMETER;
    }

    PDRIVER_OBJECT driver = device->DriverObject;
    UCHAR major = stack->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        Report(rule::INVALID_PARAMETER, site, "IRP with major function " + std::to_string(major));
        major = IRP_MJ_MAXIMUM_FUNCTION;
    }
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[major];
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    t_callSites.push_back(site);
    CallIntoDriver(driver, MajorName(major), [&] { status = dispatch(device, irp); });
    t_callSites.pop_back();

    bool notMarked = false;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = FindIrpLocked(irp);
        if (rec != nullptr) {
            auto it = rec->PendingMarked.find(callId);
            bool passedDown = rec->PassedDown.erase(callId) > 0;
            if (status == STATUS_PENDING && !passedDown) {
                if (it != rec->PendingMarked.end()) {
                    notMarked = !it->second;
                } else if (rec->State != IrpState::Freed &&
                           index < static_cast<int>(rec->CallAt.size()) &&
                           rec->CallAt[index] == callId) {
                    notMarked = (FirstStackLocation(irp)[index].Control & SL_PENDING_RETURNED) == 0;
                }
            }
            if (it != rec->PendingMarked.end()) rec->PendingMarked.erase(it);
        }
    }
    // The APCs of requests this thread built run once it is back below APC_LEVEL.
    DeliverApcs();
    if (notMarked) {
        // A request the kernel sent itself is named by the routine that broke the rule.
        std::string where = site[0] == '(' ? "(" + DriverName(driver) + " " + MajorName(major) + ")"
                                           : site;
        Report(rule::PENDING_NOT_MARKED, where,
               DriverName(driver) + " returned STATUS_PENDING for " + MajorName(major) +
                   " without IoMarkIrpPending");
    }
    return status;
}

void CompleteRequest(PIRP irp, const std::string &site) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest", site);
    CheckNoSpinLockHeld(rule::SPINLOCK_HELD_ACROSS_CALL, "IofCompleteRequest", site);
    const char *violation = nullptr;
    std::string detail;
    bool refuse = false;
    uint64_t epoch = 0;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = FindIrpLocked(irp);
        if (rec == nullptr) {
            violation = rule::IRP_UNKNOWN;
            detail = "IofCompleteRequest with something that is no IRP";
            refuse = true;
        } else {
            switch (rec->State) {
                case IrpState::Freed:
                    violation =
                        rec->FreedByIoManager ? rule::IRP_COMPLETED_TWICE : rule::IRP_USED_AFTER_FREE;
                    detail = std::string(IrpKindName(rec->Kind)) + " IRP " +
                             (rec->CompleteSite.empty() ? std::string()
                                                        : "completed at " + rec->CompleteSite + ", ") +
                             "freed at " + rec->FreeSite + ", completed again";
                    refuse = true;
                    break;
                case IrpState::Completed:
                case IrpState::Completing:
                    violation = rule::IRP_COMPLETED_TWICE;
                    detail = std::string(IrpKindName(rec->Kind)) + " IRP already completed at " +
                             rec->CompleteSite;
                    refuse = true;
                    break;
                case IrpState::Idle:
                    violation = rule::IRP_NOT_IN_FLIGHT;
                    detail = "IofCompleteRequest of an IRP that was never sent";
                    refuse = true;
                    break;
                default:
                    break;
            }
            if (!refuse && irp->IoStatus.Status == STATUS_PENDING) {
                violation = rule::IRP_COMPLETED_WITH_PENDING;
                detail = "IofCompleteRequest with IoStatus.Status STATUS_PENDING";
                refuse = true;
            }
            if (!refuse && irp->CurrentLocation > irp->StackCount) {
                violation = rule::IRP_NO_CURRENT_LOCATION;
                detail = "IofCompleteRequest of an IRP past its top stack location";
                refuse = true;
            }
            if (!refuse) {
                // IoCancelIrp may be exchanging the routine on another
                // processor right now: test and clear it in one atomic step.
                if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                    violation = rule::IRP_COMPLETED_WITH_CANCEL_ROUTINE;
                    detail = "IofCompleteRequest of an IRP whose cancel routine is still set";
                }
                if (rec->State == IrpState::InFlight) rec->CompleteSite = site;
                rec->State = IrpState::Completing;
                epoch = ++rec->Epoch;
            }
        }
    }
    if (violation != nullptr) Report(violation, site, detail);
    if (refuse) return;

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    IoSkipCurrentIrpStackLocation(irp);
    do {
        PIO_COMPLETION_ROUTINE routine = nullptr;
        PVOID context = nullptr;
        PDRIVER_OBJECT owner = nullptr;
        PDEVICE_OBJECT deviceArg = nullptr;
        bool invoke = false;
        {
            std::lock_guard<std::mutex> lock(g_irpMutex);
            IrpRecord *rec = FindIrpLocked(irp);
            int index = static_cast<int>(sp - FirstStackLocation(irp));
            irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
            if (rec->CallAt[index] != 0) rec->PendingMarked[rec->CallAt[index]] = irp->PendingReturned;
            NTSTATUS s = irp->IoStatus.Status;
            UCHAR control = sp->Control;
            invoke = sp->CompletionRoutine != nullptr &&
                     ((NT_SUCCESS(s) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(s) && (control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
                       (control & SL_INVOKE_ON_CANCEL)));
            routine = sp->CompletionRoutine;
            context = sp->Context;
            owner = rec->Owner[index];
            rec->CallAt[index] = 0;
            // Clear the location as the platform does.
            sp->MinorFunction = 0;
            sp->Flags = 0;
            sp->Control = 0;
            memset(&sp->Parameters.Others, 0, sizeof(sp->Parameters.Others));
            sp->FileObject = nullptr;
            sp->CompletionRoutine = nullptr;
            sp->Context = nullptr;
            if (invoke) {
                deviceArg = irp->CurrentLocation == irp->StackCount + 1
                                ? nullptr
                                : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
                rec->State = IrpState::InRoutine;
            } else if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
                IoMarkIrpPending(irp);
            }
        }
        if (invoke) {
            NTSTATUS r = STATUS_SUCCESS;
            ThreadState &thread = CurrentThread();
            ++thread.CompletionDepth;
            CallIntoDriver(owner, "completion routine", [&] { r = routine(deviceArg, irp, context); });
            if (--thread.CompletionDepth == 0) thread.NestingReported = false;
            if (r == STATUS_MORE_PROCESSING_REQUIRED) {
                std::lock_guard<std::mutex> lock(g_irpMutex);
                IrpRecord *rec = FindIrpLocked(irp);
                if (rec != nullptr && rec->Epoch == epoch && rec->State == IrpState::InRoutine) {
                    rec->State = IrpState::Held;
                }
                return;
            }
            const char *late = nullptr;
            {
                std::lock_guard<std::mutex> lock(g_irpMutex);
                IrpRecord *rec = FindIrpLocked(irp);
                if (rec == nullptr || rec->Epoch != epoch) {
                    late = rec != nullptr && rec->State == IrpState::Freed
                               ? rule::IRP_USED_AFTER_FREE
                               : rule::IRP_COMPLETED_TWICE;
                } else {
                    rec->State = IrpState::Completing;
                }
            }
            if (late != nullptr) {
                Report(late, site,
                       DriverName(owner) +
                           " completion routine freed, resent or completed the IRP and did not "
                           "return STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
        }
        IoSkipCurrentIrpStackLocation(irp);
        ++sp;
    } while (irp->CurrentLocation <= irp->StackCount + 1);
    FinishRequest(irp, site);
}

}  // namespace kernel

void VerifierReportAtCaller(const char *rule, const std::string &detail) {
    using kernel::t_callSites;
    kernel::Report(rule, t_callSites.empty() ? std::string("(no caller)") : t_callSites.back(), detail);
}

}  // namespace sim

using namespace sim::kernel;

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, SIM_SITE_DECL) {
    return CallDriver(DeviceObject, Irp, FormatSite(SimFile, SimLine), false);
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, SIM_SITE_DECL) {
    return CallDriver(DeviceObject, Irp, FormatSite(SimFile, SimLine), true);
}

extern "C" VOID PoStartNextPowerIrp(PIRP Irp) { UNREFERENCED_PARAMETER(Irp); }

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost, SIM_SITE_DECL) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    CompleteRequest(Irp, FormatSite(SimFile, SimLine));
}
