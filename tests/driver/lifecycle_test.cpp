// Device lifecycle: naming, open and close, the I/O gate, start, stop and
// removal, capabilities and power.
#include <atomic>
#include <chrono>
#include <thread>

#include "driver_fixture.h"
#include "scripted_bus.h"
#include "usb/usb_requests.h"

namespace drvtest {
namespace {

using LifecycleTest = DriverTest;

int DeviceCount(PDRIVER_OBJECT driver) {
    int count = 0;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) count++;
    return count;
}

// Polls cond for up to 10 s (a hang guard, not a timing assertion).
bool WaitFor(const std::function<bool()> &cond) {
    for (int i = 0; i < 10000; i++) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

TEST_F(LifecycleTest, NamesTakeTheLowestFreeCharacterUpTo32Cameras) {
    std::vector<Camera> present;
    for (int i = 0; i < 11; i++) present.push_back(Plug());
    EXPECT_EQ(present[0].Fdo, sim::FindDevice(DeviceName(0).c_str()));
    EXPECT_TRUE(sim::SymbolicLinkExists(LinkName(0).c_str()));
    // The eleventh camera continues with the character after '9'.
    EXPECT_EQ(present[10].Fdo, sim::FindDevice("\\Device\\Tavrinoscope-:"));
    EXPECT_TRUE(sim::SymbolicLinkExists("\\DosDevices\\Tavrinoscope-:"));
    // The link leads a client's open to the camera.
    EXPECT_TRUE(Opens(0));
    EXPECT_TRUE(Opens(10));

    // Removing camera 1 frees its names; the next camera takes N = 1.
    Remove(present[1]);
    EXPECT_FALSE(sim::DeviceNameExists(DeviceName(1).c_str()));
    EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(1).c_str()));
    Camera again = Plug();
    EXPECT_EQ(again.Fdo, sim::FindDevice(DeviceName(1).c_str()));

    // Fill all 32 names; a 33rd camera is refused and leaves nothing behind.
    for (int i = 11; i < 32; i++) Plug();
    EXPECT_EQ(DeviceCount(driver_), 32);
    EXPECT_TRUE(sim::DeviceNameExists("\\Device\\Tavrinoscope-O"));
    sim::usb::PlugResult extra = sim::usb::PlugReferenceCamera();
    ASSERT_EQ(extra.Status, STATUS_SUCCESS);
    EXPECT_LT(sim::PnpReportChild(extra.Pdo, driver_), 0);
    EXPECT_EQ(DeviceCount(driver_), 32);
    EXPECT_EQ(extra.Pdo->AttachedDevice, nullptr);
    EXPECT_FALSE(sim::DeviceNameExists("\\Device\\Tavrinoscope-P"));
    EXPECT_FALSE(sim::SymbolicLinkExists("\\DosDevices\\Tavrinoscope-P"));
}

TEST_F(LifecycleTest, StrayLinkOnNameZeroIsSkippedAndAttachFailureLeavesNothing) {
    ASSERT_EQ(sim::CreateStrayLink(LinkName(0).c_str(), "\\Device\\Elsewhere"), STATUS_SUCCESS);
    Camera first = Plug();
    EXPECT_EQ(first.Fdo, sim::FindDevice(DeviceName(1).c_str()));
    EXPECT_FALSE(sim::DeviceNameExists(DeviceName(0).c_str()));

    // An attach that yields no lower device object: the device object and its
    // link are deleted again and AddDevice fails.
    sim::usb::PlugResult plugged = sim::usb::PlugReferenceCamera();
    ASSERT_EQ(plugged.Status, STATUS_SUCCESS);
    sim::FaultFailNextAttach();
    EXPECT_LT(sim::PnpReportChild(plugged.Pdo, driver_), 0);
    EXPECT_EQ(DeviceCount(driver_), 1);
    EXPECT_FALSE(sim::DeviceNameExists(DeviceName(2).c_str()));
    EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(2).c_str()));
}

TEST_F(LifecycleTest, OpensSucceedOnlyOnceStartedAndStillAfterStop) {
    Camera camera = Plug("", false);
    // The gate's count is read directly: a leaked count shows otherwise only
    // as a removal that never ends.
    EXPECT_EQ(Ext(camera)->IoCount, 1);
    EXPECT_FALSE(Opens());
    EXPECT_NE(camera.Fdo->Flags & DO_DIRECT_IO, 0u);
    EXPECT_NE(camera.Fdo->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(camera.Fdo->Flags & DO_DEVICE_INITIALIZING, 0u);

    sim::ClientHandle handle = 0;
    EXPECT_EQ(sim::ClientOpen(Win32Name(0).c_str(), &handle), STATUS_UNSUCCESSFUL);

    ASSERT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
    sim::ClientHandle first = Open();
    EXPECT_EQ(LastStatus(first), 0);    // a clean start records no USB error
    sim::ClientHandle second = Open();  // handles are not limited
    EXPECT_EQ(Ioctl(first, IOCTL_USBCAM_NOP, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);

    ASSERT_EQ(sim::PnpStopDevice(camera.Pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::GetCameraState(camera.Port).Configuration, 0);
    Open();
    EXPECT_EQ(Ioctl(second, IOCTL_USBCAM_NOP, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(Ext(camera)->IoCount, 1);
}

TEST_F(LifecycleTest, GateRefusesEverythingOnceRemovingIsSetAndKeepsItsCount) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    DeviceExtension *ext = Ext(camera);

    ext->Removing = 1;
    sim::IoResult refused = Ioctl(handle, IOCTL_USBCAM_NOP, nullptr, 0, nullptr, 0);
    EXPECT_EQ(refused.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(refused.Information, 0u);
    EXPECT_EQ(sim::PnpSendMinor(camera.Pdo, IRP_MN_QUERY_ID), STATUS_DELETE_PENDING);
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(ext->IoCount, 1);
    ext->Removing = 0;
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_NOP, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(ext->IoCount, 1);
}

TEST_F(LifecycleTest, RemovalWaitsForARequestInFlightOnAnotherThread) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    sim::usb::SetLatency(camera.Port, 0, 200000);
    sim::usb::WireLogClear();

    std::atomic<NTSTATUS> clientStatus{STATUS_PENDING};
    std::thread client([&] {
        VendorRequestRecord record = {0xA0, 0, 0x0100, 0, 16, 1, 0};
        uint8_t buffer[16] = {};
        memcpy(buffer, &record, sizeof(record));
        clientStatus = Ioctl(handle, IOCTL_USBCAM_VENDOR_REQUEST, buffer, sizeof(record), buffer,
                             sizeof(buffer))
                           .Status;
    });
    ASSERT_TRUE(WaitFor([&] { return sim::usb::QueuedTransfers(camera.Port, 0) > 0; }));
    // The device's own count + the request: nothing a client sees tells it.
    EXPECT_EQ(Ext(camera)->IoCount, 2);

    EXPECT_EQ(Remove(camera), STATUS_SUCCESS);
    // The request's transfer finished before removal returned: the gate held
    // the device object until it left.
    auto wire = ControlWire(camera.Port);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].Request(), 0xA0);
    client.join();
    EXPECT_EQ(clientStatus.load(), STATUS_SUCCESS);
    EXPECT_FALSE(sim::DeviceNameExists(DeviceName(0).c_str()));
    EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(0).c_str()));
}

// A camera removed before it was ever started still gives its N back: the link
// is deleted with the device object, so 33 such removals in a row do not use
// up the 32 names.
TEST_F(LifecycleTest, EveryRemovalFreesTheLinkNameStartedOrNot) {
    sim::usb::PlugResult plugged = sim::usb::PlugReferenceCamera();
    ASSERT_EQ(plugged.Status, STATUS_SUCCESS);
    for (int round = 0; round < USBCAM_NAME_ATTEMPTS + 1; round++) {
        ASSERT_EQ(sim::PnpReportChild(plugged.Pdo, driver_), STATUS_SUCCESS) << round;
        ASSERT_EQ(plugged.Pdo->AttachedDevice, sim::FindDevice(DeviceName(0).c_str())) << round;
        ASSERT_EQ(sim::PnpRemoveDevice(plugged.Pdo), STATUS_SUCCESS);
        ASSERT_FALSE(sim::SymbolicLinkExists(LinkName(0).c_str())) << round;
    }

    // A start that fails in its configuration: the link goes with the device.
    ASSERT_EQ(sim::PnpReportChild(plugged.Pdo, driver_), STATUS_SUCCESS);
    sim::usb::FailNext(plugged.Port, 0, 1, USBD_STATUS_STALL_PID);
    EXPECT_EQ(sim::PnpStartDevice(plugged.Pdo), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::SymbolicLinkExists(LinkName(0).c_str()));
    EXPECT_EQ(sim::PnpRemoveDevice(plugged.Pdo), STATUS_SUCCESS);
    EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(0).c_str()));
    EXPECT_FALSE(sim::DeviceNameExists(DeviceName(0).c_str()));
}

// Removal aborts every pipe of the selected interface, the first and the last
// included: a transfer waiting on any of them comes back cancelled while the
// device object still exists, and only then does removal finish.
TEST_F(LifecycleTest, RemovalCancelsATransferWaitingOnEveryPipe) {
    Camera camera = Plug();
    PUSBD_INTERFACE_INFORMATION info = Ext(camera)->InterfaceInfo;
    ASSERT_NE(info, nullptr);
    const ULONG pipes = info->NumberOfPipes;
    ASSERT_EQ(pipes, 4u);
    std::vector<USBD_PIPE_HANDLE> handles;
    std::vector<UCHAR> endpoints;
    for (ULONG i = 0; i < pipes; i++) {
        handles.push_back(info->Pipes[i].PipeHandle);
        endpoints.push_back(info->Pipes[i].EndpointAddress);
        sim::usb::SetNeverAnswer(camera.Port, endpoints[i], true);
    }

    // One thread per pipe, each inside the gate as a client request would be.
    std::vector<std::atomic<NTSTATUS>> results(pipes);
    std::vector<std::thread> transfers;
    for (ULONG i = 0; i < pipes; i++) {
        results[i] = STATUS_PENDING;
        transfers.emplace_back([&, i] {
            AtPassive(driver_, [&] {
                ASSERT_TRUE(AcquireIo(camera.Fdo));
                std::vector<uint8_t> data(64);
                URB urb = {};
                auto &bulk = urb.UrbBulkOrInterruptTransfer;
                bulk.Hdr.Length = sizeof(bulk);
                bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
                bulk.PipeHandle = handles[i];
                bulk.TransferFlags = USBD_SHORT_TRANSFER_OK;
                if (USB_ENDPOINT_DIRECTION_IN(endpoints[i])) {
                    bulk.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
                }
                bulk.TransferBuffer = data.data();
                bulk.TransferBufferLength = (ULONG)data.size();
                results[i] = SubmitUrbSync(camera.Fdo, &urb);
                ReleaseIo(camera.Fdo);
            });
        });
    }
    for (ULONG i = 0; i < pipes; i++) {
        ASSERT_TRUE(WaitFor([&] { return sim::usb::QueuedTransfers(camera.Port, endpoints[i]) > 0; }))
            << i;
    }

    std::atomic<bool> removed{false};
    std::thread removal([&] {
        Remove(camera);
        removed = true;
    });
    const bool ended = WaitFor([&] {
        for (ULONG i = 0; i < pipes; i++) {
            if (results[i] == STATUS_PENDING) return false;
        }
        return true;
    });
    if (!ended) {
        // Removal left a transfer waiting: end it here so that the test ends.
        for (ULONG i = 0; i < pipes; i++) {
            if (results[i] != STATUS_PENDING) continue;
            ADD_FAILURE() << "removal left the transfer on pipe " << i << " waiting";
            AtPassive(driver_, [&] { AbortPipe(camera.Fdo, handles[i]); });
        }
    }
    for (auto &t : transfers) t.join();
    removal.join();
    for (ULONG i = 0; i < pipes; i++) EXPECT_EQ(results[i].load(), STATUS_CANCELLED) << i;
    EXPECT_TRUE(removed);
    EXPECT_FALSE(sim::DeviceNameExists(DeviceName(0).c_str()));
}

TEST_F(LifecycleTest, StartFailingInConfigurationThenSucceeding) {
    sim::usb::PlugResult plugged = sim::usb::PlugReferenceCamera();
    ASSERT_EQ(plugged.Status, STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpReportChild(plugged.Pdo, driver_), STATUS_SUCCESS);
    Camera camera;
    camera.Port = plugged.Port;
    camera.Pdo = plugged.Pdo;
    camera.Fdo = plugged.Pdo->AttachedDevice;
    cameras_.push_back(camera);

    // The device descriptor read stalls: the start fails with the
    // configuration's status and nothing is kept.
    sim::usb::FailNext(camera.Port, 0, 1, USBD_STATUS_STALL_PID);
    EXPECT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::SymbolicLinkExists(LinkName(0).c_str()));
    EXPECT_EQ(OurBlocks(), 0);  // no pipe table kept
    sim::ClientHandle handle = 0;
    EXPECT_EQ(sim::ClientOpen(Win32Name(0).c_str(), &handle), STATUS_UNSUCCESSFUL);

    EXPECT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
    handle = Open();
    EXPECT_EQ(SelectedInterface(handle).NumberOfPipes, 4u);
    // The failed start's USB error was recorded, and a later success keeps it.
    EXPECT_EQ(LastStatus(handle), USBD_STATUS_STALL_PID);
}

TEST_F(LifecycleTest, StopThenStartConfiguresFromScratch) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    InterfaceSelection alt1 = {0, 1};
    Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &alt1, sizeof(alt1), nullptr, 0);
    ASSERT_EQ(SelectedInterface(handle).AlternateSetting, 1);

    sim::usb::WireLogClear();
    ASSERT_EQ(sim::PnpStopDevice(camera.Pdo), STATUS_SUCCESS);
    auto stopWire = ControlWire(camera.Port);
    ASSERT_EQ(stopWire.size(), 1u);
    EXPECT_EQ(stopWire[0].RequestType(), 0x00);
    EXPECT_EQ(stopWire[0].Request(), USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(stopWire[0].Value(), 0);
    // The selection survives the stop until the next start.
    EXPECT_EQ(SelectedInterface(handle).AlternateSetting, 1);

    sim::usb::WireLogClear();
    ASSERT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
    auto startWire = ControlWire(camera.Port);
    ASSERT_EQ(startWire.size(), 4u);
    EXPECT_EQ(startWire[0].Value(), 0x0100);
    EXPECT_EQ(startWire[1].Value(), 0x0200);
    EXPECT_EQ(startWire[2].Value(), 0x0200);
    EXPECT_EQ(startWire[3].Request(), USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(startWire[3].Value(), 1);
    EXPECT_EQ(SelectedInterface(handle).AlternateSetting, 0);
    // Exactly one interface copy is alive: the earlier ones were freed.
    EXPECT_EQ(OurBlocks(), 1);
    // The new configuration handle serves a selection.
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &alt1, sizeof(alt1), nullptr, 0).Status,
              STATUS_SUCCESS);
}

// Cases that need a lower driver answering exactly as told.
class ScriptedLifecycleTest : public ScriptedDeviceTest {
protected:
    ScriptedLifecycleTest() : ScriptedDeviceTest(false) {}
};

TEST_F(ScriptedLifecycleTest, LowerStartFailureConfiguresNothing) {
    PDEVICE_OBJECT pdo = AddScripted();
    // Failed inline, then failed from another thread after pending: either
    // way the lower drivers' status completes the start and nothing is sent.
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "pended" : "inline");
        Scripted().PendPnp = pend;
        Scripted().StartStatus = STATUS_INSUFFICIENT_RESOURCES;
        EXPECT_EQ(sim::PnpStartDevice(pdo), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(Opens());
        EXPECT_TRUE(Scripted().InternalCodes.empty());
        // A leaked gate count shows otherwise only as a removal that never ends.
        EXPECT_EQ(((DeviceExtension *)pdo->AttachedDevice->DeviceExtension)->IoCount, 1);
    }
    // The link was created by AddDevice and goes with the device object.
    EXPECT_TRUE(sim::SymbolicLinkExists(LinkName(0).c_str()));
    EXPECT_EQ(sim::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(0).c_str()));
}

TEST_F(ScriptedLifecycleTest, PendedStartIsConfiguredOnceTheLowerDriversFinish) {
    ScriptedCamera camera;
    camera.Install();
    PDEVICE_OBJECT pdo = AddScripted();
    Scripted().PendPnp = true;
    EXPECT_EQ(sim::PnpStartDevice(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(Opens());
    EXPECT_EQ(camera.Count(URB_FUNCTION_SELECT_CONFIGURATION), 1u);
    EXPECT_EQ(sim::PnpRemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(ScriptedLifecycleTest, CapabilitiesGetSurpriseRemovalOnlyFromVersionOneOnSuccess) {
    PDEVICE_OBJECT pdo = AddScripted();
    DEVICE_CAPABILITIES caps = {};
    caps.Size = sizeof(caps);
    caps.Version = 0;
    EXPECT_EQ(sim::PnpQueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);

    caps.Version = 1;
    EXPECT_EQ(sim::PnpQueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);

    DEVICE_CAPABILITIES failing = {};
    failing.Size = sizeof(failing);
    failing.Version = 1;
    Scripted().CapabilitiesStatus = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(sim::PnpQueryCapabilities(pdo, &failing), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(failing.SurpriseRemovalOK, 0u);
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(((DeviceExtension *)pdo->AttachedDevice->DeviceExtension)->IoCount, 1);

    // The same answers, given after the lower driver pended the request: the
    // driver acts on the final status, not on STATUS_PENDING.
    Scripted().PendPnp = true;
    DEVICE_CAPABILITIES pended = {};
    pended.Size = sizeof(pended);
    pended.Version = 1;
    EXPECT_EQ(sim::PnpQueryCapabilities(pdo, &pended), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pended.SurpriseRemovalOK, 0u);
    Scripted().CapabilitiesStatus = STATUS_SUCCESS;
    EXPECT_EQ(sim::PnpQueryCapabilities(pdo, &pended), STATUS_SUCCESS);
    EXPECT_EQ(pended.SurpriseRemovalOK, 1u);
    Scripted().PendPnp = false;

    // A query that carries no DEVICE_CAPABILITIES at all is passed down
    // untouched: the lower driver's answer comes back.
    Scripted().CapabilitiesStatus = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(sim::PnpSendMinor(pdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(((DeviceExtension *)pdo->AttachedDevice->DeviceExtension)->IoCount, 1);
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(ScriptedLifecycleTest, PowerRequestsPassDownAndAPendingOneStaysPending) {
    PDEVICE_OBJECT pdo = AddScripted();
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(sim::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);

    // A lower driver that leaves the request pending: the driver returns
    // STATUS_PENDING and the request finishes when the lower driver completes it.
    Scripted().PendPower = true;
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    KEVENT done;
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_SUCCESS;
    AtPassive(driver_, [&] {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp = IoAllocateIrp(fdo->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = d0;
        IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
        returned = PoCallDriver(fdo, irp);
    });
    EXPECT_EQ(returned, STATUS_PENDING);
    ASSERT_EQ(Scripted().PendingPower.size(), 1u);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    Scripted().CompletePendingPower();
    AtPassive(driver_, [&] {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        IoFreeIrp(irp);
    });
}

}  // namespace
}  // namespace drvtest
