// The I/O gate: keeps the device object alive while requests are served.
//
// IoCount = 1 (the device's own count) + admitted requests not yet gone. Two
// orders make it sound: AcquireIo increments before it tests Removing, and
// RemoveDevice sets Removing before its releases; each side has a full barrier
// between its write and its read, so a request that saw Removing clear is
// counted before removal waits, and one that sees it set backs out.
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
