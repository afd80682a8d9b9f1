// Driver entry: fills the dispatch table and sets the driver-wide time-out.
#include "driver/driver.h"

static DRIVER_UNLOAD DriverUnload;

// Every device object is gone by the time the driver unloads (removal deletes
// them), so unloading has nothing to undo. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID DriverUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

// PASSIVE_LEVEL, once per load. The registry path is not used: the driver reads
// no setting from outside and keeps no state across loads.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(RegistryPath);

    WriteNoFence64(&TransferTimeoutMs, USBCAM_DEFAULT_TIMEOUT_MS);

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}
