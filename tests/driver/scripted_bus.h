// A scripted lower driver: a bus driver of the test's own whose physical device
// objects answer exactly what the test tells them, for the cases the emulated
// bus cannot produce (a request that succeeds while its URB carries a USB
// error, a start or a capabilities query failing below, a power request left
// pending, many cameras at once).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "driver_fixture.h"
#include "sim/kernel.h"
#include "sim/usb.h"

namespace drvtest {

struct ScriptedBus {
    // What an internal device-control request (URB, port request) is answered
    // with. The handler fills the URB or port word as it likes and returns the
    // request's status; with Pend set the request is completed from another
    // thread after the dispatch routine returned STATUS_PENDING.
    struct Answer {
        NTSTATUS Status = STATUS_SUCCESS;
        bool Pend = false;
        uint32_t DelayMs = 0;  // a pended request completes this much later
        // The request is left pending in Held until the test completes it
        // (CompleteHeld).
        bool Hold = false;
    };
    std::function<Answer(ULONG ioControlCode, PIO_STACK_LOCATION stack)> OnInternal;
    NTSTATUS StartStatus = STATUS_SUCCESS;         // IRP_MN_START_DEVICE
    NTSTATUS CapabilitiesStatus = STATUS_SUCCESS;  // IRP_MN_QUERY_CAPABILITIES
    // Start and capabilities requests are completed from another thread after
    // the dispatch routine returned STATUS_PENDING.
    bool PendPnp = false;
    bool PendPower = false;            // power requests left pending
    std::vector<PIRP> PendingPower;    // for the test to complete
    std::vector<ULONG> InternalCodes;  // every internal code seen
    std::vector<PIRP> Held;            // requests answered with Hold, in arrival order
    std::mutex Lock;

    PDRIVER_OBJECT Driver = nullptr;
    std::vector<PDEVICE_OBJECT> Pdos;

    // Loads the driver (once per kernel boot) and makes it current.
    void Load();
    // Creates a PDO ("\Device\ScriptPdo-N").
    PDEVICE_OBJECT CreatePdo();
    // Deletes the PDOs and unloads the driver.
    void Unload();
    // Completes the power requests left pending, with STATUS_SUCCESS.
    void CompletePendingPower();
    // Takes irp out of Held and completes it with status, at DISPATCH_LEVEL
    // on a kernel thread of its own; returns when the completion has run.
    void CompleteHeld(PIRP irp, NTSTATUS status);
};

// The scripted bus of the running test.
ScriptedBus &Scripted();

// A camera behind the scripted bus, for the answers the emulated bus never
// gives (a descriptor shorter or longer than asked, an interface record that
// does not fit its URB): Install() makes it the scripted bus's handler. It
// serves descriptor reads from its own bytes, answers selections with made-up
// handles, succeeds every other URB and port request, and records every URB
// it is sent. The hooks bend one answer after the camera has filled it in.
struct ScriptedCamera {
    struct Sent {
        USHORT Function = 0;
        UCHAR DescriptorType = 0;
        ULONG Length = 0;  // TransferBufferLength asked for
        USBD_PIPE_HANDLE PipeHandle = nullptr;
    };
    // A device descriptor, and a configuration with one interface of
    // `endpoints` bulk endpoints (0x01, 0x82, 0x03, 0x84, ...).
    explicit ScriptedCamera(int endpoints = 2) { Describe(endpoints); }
    void Describe(int endpoints);

    std::vector<uint8_t> Device;
    std::vector<uint8_t> Configuration;
    // Called after a descriptor read has been answered; index counts the
    // configuration reads from 0 (device descriptor reads are -1).
    std::function<void(struct _URB_CONTROL_DESCRIPTOR_REQUEST *request, int index)> OnDescriptor;
    // Called after a select-configuration URB has been answered, with its
    // (first) interface record.
    std::function<void(PUSBD_INTERFACE_INFORMATION info)> OnSelectConfiguration;
    // Called last for every URB, after the camera's own answer.
    std::function<void(PURB urb)> OnUrb;
    // The request status bulk and interrupt transfers are answered with.
    NTSTATUS TransferStatus = STATUS_SUCCESS;

    void Install();
    std::vector<Sent> Urbs();
    size_t Count(USHORT function);
    void Clear();

private:
    std::mutex lock_;
    std::vector<Sent> urbs_;
    int configurationReads_ = 0;
};

// Pipe handles the scripted camera gives: 0x100 + pipe index.
inline USBD_PIPE_HANDLE ScriptedPipeHandle(ULONG index) {
    return (USBD_PIPE_HANDLE)(uintptr_t)(0x100 + index);
}

// One pipe of an interface that a test installs as the selected one.
struct ScriptedPipe {
    UCHAR Address;
    USBD_PIPE_TYPE Type;
    USBD_PIPE_HANDLE Handle;
    USHORT MaximumPacketSize = 512;
    UCHAR Interval = 0;
};

// The driver loaded above the scripted bus, with one scripted PDO reported to
// it (AddDevice run) unless the test asks for none: the setting of every test
// that needs a lower driver answering exactly as told. TearDown closes the
// handle, removes every scripted PDO still attached and unloads the bus.
class ScriptedDeviceTest : public DriverTest {
protected:
    explicit ScriptedDeviceTest(bool reportOne = true) : reportOne_(reportOne) {}
    void SetUp() override;
    void TearDown() override;

    // A new scripted PDO reported to the driver.
    PDEVICE_OBJECT AddScripted();
    // Removes every scripted PDO still attached.
    void RemoveAll();
    // Starts the device on a scripted camera whose selection gives these
    // pipes, then opens handle_; the handler the test installed before
    // answers everything after the start.
    void StartWithPipes(const std::vector<ScriptedPipe> &pipes);
    // Replaces the selected interface's pipe table, as a new selection does.
    void ReplacePipes(const std::vector<ScriptedPipe> &pipes);
    DeviceExtension *Ext() { return (DeviceExtension *)fdo_->DeviceExtension; }

    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;  // our device object above pdo_
    sim::ClientHandle handle_ = 0;

private:
    bool reportOne_;
};

}  // namespace drvtest
