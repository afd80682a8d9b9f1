// The I/O gate: keeps the device object alive while requests are served.
//
// IoCount = 1 (the device's own count) + admitted requests not yet gone. Two
// orders make it sound: AcquireIo increments before it tests Removing, and
// RemoveDevice sets Removing before its releases; each side has a full barrier
// between its write and its read, so a request that saw Removing clear is
// counted before removal waits, and one that sees it set backs out.
//
// The send gate counts the other way round the same flag: SendsInProgress
// holds the sends between their look at Removing and the return of their call
// down, so that removal, once it has set Removing, waits for them before it
// aborts the pipes (CloseIoGates).
#include "driver/driver.h"

// Signals RemoveEvent when a decrement took the count from 1 to 0.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID DropIoCount(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (InterlockedDecrement(&Extension->IoCount) == 0) {
        KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN AcquireIo(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    InterlockedIncrement(&extension->IoCount);
    KeMemoryBarrier();
    if (!ReadUCharNoFence(&extension->Removing)) return TRUE;
    DropIoCount(extension);
    return FALSE;
}

// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReleaseIo(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    DropIoCount(GetDeviceExtension(DeviceObject));
}

_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN BeginSend(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    InterlockedIncrement(&Extension->SendsInProgress);
    KeMemoryBarrier();
    // Counted before Removing is looked at: a removal that sets Removing
    // after this look waits for the send (CloseIoGates).
    DRV_TEST_POINT(IsoSendCounted);
    if (!ReadUCharNoFence(&Extension->Removing)) return TRUE;
    EndSend(Extension);
    return FALSE;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID EndSend(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_MAX(DISPATCH_LEVEL);
    if (InterlockedDecrement(&Extension->SendsInProgress) == 0 &&
        ReadUCharNoFence(&Extension->Removing)) {
        KeSetEvent(&Extension->SendsIdle, IO_NO_INCREMENT, FALSE);
    }
}

_IRQL_requires_(PASSIVE_LEVEL)
VOID CloseIoGates(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    // The event is ready before any sender can see Removing and signal it.
    KeInitializeEvent(&Extension->SendsIdle, NotificationEvent, FALSE);
    KeMemoryBarrier();
    WriteUCharNoFence(&Extension->Removing, 1);
    KeMemoryBarrier();
    if (ReadNoFence(&Extension->SendsInProgress) != 0) {
        KeWaitForSingleObject(&Extension->SendsIdle, Executive, KernelMode, FALSE, NULL);
    }
}
