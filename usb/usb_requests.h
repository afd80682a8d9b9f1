// The USB request layer: synchronous URB submission, port requests,
// configuration and interface selection, control and pipe requests.
//
// Every routine here takes the driver's own device object, runs at
// PASSIVE_LEVEL in the calling thread and blocks until the bus driver has
// answered. A USB-level error never travels as its own code: it becomes
// STATUS_UNSUCCESSFUL and is stored in LastUsbdStatus.
#pragma once

#include "driver/driver.h"
#include "usbcam/usbcam_ioctl.h"

// A control transfer's data stage is at most 65535 bytes (its wLength is 16
// bits): longer descriptor and class or vendor requests are asked for this much.
#define USB_MAX_CONTROL_TRANSFER_BYTES 0xFFFF

// ---------------------------------------------------------------------------
// Submission and port (usb/urb_submit.cpp, usb/port.cpp)

// The shortest bound of a request on the default pipe or a transfer command:
// a camera that never answers holds a client's thread, and through the I/O
// gate an orderly removal, this long at most.
#define CONTROL_TIMEOUT_MIN_MS 5000

// Sends Urb down with IOCTL_INTERNAL_USB_SUBMIT_URB and waits at most
// ControlTimeoutRelative(); then cancels it and waits for its return.
// Result: STATUS_IO_TIMEOUT when the request had to be cancelled (and did not
// come back done), its URB's USBD status (USBD_STATUS_CANCELED when the bus
// left none) stored in LastUsbdStatus; else the request's status if
// negative; else STATUS_UNSUCCESSFUL if the URB header's Status is negative;
// and every negative URB Status is stored in LastUsbdStatus; else the
// request's status. STATUS_INSUFFICIENT_RESOURCES if no IRP can be had,
// STATUS_DELETE_PENDING once removal has begun (nothing sent either way). A
// removal that begins while the request is out cancels it at once.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
// The same for the removal's own requests (the pipe aborts): sent while
// removal runs, and not cancelled by it.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbAtRemoval(PDEVICE_OBJECT DeviceObject, PURB Urb);
// TransferTimeoutMs as a relative wait (100 ns units), read once.
LONGLONG TransferTimeoutRelative(VOID);
// The bound of SubmitUrbSync as a relative wait: TransferTimeoutMs, but never
// less than CONTROL_TIMEOUT_MIN_MS (a time-out of 0 or less included).
LONGLONG ControlTimeoutRelative(VOID);

// Completion routine of a request a thread waits for (ForwardAndWait, SendUrb,
// the bus interface query): signals the event passed as its context and halts
// completion, so that the request stays with the waiting thread.
// IRQL <= DISPATCH_LEVEL.
IO_COMPLETION_ROUTINE ForwardAndWaitCompletion;

// A URB on its way to the bus on an IRP of the driver's own, between SendUrb
// and WaitForUrb; it lives on the sending thread's stack. A client's request
// is listed on its device (DeviceExtension.ListedRequests) from before its
// send until WaitForUrb has it back, so that removal can cancel it.
typedef struct UrbInFlight {
    PIRP Irp;       // NULL when none could be had, and once WaitForUrb is done
    NTSTATUS Sent;  // what IoCallDriver returned
    KEVENT Done;    // signalled when the IRP has come back
    PDEVICE_EXTENSION Extension;
    // Under Extension->ListedRequestsLock: the next listed request; whether
    // this one is listed; whether IoCallDriver has returned STATUS_PENDING for
    // it (the removal's walk cancels only such a request: the sender cancels
    // one the walk passed before that); whether the walk has passed it.
    struct UrbInFlight *NextListed;
    BOOLEAN Listed;
    BOOLEAN Pending;
    BOOLEAN Visited;
} UrbInFlight;
// Sends Urb down with IOCTL_INTERNAL_USB_SUBMIT_URB and returns at once.
// STATUS_INSUFFICIENT_RESOURCES when no IRP can be had, STATUS_DELETE_PENDING
// when removal has begun and AtRemoval is FALSE (nothing sent, nothing to
// wait for); else STATUS_SUCCESS, and the caller must call WaitForUrb. A
// request sent with AtRemoval FALSE is listed for the removal's walk.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendUrb(PDEVICE_OBJECT DeviceObject, PURB Urb, BOOLEAN AtRemoval, UrbInFlight *Request);
// Waits at most Timeout (relative, 100 ns units; 0 or more: a poll) for the
// request, then cancels it and waits for its return; takes it off the list
// and frees the IRP. *TimedOut tells whether the wait ran out. Returns the
// request's own final status. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS WaitForUrb(UrbInFlight *Request, LONGLONG Timeout, BOOLEAN *TimedOut);
// Removal, once its gates are closed: cancels every listed request the bus
// holds, so that the client threads waiting for them return at once.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CancelListedRequests(PDEVICE_EXTENSION Extension);

// IOCTL_INTERNAL_USB_RESET_PORT; the request's status. LastUsbdStatus untouched.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);
// IOCTL_INTERNAL_USB_GET_PORT_STATUS; *PortStatus is 0 unless the bus driver
// writes it (bit 0 enabled, bit 1 connected).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);
// Resets the port only when it is connected and not enabled.
_IRQL_requires_(PASSIVE_LEVEL)
VOID RecoverPort(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------
// Bus speed (usb/bus_speed.cpp)

// Asks the bus driver through its USBDI interface whether the camera runs at
// high speed and stores the answer in BusSpeed (USBCAM_BUS_SPEED_UNKNOWN when
// the bus driver does not offer the interface). The PnP manager's thread, once
// per start, after the lower drivers have started the device.
// STATUS_INSUFFICIENT_RESOURCES when the request cannot be allocated (nothing
// asked), else STATUS_SUCCESS.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryBusSpeed(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------
// Configuration (usb/configuration.cpp, usb/interface_selection.cpp)

// Reads the device descriptor and the first configuration, selects it with its
// first interface; keeps ConfigurationHandle and InterfaceInfo.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
// Puts the camera into the unconfigured state; STATUS_SUCCESS unless the URB
// cannot be allocated (STATUS_NO_MEMORY).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS Unconfigure(PDEVICE_OBJECT DeviceObject);
// The whole first configuration descriptor in a pool block the caller frees
// with DrvFreePool, or NULL.
_IRQL_requires_(PASSIVE_LEVEL)
PUSB_CONFIGURATION_DESCRIPTOR GetFullConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber,
                         UCHAR AlternateSetting);

// ---------------------------------------------------------------------------
// Descriptors (usb/descriptors.cpp). Byte counts; 0 on any failure. Nothing is
// sent without a buffer of at least one byte; at most
// USB_MAX_CONTROL_TRANSFER_BYTES are asked for.

_IRQL_requires_(PASSIVE_LEVEL)
ULONG GetDescriptor(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                    UCHAR DescriptorType);
_IRQL_requires_(PASSIVE_LEVEL)
ULONG GetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR DescriptorIndex, USHORT LanguageId,
                          PVOID Buffer, ULONG Length);
// Fills a descriptor request: GET_DESCRIPTOR_FROM_DEVICE, the given buffer,
// length, type, index and language. The URB is cleared first.
VOID BuildDescriptorRequest(PURB Urb, PVOID Buffer, ULONG Length, UCHAR DescriptorType,
                            UCHAR Index, USHORT LanguageId);

// ---------------------------------------------------------------------------
// Vendor and class requests (usb/vendor_class.cpp)

// Buffer holds a whole VendorRequestRecord; a device-to-host request's data
// lands in Buffer from offset 0, so the caller guarantees Buffer holds
// max(10, Length) bytes. Returns the device-to-host byte count, else 0.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG VendorDeviceRequest(PDEVICE_OBJECT DeviceObject, PVOID Buffer);
// Input ControlRequestRecord (exactly 10 bytes), data stage in Irp->MdlAddress
// (OutputBufferLength bytes, of which at most USB_MAX_CONTROL_TRANSFER_BYTES
// are used). On success sets Irp->IoStatus.Information to the bytes moved.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ClassOrVendorRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetDeviceFeature(PDEVICE_OBJECT DeviceObject, const FeatureRecord *Feature);
// The current frame number; 0 on any failure.
_IRQL_requires_(PASSIVE_LEVEL)
ULONG GetCurrentFrameNumber(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------
// Camera memory (usb/device_memory.cpp), vendor request 0xA0

// 64-byte chunks from Data to the device from Address on; Length >= 1.
// Stops at the first failing chunk and returns its status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS LoadDeviceMemory(PDEVICE_OBJECT DeviceObject, USHORT Address, const UCHAR *Data,
                          ULONG Length);
// BlockCount blocks of 512 bytes from device address 0; failures ignored, but
// once removal has begun no further block is sent.
_IRQL_requires_(PASSIVE_LEVEL)
VOID LoadDeviceMemoryBlocks(PDEVICE_OBJECT DeviceObject, const UCHAR *Data, ULONG BlockCount);

// ---------------------------------------------------------------------------
// Pipes (usb/pipes.cpp)

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
// The removal's abort of a pipe (SubmitUrbAtRemoval).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AbortPipeAtRemoval(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipeByIndex(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, const USBD_PIPE_INFORMATION *Pipe);

// The one builder of a bulk or interrupt transfer URB: Urb (room for a
// _URB_BULK_OR_INTERRUPT_TRANSFER) zeroed and filled for Length bytes on
// Pipe, short transfers allowed, device-to-host when DeviceToHost, over
// Buffer (a system address) or Mdl, the other one NULL. Any IRQL.
VOID FillBulkUrb(PURB Urb, const USBD_PIPE_INFORMATION *Pipe, BOOLEAN DeviceToHost, PVOID Buffer,
                 PMDL Mdl, ULONG Length);
