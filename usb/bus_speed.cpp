// The camera's bus speed, asked of the bus driver through its USBDI interface
// (IRP_MN_QUERY_INTERFACE) once per start, not guessed from the descriptors:
// a USB 2.0 camera on a full-speed port runs at full speed.
//
// The platform's interface GUIDs are declared by its headers and defined in
// the one file that names them, this one.
#define INITGUID
#include "usb/usb_requests.h"

// PASSIVE_LEVEL, the PnP manager's thread.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryBusSpeed(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    UCHAR speed = USBCAM_BUS_SPEED_UNKNOWN;

    USB_BUS_INTERFACE_USBDI_V1 bus;
    RtlZeroMemory(&bus, sizeof(bus));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    {
        // A Plug and Play request starts out as not supported: a lower
        // driver that does not know the interface leaves it so.
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_INTERFACE;
        next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
        next->Parameters.QueryInterface.Size = sizeof(bus);
        next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
        next->Parameters.QueryInterface.Interface = (PINTERFACE)&bus;
        next->Parameters.QueryInterface.InterfaceSpecificData = NULL;
        // Hands the request back to this thread, which frees it.
        IoSetCompletionRoutine(irp, ForwardAndWaitCompletion, &event, TRUE, TRUE, TRUE);

        if (IoCallDriver(lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
        const NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);

        if (NT_SUCCESS(status)) {
            if (bus.IsDeviceHighSpeed != NULL) {
                speed = bus.IsDeviceHighSpeed(bus.BusContext) ? USBCAM_BUS_SPEED_HIGH
                                                              : USBCAM_BUS_SPEED_FULL;
            }
            // The provider took a reference for us; the answer is all we keep.
            if (bus.InterfaceDereference != NULL) bus.InterfaceDereference(bus.BusContext);
        }
    }
    WriteUCharNoFence(&extension->BusSpeed, speed);
    return STATUS_SUCCESS;
}
