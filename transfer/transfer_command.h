// The camera's transfer commands and the timed submission of a single
// transfer's data request, which a framed read follows with command 3.
#pragma once

#include "driver/driver.h"

// The commands the camera takes on pipe 0 around a transfer of data.
#define TRANSFER_COMMAND_BEGIN 2
#define TRANSFER_COMMAND_END 3

// Sends the 64-byte command packet (TRANSFER_COMMAND_BEGIN or _END) on pipe 0
// of the selected interface, bounded as SubmitUrbSync is. On success sets
// Irp->IoStatus.Information to the bytes sent. STATUS_UNSUCCESSFUL when there
// is no interface or pipe 0 has no handle.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendTransferCommand(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Command);

// PASSIVE_LEVEL. Sends Urb down on an IRP of the driver's own, sends transfer
// command 3 right after when SendEndCommand is set, waits at most
// TransferTimeoutMs, then cancels and waits for the IRP's return. Result: the
// wait's STATUS_TIMEOUT or the request's own status when negative, else
// STATUS_UNSUCCESSFUL for a USB error in the URB (stored in LastUsbdStatus),
// else that status. STATUS_INSUFFICIENT_RESOURCES when no IRP can be had.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SubmitUrbWithTimeout(PDEVICE_OBJECT DeviceObject, PURB Urb, PIRP ClientIrp,
                              BOOLEAN SendEndCommand);
