// Segmented bulk transfer: 64 KiB segments all in flight at once.
#include "transfer/transfer.h"

// Not built yet: refused without touching the device.
NTSTATUS SegmentedBulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}
