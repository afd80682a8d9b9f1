// Triggered single transfer over a bulk or interrupt pipe.
#include "transfer/transfer.h"

// Not built yet: refused without touching the device.
NTSTATUS TriggeredTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}
