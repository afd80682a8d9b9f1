// Client-requested interface selection and the full configuration read it needs.
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

// First size tried for the whole configuration descriptor.
#define FULL_CONFIGURATION_FIRST_READ 265
// Transfer size written into every pipe of a select-interface URB.
#define SELECT_INTERFACE_TRANSFER_SIZE 0xFFFF

static ULONG TotalLengthOf(const UCHAR *ConfigurationDescriptor) {
    return (ULONG)(ConfigurationDescriptor[2] | (ConfigurationDescriptor[3] << 8));
}

// PASSIVE_LEVEL. Reads the first configuration descriptor, growing the buffer
// to wTotalLength when the first read shows it is longer. The loop ends:
// the size only grows, and wTotalLength cannot exceed 65535.
_IRQL_requires_(PASSIVE_LEVEL)
PUSB_CONFIGURATION_DESCRIPTOR GetFullConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == NULL) return NULL;

    PUCHAR buffer = NULL;
    ULONG size = FULL_CONFIGURATION_FIRST_READ;
    for (;;) {
        buffer = (PUCHAR)DrvAllocatePool(size);
        if (buffer == NULL) break;
        BuildDescriptorRequest(urb, buffer, size, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0);
        if (!NT_SUCCESS(SubmitUrbSync(DeviceObject, urb))) break;

        const ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || received > size) break;
        const ULONG total = TotalLengthOf(buffer);
        if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) break;
        if (total > size) {
            DrvFreePool(buffer);
            buffer = NULL;
            size = total;
            continue;
        }
        if (total > received) break;

        DrvFreePool(urb);
        return (PUSB_CONFIGURATION_DESCRIPTOR)buffer;
    }

    if (buffer != NULL) DrvFreePool(buffer);
    DrvFreePool(urb);
    return NULL;
}

// PASSIVE_LEVEL, SelectionLock held, so one waiter at a time. A stream asked
// to stop keeps requests on its pipe until its last slot has come back, and
// the bus refuses a selection while the interface's pipes have requests:
// wait for those streams, as long as a request on the default pipe may take.
// Whatever is still stopping then, the selection goes to the bus and gets the
// bus's answer.
_IRQL_requires_(PASSIVE_LEVEL)
static VOID WaitForStoppingStreams(PDEVICE_EXTENSION Extension) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG deadline = now.QuadPart - ControlTimeoutRelative();
    for (;;) {
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
        const ULONG stopping = Extension->StreamsStopping;
        KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
        if (stopping == 0) return;
        KeQuerySystemTime(&now);
        if (now.QuadPart >= deadline) return;
        LARGE_INTEGER left;
        left.QuadPart = now.QuadPart - deadline;  // relative
        // A set left over from an earlier ending costs one more look only.
        (VOID) KeWaitForSingleObject(&Extension->StreamEnded, Executive, KernelMode, FALSE, &left);
    }
}

// PASSIVE_LEVEL, a client's thread inside the I/O gate; may run together with
// any other request of the device, other selections waiting for its end
// (SelectionLock). The table it replaces stays alive for the readers that
// still hold it (usb/interface_snapshot.h).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber,
                         UCHAR AlternateSetting) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    PURB urb = NULL;
    NTSTATUS status;

    PUSB_CONFIGURATION_DESCRIPTOR descriptor = GetFullConfigurationDescriptor(DeviceObject);
    if (descriptor == NULL) return STATUS_UNSUCCESSFUL;

    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        descriptor, descriptor, InterfaceNumber, AlternateSetting, -1, -1, -1);
    if (interfaceDescriptor == NULL) {
        status = STATUS_UNSUCCESSFUL;
        goto Done;
    }

    {
        const ULONG pipeCount = interfaceDescriptor->bNumEndpoints;
        const ULONG interfaceBytes = (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                                     pipeCount * sizeof(USBD_PIPE_INFORMATION);
        const ULONG urbBytes = (ULONG)FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) +
                               interfaceBytes;
        urb = (PURB)DrvAllocatePool(urbBytes);
        if (urb == NULL) {
            status = STATUS_NO_MEMORY;
            goto Done;
        }

        RtlZeroMemory(urb, urbBytes);
        struct _URB_SELECT_INTERFACE *select = &urb->UrbSelectInterface;
        select->Hdr.Length = (USHORT)urbBytes;
        select->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
        KeWaitForSingleObject(&extension->SelectionLock, Executive, KernelMode, FALSE, NULL);
        WaitForStoppingStreams(extension);
        select->ConfigurationHandle = ReadPointerNoFence(&extension->ConfigurationHandle);
        select->Interface.Length = (USHORT)interfaceBytes;
        select->Interface.InterfaceNumber = InterfaceNumber;
        select->Interface.AlternateSetting = AlternateSetting;
        for (ULONG i = 0; i < pipeCount; i++) {
            select->Interface.Pipes[i].MaximumTransferSize = SELECT_INTERFACE_TRANSFER_SIZE;
        }

        status = SubmitUrbSync(DeviceObject, urb);
        if (NT_SUCCESS(status)) {
            // The new table replaces the old one in one step, so readers see
            // one or the other; a failed copy leaves no interface selected.
            PUSBD_INTERFACE_INFORMATION copy =
                CreateInterfaceCopy(&select->Interface, interfaceBytes, &status);
            ReplaceInterfaceInfo(extension, copy);
        }
        KeSetEvent(&extension->SelectionLock, IO_NO_INCREMENT, FALSE);
    }

Done:
    if (urb != NULL) DrvFreePool(urb);
    DrvFreePool(descriptor);
    return status;
}
