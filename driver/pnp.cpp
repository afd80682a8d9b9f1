// Plug and Play: start, stop, removal and the capabilities query. Every
// request passes the I/O gate; removal closes it and drains it.
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

#define SL_INVOKE_ALWAYS (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)

_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS PassDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDeviceObject, Irp);
}

// PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    IoCopyCurrentIrpStackLocationToNext(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = ForwardAndWaitCompletion;
    next->Context = &event;
    next->Control = SL_INVOKE_ALWAYS;

    NTSTATUS status = IoCallDriver(GetDeviceExtension(DeviceObject)->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// PASSIVE_LEVEL. The lower drivers start the camera first; only then is it
// configured. Completes the request with the outcome.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    status = QueryBusSpeed(DeviceObject);
    if (NT_SUCCESS(status)) status = ConfigureDevice(DeviceObject);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// PASSIVE_LEVEL. The device's InterfaceInfo reference is dropped here; a table
// still held by a reader (a stream's requests, say) lives until it is released.
_IRQL_requires_(PASSIVE_LEVEL)
VOID TeardownDevice(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    ReplaceInterfaceInfo(extension, NULL);
    if (extension->LinkActive) {
        UNICODE_STRING linkName;
        extension->LinkActive = 0;
        RtlInitUnicodeString(&linkName, extension->LinkName);
        IoDeleteSymbolicLink(&linkName);
    }
    IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
}

// PASSIVE_LEVEL. Called inside the gate (DispatchPnp admitted the request);
// leaves it twice, for the request and for the device's own count.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);

    // Nothing is admitted or sent from here on; the sends already under way
    // have returned, so that the aborts below reach every request they made.
    CloseIoGates(extension);
    // The requests client threads wait for on the default pipe, which no
    // abort reaches, end now rather than at their bound.
    CancelListedRequests(extension);

    // Aborting every pipe ends the transfers and streams in flight. The bus
    // may complete the cancelled requests after the abort itself: every
    // engine keeps a count of the gate until its last request is back (a
    // stream until its last slot has stopped), so the wait below covers them.
    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(extension);
    if (info != NULL) {
        for (ULONG i = 0; i < info->NumberOfPipes; i++) {
            (VOID) AbortPipeAtRemoval(DeviceObject, info->Pipes[i].PipeHandle);
        }
        ReleaseInterfaceInfo(info);
    }

    ReleaseIo(DeviceObject);
    ReleaseIo(DeviceObject);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    PDEVICE_OBJECT lower = extension->LowerDeviceObject;
    TeardownDevice(DeviceObject);
    return PassDown(lower, Irp);
}

// PASSIVE_LEVEL, the PnP manager's thread, one request at a time per device.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    if (!AcquireIo(DeviceObject)) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = StartDevice(DeviceObject, Irp);
            // Published after the configuration it vouches for: an open that
            // sees Started finds ConfigurationHandle and InterfaceInfo set.
            if (status == STATUS_SUCCESS) WriteUCharRelease(&extension->Started, 1);
            break;

        case IRP_MN_REMOVE_DEVICE:
            // RemoveDevice leaves the gate; the device object is gone after it.
            return RemoveDevice(DeviceObject, Irp);

        case IRP_MN_STOP_DEVICE:
            status = PassDown(extension->LowerDeviceObject, Irp);
            (VOID) Unconfigure(DeviceObject);
            break;

        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
            if (capabilities != NULL && capabilities->Version >= 1) {
                status = ForwardAndWait(DeviceObject, Irp);
                if (NT_SUCCESS(status)) capabilities->SurpriseRemovalOK = 1;
                Irp->IoStatus.Status = status;
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
            } else {
                status = PassDown(extension->LowerDeviceObject, Irp);
            }
            break;
        }

        default:
            status = PassDown(extension->LowerDeviceObject, Irp);
            break;
    }

    ReleaseIo(DeviceObject);
    return status;
}
