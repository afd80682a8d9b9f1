// Power: every request is passed down unchanged; the driver keeps no power
// state and never changes the camera's power itself.
#include "driver/driver.h"

// PASSIVE_LEVEL (DO_POWER_PAGABLE). Does not use the I/O gate. The request goes
// down with a copy of this driver's stack location and no completion routine,
// so a STATUS_PENDING result is returned unchanged (the I/O manager carries the
// lower driver's pending mark up to this location when the request completes)
// and the request is not touched after it has been passed down.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
}
