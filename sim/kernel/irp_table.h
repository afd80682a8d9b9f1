// The I/O manager's side table of IRPs, shared by the files that allocate,
// send, complete, cancel and free them.
//
// Every IRP the kernel knows has a record: its kind (who owns it at the end),
// its state, the sites of its allocation, first completion and free, and per
// stack location the driver that owns the completion routine stored there
// (the driver that was running when IofCallDriver handed that location down).
// The epoch counts state changes made by anyone other than the completion
// loop, so the loop can tell after a completion routine returned whether
// someone else (a waiter continuing the completion, a free, a resubmission)
// has taken the IRP over meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kernel_internal.h"

namespace sim {
namespace kernel {

struct IrpRecord {
    PIRP Irp = nullptr;
    IrpKind Kind = IrpKind::DriverAllocated;
    IrpState State = IrpState::Idle;
    uint64_t Epoch = 0;
    size_t Bytes = 0;
    bool KernelMemory = true;
    bool FreedByIoManager = false;
    // IoAllocateIrp's ChargeQuota, and whether the IRP has been sent since it
    // was allocated: IoInitializeIrp may re-initialise an IoAllocateIrp IRP
    // only once it has been used, and only when no quota was charged.
    bool ChargedQuota = false;
    bool EverSent = false;
    PDRIVER_OBJECT AllocDriver = nullptr;
    std::string AllocSite;
    std::string CompleteSite;
    std::string FreeSite;
    std::vector<PDRIVER_OBJECT> Owner;                 // per stack location
    std::vector<uint64_t> CallAt;                      // IofCallDriver call id per stack location
    std::unordered_map<uint64_t, bool> PendingMarked;  // call id -> SL_PENDING_RETURNED seen
    // Calls whose dispatch routine passed the IRP on to a lower driver. Such a
    // routine may return the lower driver's STATUS_PENDING without marking its
    // own location: the completion walk propagates the mark when it passes.
    std::unordered_set<uint64_t> PassedDown;
    std::shared_ptr<RequestWaiter> Waiter;
    // The thread that built a threaded request: its last stage runs there.
    std::shared_ptr<ApcQueue> Thread;
    void *SystemBuffer = nullptr;
    void *UserOutput = nullptr;
    ULONG OutputLength = 0;
    bool CopyBack = false;
    // A client's direct buffer: its client pages, unmapped at completion.
    ClientPages *Pages = nullptr;
};

extern std::mutex g_irpMutex;

IrpRecord *FindIrpLocked(PIRP irp);
// Looks up the IRP a routine is about to act on (g_irpMutex held). Returns the
// violation for something that is no IRP (IRP_UNKNOWN) or for an IRP already
// freed (IRP_USED_AFTER_FREE), with *detail naming the routine; nullptr when
// the IRP is known and alive, *rec then pointing at its record.
const char *CheckIrpAliveLocked(PIRP irp, const char *routine, IrpRecord **rec,
                                std::string *detail);
// Marks the IRP freed, poisons it and puts it in quarantine; returns an IRP
// whose quarantine ended and whose memory the caller releases (or nullptr).
void FreeIrpLocked(IrpRecord *rec, const std::string &site, bool byIoManager);
const char *IrpKindName(IrpKind kind);
const char *IrpStateName(IrpState state);
inline PIO_STACK_LOCATION FirstStackLocation(PIRP irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}
// Copies back and releases the request's buffers and MDLs (I/O manager stage).
// Returns a violation detail when Information exceeded a buffered output.
std::string FinishBuffersLocked(IrpRecord *rec, bool copy);

}  // namespace kernel
}  // namespace sim
