// Descriptor reads: device, configuration and string descriptors.
#include "usb/usb_requests.h"

VOID BuildDescriptorRequest(PURB Urb, PVOID Buffer, ULONG Length, UCHAR DescriptorType,
                            UCHAR Index, USHORT LanguageId) {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *request = &Urb->UrbControlDescriptorRequest;
    RtlZeroMemory(request, sizeof(*request));
    request->Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request->TransferBuffer = Buffer;
    request->TransferBufferLength = Length;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->DescriptorType = DescriptorType;
    request->Index = Index;
    request->LanguageId = LanguageId;
}

// One descriptor request into the caller's buffer; bytes received or 0.
_IRQL_requires_(PASSIVE_LEVEL)
static ULONG ReadDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                            UCHAR DescriptorType, UCHAR Index, USHORT LanguageId) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (Buffer == NULL || Length == 0) return 0;
    if (Length > USB_MAX_CONTROL_TRANSFER_BYTES) Length = USB_MAX_CONTROL_TRANSFER_BYTES;
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == NULL) return 0;

    BuildDescriptorRequest(urb, Buffer, Length, DescriptorType, Index, LanguageId);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    ULONG received = 0;
    if (NT_SUCCESS(status)) {
        received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        // The bus driver never reports more than it was given room for; a
        // larger count would make the caller report bytes that do not exist.
        if (received > Length) received = Length;
    }
    DrvFreePool(urb);
    return received;
}

_IRQL_requires_(PASSIVE_LEVEL)
ULONG GetDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                    UCHAR DescriptorType) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return ReadDescriptor(DeviceObject, Buffer, Length, DescriptorType, 0, 0);
}

_IRQL_requires_(PASSIVE_LEVEL)
ULONG GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR DescriptorIndex, USHORT LanguageId,
                          PVOID Buffer, ULONG Length) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    return ReadDescriptor(DeviceObject, Buffer, Length, USB_STRING_DESCRIPTOR_TYPE,
                          DescriptorIndex, LanguageId);
}
