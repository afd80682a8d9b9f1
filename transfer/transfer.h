// The transfer engines, reached from the device-control dispatcher.
//
// Each takes the driver's own device object and the client request, runs at
// PASSIVE_LEVEL in the client's thread and returns the NTSTATUS the dispatcher
// makes the request's status. None completes the request. The dispatcher has
// already checked that the input holds the engine's whole record (PipeIndex
// for the pipe transfers, IsoReadRecord or StreamStartRecord), and has set the
// request's byte count to 0.
//
// The pipe table may be replaced by interface selection at any time: an engine
// takes it with AcquireInterfaceInfo (usb/interface_snapshot.h) and gives it
// back with ReleaseInterfaceInfo only when none of its requests refers to a
// pipe entry any more (a stream: when its last slot has stopped; the release
// may run at DISPATCH_LEVEL in a completion routine).
#pragma once

#include "driver/driver.h"

// IOCTL_USBCAM_READ_PIPE, IOCTL_USBCAM_WRITE_PIPE: one timed bulk or
// interrupt transfer, framed by the begin and end transfer commands when it reads
// device-to-host pipe 2. Sets the request's byte count: the bytes moved on
// success and on STATUS_IO_TIMEOUT (a cancelled request that carried no USB
// error); otherwise what the commands left.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS TriggeredTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IOCTL_USBCAM_READ_PIPE_LARGE, IOCTL_USBCAM_WRITE_PIPE_LARGE: 64 KiB
// segments all in flight at once. STATUS_SUCCESS with the bytes moved only
// when every segment succeeded; otherwise the first failure,
// STATUS_IO_TIMEOUT, or STATUS_DEVICE_BUSY when another segmented transfer
// held the device for a whole time-out period (nothing sent). Length 0:
// success, nothing sent.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SegmentedBulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IOCTL_USBCAM_ISO_READ, IOCTL_USBCAM_ISO_WRITE: a fixed number of
// isochronous packets. The dispatcher reports byte count 0.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS IsoBlockRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IOCTL_USBCAM_START_STREAM: starts the continuous stream and returns at
// once. The dispatcher reports byte count 0.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartStream(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IOCTL_USBCAM_STOP_STREAM: asks every slot to stop when its next request,
// completed, has been appended in its turn; always STATUS_SUCCESS, waits for
// nothing.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StopStream(PDEVICE_OBJECT DeviceObject);

// ABORT_PIPE (transfer/iso_job.cpp): every running isochronous job on
// PipeHandle is marked aborted and sends nothing more; returns once the sends
// that looked at the mark before it was set have reached the bus, so that the
// abort request sent after it cancels every request of those jobs.
_IRQL_requires_(PASSIVE_LEVEL)
VOID IsoAbortJobsOnPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
// IOCTL_USBCAM_READ_STREAM: drains whole packets from the stream's rings into
// the data buffer. The dispatcher has checked the input length (20) and the
// output length (PacketCount * (PacketSize + 12)); ReadStream refuses, in this
// order, absent rings (STATUS_UNSUCCESSFUL) and a PacketSize or PacketCount of
// 0 (STATUS_INVALID_PARAMETER), before it divides or maps anything. Sets the
// request's byte count.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReadStream(PDEVICE_OBJECT DeviceObject, PIRP Irp);
