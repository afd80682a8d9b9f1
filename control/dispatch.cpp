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

// One request being decoded: what the case needs from the IRP.
typedef struct ControlRequest {
    PDEVICE_OBJECT Device;
    PIRP Irp;
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
    PVOID SystemBuffer;
} ControlRequest;

static VOID SetResult(ControlRequest *Request, NTSTATUS Status, ULONG_PTR Information) {
    Request->Irp->IoStatus.Status = Status;
    Request->Irp->IoStatus.Information = Information;
}

// TRUE when the input holds at least Bytes bytes (and so a system buffer).
static BOOLEAN InputHolds(const ControlRequest *Request, ULONG Bytes) {
    return Request->InputLength >= Bytes && Request->SystemBuffer != NULL;
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetInterfaceInfoCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(GetDeviceExtension(Request->Device));
    if (info == NULL) return;  // no interface yet: success, 0 bytes
    const ULONG length = info->Length;
    if (Request->OutputLength < length || Request->SystemBuffer == NULL) {
        SetResult(Request, STATUS_UNSUCCESSFUL, 0);
    } else {
        RtlCopyMemory(Request->SystemBuffer, info, length);
        SetResult(Request, STATUS_SUCCESS, length);
    }
    ReleaseInterfaceInfo(info);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetDeviceDescriptorCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->OutputLength < sizeof(USB_DEVICE_DESCRIPTOR)) {
        SetResult(Request, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    Request->Irp->IoStatus.Information =
        GetDescriptor(Request->Device, Request->SystemBuffer, sizeof(USB_DEVICE_DESCRIPTOR),
                      USB_DEVICE_DESCRIPTOR_TYPE);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetConfigDescriptorCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    Request->Irp->IoStatus.Information =
        GetDescriptor(Request->Device, Request->SystemBuffer, Request->OutputLength,
                      USB_CONFIGURATION_DESCRIPTOR_TYPE);
}

// The record must be whole; a device-to-host answer lands in the system
// buffer, so its Length must fit the client's output.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID VendorRequestCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Request, sizeof(VendorRequestRecord))) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    VendorRequestRecord record;
    RtlCopyMemory(&record, Request->SystemBuffer, sizeof(record));
    if (record.Direction != 0 && record.Length > Request->OutputLength) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    Request->Irp->IoStatus.Information = VendorDeviceRequest(Request->Device, Request->SystemBuffer);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID LoadMemoryBlocksCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->SystemBuffer != NULL) {
        LoadDeviceMemoryBlocks(Request->Device, (const UCHAR *)Request->SystemBuffer,
                               Request->InputLength / MEMORY_BLOCK_BYTES);
    }
}

static BOOLEAN ReadPipeIndex(ControlRequest *Request, ULONG *PipeIndex) {
    if (!InputHolds(Request, sizeof(PipeIndexRecord))) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return FALSE;
    }
    PipeIndexRecord record;
    RtlCopyMemory(&record, Request->SystemBuffer, sizeof(record));
    *PipeIndex = record.PipeIndex;
    return TRUE;
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID ResetPipeCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    ULONG pipeIndex;
    if (!ReadPipeIndex(Request, &pipeIndex)) return;
    Request->Irp->IoStatus.Status = ResetPipeByIndex(Request->Device, pipeIndex);
}

// Refused as IOCTL_USBCAM_RESET_PIPE is: no interface STATUS_UNSUCCESSFUL,
// index out of range STATUS_INVALID_PARAMETER. The abort's own result is not
// reported.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID AbortPipeCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    ULONG pipeIndex;
    if (!ReadPipeIndex(Request, &pipeIndex)) return;
    PUSBD_INTERFACE_INFORMATION info = AcquireInterfaceInfo(GetDeviceExtension(Request->Device));
    if (info == NULL) {
        SetResult(Request, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    if (pipeIndex >= info->NumberOfPipes) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
    } else {
        (VOID) AbortPipe(Request->Device, info->Pipes[pipeIndex].PipeHandle);
    }
    ReleaseInterfaceInfo(info);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID SelectInterfaceCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Request, sizeof(InterfaceSelection))) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    InterfaceSelection selection;
    RtlCopyMemory(&selection, Request->SystemBuffer, sizeof(selection));
    (VOID) SelectInterface(Request->Device, selection.InterfaceNumber, selection.AlternateSetting);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetStringDescriptorCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->InputLength != sizeof(StringDescriptorRequest) || Request->OutputLength == 0 ||
        Request->SystemBuffer == NULL) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    StringDescriptorRequest record;
    RtlCopyMemory(&record, Request->SystemBuffer, sizeof(record));
    const ULONG received =
        GetStringDescriptor(Request->Device, record.DescriptorIndex, record.LanguageId,
                            Request->SystemBuffer, Request->OutputLength);
    if (received == 0) {
        SetResult(Request, STATUS_UNSUCCESSFUL, 0);
    } else {
        Request->Irp->IoStatus.Information = received;
    }
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetFrameNumberCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->OutputLength < sizeof(ULONG) || Request->SystemBuffer == NULL) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    const ULONG frame = GetCurrentFrameNumber(Request->Device);
    if (frame == 0) {
        SetResult(Request, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    RtlCopyMemory(Request->SystemBuffer, &frame, sizeof(frame));
    Request->Irp->IoStatus.Information = sizeof(frame);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetLastStatusCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->OutputLength < sizeof(USBD_STATUS) || Request->SystemBuffer == NULL) {
        SetResult(Request, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    const USBD_STATUS last = ReadNoFence(&GetDeviceExtension(Request->Device)->LastUsbdStatus);
    RtlCopyMemory(Request->SystemBuffer, &last, sizeof(last));
    Request->Irp->IoStatus.Information = sizeof(last);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID LoadMemoryCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->InputLength != sizeof(MemoryAddressRecord) || Request->OutputLength == 0 ||
        Request->SystemBuffer == NULL) {
        return;  // nothing sent; still a success
    }
    MemoryAddressRecord record;
    RtlCopyMemory(&record, Request->SystemBuffer, sizeof(record));
    const UCHAR *data = (const UCHAR *)GetMdlSystemAddress(Request->Irp->MdlAddress);
    if (data == NULL) {
        SetResult(Request, STATUS_INSUFFICIENT_RESOURCES, 0);
        return;
    }
    (VOID) LoadDeviceMemory(Request->Device, record.Address, data, Request->OutputLength);
}

_IRQL_requires_(PASSIVE_LEVEL)
static VOID GetVersionCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->OutputLength < sizeof(VersionRecord) || Request->SystemBuffer == NULL) {
        SetResult(Request, STATUS_UNSUCCESSFUL, 0);
        return;
    }
    VersionRecord version;
    version.VersionValue = USBCAM_DRIVER_VERSION;
    version.Reserved = 0;
    RtlCopyMemory(Request->SystemBuffer, &version, sizeof(version));
    Request->Irp->IoStatus.Information = sizeof(version);
}

// Whatever the device answers, the outcome is STATUS_UNSUCCESSFUL.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID SetFeatureCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->InputLength != sizeof(FeatureRecord) || Request->SystemBuffer == NULL) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    FeatureRecord feature;
    RtlCopyMemory(&feature, Request->SystemBuffer, sizeof(feature));
    (VOID) SetDeviceFeature(Request->Device, &feature);
    SetResult(Request, STATUS_UNSUCCESSFUL, 0);
}

// One aligned 64-bit store; waits that begin afterwards use the new value.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID SetTimeoutCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Request, sizeof(TimeoutRecord))) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    TimeoutRecord record;
    RtlCopyMemory(&record, Request->SystemBuffer, sizeof(record));
    if (record.Selector == 1) WriteNoFence64(&TransferTimeoutMs, (LONGLONG)record.Milliseconds);
}

// Checked in this order: the record's length, the output length against the
// record, then (by ReadStream, under the stream's lock) a stream's rings and
// the record's sizes.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID ReadStreamCase(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Request->InputLength != sizeof(StreamReadRecord) || Request->SystemBuffer == NULL) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    StreamReadRecord record;
    RtlCopyMemory(&record, Request->SystemBuffer, sizeof(record));
    const ULONGLONG expected =
        (ULONGLONG)record.PacketCount * ((ULONGLONG)record.PacketSize + STREAM_DESCRIPTOR_BYTES);
    if ((ULONGLONG)Request->OutputLength != expected) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    // ReadStream refuses absent rings (STATUS_UNSUCCESSFUL) under its lock,
    // then a PacketSize or PacketCount of 0 (STATUS_INVALID_PARAMETER).
    Request->Irp->IoStatus.Status = ReadStream(Request->Device, Request->Irp);
}

// Codes that hand the whole request to an engine. The engine's record must be
// whole before it is called; the byte count is the engine's to set.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID EngineCase(ControlRequest *Request, ULONG RecordBytes,
                       NTSTATUS (*Engine)(PDEVICE_OBJECT, PIRP), BOOLEAN ReportsBytes) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (!InputHolds(Request, RecordBytes)) {
        SetResult(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    Request->Irp->IoStatus.Status = Engine(Request->Device, Request->Irp);
    if (!ReportsBytes) Request->Irp->IoStatus.Information = 0;
}

// Runs the case of Request->Code, leaving its outcome in IoStatus.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID RunControlCode(ControlRequest *Request) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    switch (Request->Code) {
        case IOCTL_USBCAM_GET_INTERFACE_INFO: GetInterfaceInfoCase(Request); break;
        case IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR: GetDeviceDescriptorCase(Request); break;
        case IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR: GetConfigDescriptorCase(Request); break;
        case IOCTL_USBCAM_VENDOR_REQUEST: VendorRequestCase(Request); break;
        case IOCTL_USBCAM_NOP: break;
        case IOCTL_USBCAM_LOAD_MEMORY_BLOCKS: LoadMemoryBlocksCase(Request); break;
        case IOCTL_USBCAM_RESET_PORT: (VOID) ResetPort(Request->Device); break;
        case IOCTL_USBCAM_RESET_PIPE: ResetPipeCase(Request); break;
        case IOCTL_USBCAM_ABORT_PIPE: AbortPipeCase(Request); break;
        case IOCTL_USBCAM_SELECT_INTERFACE: SelectInterfaceCase(Request); break;
        case IOCTL_USBCAM_GET_STRING_DESCRIPTOR: GetStringDescriptorCase(Request); break;
        case IOCTL_USBCAM_READ_PIPE:
        case IOCTL_USBCAM_WRITE_PIPE:
            EngineCase(Request, sizeof(PipeIndexRecord), TriggeredTransfer, TRUE);
            break;
        case IOCTL_USBCAM_GET_FRAME_NUMBER: GetFrameNumberCase(Request); break;
        case IOCTL_USBCAM_CONTROL_REQUEST:
            Request->Irp->IoStatus.Status = ClassOrVendorRequest(Request->Device, Request->Irp);
            break;
        case IOCTL_USBCAM_GET_LAST_STATUS: GetLastStatusCase(Request); break;
        case IOCTL_USBCAM_ISO_READ:
        case IOCTL_USBCAM_ISO_WRITE:
            EngineCase(Request, sizeof(IsoReadRecord), IsoBlockRead, FALSE);
            break;
        case IOCTL_USBCAM_LOAD_MEMORY: LoadMemoryCase(Request); break;
        case IOCTL_USBCAM_GET_VERSION: GetVersionCase(Request); break;
        case IOCTL_USBCAM_START_STREAM:
            EngineCase(Request, sizeof(StreamStartRecord), StartStream, FALSE);
            break;
        case IOCTL_USBCAM_STOP_STREAM:
            (VOID) StopStream(Request->Device);
            break;
        case IOCTL_USBCAM_READ_STREAM: ReadStreamCase(Request); break;
        case IOCTL_USBCAM_SET_FEATURE: SetFeatureCase(Request); break;
        case IOCTL_USBCAM_SET_TIMEOUT: SetTimeoutCase(Request); break;
        case IOCTL_USBCAM_READ_PIPE_LARGE:
        case IOCTL_USBCAM_WRITE_PIPE_LARGE:
            EngineCase(Request, sizeof(PipeIndexRecord), SegmentedBulkTransfer, TRUE);
            break;
        default: SetResult(Request, STATUS_INVALID_PARAMETER, 0); break;
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
    ControlRequest request;
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
