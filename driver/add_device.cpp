// Device object creation, naming and attachment, once per camera.
#include "driver/driver.h"

// Templates whose last character is replaced by the name character N.
static const WCHAR DeviceNameTemplate[] = DRV_WIDE("\\Device\\Tavrinoscope-0");
static const WCHAR LinkNameTemplate[] = DRV_WIDE("\\DosDevices\\Tavrinoscope-0");

#define DEVICE_NAME_CHARS (sizeof(DeviceNameTemplate) / sizeof(WCHAR))  // with NUL
#define LINK_NAME_CHARS (sizeof(LinkNameTemplate) / sizeof(WCHAR))      // with NUL

static_assert(DEVICE_NAME_CHARS == 23, "device name is 22 characters");
static_assert(LINK_NAME_CHARS == 27, "link name is 26 characters");
static_assert(LINK_NAME_CHARS <= USBCAM_LINK_NAME_CHARS, "LinkName holds the link name");

// Copies a name template with its NUL and puts N in its last character.
static VOID FormName(WCHAR *Destination, const WCHAR *Template, ULONG CharsWithNul, WCHAR N) {
    for (ULONG i = 0; i < CharsWithNul; i++) Destination[i] = Template[i];
    Destination[CharsWithNul - 2] = N;
}

// PASSIVE_LEVEL. No lock: IoCreateDevice refuses a device name that exists, so
// two searches running at once never take the same N.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, ULONG AttemptIndex,
                           PDEVICE_OBJECT *DeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    WCHAR deviceNameBuffer[DEVICE_NAME_CHARS];
    WCHAR linkNameBuffer[LINK_NAME_CHARS];
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    PDEVICE_OBJECT device = NULL;
    const WCHAR n = (WCHAR)(0x30 + AttemptIndex);

    *DeviceObject = NULL;
    FormName(deviceNameBuffer, DeviceNameTemplate, DEVICE_NAME_CHARS, n);
    FormName(linkNameBuffer, LinkNameTemplate, LINK_NAME_CHARS, n);
    RtlInitUnicodeString(&deviceName, deviceNameBuffer);

    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DeviceExtension), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;

    PDEVICE_EXTENSION extension = GetDeviceExtension(device);
    for (ULONG i = 0; i < LINK_NAME_CHARS; i++) extension->LinkName[i] = linkNameBuffer[i];
    extension->ConfigurationHandle = NULL;
    extension->InterfaceInfo = NULL;
    extension->Started = 0;
    extension->LinkActive = 0;
    extension->DataRing = NULL;
    extension->DescriptorRing = NULL;
    extension->SegmentTable = NULL;
    extension->SegmentedState = SegmentedIdle;
    KeInitializeEvent(&extension->BulkDoneEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&extension->CompletionLock);
    KeInitializeSpinLock(&extension->InterfaceLock);
    KeInitializeEvent(&extension->SegmentedTransferReleased, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&extension->StreamLock);
    KeInitializeEvent(&extension->StreamEnded, SynchronizationEvent, FALSE);
    KeInitializeEvent(&extension->StreamReadLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&extension->SelectionLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&extension->ListedRequestsLock);
    KeInitializeEvent(&extension->CancelWalkDone, NotificationEvent, FALSE);

    RtlInitUnicodeString(&linkName, extension->LinkName);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    // The link is ours from here on: teardown deletes it whether or not the
    // camera was ever started, so its N becomes free again.
    extension->LinkActive = 1;
    *DeviceObject = device;
    return status;
}

// PASSIVE_LEVEL. Takes the lowest free N; attaches above the bus driver's
// device object. If the attach yields no device object (the target stack is
// going away), the link and the device object are deleted again and the
// camera is refused with STATUS_NO_SUCH_DEVICE: a device object without a
// LowerDeviceObject could serve no request.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    DRV_IRQL_IS(PASSIVE_LEVEL);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    for (ULONG attempt = 0; attempt < USBCAM_NAME_ATTEMPTS; attempt++) {
        status = CreateNamedDevice(DriverObject, attempt, &device);
        if (NT_SUCCESS(status)) break;
    }
    if (!NT_SUCCESS(status)) return status;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_DIRECT_IO;
    device->Flags |= DO_POWER_PAGABLE;

    PDEVICE_EXTENSION extension = GetDeviceExtension(device);
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, extension->LinkName);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    extension->LastUsbdStatus = 0;
    extension->IoCount = 1;
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    return status;
}
