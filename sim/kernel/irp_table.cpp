// IRP allocation, initialisation, reuse and release, and the requests the
// I/O manager builds for drivers (IoBuildDeviceIoControlRequest).
//
// IRPs live in kernel memory laid out as on the platform: the IRP header
// followed by its stack locations; a fresh IRP's current location is one past
// the last, so the sender fills IoGetNextIrpStackLocation. A freed IRP is
// filled with 0xDF and kept in quarantine with its record in state "freed":
// a driver that touches it through an IRP routine is told so, instead of the
// memory being handed to the next allocation.
#include <string.h>

#include <deque>

#include "irp_table.h"
#include "verifier.h"

namespace sim {
namespace kernel {

std::mutex g_irpMutex;

namespace {

constexpr size_t kQuarantineIrps = 1024;

std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> g_irps;
std::deque<PIRP> g_quarantine;

void InitializeIrpMemory(PIRP irp, USHORT packetSize, CCHAR stackSize) {
    memset(irp, 0, packetSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation = FirstStackLocation(irp) + stackSize;
}

void ResetRecordForReuse(IrpRecord *rec, CCHAR stackSize) {
    rec->State = IrpState::Idle;
    ++rec->Epoch;
    rec->CompleteSite.clear();
    rec->Owner.assign(stackSize, nullptr);
    rec->CallAt.assign(stackSize, 0);
    rec->PendingMarked.clear();
    rec->PassedDown.clear();
}

// Checks that a driver may re-initialise rec now; returns a rule or nullptr.
const char *CheckReinitialize(IrpRecord *rec, std::string *detail) {
    if (rec->Kind != IrpKind::DriverAllocated && rec->Kind != IrpKind::DriverInitialized) {
        *detail = std::string("re-initialisation of a ") + IrpKindName(rec->Kind) +
                  " IRP, which the I/O manager built and owns";
        return rule::IRP_REUSE_NOT_ALLOWED;
    }
    switch (rec->State) {
        case IrpState::Freed:
            *detail = "IRP freed at " + rec->FreeSite + " initialised again";
            return rule::IRP_USED_AFTER_FREE;
        case IrpState::InFlight:
        case IrpState::Completing:
            *detail = "IRP initialised again while a lower driver still owns it";
            return rule::IRP_FREED_IN_FLIGHT;
        default:
            return nullptr;
    }
}

}  // namespace

const char *IrpKindName(IrpKind kind) {
    switch (kind) {
        case IrpKind::DriverAllocated: return "driver-allocated";
        case IrpKind::DriverInitialized: return "driver-initialised";
        case IrpKind::Threaded: return "threaded";
        case IrpKind::Client: return "client";
        case IrpKind::Pnp: return "Plug and Play";
        case IrpKind::Power: return "power";
    }
    return "?";
}

const char *IrpStateName(IrpState state) {
    switch (state) {
        case IrpState::Idle: return "idle";
        case IrpState::InFlight: return "in flight";
        case IrpState::Completing: return "completing";
        case IrpState::InRoutine: return "in a completion routine";
        case IrpState::Held: return "held after STATUS_MORE_PROCESSING_REQUIRED";
        case IrpState::Completed: return "completed";
        case IrpState::Freed: return "freed";
    }
    return "?";
}

const char *CheckIrpAliveLocked(PIRP irp, const char *routine, IrpRecord **rec,
                                std::string *detail) {
    *rec = FindIrpLocked(irp);
    if (*rec == nullptr) {
        *detail = std::string(routine) + " of something that is no IRP";
        return rule::IRP_UNKNOWN;
    }
    if ((*rec)->State == IrpState::Freed) {
        *detail = std::string(routine) + " of a " + IrpKindName((*rec)->Kind) +
                  " IRP allocated at " + (*rec)->AllocSite + " and freed at " + (*rec)->FreeSite;
        return rule::IRP_USED_AFTER_FREE;
    }
    return nullptr;
}

IrpRecord *FindIrpLocked(PIRP irp) {
    auto it = g_irps.find(irp);
    return it == g_irps.end() ? nullptr : it->second.get();
}

void FreeIrpLocked(IrpRecord *rec, const std::string &site, bool byIoManager) {
    rec->State = IrpState::Freed;
    ++rec->Epoch;
    rec->FreeSite = site;
    rec->FreedByIoManager = byIoManager;
    rec->Waiter.reset();
    rec->Thread.reset();
    if (rec->KernelMemory) memset(rec->Irp, 0xDF, rec->Bytes);
    g_quarantine.push_back(rec->Irp);
    if (g_quarantine.size() > kQuarantineIrps) {
        PIRP old = g_quarantine.front();
        g_quarantine.pop_front();
        auto it = g_irps.find(old);
        if (it != g_irps.end()) {
            if (it->second->KernelMemory) KernelFree(old);
            g_irps.erase(it);
        }
    }
}

std::string FinishBuffersLocked(IrpRecord *rec, bool copy) {
    std::string violation;
    PIRP irp = rec->Irp;
    if (copy && rec->CopyBack && rec->SystemBuffer != nullptr && rec->UserOutput != nullptr &&
        !NT_ERROR(irp->IoStatus.Status)) {
        ULONG_PTR n = irp->IoStatus.Information;
        if (n > rec->OutputLength) {
            violation = "Information " + std::to_string(n) + " above the output length " +
                        std::to_string(rec->OutputLength) + " of a METHOD_BUFFERED request";
            n = rec->OutputLength;
        }
        memcpy(rec->UserOutput, rec->SystemBuffer, n);
    }
    if (rec->SystemBuffer != nullptr) {
        KernelFree(rec->SystemBuffer);
        rec->SystemBuffer = nullptr;
    }
    PMDL mdl = irp->MdlAddress;
    while (mdl != nullptr) {
        if (!MdlIsLive(mdl)) {
            Report(rule::MDL_DOUBLE_FREE, rec->AllocSite,
                   "an MDL of the request was freed by a driver while the request still "
                   "pointed to it; the I/O manager frees the request's MDLs");
            break;
        }
        PMDL next = mdl->Next;
        MdlRelease(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
    // The client's pages are unlocked: its buffer takes what was written to
    // them, and every mapping of them is gone.
    ClientPagesFinish(rec->Pages, copy);
    rec->Pages = nullptr;
    return violation;
}

PIRP IrpCreate(CCHAR stackSize, IrpKind kind, const std::string &site) {
    USHORT bytes = IoSizeOfIrp(stackSize);
    PIRP irp = static_cast<PIRP>(KernelAlloc(bytes));
    InitializeIrpMemory(irp, bytes, stackSize);
    auto rec = std::make_unique<IrpRecord>();
    rec->Irp = irp;
    rec->Kind = kind;
    rec->Bytes = bytes;
    rec->AllocDriver = CurrentDriver();
    rec->AllocSite = site;
    rec->Owner.assign(stackSize, nullptr);
    rec->CallAt.assign(stackSize, 0);
    std::lock_guard<std::mutex> lock(g_irpMutex);
    g_irps[irp] = std::move(rec);
    return irp;
}

void IrpAttachWaiter(PIRP irp, const std::shared_ptr<RequestWaiter> &waiter) {
    std::lock_guard<std::mutex> lock(g_irpMutex);
    if (IrpRecord *rec = FindIrpLocked(irp)) rec->Waiter = waiter;
}

void IrpSetBuffers(PIRP irp, void *systemBuffer, void *userOutput, ULONG outputLength,
                   bool copyBack, ClientPages *pages) {
    std::lock_guard<std::mutex> lock(g_irpMutex);
    IrpRecord *rec = FindIrpLocked(irp);
    rec->Pages = pages;
    rec->SystemBuffer = systemBuffer;
    rec->UserOutput = userOutput;
    rec->OutputLength = outputLength;
    rec->CopyBack = copyBack;
}

void IrpRelease(PIRP irp) {
    std::lock_guard<std::mutex> lock(g_irpMutex);
    IrpRecord *rec = FindIrpLocked(irp);
    if (rec == nullptr || rec->State == IrpState::Freed) return;
    FinishBuffersLocked(rec, false);
    FreeIrpLocked(rec, "(I/O manager)", true);
}

void IrpReportLeftovers() {
    std::vector<std::pair<std::string, std::string>> leaks;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        for (auto &kv : g_irps) {
            IrpRecord *r = kv.second.get();
            if (r->State == IrpState::Freed) continue;
            leaks.emplace_back(r->AllocSite, std::string(IrpKindName(r->Kind)) + " IRP " +
                                                 IrpStateName(r->State) + " at shutdown");
        }
    }
    for (auto &l : leaks) Report(rule::IRP_LEAK, l.first, l.second);
}

void IrpReset() {
    std::lock_guard<std::mutex> lock(g_irpMutex);
    for (auto &kv : g_irps) {
        if (kv.second->KernelMemory) KernelFree(kv.first);
    }
    g_irps.clear();
    g_quarantine.clear();
}

}  // namespace kernel
}  // namespace sim

using namespace sim::kernel;

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp", site);
    if (StackSize < 1) {
        Report(rule::INVALID_PARAMETER, site, "IoAllocateIrp with " + std::to_string(StackSize) + " stack locations");
        return nullptr;
    }
    if (AllocationShouldFail(site)) return nullptr;
    PIRP irp = IrpCreate(StackSize, IrpKind::DriverAllocated, site);
    if (irp != nullptr && ChargeQuota) {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = FindIrpLocked(irp);
        if (rec != nullptr) rec->ChargedQuota = true;
    }
    return irp;
}

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    const char *violation = nullptr;
    std::string detail;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = FindIrpLocked(Irp);
        if (StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize)) {
            violation = rule::IRP_TOO_SMALL;
            detail = "IoInitializeIrp with packet size " + std::to_string(PacketSize) +
                     " for " + std::to_string(StackSize) + " stack locations";
        } else if (rec != nullptr && PacketSize > rec->Bytes) {
            violation = rule::IRP_TOO_SMALL;
            detail = "IoInitializeIrp with packet size " + std::to_string(PacketSize) +
                     " on an IRP of " + std::to_string(rec->Bytes) + " bytes";
        } else if (rec != nullptr && (violation = CheckReinitialize(rec, &detail)) != nullptr) {
            // reported below
        } else if (rec != nullptr && rec->Kind == IrpKind::DriverAllocated &&
                   (!rec->EverSent || rec->ChargedQuota)) {
            // IoAllocateIrp initialised it; re-initialising with IoInitializeIrp
            // clears its allocation flags, which the platform tolerates only
            // for a used IRP allocated without quota (else IoReuseIrp).
            violation = rule::IRP_REUSE_NOT_ALLOWED;
            detail = rec->ChargedQuota
                         ? "IoInitializeIrp on an IRP allocated with quota (IoReuseIrp keeps its allocation flags)"
                         : "IoInitializeIrp on an IRP that IoAllocateIrp has already initialised";
        } else {
            if (rec == nullptr) {
                // The driver's own memory (pool) becoming an IRP.
                auto fresh = std::make_unique<IrpRecord>();
                fresh->Irp = Irp;
                fresh->Kind = IrpKind::DriverInitialized;
                fresh->Bytes = PacketSize;
                fresh->KernelMemory = false;
                fresh->AllocDriver = CurrentDriver();
                fresh->AllocSite = site;
                rec = fresh.get();
                g_irps[Irp] = std::move(fresh);
            }
            InitializeIrpMemory(Irp, PacketSize, StackSize);
            ResetRecordForReuse(rec, StackSize);
        }
    }
    if (violation != nullptr) Report(violation, site, detail);
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Status, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    const char *violation = nullptr;
    std::string detail;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = FindIrpLocked(Irp);
        if (rec == nullptr) {
            violation = rule::IRP_UNKNOWN;
            detail = "IoReuseIrp of something that is no IRP";
        } else if ((violation = CheckReinitialize(rec, &detail)) == nullptr) {
            UCHAR flags = Irp->AllocationFlags;
            USHORT size = Irp->Size;
            CCHAR stackSize = Irp->StackCount;
            InitializeIrpMemory(Irp, size, stackSize);
            Irp->AllocationFlags = flags;
            Irp->IoStatus.Status = Status;
            ResetRecordForReuse(rec, stackSize);
        }
    }
    if (violation != nullptr) Report(violation, site, detail);
}

extern "C" VOID IoFreeIrp(PIRP Irp, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    const char *violation = nullptr;
    std::string detail;
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        IrpRecord *rec = nullptr;
        if ((violation = CheckIrpAliveLocked(Irp, "IoFreeIrp", &rec, &detail)) != nullptr) {
            // reported below
        } else if (rec->Kind != IrpKind::DriverAllocated) {
            violation = rule::IRP_FREED_NOT_ALLOCATED;
            detail = std::string("IoFreeIrp of a ") + IrpKindName(rec->Kind) +
                     " IRP, which its owner releases";
        } else if (rec->State == IrpState::InFlight || rec->State == IrpState::Completing) {
            violation = rule::IRP_FREED_IN_FLIGHT;
            detail = "IoFreeIrp of an IRP allocated at " + rec->AllocSite +
                     " that a lower driver still owns";
        } else {
            // The IRP alone: MDLs the driver attached to it are the driver's
            // to free.
            FreeIrpLocked(rec, site, false);
        }
    }
    if (violation != nullptr) Report(violation, site, detail);
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                              PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest", site);
    if (!CheckDeviceAlive(DeviceObject, "IoBuildDeviceIoControlRequest", site)) return nullptr;
    if (DeviceObject == nullptr) {
        Report(rule::INVALID_PARAMETER, site, "IoBuildDeviceIoControlRequest without a device");
        return nullptr;
    }
    if (AllocationShouldFail(site)) return nullptr;
    PIRP irp = IrpCreate(DeviceObject->StackSize, IrpKind::Threaded, site);
    {
        std::lock_guard<std::mutex> lock(g_irpMutex);
        FindIrpLocked(irp)->Thread = CurrentThread().Apc;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = &CurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    void *systemBuffer = nullptr;
    bool copyBack = false;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG n = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
            if (n != 0) {
                systemBuffer = KernelAlloc(n);
                memset(systemBuffer, 0xBB, n);
                if (InputBuffer != nullptr && InputBufferLength != 0) {
                    memcpy(systemBuffer, InputBuffer, InputBufferLength);
                }
                copyBack = OutputBuffer != nullptr && OutputBufferLength != 0;
            }
            irp->AssociatedIrp.SystemBuffer = systemBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (InputBuffer != nullptr && InputBufferLength != 0) {
                systemBuffer = KernelAlloc(InputBufferLength);
                memcpy(systemBuffer, InputBuffer, InputBufferLength);
                irp->AssociatedIrp.SystemBuffer = systemBuffer;
            }
            if (OutputBuffer != nullptr && OutputBufferLength != 0) {
                irp->MdlAddress = MdlCreate(OutputBuffer, OutputBufferLength);
                irp->MdlAddress->MdlFlags |= MDL_PAGES_LOCKED;
            }
            irp->UserBuffer = OutputBuffer;
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            break;
    }
    IrpSetBuffers(irp, systemBuffer, OutputBuffer, OutputBufferLength, copyBack);
    return irp;
}
