// A small test client of the emulated bus: builds URBs and sends them to a
// camera's PDO the way a function driver does, synchronously through
// IoBuildDeviceIoControlRequest or asynchronously with an IRP of its own, and
// a fixture that boots the kernel, starts the bus and plugs the reference
// camera.
#pragma once

#include <stdint.h>

#include <vector>

#include "kernel_test.h"
#include "sim/usb.h"
#include "sim/usbbus.h"

namespace usbtest {

// Sends an internal device-control request built with
// IoBuildDeviceIoControlRequest, Argument1 in its stack location, and waits for
// it (no time limit beyond the kernel's hang guard): the port requests
// (IOCTL_INTERNAL_USB_RESET_PORT / _GET_PORT_STATUS) and, through SubmitSync,
// one URB.
NTSTATUS PortRequest(PDEVICE_OBJECT target, ULONG code, PVOID argument1);
NTSTATUS SubmitSync(PDEVICE_OBJECT target, PURB urb);

// One URB in flight on an IRP of the test's own, for cancellation and abort.
struct AsyncUrb {
    PIRP Irp = nullptr;
    KEVENT Done;
    NTSTATUS Status = STATUS_PENDING;
    NTSTATUS Returned = STATUS_PENDING;  // what IofCallDriver returned
    uint64_t Order = 0;                  // completion order among AsyncUrbs
};
void StartAsync(AsyncUrb *a, PDEVICE_OBJECT target, PURB urb);
// The same for any internal device-control request (a port request).
void StartAsyncRequest(AsyncUrb *a, PDEVICE_OBJECT target, ULONG code, PVOID argument1);
// Waits up to ms for completion; true when it completed.
bool WaitAsync(AsyncUrb *a, int ms);
// Frees the IRP; call only after the URB completed.
void FreeAsync(AsyncUrb *a);

// URB builders (host memory; the bus does not care where URBs live).
struct UrbBuffer {
    std::vector<uint8_t> Bytes;
    PURB Urb() { return reinterpret_cast<PURB>(Bytes.data()); }
};
UrbBuffer DescriptorRequest(uint8_t type, uint8_t index, uint16_t language, void *buffer, ULONG length,
                            USHORT function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
UrbBuffer VendorClassRequest(USHORT function, bool in, uint8_t request, uint16_t value, uint16_t index,
                             void *buffer, ULONG length);
UrbBuffer FeatureRequest(USHORT function, uint16_t selector, uint16_t index);
UrbBuffer PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USHORT length = 40);
UrbBuffer BulkTransfer(USBD_PIPE_HANDLE pipe, bool in, void *buffer, ULONG length, PMDL mdl = nullptr);
UrbBuffer IsoTransfer(USBD_PIPE_HANDLE pipe, bool in, void *buffer, ULONG packets, ULONG packetSize,
                      bool asap = true, ULONG startFrame = 0);
UrbBuffer FrameNumberRequest();

// The reference camera's interface 0 after a selection.
struct Selection {
    NTSTATUS Status;
    USBD_CONFIGURATION_HANDLE Configuration;
    std::vector<USBD_PIPE_INFORMATION> Pipes;
    USBD_INTERFACE_INFORMATION Interface;  // header fields only
};
// Reads the configuration descriptor and selects configuration 1 with
// interface 0 alternate setting 0 through the USBD library.
Selection Configure(PDEVICE_OBJECT pdo, ULONG maxTransfer = 0x3FFFFF);
// Selects an alternate setting of interface 0.
Selection SelectAlternate(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE config, uint8_t alternate,
                          uint8_t pipes, ULONG maxTransfer = 0xFFFF);

// Boots the kernel, starts the bus and plugs the reference camera; TearDown
// stops the bus (the kernel fixture then reports leaks and violations).
class BusTest : public sim::test::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Polls until n transfers are queued at the endpoint (hang guard 5 s).
    bool WaitQueued(int endpoint, uint32_t n);
    int Port = 0;
    PDEVICE_OBJECT Pdo = nullptr;
};

}  // namespace usbtest
