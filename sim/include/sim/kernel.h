// Control interface of the emulated NT kernel, for the host side only: tests,
// the bus driver's test knobs, the client library and the usbcam tool use it to
// boot the kernel, load drivers, drive the Plug and Play and power managers,
// act as a user-mode client, and read the verifier.
//
// The kernel is process-global, as the real one is per machine. Every call here
// is safe from any thread unless it says otherwise.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/nt.h"

namespace sim {

// ---------------------------------------------------------------------------
// Boot and shutdown

// Returns the kernel to its boot state: empty object name space, no drivers, no
// pool, IRQL PASSIVE_LEVEL on the calling thread, verifier armed with no
// violations, fault injection off.
void KernelBoot();

// Unloads nothing by itself; reports (as verifier violations) every device
// object, driver, IRP and pool block still alive, then resets the kernel.
void KernelShutdown();

// ---------------------------------------------------------------------------
// Test points (DRV_TEST_POINT in driver code)

// Arms the point: the next thread that reaches it stops there, whatever its
// IRQL, until TestPointRelease. One thread per arming.
void TestPointHold(const char *name);
// Waits until a thread stops at the armed point; false after timeoutMs.
bool TestPointWaitHeld(const char *name, uint32_t timeoutMs);
// Lets the thread held there go on (or disarms the point if none came).
void TestPointRelease(const char *name);

// ---------------------------------------------------------------------------
// Drivers

// Creates a driver object named "\Driver\<name>", calls entry at
// PASSIVE_LEVEL and returns the driver object; on a failing entry the object
// is deleted, nullptr is returned and *status says why.
PDRIVER_OBJECT LoadDriver(const char *name, PDRIVER_INITIALIZE entry, NTSTATUS *status);

// Calls the driver's unload routine and deletes the driver object. The
// verifier reports device objects of the driver still present, and pool the
// driver allocated and never freed (a leak report naming call sites).
void UnloadDriver(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------------------
// Plug and Play and power managers
//
// A bus driver creates a child's physical device object (PDO) with
// IoCreateDevice and reports it here; the manager then builds the device stack
// by calling the function driver's AddDevice. Each request below is built by
// the manager, sent to the top of the PDO's stack at PASSIVE_LEVEL from the
// manager's own thread, one request at a time per device, and waited for.

NTSTATUS PnpReportChild(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);
NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo);
// Sends IRP_MN_QUERY_CAPABILITIES with *caps as the request's capabilities
// record (the caller sets Size and Version) and copies the result back.
NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *caps);
// IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE; when the query fails
// (or PnpVetoNextQuery vetoes it) IRP_MN_CANCEL_STOP_DEVICE instead, and the
// query's failure (STATUS_PLUGPLAY_QUERY_VETOED for a veto) is returned.
NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo);
// IRP_MN_SURPRISE_REMOVAL alone (PnpDeviceGone is what the manager does when
// a device disappears).
NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo);
// An orderly removal: IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE
// (cancelled as for a stop when the query fails or is vetoed); after a
// surprise removal, IRP_MN_REMOVE_DEVICE alone. Afterwards the stack above
// the PDO is gone.
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo);
// The bus driver reports the device gone: IRP_MN_SURPRISE_REMOVAL (once, to a
// stack with a function driver), then IRP_MN_REMOVE_DEVICE as soon as no
// client handle to the stack is open: at once (its status is returned), or
// when the last one is closed (STATUS_PENDING is returned). Requests keep
// arriving on open handles meanwhile.
NTSTATUS PnpDeviceGone(PDEVICE_OBJECT pdo);
// The next query of that minor code (IRP_MN_QUERY_STOP_DEVICE or
// IRP_MN_QUERY_REMOVE_DEVICE) to pdo's stack is vetoed after the stack
// succeeded it, as another component of the system may; the stack then gets
// the cancel.
void PnpVetoNextQuery(PDEVICE_OBJECT pdo, UCHAR queryMinor);
// Any other minor code, with no parameters.
NTSTATUS PnpSendMinor(PDEVICE_OBJECT pdo, UCHAR minor);
// A power request (IRP_MJ_POWER with the given minor code) through the stack,
// delivered with PoCallDriver; waits for its completion.
NTSTATUS PoSendPowerRequest(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state);

// ---------------------------------------------------------------------------
// User-mode client
//
// A handle opened by a Win32 device path: "\\.\NAME" reaches the symbolic link
// "\DosDevices\NAME", which names a device object; requests go to the top of
// that device's stack. Device-control requests use Windows' buffer handling
// for METHOD_BUFFERED, METHOD_IN_DIRECT and METHOD_OUT_DIRECT. Any number of
// threads may issue requests at once.

typedef int64_t ClientHandle;

struct IoResult {
    NTSTATUS Status;
    ULONG_PTR Information;
};

// Sends IRP_MJ_CREATE; on success *handle is valid until ClientClose.
NTSTATUS ClientOpen(const char *win32Path, ClientHandle *handle);
// Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE, as closing the last handle does, and
// forgets the handle; returns the close request's status.
NTSTATUS ClientClose(ClientHandle handle);
// As NtDeviceIoControlFile: returns the final status and Information.
// A direct-method output buffer is, for the time of the request, in the
// client's own pages (a copy of output, copied back at completion): the MDL
// describes it by that client address, and the kernel's mapping of it is
// another address, unmapped at completion.
IoResult ClientDeviceIoControl(ClientHandle handle, ULONG ioControlCode, const void *input,
                               ULONG inputLength, void *output, ULONG outputLength);

// Memory of the calling thread's client, as a process allocates its own
// (VirtualAlloc): whole zeroed pages, readable and writable, until ClientFree.
// A direct-method output buffer wholly inside one such block, handed over by
// the thread that allocated it, is locked where it lies: the MDL describes
// that address, nothing is copied in or back, and the kernel's mapping of it
// is another address, unmapped at completion, as for any direct buffer.
// (A read-only hand-over, ClientBufferOptions::OutputReadOnly, is still a
// copy.) MmSecureVirtualMemory of such memory lasts until
// MmUnsecureVirtualMemory or ClientFree.
void *ClientAlloc(size_t bytes);
// Frees a ClientAlloc block (other addresses: nothing happens); never while a
// request uses it.
void ClientFree(void *block);

// For a lower test driver standing in for the hardware: the client address
// of the direct buffer in flight whose caller's buffer is callerBuffer (the
// address its MDLs describe), or nullptr.
void *ClientAddressOf(const void *callerBuffer);

struct ClientBufferOptions {
    // The client's pages of the output buffer are read-only (only for
    // METHOD_IN_DIRECT, which hands the buffer over for reading; any other
    // method fails the I/O manager's probe with STATUS_ACCESS_VIOLATION).
    bool OutputReadOnly = false;
};
IoResult ClientDeviceIoControlEx(ClientHandle handle, ULONG ioControlCode, const void *input,
                                 ULONG inputLength, void *output, ULONG outputLength,
                                 const ClientBufferOptions &options);

// ---------------------------------------------------------------------------
// Name space inspection, for tests

bool DeviceNameExists(const char *ntName);      // "\Device\Tavrinoscope-0"
bool SymbolicLinkExists(const char *linkName);  // "\DosDevices\Tavrinoscope-0"
// Creates a link with no device behind it (a stray name in the name space).
NTSTATUS CreateStrayLink(const char *linkName, const char *target);
PDEVICE_OBJECT FindDevice(const char *ntName);

// ---------------------------------------------------------------------------
// Verifier
//
// Always on. A broken rule is recorded as a Violation naming the rule (an
// identifier such as "IRP_COMPLETED_TWICE") and the call site (file:line of
// the driver's call). The default handler records; tests fail on any record.

struct Violation {
    std::string Rule;
    std::string Site;
    std::string Detail;
};

std::vector<Violation> VerifierTakeViolations();
size_t VerifierViolationCount();
// Replaces the handler called on each violation (from the violating thread);
// an empty function restores the default, which only records.
void VerifierSetHandler(std::function<void(const Violation &)> handler);
// How long the kernel lets a pending client, Plug and Play or power request,
// an untimed wait, or a spin lock acquisition go before reporting it as a
// violation (default 60000 ms; reset by KernelBoot). Tests that provoke those
// rules shorten it.
void VerifierSetHangGuardMs(uint32_t ms);
// For the platform's own drivers (the emulated bus): reports a broken rule at
// the call site of the innermost IofCallDriver / PoCallDriver running on the
// calling thread, i.e. the driver's call that brought the request there.
void VerifierReportAtCaller(const char *rule, const std::string &detail);

// ---------------------------------------------------------------------------
// Pool and fault injection

struct PoolBlockInfo {
    size_t Bytes;
    std::string Site;
    ULONG Tag;
};

// The pool's size: an allocation that would take the bytes allocated above
// it fails (returns NULL), as the platform's pool does when exhausted. 0, the
// boot default, leaves only the host's memory as the limit.
void SetPoolLimit(size_t bytes);
size_t PoolBlocksOutstanding();
std::vector<PoolBlockInfo> PoolOutstanding();
// Allocations counted since boot: pool, IRPs, MDLs, device objects, events
// built for requests. Lets a test walk every allocation of a scenario.
// With onlyDriver set, only allocations made on behalf of that driver count
// (those made while the kernel runs one of its routines: entry, AddDevice,
// dispatch, completion, cancel and unload routines).
uint64_t AllocationCount(PDRIVER_OBJECT onlyDriver = nullptr);

// The n-th allocation from now fails (n = 1: the next one); with onlyDriver
// set, the n-th of that driver's allocations.
void FaultFailNthAllocation(uint64_t n, PDRIVER_OBJECT onlyDriver = nullptr);
// Every allocation whose call site ends with siteSuffix ("usb/config.cpp:120"
// or just "config.cpp:120") fails until cleared.
void FaultFailSite(const std::string &siteSuffix);
// The next IoAttachDeviceToDeviceStack returns no device object, as the
// platform's does when the target stack is being torn down.
void FaultFailNextAttach();
void FaultClear();
// Number of allocations the injector has failed since boot.
uint64_t FaultInjectedCount();
// Every distinct call site ("dir/file.cpp:line") of the allocations (MDL
// mappings included) made on behalf of driver since boot or the last take;
// forgets them.
std::vector<std::string> TakeAllocationSites(PDRIVER_OBJECT driver);
// Each allocation (of onlyDriver's, when set) fails with probability
// perMille / 1000, drawn from a generator seeded with seed; 0 turns it off
// (FaultClear too).
void FaultFailRandomly(uint32_t perMille, uint64_t seed, PDRIVER_OBJECT onlyDriver = nullptr);

// ---------------------------------------------------------------------------
// Time
//
// The kernel's clock (wait time-outs, KeDelayExecutionThread,
// KeQuerySystemTime) and the emulated bus's follow the wall clock by
// default. Under virtual time they run as fast as the work: time stands
// still while any thread that takes part in the emulation can run, and jumps
// to the next thing due (the earliest deadline of a timed wait, the bus's
// next frame while transfers are queued, a delayed completion) as soon as
// every one of them waits, in a kernel wait (KeWaitForSingleObject,
// KeDelayExecutionThread, the I/O manager's wait for a client, Plug and Play
// or power request). Taking part are: threads holding a TimeParticipant; the
// Plug and Play manager's threads and RunOnKernelThread's, for a caller that
// takes part (it lends them its share); the bus's threads while they
// complete requests. Other threads may use the kernel as usual, but time does
// not wait for them. Hang guards stay on the wall clock.
//
// Switch virtual time on after KernelBoot and before BusStart, from a thread
// that no taking-part wait is pending on; KernelBoot switches it off. Kernel
// time does not go back when it is switched off and on again.
void SetVirtualTime(bool on);
bool VirtualTime();
// Kernel time in microseconds: virtual time, or the wall clock's since the
// first call.
uint64_t KernelTimeMicros();

// While an object of this class lives, the calling thread takes part:
// virtual time waits for it whenever it is not in a kernel wait. Nests.
class TimeParticipant {
public:
    TimeParticipant();
    ~TimeParticipant();
    TimeParticipant(const TimeParticipant &) = delete;
    TimeParticipant &operator=(const TimeParticipant &) = delete;

private:
    bool outer_;
};

// While an object of this class lives, a taking-part thread waits for
// something outside the kernel's waits (a host condition variable the bus's
// threads signal) and time may move. Nothing hands the thread its share back
// at the moment it is woken, so time may move a little further than it
// would on the platform: for waits on the emulation's own housekeeping only.
class TimeWaitScope {
public:
    TimeWaitScope();
    ~TimeWaitScope();
    TimeWaitScope(const TimeWaitScope &) = delete;
    TimeWaitScope &operator=(const TimeWaitScope &) = delete;

private:
    bool released_;
};

// One more (HoldTime) or one fewer (ReleaseTime) thing that can run: for a
// wake-up handed across host threads (a flag another thread waits for),
// held by whoever raises it and released by the woken thread once it has
// acted. Balanced calls; safe under any lock of the emulation.
void HoldTime();
void ReleaseTime();

// For the emulated bus: what virtual time must wait for besides the waits.
struct TimeSource {
    virtual ~TimeSource() = default;
    // The kernel time at which the source next has work (UINT64_MAX: none).
    virtual uint64_t NextDueMicros() = 0;
    // Kernel time has moved to now: do what is due (work handed to other
    // threads is held with HoldTime until done).
    virtual void AdvancedTo(uint64_t nowMicros) = 0;
};
// Installs the source (nullptr: none); returns once the clock no longer uses
// the previous one. Never called under a lock the source's calls take.
void SetTimeSource(TimeSource *source);
// The source has new work the clock should look at (a transfer submitted by
// a thread that does not take part).
void TimeSourceChanged();

// ---------------------------------------------------------------------------
// Threads

// Runs fn on a new kernel thread at the given IRQL and waits for it.
void RunOnKernelThread(KIRQL irql, const std::function<void()> &fn);

// For a driver's own threads (a bus clock, a worker): while an object of this
// class lives, the calling thread runs on behalf of driver, so its pool, IRPs
// and allocations are attributed to that driver (leak reports, fault injection
// with onlyDriver), as they are inside the routines the kernel calls.
class DriverThreadScope {
public:
    explicit DriverThreadScope(PDRIVER_OBJECT driver);
    ~DriverThreadScope();
    DriverThreadScope(const DriverThreadScope &) = delete;
    DriverThreadScope &operator=(const DriverThreadScope &) = delete;

private:
    PDRIVER_OBJECT driver_;
};

}  // namespace sim
