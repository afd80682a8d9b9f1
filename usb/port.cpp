// Requests to the camera's hub port: reset, status, and recovery.
#include "usb/usb_requests.h"

// Sends an internal port request with no buffers and waits without limit.
// Argument1 carries Argument when it is not NULL. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS SendPortRequest(PDEVICE_OBJECT DeviceObject, ULONG ControlCode, PVOID Argument) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_OBJECT lower = GetDeviceExtension(DeviceObject)->LowerDeviceObject;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ControlCode, lower, NULL, 0, NULL, 0, TRUE, &event,
                                             &ioStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    if (Argument != NULL) IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;

    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SendPortRequest(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    *PortStatus = 0;
    return SendPortRequest(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

// A port that is enabled, not connected, or whose status cannot be read is
// left alone; only connected-and-disabled is reset.
_IRQL_requires_(PASSIVE_LEVEL)
VOID RecoverPort(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    ULONG portStatus = 0;
    NTSTATUS status = GetPortStatus(DeviceObject, &portStatus);
    if (NT_SUCCESS(status) &&
        (portStatus & (USBD_PORT_ENABLED | USBD_PORT_CONNECTED)) == USBD_PORT_CONNECTED) {
        (VOID) ResetPort(DeviceObject);
    }
}
