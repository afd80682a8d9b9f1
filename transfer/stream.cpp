// Continuous isochronous streaming into the payload and descriptor rings.
#include "transfer/transfer.h"

// Not built yet: refused without touching the device.
NTSTATUS StartStream(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}

// Not built yet: refused without touching the rings.
NTSTATUS ReadStream(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}
