// Isochronous block read and write through round-robin slots.
#include "transfer/transfer.h"

// Not built yet: refused without touching the device.
NTSTATUS IsoBlockRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}
