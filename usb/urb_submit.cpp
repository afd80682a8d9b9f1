// Synchronous URB submission and the driver-wide transfer time-out.
#include "usb/usb_requests.h"

volatile LONGLONG TransferTimeoutMs;

// PASSIVE_LEVEL. The request is built and freed by the platform; the event and
// status block live on this thread's stack for the length of the call.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                             extension->LowerDeviceObject, NULL, 0, NULL, 0, TRUE,
                                             &event, &ioStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }

    const USBD_STATUS usbdStatus = Urb->UrbHeader.Status;
    // Any client thread may be here at once: last writer wins, one store.
    if (USBD_ERROR(usbdStatus)) WriteNoFence(&extension->LastUsbdStatus, usbdStatus);

    if (!NT_SUCCESS(status)) return status;
    if (USBD_ERROR(usbdStatus)) return STATUS_UNSUCCESSFUL;
    return status;
}
