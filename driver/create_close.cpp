// Open and close: handles are not counted and carry no state. Opening is
// refused until a start request has configured the device.
#include "driver/driver.h"

static NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// PASSIVE_LEVEL, the caller's thread. Reads Started only, with acquire order
// (it may be set by a start request running at the same time).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!ReadUCharAcquire(&GetDeviceExtension(DeviceObject)->Started)) {
        return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
    }
    return CompleteWith(Irp, STATUS_SUCCESS);
}

// PASSIVE_LEVEL, the caller's thread. Never fails.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteWith(Irp, STATUS_SUCCESS);
}
