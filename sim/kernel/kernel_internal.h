// Internal declarations shared by the files of the emulated kernel.
//
// The emulated kernel is a set of process-global tables (name space, driver
// and device records, IRPs, pool blocks, MDLs), each behind its own mutex, and
// a per-thread record (IRQL, spin locks held, the stack of drivers the thread
// is currently running on behalf of). No table mutex is ever held while the
// kernel calls into a driver: drivers may call back into the kernel from any
// routine, on any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "sim/nt.h"

namespace sim {
namespace kernel {

// ---------------------------------------------------------------------------
// Call sites

// "file:line" of a driver's call, with the source tree's prefix removed. Each
// site's text is made once and lives as long as the process: the kernel's
// routines name their caller's site on every call.
const std::string &FormatSite(const char *file, int line);
// True when site ends with suffix (used by fault injection by site).
bool SiteEndsWith(const std::string &site, const std::string &suffix);

// ---------------------------------------------------------------------------
// Per-thread state

struct HeldSpinLock {
    PKSPIN_LOCK Lock;
    std::string Site;
    unsigned Recursion;  // nested acquisitions reported as violations
};

// Kernel APCs queued to a thread (the last stage of the requests it built):
// run in that thread at APC_LEVEL once its IRQL is below APC_LEVEL, at the
// kernel's delivery points (a wait, lowering the IRQL, the return of
// IofCallDriver, the end of a kernel thread). Shared, so that a completion
// may queue to a thread that has ended meanwhile (the APC then runs where it
// is queued).
struct ParkRecord;

struct ApcQueue {
    std::mutex Mutex;  // taken before a wait's mutex, never after
    std::vector<std::function<void()>> Apcs;
    std::atomic<size_t> Queued{0};
    bool Alive = true;
    // Set while the thread waits: the inserter wakes it through these.
    std::mutex *WaitMutex = nullptr;
    std::condition_variable *WaitChanged = nullptr;
    ParkRecord *Park = nullptr;  // under virtual time: the waiter to unpark
};

// ---------------------------------------------------------------------------
// Virtual time (virtual_time.cpp)
//
// Under virtual time the kernel's clock stands still while any thread that
// takes part in the emulation can run, and jumps to the next thing due (a
// timed wait's deadline, the bus's next frame) once every one of them waits.
// A taking-part thread "parks" when it waits: it no longer counts as able to
// run. Whoever satisfies its wait (KeSetEvent, a kernel APC, the completion
// of the request it waits for, the clock reaching its deadline) unparks it
// at that moment, before the waiter has woken, so that the clock never moves
// in between. Lock order: any wait's mutex, then the clock's own.

struct ParkRecord {
    bool Parked = false;             // guarded by the clock's mutex
    bool Counted = false;            // the thread took part when it parked
    uint64_t Deadline = UINT64_MAX;  // kernel microseconds; UINT64_MAX: none
    // Notified when the clock wakes the thread at its deadline.
    std::mutex *WaitMutex = nullptr;
    std::condition_variable *WaitChanged = nullptr;
};

bool VirtualTimeOn();
// Kernel time in microseconds since virtual time was switched on.
uint64_t VirtualNowMicros();
// True when the calling thread takes part (it counts as able to run).
bool ThreadTakesPart();
// Parks the calling thread's record (only when virtual time is on and the
// thread takes part; otherwise nothing). Call with waitMutex held.
void Park(ParkRecord &park, uint64_t deadline, std::mutex *waitMutex,
          std::condition_variable *waitChanged);
// A waker: the parked thread counts as able to run again from now on.
void Unpark(ParkRecord &park);
// The waiter, leaving its wait: unparks itself if nobody did.
void LeaveWait(ParkRecord &park);

// True while any test point is armed (test_points.cpp): one relaxed load.
bool AnyTestPointArmed();
// A taking-part thread about to wait while it is the only one that can run
// moves the clock itself (the bus's passes and, with one bus thread, the
// completions run on it, as a DPC runs on whatever thread a processor has),
// instead of parking and waking the clock's thread: no thread switch per
// frame. waitLock (the wait's mutex) is released meanwhile. True when time
// moved (the caller checks its wait again); false: park and wait.
bool StepBeforeWaiting(std::unique_lock<std::mutex> &waitLock, uint64_t ownDeadline);
// The 100 ns system time under virtual time (the wall clock's when it was
// switched on, plus the virtual time elapsed).
int64_t VirtualSystemTime();
// A thread lent the caller's share of "able to run" (kernel threads the
// managers start and join): the worker runs with it, the caller waits.
struct LentTime {
    LentTime();       // in the caller, before the worker starts
    ~LentTime();      // in the caller, after the join
    void Adopt();     // in the worker, first
    void GiveBack();  // in the worker, last
    bool Lent;
};
// The 100 ns system time (KeQuerySystemTime): the wall clock's, or under
// virtual time VirtualSystemTime.
int64_t SystemTimeNow();
void VirtualTimeReset();

struct ThreadState {
    ThreadState();
    ~ThreadState();
    KIRQL Irql = PASSIVE_LEVEL;
    std::vector<HeldSpinLock> Locks;
    std::vector<PDRIVER_OBJECT> Drivers;  // innermost last
    // Completion routines running nested on this thread, and whether the
    // present chain of them was reported for calling down too deep.
    int CompletionDepth = 0;
    bool NestingReported = false;
    std::shared_ptr<ApcQueue> Apc;
    ParkRecord Park;  // virtual time: this thread's waits
};

ThreadState &CurrentThread();
// Queues fn as a kernel APC to the thread of queue (runs it at once when that
// is the calling thread below APC_LEVEL, or when the thread has ended).
void QueueApc(const std::shared_ptr<ApcQueue> &queue, std::function<void()> fn);
// Runs the calling thread's queued APCs when its IRQL is below APC_LEVEL.
void DeliverApcs();
// True when APCs are queued to the calling thread.
bool ApcsPending();
// The driver the calling thread currently runs on behalf of, or nullptr.
PDRIVER_OBJECT CurrentDriver();

// Runs fn as a call from the kernel into driver: the driver becomes current
// for attribution, and on return the verifier checks that the routine left
// the IRQL and the spin locks as it found them. expectedLockDelta lets the
// caller of a cancel routine expect the cancel spin lock to be released.
template <typename Fn>
void CallIntoDriver(PDRIVER_OBJECT driver, const char *what, Fn &&fn, int expectedLockDelta = 0);
void EnterDriver(PDRIVER_OBJECT driver);
void LeaveDriver(PDRIVER_OBJECT driver, KIRQL irqlBefore, size_t locksBefore, const char *what,
                 int expectedLockDelta);

template <typename Fn>
void CallIntoDriver(PDRIVER_OBJECT driver, const char *what, Fn &&fn, int expectedLockDelta) {
    ThreadState &t = CurrentThread();
    KIRQL irql = t.Irql;
    size_t locks = t.Locks.size();
    EnterDriver(driver);
    fn();
    LeaveDriver(driver, irql, locks, what, expectedLockDelta);
}

// Reports IRQL_TOO_HIGH when the caller runs above maxIrql.
bool CheckIrqlAtMost(KIRQL maxIrql, const char *routine, const std::string &site);
// Reports SPINLOCK_HELD_ACROSS_CALL / _WAIT when the caller holds a spin lock.
void CheckNoSpinLockHeld(const char *rule, const char *routine, const std::string &site);

// ---------------------------------------------------------------------------
// Verifier

void Report(const char *rule, const std::string &site, const std::string &detail);
// "0xC0000001": a status as the platform's tools print it.
std::string StatusText(NTSTATUS status);
void VerifierReset();

// ---------------------------------------------------------------------------
// Fault injection and allocation counting

// Counts one allocation made at site on behalf of the current driver and
// returns true when the injector wants it to fail.
bool AllocationShouldFail(const std::string &site);
void FaultReset();
// True once after sim::FaultFailNextAttach.
bool AttachShouldFail();

// ---------------------------------------------------------------------------
// Pool

void *PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::string &site);
void PoolFree(void *p, ULONG tag, bool checkTag, const std::string &site);
// Reports every still-allocated block of driver as POOL_LEAK (once per block).
size_t PoolReportLeaks(PDRIVER_OBJECT driver, const char *when);
// Reports every block of any owner; used at shutdown.
void PoolReportAllLeaks();
void PoolReset();

// Kernel-owned buffers (system buffers of client requests, IRP and MDL
// memory): never counted, never failed, 16-byte aligned.
void *KernelAlloc(size_t bytes);
void KernelFree(void *p);

// ---------------------------------------------------------------------------
// Objects

struct DriverRecord;
struct DeviceRecord;

void ObjectsReset();
void ObjectsReportLeftovers();
// Top of the stack that contains device (following AttachedDevice).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// Bottom of the stack that contains device (following the attachments down).
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
bool IsLiveDevice(PDEVICE_OBJECT device);
// Report DEVICE_OBJECT_DELETED_USED (naming routine and site) and answer
// false when device, or the device object whose memory holds p, was deleted
// and freed.
bool CheckDeviceAlive(PDEVICE_OBJECT device, const char *routine, const std::string &site);
bool CheckDeviceMemoryAlive(const void *p, const char *routine, const std::string &site);
bool IsDriverLoaded(PDRIVER_OBJECT driver);
// Called when a frame of driver ends on this thread; runs a deferred leak
// check when the driver's last device object went away meanwhile.
void DriverFrameEnded(PDRIVER_OBJECT driver);
// Keeps a device object's memory and dispatch reachable (a name lookup, a
// client handle, a Plug and Play request); the last dereference of a deleted
// one frees it.
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
// Whether an open may go to device, which the caller holds a reference on:
// STATUS_NO_SUCH_DEVICE when it is deleted (delete-pending) or still
// initializing, as the I/O manager refuses such an open before building the
// create request.
NTSTATUS OpenCheckDevice(PDEVICE_OBJECT device);
std::string DriverName(PDRIVER_OBJECT driver);

// Name space (names are compared case-insensitively; "\??\X" and
// "\DosDevices\X" are the same name).
std::string NormalizeName(const std::string &name);
std::string ToNarrow(PCUNICODE_STRING s);
void NamesReset();
NTSTATUS NameInsertDevice(const std::string &name, PDEVICE_OBJECT device);
void NameRemoveDevice(const std::string &name);
NTSTATUS NameInsertLink(const std::string &link, const std::string &target);
NTSTATUS NameRemoveLink(const std::string &link);
// Follows a link (if name is one) to a device object; nullptr when missing.
PDEVICE_OBJECT NameResolve(const std::string &name);
// NameResolve, referencing the device object found while the name space is
// locked (DereferenceDevice when done), as the object manager's lookup does.
PDEVICE_OBJECT NameResolveReferenced(const std::string &name);

// ---------------------------------------------------------------------------
// IRPs

enum class IrpKind { DriverAllocated,
                     DriverInitialized,
                     Threaded,
                     Client,
                     Pnp,
                     Power };
enum class IrpState { Idle,
                      InFlight,
                      Completing,
                      InRoutine,
                      Held,
                      Completed,
                      Freed };

// Final stage of a request owned by a waiting kernel thread (client, PnP and
// power requests): IofCompleteRequest signals it when the request has passed
// its top stack location, with the IRP's final status block. A waiter that
// gives up (hang guard) marks itself abandoned; the completion then releases
// the IRP itself and copies nothing back.
struct RequestWaiter {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Completed = false;
    bool Abandoned = false;
    IO_STATUS_BLOCK Iosb{};
    ParkRecord *Park = nullptr;  // the waiting thread's, while it waits
};

// Creates an IRP in kernel memory with stackSize locations and registers it.
PIRP IrpCreate(CCHAR stackSize, IrpKind kind, const std::string &site);
void IrpAttachWaiter(PIRP irp, const std::shared_ptr<RequestWaiter> &waiter);
// What the I/O manager does with the request's buffers at completion: copy
// the first Information bytes of systemBuffer (kernel memory, freed then) to
// userOutput unless the status is an error, when copyBack is set; free the
// request's MDLs; copy back and unmap the client's pages of a direct buffer.
struct ClientPages;
void IrpSetBuffers(PIRP irp, void *systemBuffer, void *userOutput, ULONG outputLength,
                   bool copyBack, ClientPages *pages = nullptr);
// Releases a kernel-owned IRP (client, PnP, power) after its waiter is done.
void IrpRelease(PIRP irp);
void IrpReset();
void IrpReportLeftovers();

// Internal IofCallDriver, used by the kernel's own senders too.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const std::string &site, bool power);

// ---------------------------------------------------------------------------
// MDLs

PMDL MdlCreate(PVOID va, ULONG length);
void MdlRelease(PMDL mdl);  // kernel-side release, no checks
bool MdlIsLive(PMDL mdl);
void MdlFreeChecked(PMDL mdl, const std::string &site);
void MdlReset();
void MdlReportLeftovers();

// Leak check of the MDLs a driver allocated (once per MDL).
size_t MdlReportLeaks(PDRIVER_OBJECT driver, const char *when);
// Undoes the system mapping of an MDL made by MmMapLockedPagesSpecifyCache.
void MdlUnmapSystemView(PMDL mdl);

// ---------------------------------------------------------------------------
// The client's address space (client_pages.cpp)

struct ClientPages;
// Puts a copy of the caller's length bytes in client pages of their own
// (read-only when asked) and returns them; *userVa is the buffer's client address.
ClientPages *ClientPagesCreate(void *caller, size_t length, bool readOnly, PVOID *userVa);
// Copies the client pages back to the caller (when asked), unmaps and frees them.
void ClientPagesFinish(ClientPages *pages, bool copyBack);
// True when [va, va + length) lies in one ClientAlloc block of the calling
// thread's client: a direct buffer there is locked where it lies.
bool ClientPagesOwned(const void *va, size_t length);
// A second, writable mapping of client pages holding [va, va + length), or
// nullptr when va is no client address (kernel memory is its own mapping).
void *SystemViewMap(const void *va, size_t length);
// Unmaps a view SystemViewMap returned; false when systemVa is none.
bool SystemViewUnmap(const void *systemVa);
void ClientPagesReset();

// ---------------------------------------------------------------------------
// Events and waits

// Waits on a notification or synchronization event with a time-out in the
// platform's convention (nullptr: none; negative: relative; positive:
// absolute; zero: poll). An untimed wait longer than the hang guard is
// reported (naming site) and goes on.
NTSTATUS WaitForEvent(PKEVENT event, PLARGE_INTEGER timeout, const std::string &site);

// ---------------------------------------------------------------------------
// Spin locks

void SpinLockAcquire(PKSPIN_LOCK lock, const std::string &site);
void SpinLockRelease(PKSPIN_LOCK lock, const std::string &site);
void SpinLocksReset();
extern KSPIN_LOCK CancelSpinLock;

// ---------------------------------------------------------------------------
// Client handles, PnP

void ClientReset();
void ClientReportLeftovers();
// Client handles open on devices of pdo's stack.
size_t ClientHandlesOnStack(PDEVICE_OBJECT pdo);
void PnpReset();
// The last client handle to pdo's stack was closed: sends the removal a
// device gone was waiting for (and returns its status), else STATUS_PENDING.
NTSTATUS PnpLastHandleClosed(PDEVICE_OBJECT pdo);
// How long the kernel lets a pending client, PnP or power request, an untimed
// wait or a spin lock acquisition go before reporting it.
uint32_t HangGuardMs();
void SetHangGuardMs(uint32_t ms);
// Waits for a kernel-owned request that its dispatch routine returned with
// status. A pending request not completed within the hang guard is reported
// as neverCompletedRule and given up; a request neither completed nor pending
// when its dispatch routine returned, as notCompletedRule. Returns the final
// status and Information.
IoResult AwaitRequest(PIRP irp, NTSTATUS status, const std::shared_ptr<RequestWaiter> &waiter,
                      const char *neverCompletedRule, const char *notCompletedRule,
                      const std::string &what);

}  // namespace kernel
}  // namespace sim
