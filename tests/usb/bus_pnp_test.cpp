// The PDO under a function driver: Plug and Play and power requests, URBs
// passed down a real device stack, and the PDO's life across removal.
#include <gtest/gtest.h>

#include "urb_client.h"

using namespace usbtest;
namespace bus = sim::usb;

namespace {

// A pass-through function driver: one device above each PDO; everything goes
// down unchanged, and removal detaches and deletes the device.
struct FdoExtension {
    PDEVICE_OBJECT Lower;
};

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension *x = static_cast<FdoExtension *>(device->DeviceExtension);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(x->Lower, irp);
}

NTSTATUS FdoPower(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension *x = static_cast<FdoExtension *>(device->DeviceExtension);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->Lower, irp);
}

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    FdoExtension *x = static_cast<FdoExtension *>(device->DeviceExtension);
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return PassDown(device, irp);
    PDEVICE_OBJECT lower = x->Lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    FdoExtension *x = static_cast<FdoExtension *>(device->DeviceExtension);
    x->Lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

class BusPnp : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        if (HasFatalFailure()) return;
        NTSTATUS status;
        fdoDriver = sim::LoadDriver("usbtestfdo", FdoEntry, &status);
        ASSERT_NE(nullptr, fdoDriver);
        ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(Pdo, fdoDriver));
        ASSERT_NE(nullptr, Pdo->AttachedDevice);
        top = Pdo->AttachedDevice;
    }
    void TearDown() override {
        if (bus::PortPdo(Port) != nullptr && Pdo->AttachedDevice != nullptr) sim::PnpRemoveDevice(Pdo);
        bus::BusStop();
        if (fdoDriver != nullptr) sim::UnloadDriver(fdoDriver);
        BusTest::TearDown();
    }
    PDRIVER_OBJECT fdoDriver = nullptr;
    PDEVICE_OBJECT top = nullptr;
};

TEST_F(BusPnp, PdoAnswersPnpAndPowerAndServesUrbsThroughTheStack) {
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpStartDevice(Pdo));
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpQueryCapabilities(Pdo, &caps));
    EXPECT_EQ(1u, caps.Removable);
    EXPECT_EQ((ULONG)Port, caps.Address);
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemHibernate]);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(STATUS_SUCCESS, sim::PoSendPowerRequest(Pdo, IRP_MN_SET_POWER, DevicePowerState, d0));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, sim::PoSendPowerRequest(Pdo, IRP_MN_WAIT_WAKE, DevicePowerState, d0));

    // URBs sent to the top of the stack reach the bus through the function driver.
    Selection s = Configure(top);
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpStopDevice(Pdo));
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpStartDevice(Pdo));
}

TEST_F(BusPnp, RemovalOfAPluggedCameraKeepsThePdoForTheNextEnumeration) {
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpStartDevice(Pdo));
    Selection s = Configure(top);
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    // A transfer left queued by the function driver ends with the removal.
    uint8_t frame[512];
    UrbBuffer r = BulkTransfer(s.Pipes[2].PipeHandle, true, frame, sizeof frame);
    AsyncUrb a;
    StartAsync(&a, Pdo, r.Urb());
    ASSERT_TRUE(WaitQueued(0x82, 1));
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpRemoveDevice(Pdo));
    ASSERT_TRUE(WaitAsync(&a, 5000));
    EXPECT_EQ(STATUS_CANCELLED, a.Status);
    FreeAsync(&a);
    EXPECT_EQ(nullptr, Pdo->AttachedDevice);
    EXPECT_EQ(Pdo, bus::PortPdo(Port));  // still plugged: the PDO stays
    EXPECT_EQ(0, bus::GetCameraState(Port).Configuration);

    // Enumerated again, the camera works as before.
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(Pdo, fdoDriver));
    top = Pdo->AttachedDevice;
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpStartDevice(Pdo));
    EXPECT_EQ(STATUS_SUCCESS, Configure(top).Status);

    // Surprise removal through the bus: the stack and the PDO go.
    EXPECT_EQ(STATUS_SUCCESS, bus::SurpriseRemove(Port));
    EXPECT_EQ(nullptr, bus::PortPdo(Port));
    EXPECT_FALSE(sim::DeviceNameExists("\\Device\\USBPDO-0"));
}

}  // namespace
