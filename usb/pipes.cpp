// Pipe abort and reset.
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

// _URB_PIPE_REQUEST without its trailing Reserved field, as bus drivers before
// interface version 0x101 expect it.
#define PIPE_REQUEST_LENGTH_LEGACY 36
#define USBDI_VERSION_FULL_PIPE_REQUEST 0x101

static USHORT PipeRequestLengthForBus(VOID) {
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    return version.USBDI_Version < USBDI_VERSION_FULL_PIPE_REQUEST
               ? (USHORT)PIPE_REQUEST_LENGTH_LEGACY
               : (USHORT)sizeof(struct _URB_PIPE_REQUEST);
}

_IRQL_requires_(PASSIVE_LEVEL)
static NTSTATUS SendPipeRequest(PDEVICE_OBJECT DeviceObject, USHORT Function,
                                USBD_PIPE_HANDLE PipeHandle, USHORT Length) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_PIPE_REQUEST));
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Length = Length;
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = PipeHandle;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    DrvFreePool(urb);
    return status;
}

// PASSIVE_LEVEL. The bus driver may complete the abort before the requests it
// cancels have come back: a caller that frees what those requests use waits
// for their completions first (requests admitted through the I/O gate are
// waited for by removal).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SendPipeRequest(DeviceObject, URB_FUNCTION_ABORT_PIPE, PipeHandle,
                           PipeRequestLengthForBus());
}

// PASSIVE_LEVEL. Resets the pipe of the selected interface at PipeIndex.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipeByIndex(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(GetDeviceExtension(DeviceObject));
    if (info == NULL) return STATUS_UNSUCCESSFUL;

    NTSTATUS status;
    if (PipeIndex >= info->NumberOfPipes) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = SendPipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                 info->Pipes[PipeIndex].PipeHandle, PipeRequestLengthForBus());
    }
    ReleaseInterfaceInfo(info);
    return status;
}

// PASSIVE_LEVEL. Pipe is an entry of a table the caller holds a reference on.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, const USBD_PIPE_INFORMATION *Pipe) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return SendPipeRequest(DeviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                           Pipe->PipeHandle, (USHORT)sizeof(struct _URB_PIPE_REQUEST));
}
