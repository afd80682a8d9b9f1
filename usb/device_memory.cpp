// Loading the camera's memory with vendor request 0xA0.
#include "usb/usb_requests.h"

#define MEMORY_LOAD_REQUEST 0xA0
#define MEMORY_CHUNK_BYTES 64
#define MEMORY_BLOCK_BYTES 512

// One host-to-device 0xA0 request of Length bytes from Data to device Address.
static VOID FillMemoryLoad(PURB Urb, const UCHAR *Data, ULONG Length, USHORT Address) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *request = &Urb->UrbControlVendorClassRequest;
    RtlZeroMemory(request, sizeof(*request));
    request->Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request->Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    request->TransferFlags = 0;
    request->TransferBufferLength = Length;
    request->TransferBuffer = (PVOID)Data;
    request->RequestTypeReservedBits = 0;
    request->Request = MEMORY_LOAD_REQUEST;
    request->Value = Address;
    request->Index = 0;
}

// PASSIVE_LEVEL. Chunks of 64 bytes (the last one the remainder), addresses
// wrapping at 64 KiB. Earlier chunks stay written when a later one fails.
// A Length of 0 sends nothing and succeeds.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS LoadDeviceMemory(PDEVICE_OBJECT DeviceObject, USHORT Address, const UCHAR *Data,
                          ULONG Length) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == NULL) return STATUS_NO_MEMORY;

    NTSTATUS status = STATUS_SUCCESS;
    const ULONG chunkCount = (Length + MEMORY_CHUNK_BYTES - 1) / MEMORY_CHUNK_BYTES;
    for (ULONG i = 0; i < chunkCount; i++) {
        const ULONG offset = i * MEMORY_CHUNK_BYTES;
        const ULONG remaining = Length - offset;
        const ULONG chunk = remaining < MEMORY_CHUNK_BYTES ? remaining : MEMORY_CHUNK_BYTES;
        FillMemoryLoad(urb, Data + offset, chunk, (USHORT)((Address + offset) & 0xFFFF));
        status = SubmitUrbSync(DeviceObject, urb);
        if (!NT_SUCCESS(status)) break;
    }
    DrvFreePool(urb);
    return status;
}

// PASSIVE_LEVEL. Whole 512-byte blocks from device address 0; every block is
// sent whatever the previous one's outcome, until removal begins: it cancels
// the block on its way and refuses the next (STATUS_DELETE_PENDING).
_IRQL_requires_(PASSIVE_LEVEL)
VOID LoadDeviceMemoryBlocks(PDEVICE_OBJECT DeviceObject, const UCHAR *Data, ULONG BlockCount) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    if (BlockCount == 0) return;
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == NULL) return;

    for (ULONG i = 0; i < BlockCount; i++) {
        const ULONG offset = i * MEMORY_BLOCK_BYTES;
        FillMemoryLoad(urb, Data + offset, MEMORY_BLOCK_BYTES, (USHORT)(offset & 0xFFFF));
        if (SubmitUrbSync(DeviceObject, urb) == STATUS_DELETE_PENDING) break;
    }
    DrvFreePool(urb);
}
