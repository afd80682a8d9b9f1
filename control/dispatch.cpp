// The device-control dispatcher: the one door through which the client drives
// the camera. Admits the request through the I/O gate, decodes the control
// code, applies its buffer rule, runs the operation, and completes the request
// exactly once, in the caller's thread; nothing is ever left pending.
//
// Buffer rule common to every code: a field is read only when the input holds
// the whole record it belongs to (a shorter input is refused with
// STATUS_INVALID_PARAMETER and nothing is sent), and nothing is written past
// the system buffer or reported beyond the client's output length.
#include "platform/system_address.h"
#include "usbcam/usbcam_ioctl.h"
#include "transfer/transfer.h"
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

static_assert(IOCTL_USBCAM_GET_INTERFACE_INFO ==
                  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "control codes follow the platform's CTL_CODE");

// Size of the packet descriptor that follows each packet in a stream read.
#define STREAM_DESCRIPTOR_BYTES 12
#define MEMORY_BLOCK_BYTES 512

// One client's device-control call being decoded: what its case needs from
// the IRP.
typedef struct ClientControlCall {
    PDEVICE_OBJECT Device;
    PIRP Irp;
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
    PVOID SystemBuffer;
} ClientControlCall;

static VOID SetResult(ClientControlCall *Call, NTSTATUS Status, ULONG_PTR Information) {
    Call->Irp->IoStatus.Status = Status;
    Call->Irp->IoStatus.Information = Information;
}

// TRUE when the input holds at least Bytes bytes (and so a system buffer).
static BOOLEAN InputHolds(const ClientControlCall *Call, ULONG Bytes) {
    return Call->InputLength >= Bytes && Call->SystemBuffer != NULL;
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetInterfaceInfoCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(GetDeviceExtension(Call->Device));
    if (info == NULL) return;  // no interface yet: success, 0 bytes
    const ULONG length = info->Length;
    if (Call->OutputLength < length || Call->SystemBuffer == NULL) {
        SetResult(Call, STATUS_UNSUCCESSFUL, 0);
    } else {
        RtlCopyMemory(Call->SystemBuffer, info, length);
        SetResult(Call, STATUS_SUCCESS, length);
    }
    ReleaseInterfaceInfo(info);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetDeviceDescriptorCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->OutputLength < sizeof(USB_DEVICE_DESCRIPTOR)) {
        SetResult(Call, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    Call->Irp->IoStatus.Information =
        GetDescriptor(Call->Device, Call->SystemBuffer, sizeof(USB_DEVICE_DESCRIPTOR),
                      USB_DEVICE_DESCRIPTOR_TYPE);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetConfigDescriptorCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    Call->Irp->IoStatus.Information =
        GetDescriptor(Call->Device, Call->SystemBuffer, Call->OutputLength,
                      USB_CONFIGURATION_DESCRIPTOR_TYPE);
}

// The record must be whole; a device-to-host answer lands in the system
// buffer, so its Length must fit the client's output.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID VendorRequestCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Call, sizeof(VendorRequestRecord))) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    VendorRequestRecord record;
    RtlCopyMemory(&record, Call->SystemBuffer, sizeof(record));
    if (record.Direction != 0 && record.Length > Call->OutputLength) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    Call->Irp->IoStatus.Information = VendorDeviceRequest(Call->Device, Call->SystemBuffer);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID LoadMemoryBlocksCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->SystemBuffer != NULL) {
        LoadDeviceMemoryBlocks(Call->Device, (const UCHAR *)Call->SystemBuffer,
                               Call->InputLength / MEMORY_BLOCK_BYTES);
    }
}

static BOOLEAN ReadPipeIndex(ClientControlCall *Call, ULONG *PipeIndex) {
    if (!InputHolds(Call, sizeof(PipeIndexRecord))) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return FALSE;
    }
    PipeIndexRecord record;
    RtlCopyMemory(&record, Call->SystemBuffer, sizeof(record));
    *PipeIndex = record.PipeIndex;
    return TRUE;
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID ResetPipeCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    ULONG pipeIndex;
    if (!ReadPipeIndex(Call, &pipeIndex)) return;
    Call->Irp->IoStatus.Status = ResetPipeByIndex(Call->Device, pipeIndex);
}

// Refused as IOCTL_USBCAM_RESET_PIPE is: no interface STATUS_UNSUCCESSFUL,
// index out of range STATUS_INVALID_PARAMETER. The abort's own result is not
// reported.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID AbortPipeCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    ULONG pipeIndex;
    if (!ReadPipeIndex(Call, &pipeIndex)) return;
    PUSBD_INTERFACE_INFORMATION info;
    PUSBD_PIPE_INFORMATION pipe;
    const NTSTATUS status = AcquirePipe(GetDeviceExtension(Call->Device), pipeIndex,
                                        PIPE_KINDS_ANY_FOR_PIPE_REQUEST, &info, &pipe);
    if (!NT_SUCCESS(status)) {
        SetResult(Call, status, 0);
        return;
    }
    // The isochronous jobs on the pipe send nothing more from here on, so
    // that the abort ends them rather than only the requests it finds.
    IsoAbortJobsOnPipe(Call->Device, pipe->PipeHandle);
    (VOID) AbortPipe(Call->Device, pipe->PipeHandle);
    ReleaseInterfaceInfo(info);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID SelectInterfaceCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Call, sizeof(InterfaceSelection))) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    InterfaceSelection selection;
    RtlCopyMemory(&selection, Call->SystemBuffer, sizeof(selection));
    (VOID) SelectInterface(Call->Device, selection.InterfaceNumber, selection.AlternateSetting);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetStringDescriptorCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->InputLength != sizeof(StringDescriptorRequest) || Call->OutputLength == 0 ||
        Call->SystemBuffer == NULL) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    StringDescriptorRequest record;
    RtlCopyMemory(&record, Call->SystemBuffer, sizeof(record));
    const ULONG received =
        GetStringDescriptor(Call->Device, record.DescriptorIndex, record.LanguageId,
                            Call->SystemBuffer, Call->OutputLength);
    if (received == 0) {
        SetResult(Call, STATUS_UNSUCCESSFUL, 0);
    } else {
        Call->Irp->IoStatus.Information = received;
    }
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetFrameNumberCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->OutputLength < sizeof(ULONG) || Call->SystemBuffer == NULL) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    const ULONG frame = GetCurrentFrameNumber(Call->Device);
    if (frame == 0) {
        SetResult(Call, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    RtlCopyMemory(Call->SystemBuffer, &frame, sizeof(frame));
    Call->Irp->IoStatus.Information = sizeof(frame);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetLastStatusCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->OutputLength < sizeof(USBD_STATUS) || Call->SystemBuffer == NULL) {
        SetResult(Call, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    const USBD_STATUS last = ReadNoFence(&GetDeviceExtension(Call->Device)->LastUsbdStatus);
    RtlCopyMemory(Call->SystemBuffer, &last, sizeof(last));
    Call->Irp->IoStatus.Information = sizeof(last);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID LoadMemoryCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->InputLength != sizeof(MemoryAddressRecord) || Call->OutputLength == 0 ||
        Call->SystemBuffer == NULL) {
        return;  // nothing sent; still a success
    }
    MemoryAddressRecord record;
    RtlCopyMemory(&record, Call->SystemBuffer, sizeof(record));
    const UCHAR *data = (const UCHAR *)GetMdlSystemAddress(Call->Irp->MdlAddress);
    if (data == NULL) {
        SetResult(Call, STATUS_INSUFFICIENT_RESOURCES, 0);
        return;
    }
    (VOID) LoadDeviceMemory(Call->Device, record.Address, data, Call->OutputLength);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetVersionCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->OutputLength < sizeof(VersionRecord) || Call->SystemBuffer == NULL) {
        SetResult(Call, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    VersionRecord version;
    version.VersionValue = USBCAM_DRIVER_VERSION;
    version.Reserved = 0;
    RtlCopyMemory(Call->SystemBuffer, &version, sizeof(version));
    Call->Irp->IoStatus.Information = sizeof(version);
}

// Whatever the device answers, the outcome is STATUS_UNSUCCESSFUL.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID SetFeatureCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->InputLength != sizeof(FeatureRecord) || Call->SystemBuffer == NULL) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    FeatureRecord feature;
    RtlCopyMemory(&feature, Call->SystemBuffer, sizeof(feature));
    (VOID) SetDeviceFeature(Call->Device, &feature);
    SetResult(Call, STATUS_UNSUCCESSFUL, 0);
}

// One aligned 64-bit store; waits that begin afterwards use the new value.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID SetTimeoutCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Call, sizeof(TimeoutRecord))) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    TimeoutRecord record;
    RtlCopyMemory(&record, Call->SystemBuffer, sizeof(record));
    if (record.Selector == 1) WriteNoFence64(&TransferTimeoutMs, (LONGLONG)record.Milliseconds);
}

// Checked in this order: the record's length, the output length against the
// record, then (by ReadStream, under the stream's lock) a stream's rings and
// the record's sizes.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID ReadStreamCase(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Call->InputLength != sizeof(StreamReadRecord) || Call->SystemBuffer == NULL) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    StreamReadRecord record;
    RtlCopyMemory(&record, Call->SystemBuffer, sizeof(record));
    const ULONGLONG expected =
        (ULONGLONG)record.PacketCount * ((ULONGLONG)record.PacketSize + STREAM_DESCRIPTOR_BYTES);
    if ((ULONGLONG)Call->OutputLength != expected) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    // ReadStream refuses absent rings (STATUS_UNSUCCESSFUL) under its lock,
    // then a PacketSize or PacketCount of 0 (STATUS_INVALID_PARAMETER).
    Call->Irp->IoStatus.Status = ReadStream(Call->Device, Call->Irp);
}

// Codes that hand the whole request to an engine. The engine's record must be
// whole before it is called; the byte count is the engine's to set.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID EngineCase(ClientControlCall *Call, ULONG RecordBytes,
                       NTSTATUS (*Engine)(PDEVICE_OBJECT, PIRP), BOOLEAN ReportsBytes) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Call, RecordBytes)) {
        SetResult(Call, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    Call->Irp->IoStatus.Status = Engine(Call->Device, Call->Irp);
    if (!ReportsBytes) Call->Irp->IoStatus.Information = 0;
}

// Runs the case of Call->Code, leaving its outcome in IoStatus.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID RunControlCode(ClientControlCall *Call) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    switch (Call->Code) {
        case IOCTL_USBCAM_GET_INTERFACE_INFO: GetInterfaceInfoCase(Call); break;
        case IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR: GetDeviceDescriptorCase(Call); break;
        case IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR: GetConfigDescriptorCase(Call); break;
        case IOCTL_USBCAM_VENDOR_REQUEST: VendorRequestCase(Call); break;
        case IOCTL_USBCAM_NOP: break;
        case IOCTL_USBCAM_LOAD_MEMORY_BLOCKS: LoadMemoryBlocksCase(Call); break;
        case IOCTL_USBCAM_RESET_PORT: (VOID) ResetPort(Call->Device); break;
        case IOCTL_USBCAM_RESET_PIPE: ResetPipeCase(Call); break;
        case IOCTL_USBCAM_ABORT_PIPE: AbortPipeCase(Call); break;
        case IOCTL_USBCAM_SELECT_INTERFACE: SelectInterfaceCase(Call); break;
        case IOCTL_USBCAM_GET_STRING_DESCRIPTOR: GetStringDescriptorCase(Call); break;
        case IOCTL_USBCAM_READ_PIPE:
        case IOCTL_USBCAM_WRITE_PIPE:
            EngineCase(Call, sizeof(PipeIndexRecord), TriggeredTransfer, TRUE);
            break;
        case IOCTL_USBCAM_GET_FRAME_NUMBER: GetFrameNumberCase(Call); break;
        case IOCTL_USBCAM_CONTROL_REQUEST:
            Call->Irp->IoStatus.Status = ClassOrVendorRequest(Call->Device, Call->Irp);
            break;
        case IOCTL_USBCAM_GET_LAST_STATUS: GetLastStatusCase(Call); break;
        case IOCTL_USBCAM_ISO_READ:
        case IOCTL_USBCAM_ISO_WRITE:
            EngineCase(Call, sizeof(IsoReadRecord), IsoBlockRead, FALSE);
            break;
        case IOCTL_USBCAM_LOAD_MEMORY: LoadMemoryCase(Call); break;
        case IOCTL_USBCAM_GET_VERSION: GetVersionCase(Call); break;
        case IOCTL_USBCAM_START_STREAM:
            EngineCase(Call, sizeof(StreamStartRecord), StartStream, FALSE);
            break;
        case IOCTL_USBCAM_STOP_STREAM:
            (VOID) StopStream(Call->Device);
            break;
        case IOCTL_USBCAM_READ_STREAM: ReadStreamCase(Call); break;
        case IOCTL_USBCAM_SET_FEATURE: SetFeatureCase(Call); break;
        case IOCTL_USBCAM_SET_TIMEOUT: SetTimeoutCase(Call); break;
        case IOCTL_USBCAM_READ_PIPE_LARGE:
        case IOCTL_USBCAM_WRITE_PIPE_LARGE:
            EngineCase(Call, sizeof(PipeIndexRecord), SegmentedBulkTransfer, TRUE);
            break;
        default: SetResult(Call, STATUS_INVALID_PARAMETER, 0); break;
    }
}

// PASSIVE_LEVEL, the client's thread; takes no lock. Returns the status with
// which the request was completed, never STATUS_PENDING.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    Irp->IoStatus.Information = 0;
    if (!AcquireIo(DeviceObject)) {
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ClientControlCall request;
    request.Device = DeviceObject;
    request.Irp = Irp;
    request.Code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.SystemBuffer = Irp->AssociatedIrp.SystemBuffer;

    RunControlCode(&request);

    // No request reports more bytes than the client's output buffer holds.
    if (Irp->IoStatus.Information > request.OutputLength) {
        Irp->IoStatus.Information = request.OutputLength;
    }

    ReleaseIo(DeviceObject);
    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
