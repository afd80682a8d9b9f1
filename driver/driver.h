// The driver's per-device record, pool conventions and the routines of the
// device lifecycle: entry, device creation and naming, the I/O gate, open and
// close, Plug and Play and power.
#pragma once

#include "platform/platform.h"

// Every block the driver allocates carries this tag ("Tvrs" in a debugger).
#define USBCAM_POOL_TAG DRV_POOL_TAG('T', 'v', 'r', 's')

// Non-paged, no-execute pool only. Macros rather than functions, so that the call site the
// kernel records for a block is the line that asked for it.
#define DrvAllocatePool(Bytes) ExAllocatePoolWithTag(NonPagedPoolNx, (Bytes), USBCAM_POOL_TAG)
#define DrvFreePool(Block) ExFreePoolWithTag((Block), USBCAM_POOL_TAG)

// Records of the transfer engines; the extension only refers to them.
struct ByteRing;
struct SegmentRecord;
struct StreamContext;
struct UrbInFlight;

// The segmented bulk transfer's state, one per device, under CompletionLock.
// The issuing thread moves Idle to InFlight before the first segment is
// sent; CancelSegments moves InFlight to Cancelling and, after its walk,
// Cancelling to Cancelled; the end of the transfer (the last completion, or
// whoever takes the last segment off the count) moves InFlight or Cancelled
// back to Idle and frees SegmentTable.
typedef enum _SEGMENTED_STATE {
    // No table; no segment in flight.
    SegmentedIdle = 0,
    // Segments being issued or in flight; each completion releases its own
    // IRP, MDL and URB, and a failure wakes the waiting thread.
    SegmentedInFlight,
    // CancelSegments walks the table: completions leave their IRP, MDL and
    // URB (and the table) for the walk to release, so IoCancelIrp never meets
    // a freed IRP.
    SegmentedCancelling,
    // The walk is over: completions release again; a failure no longer
    // wakes the waiting thread, only the last completion does.
    SegmentedCancelled
} SEGMENTED_STATE;

// Per-device state, in the device object's extension area. Created
// zero-filled by IoCreateDevice and gone with the device object.
//
// Fields that one thread writes while another may read them without a lock are
// accessed only through the platform's single-access helpers (ReadUCharNoFence,
// WriteNoFence, ... and their Acquire / Release forms), never by a plain load
// or store; each such field says which.
typedef struct DeviceExtension {
    // Target of every request the driver sends down (IoAttachDeviceToDeviceStack).
    PDEVICE_OBJECT LowerDeviceObject;
    // 1 once a start request has configured the device; never cleared.
    // Written with WriteUCharRelease after the configuration, read by opens
    // with ReadUCharAcquire.
    UCHAR Started;
    // 1 while the link name is to be deleted at teardown; set as soon as
    // CreateNamedDevice has created the link, cleared by TeardownDevice.
    UCHAR LinkActive;
    // Handle of the selected configuration, from the select-configuration URB.
    // A restart rewrites it while a client's interface selection may read it:
    // WritePointerNoFence / ReadPointerNoFence.
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    // The selected interface with its pipe table (Length bytes), or none.
    // Replaced by interface selection while other requests may read it: read
    // it only through AcquireInterfaceInfo / ReleaseInterfaceInfo
    // (usb/interface_snapshot.h), never by loading this field directly.
    _Guarded_by_(InterfaceLock) PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    // "\DosDevices\Tavrinoscope-N" and its terminating NUL.
    WCHAR LinkName[64];
    // Last negative USBD status seen in an URB header; never cleared. Any
    // client thread may write it, last writer wins: WriteNoFence / ReadNoFence.
    USBD_STATUS LastUsbdStatus;
    // The I/O gate: 1 (the device's own count) + admitted requests in flight.
    volatile LONG IoCount;
    // Notification event, signalled when IoCount reaches 0.
    KEVENT RemoveEvent;
    // Removal has begun; the gate admits nothing more. WriteUCharNoFence and
    // ReadUCharNoFence, each followed or preceded by a full barrier
    // (driver/io_gate.cpp).
    volatile UCHAR Removing;
    // Rings of the continuous stream (owned by the stream), or none.
    _Guarded_by_(StreamLock) struct ByteRing *DataRing;
    _Guarded_by_(StreamLock) struct ByteRing *DescriptorRing;
    // Accounting of the segmented bulk transfer, under CompletionLock.
    _Guarded_by_(CompletionLock) ULONG SegmentsOutstanding;
    // While segments are in flight: the bytes every successful segment moved
    // (the waiting thread reads it to tell progress). Set by the last
    // completion to the bytes the client gets: up to the end of the first
    // segment that came back short.
    _Guarded_by_(CompletionLock) ULONG BytesTransferred;
    _Guarded_by_(CompletionLock) struct SegmentRecord *SegmentTable;
    KSPIN_LOCK CompletionLock;
    // Notification event, signalled when the last segment has completed.
    KEVENT BulkDoneEvent;

    // --- Fields of the driver's own, after the listed ones. ---

    // The speed the camera runs at, as the bus driver tells it once per start
    // (QueryBusSpeed): USBCAM_BUS_SPEED_*. Written by the start before opens
    // are let in; read by client threads with ReadUCharNoFence.
    volatile UCHAR BusSpeed;

    // Guards the load of InterfaceInfo together with taking a reference on it,
    // and its replacement. Held for a few instructions only, never together
    // with another spin lock, never across a call down or a wait.
    KSPIN_LOCK InterfaceLock;

    // Segmented bulk transfer, beyond the listed fields
    // (transfer/segmented_transfer.cpp). One transfer at a time owns the
    // fields above and below: SegmentedTransferClaimed is 1 from its claim
    // until it has read its result, changed only by interlocked operations;
    // the release sets SegmentedTransferReleased (synchronization event) for
    // one waiting transfer.
    volatile LONG SegmentedTransferClaimed;
    KEVENT SegmentedTransferReleased;
    // Under CompletionLock: where the transfer is (SEGMENTED_STATE, above),
    // and the first failure a segment completed with (STATUS_SUCCESS while
    // none did).
    _Guarded_by_(CompletionLock) SEGMENTED_STATE SegmentedState;
    _Guarded_by_(CompletionLock) NTSTATUS SegmentStatus;
    // The send gate (driver/io_gate.cpp): sends between their check of
    // Removing and the return of their IofCallDriver, interlocked changes;
    // SendsIdle (notification) is initialised by CloseIoGates before it sets
    // Removing and signalled when the count drops to 0 after that.
    volatile LONG SendsInProgress;
    KEVENT SendsIdle;
    // Guards DataRing, DescriptorRing and ActiveStream (the stream those rings
    // belong to) together: written by StartStream and by the last slot of the
    // stream they belong to, read by ReadStream, which takes a reference on
    // the stream under it. Guards RunningJobs too: every isochronous job (a
    // stream or a block read) from its start to its end, linked through
    // NextRunning; StopStream marks each stream of them, so a stop belongs to
    // the streams that run when it is made, and ABORT_PIPE each job on its
    // pipe (IsoAbortJobsOnPipe).
    KSPIN_LOCK StreamLock;
    _Guarded_by_(StreamLock) struct StreamContext *ActiveStream;
    _Guarded_by_(StreamLock) struct StreamContext *RunningJobs;
    // Under StreamLock: the running streams a StopStream has marked. An
    // interface selection waits (bounded) until it is 0, so that the bus does
    // not find the requests of a stopping stream still on the pipes;
    // StreamEnded (synchronization event) is set by every stream's last slot
    // for it. One waiter at a time: it holds SelectionLock.
    _Guarded_by_(StreamLock) ULONG StreamsStopping;
    KEVENT StreamEnded;
    // Synchronisation event, signalled when free: one ReadStream drains at a time.
    KEVENT StreamReadLock;
    // Requests on their way to the bus that a client's operation waits for
    // (SendUrb, WaitForUrb), linked through NextListed while they are sent
    // and waited for, under ListedRequestsLock; removal cancels each of them
    // (CancelListedRequests), so that no client's wait outlasts the start of
    // a removal. CancelWalkActive is TRUE while that walk runs, under the
    // lock; CancelWalkDone (notification) is set when it is over, once per
    // device. The lock is held for a few instructions only, never across a
    // call down, a cancel or a wait, never with another spin lock.
    KSPIN_LOCK ListedRequestsLock;
    _Guarded_by_(ListedRequestsLock) struct UrbInFlight *ListedRequests;
    _Guarded_by_(ListedRequestsLock) BOOLEAN CancelWalkActive;
    KEVENT CancelWalkDone;
    // Synchronisation event, signalled when free: one selection at a time (a
    // client's interface selection, the configuration a start selects), held
    // from reading ConfigurationHandle for its request through the
    // replacement of InterfaceInfo, so that the table left is the one of the
    // selection the bus applied last. PASSIVE_LEVEL; held across the call down.
    KEVENT SelectionLock;
} DeviceExtension, *PDEVICE_EXTENSION;

FORCEINLINE PDEVICE_EXTENSION GetDeviceExtension(PDEVICE_OBJECT DeviceObject) {
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// DeviceExtension.BusSpeed: unknown (the bus driver did not say), full or high.
#define USBCAM_BUS_SPEED_UNKNOWN 0
#define USBCAM_BUS_SPEED_FULL 1
#define USBCAM_BUS_SPEED_HIGH 2

// Driver-wide transfer time-out in milliseconds: 3000 from DriverEntry until a
// client changes it (IOCTL_USBCAM_SET_TIMEOUT). One aligned 64-bit value, read
// once per bounded wait without a lock (ReadNoFence64; written with
// WriteNoFence64). A bounded wait passes TransferTimeoutMs * -10000
// (relative, 100 ns units).
extern volatile LONGLONG TransferTimeoutMs;
#define USBCAM_DEFAULT_TIMEOUT_MS 3000

// Names: "\Device\Tavrinoscope-N" (22 characters) and
// "\DosDevices\Tavrinoscope-N" (26 characters), N = '0' + attempt index.
#define USBCAM_NAME_ATTEMPTS 32
#define USBCAM_LINK_NAME_CHARS 64

// ---------------------------------------------------------------------------
// Entry and device creation (PASSIVE_LEVEL)

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;

// Creates the device object for attempt index 0..31 with its device name and
// link; a failed attempt leaves nothing behind. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, ULONG AttemptIndex,
                           PDEVICE_OBJECT *DeviceObject);

// ---------------------------------------------------------------------------
// I/O gate (any IRQL <= DISPATCH_LEVEL)

// Admits a request: TRUE when admitted (the caller must call ReleaseIo exactly
// once later), FALSE once removal has begun (the caller must not release).
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN AcquireIo(PDEVICE_OBJECT DeviceObject);
// Leaves the gate; the decrement that reaches 0 signals RemoveEvent.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseIo(PDEVICE_OBJECT DeviceObject);

// The send gate, for every engine that sends requests down outside the
// client's dispatch (an isochronous slot, sent again from its completion). A
// send is counted from its look at Removing to the return of its
// IofCallDriver, so that removal can wait for the sends under way before it
// aborts the pipes, and the aborts reach every request sent.
// BeginSend: TRUE when the caller may send (it calls EndSend once the call
// down has returned), FALSE once removal has begun (nothing is counted then).
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN BeginSend(PDEVICE_EXTENSION Extension);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID EndSend(PDEVICE_EXTENSION Extension);
// Removal: closes both gates (sets Removing) and returns when no send is in
// progress. RemoveDevice only, once. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CloseIoGates(PDEVICE_EXTENSION Extension);

// ---------------------------------------------------------------------------
// Dispatch routines (PASSIVE_LEVEL)

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchDeviceControl;  // control/dispatch.cpp
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;

// ---------------------------------------------------------------------------
// Plug and Play helpers (PASSIVE_LEVEL, the PnP manager's thread)

// Passes the current request down with a completion routine that hands it
// back, and waits for it. The request is not completed; the caller completes it.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Start: lower drivers first, then ConfigureDevice. Completes the request.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Removal: closes the gate, aborts the pipes, drains, tears down, passes the
// request down. Leaves the gate for the request and for the device's own count.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Frees InterfaceInfo, deletes the link (when LinkActive), detaches and deletes
// the device object.
_IRQL_requires_(PASSIVE_LEVEL)
VOID TeardownDevice(PDEVICE_OBJECT DeviceObject);
