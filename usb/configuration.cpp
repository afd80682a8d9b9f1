// Start-time configuration and the stop-time unconfiguration of the camera.
#include "usb/interface_snapshot.h"
#include "usb/usb_requests.h"

// Pipe transfer sizes written into the select-configuration URB.
#define START_TRANSFER_SIZE_PIPE2 0x3FFFFF
#define START_TRANSFER_SIZE_OTHERS 1024
// Extra room asked for beyond wTotalLength when reading the whole descriptor.
#define CONFIGURATION_READ_SLACK 16
// wTotalLength occupies bytes 2 and 3 of a configuration descriptor.
#define CONFIGURATION_TOTAL_LENGTH_END 4

static USHORT TotalLengthOf(const UCHAR *ConfigurationDescriptor) {
    return (USHORT)(ConfigurationDescriptor[2] | (ConfigurationDescriptor[3] << 8));
}

// PASSIVE_LEVEL, the PnP manager's thread. Every URB and buffer is freed before
// returning; only ConfigurationHandle and InterfaceInfo outlive the call.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = NULL;
    PUCHAR deviceDescriptor = NULL;
    PUCHAR header = NULL;
    PUCHAR configuration = NULL;
    NTSTATUS status;

    urb = (PURB)DrvAllocatePool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    deviceDescriptor = (PUCHAR)DrvAllocatePool(sizeof(USB_DEVICE_DESCRIPTOR));
    if (urb == NULL || deviceDescriptor == NULL) {
        status = STATUS_NO_MEMORY;
        goto Done;
    }
    BuildDescriptorRequest(urb, deviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR),
                           USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
    status = SubmitUrbSync(DeviceObject, urb);
    if (!NT_SUCCESS(status)) goto Done;

    header = (PUCHAR)DrvAllocatePool(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    if (header == NULL) {
        status = STATUS_NO_MEMORY;
        goto Done;
    }
    BuildDescriptorRequest(urb, header, sizeof(USB_CONFIGURATION_DESCRIPTOR),
                           USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0);
    status = SubmitUrbSync(DeviceObject, urb);
    if (!NT_SUCCESS(status)) goto Done;
    // A header that stops before wTotalLength leaves nothing to size the read by.
    if (urb->UrbControlDescriptorRequest.TransferBufferLength < CONFIGURATION_TOTAL_LENGTH_END) {
        status = STATUS_UNSUCCESSFUL;
        goto Done;
    }

    {
        // The slack, but never past what one control transfer can carry: a
        // configuration of nearly 64 KiB is still read whole.
        ULONG size = (ULONG)TotalLengthOf(header) + CONFIGURATION_READ_SLACK;
        if (size > USB_MAX_CONTROL_TRANSFER_BYTES) size = USB_MAX_CONTROL_TRANSFER_BYTES;
        configuration = (PUCHAR)DrvAllocatePool(size);
        if (configuration == NULL) {
            status = STATUS_NO_MEMORY;
            goto Done;
        }
        RtlZeroMemory(configuration, size);
        BuildDescriptorRequest(urb, configuration, size, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0);
        status = SubmitUrbSync(DeviceObject, urb);
        if (!NT_SUCCESS(status)) goto Done;
        // The parser walks wTotalLength bytes: they must all have arrived.
        const ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (received < sizeof(USB_CONFIGURATION_DESCRIPTOR) || received > size ||
            TotalLengthOf(configuration) < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            TotalLengthOf(configuration) > received) {
            status = STATUS_UNSUCCESSFUL;
            goto Done;
        }
    }

    status = SelectConfiguration(DeviceObject, (PUSB_CONFIGURATION_DESCRIPTOR)configuration);

Done:
    if (configuration != NULL) DrvFreePool(configuration);
    if (header != NULL) DrvFreePool(header);
    if (deviceDescriptor != NULL) DrvFreePool(deviceDescriptor);
    if (urb != NULL) DrvFreePool(urb);
    return status;
}

// PASSIVE_LEVEL. A failed selection leaves ConfigurationHandle and
// InterfaceInfo as they were. Client selections wait for it (SelectionLock).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_EXTENSION extension = GetDeviceExtension(DeviceObject);
    USBD_INTERFACE_LIST_ENTRY interfaceList[2];

    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
    if (interfaceDescriptor == NULL) return STATUS_UNSUCCESSFUL;

    interfaceList[0].InterfaceDescriptor = interfaceDescriptor;
    interfaceList[0].Interface = NULL;
    interfaceList[1].InterfaceDescriptor = NULL;
    interfaceList[1].Interface = NULL;

    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaceList);
    if (urb == NULL) return STATUS_NO_MEMORY;

    PUSBD_INTERFACE_INFORMATION urbInterface = interfaceList[0].Interface;
    const ULONG pipeCount = interfaceDescriptor->bNumEndpoints;
    for (ULONG i = 0; i < pipeCount; i++) {
        urbInterface->Pipes[i].MaximumTransferSize =
            (i == 2) ? START_TRANSFER_SIZE_PIPE2 : START_TRANSFER_SIZE_OTHERS;
    }

    KeWaitForSingleObject(&extension->SelectionLock, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
        // A client's interface selection may read the handle meanwhile (a
        // start after a stop): one pointer store.
        WritePointerNoFence(&extension->ConfigurationHandle,
                            urb->UrbSelectConfiguration.ConfigurationHandle);
        // The URB holds room for the interface and max(1, endpoints) pipes.
        const ULONG room = (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                           (pipeCount == 0 ? 1 : pipeCount) * sizeof(USBD_PIPE_INFORMATION);
        NTSTATUS copyStatus;
        PUSBD_INTERFACE_INFORMATION copy = CreateInterfaceCopy(urbInterface, room, &copyStatus);
        ReplaceInterfaceInfo(extension, copy);
        status = copyStatus;
    }
    KeSetEvent(&extension->SelectionLock, IO_NO_INCREMENT, FALSE);
    ExFreePool(urb);
    return status;
}

// PASSIVE_LEVEL, the PnP manager's thread. The bus driver's answer is not
// looked at; ConfigurationHandle and InterfaceInfo stay.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS Unconfigure(PDEVICE_OBJECT DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PURB urb = (PURB)DrvAllocatePool(sizeof(struct _URB_SELECT_CONFIGURATION));
    if (urb == NULL) return STATUS_NO_MEMORY;

    RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
    urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    (VOID) SubmitUrbSync(DeviceObject, urb);
    DrvFreePool(urb);
    return STATUS_SUCCESS;
}
