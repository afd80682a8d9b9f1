// Vendor and class requests, the device feature request and the frame number.
#include "usb/client_buffer.h"
#include "usb/usb_requests.h"

static VOID FillVendorOrClassRequest(PURB Urb, USHORT Function, ULONG TransferFlags,
                                     PVOID Buffer, PMDL Mdl, ULONG Length, UCHAR Request,
                                     USHORT Value, USHORT Index) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *request = &Urb->UrbControlVendorClassRequest;
    RtlZeroMemory(request, sizeof(*request));
    request->Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request->Hdr.Function = Function;
    request->TransferFlags = TransferFlags;
    request->TransferBufferLength = Length;
    request->TransferBuffer = Buffer;
    request->TransferBufferMDL = Mdl;
    request->RequestTypeReservedBits = 0;
    request->Request = Request;
    request->Value = Value;
    request->Index = Index;
}

// PASSIVE_LEVEL. The record is read completely before anything is sent: a
// device-to-host request's data overwrites it in the same buffer. A
// host-to-device request carries the record's Data byte (Length 1) or the
// pattern 0x00, 0x01, ... (any other Length) from a buffer of its own.
//
// A device-to-host request reports the bytes the bus moved into the buffer,
// and only when the request succeeded: a failed one reports 0. The buffer past
// what the device wrote is the caller's uninitialised memory, and a bus
// driver that refuses a request before it reaches the wire leaves the URB's
// count as it was given; reporting it would hand that memory to the client.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG VendorDeviceRequest(PDEVICE_OBJECT DeviceObject, PVOID Buffer) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    VendorRequestRecord record;
    RtlCopyMemory(&record, Buffer, sizeof(record));

    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == NULL) return 0;

    const BOOLEAN deviceToHost = record.Direction != 0;
    PUCHAR data = NULL;
    PVOID transferBuffer = Buffer;
    if (!deviceToHost) {
        transferBuffer = NULL;
        if (record.Length != 0) {
            data = (PUCHAR)DrvAllocatePool(record.Length);
            if (data == NULL) {
                DrvFreePool(urb);
                return 0;
            }
            if (record.Length == 1) {
                data[0] = record.Data;
            } else {
                for (ULONG k = 0; k < record.Length; k++) data[k] = (UCHAR)(k & 0xFF);
            }
            transferBuffer = data;
        }
    }

    FillVendorOrClassRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                             deviceToHost ? USBD_TRANSFER_DIRECTION_IN : 0, transferBuffer, NULL,
                             record.Length, record.Request, record.Value, record.Index);
    const NTSTATUS status = SubmitUrbSync(DeviceObject, urb);

    ULONG result = 0;
    if (deviceToHost && NT_SUCCESS(status)) {
        result = urb->UrbControlVendorClassRequest.TransferBufferLength;
        if (result > record.Length) result = record.Length;
    }
    if (data != NULL) DrvFreePool(data);
    DrvFreePool(urb);
    return result;
}

// URB function for (Type << 2) | Recipient, keys 4 to 11; 0 for any other key.
static USHORT ClassOrVendorFunction(ULONG Key) {
    switch (Key) {
        case 4: return URB_FUNCTION_CLASS_DEVICE;
        case 5: return URB_FUNCTION_CLASS_INTERFACE;
        case 6: return URB_FUNCTION_CLASS_ENDPOINT;
        case 7: return URB_FUNCTION_CLASS_OTHER;
        case 8: return URB_FUNCTION_VENDOR_DEVICE;
        case 9: return URB_FUNCTION_VENDOR_INTERFACE;
        case 10: return URB_FUNCTION_VENDOR_ENDPOINT;
        case 11: return URB_FUNCTION_VENDOR_OTHER;
        default: return 0;
    }
}

// PASSIVE_LEVEL, a client's thread. The data stage is the client's locked
// buffer (MdlAddress, OutputBufferLength bytes).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ClassOrVendorRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(ControlRequestRecord) ||
        Irp->AssociatedIrp.SystemBuffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ControlRequestRecord record;
    RtlCopyMemory(&record, Irp->AssociatedIrp.SystemBuffer, sizeof(record));
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (outputLength > USB_MAX_CONTROL_TRANSFER_BYTES) outputLength = USB_MAX_CONTROL_TRANSFER_BYTES;

    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == NULL) return STATUS_NO_MEMORY;

    ULONG transferFlags = USBD_SHORT_TRANSFER_OK;
    if (record.Direction != 0) transferFlags |= USBD_TRANSFER_DIRECTION_IN;
    const ULONG key = ((ULONG)record.Type << 2) | (ULONG)record.Recipient;
    const USHORT function = ClassOrVendorFunction(key);
    if (function == 0) {
        DrvFreePool(urb);
        return STATUS_INVALID_PARAMETER;
    }

    // The code's buffer is handed over for reading only: a device-to-host
    // data stage must not land in pages the client could not write.
    PVOID secured = NULL;
    NTSTATUS status = SecureClientBufferForDeviceWrites(Irp, record.Direction != 0, &secured);
    if (!NT_SUCCESS(status)) {
        DrvFreePool(urb);
        return status;
    }

    FillVendorOrClassRequest(urb, function, transferFlags, NULL, Irp->MdlAddress, outputLength,
                             record.Request, record.Value, record.Index);
    status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        if (moved > outputLength) moved = outputLength;
        Irp->IoStatus.Information = moved;
    }
    UnsecureClientBuffer(secured);
    DrvFreePool(urb);
    return status;
}

// PASSIVE_LEVEL. Standard SET_FEATURE to the device.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetDeviceFeature(PDEVICE_OBJECT DeviceObject, const FeatureRecord *Feature) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    if (urb == NULL) return STATUS_NO_MEMORY;

    struct _URB_CONTROL_FEATURE_REQUEST *request = &urb->UrbControlFeatureRequest;
    RtlZeroMemory(request, sizeof(*request));
    request->Hdr.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    request->Hdr.Function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    request->FeatureSelector = Feature->FeatureSelector;
    request->Index = Feature->Index;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    DrvFreePool(urb);
    return status;
}

// PASSIVE_LEVEL. Reads the host controller's frame counter; 0 on any failure.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG GetCurrentFrameNumber(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
    if (urb == NULL) return 0;

    RtlZeroMemory(urb, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
    urb->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    const ULONG frame = NT_SUCCESS(status) ? urb->UrbGetCurrentFrameNumber.FrameNumber : 0;
    DrvFreePool(urb);
    return frame;
}
