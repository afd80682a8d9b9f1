// The client library's typed calls against the reference camera, with the
// driver running in the emulated machine; and the machine's own life cycle
// (several cameras, removal under an open handle, re-enumeration, tracing).
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/usbbus.h"
#include "support/kernel_test.h"
#include "usbcam/camera.h"
#include "usbcam/emulated_machine.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace {

const uint32_t kSuccess = 0x00000000u;
const uint32_t kDeletePending = 0xC0000056u;
const uint32_t kNameNotFound = 0xC0000034u;

std::string Describe(const std::vector<sim::Violation> &violations) {
    std::string text;
    for (const sim::Violation &v : violations) text += v.Rule + " at " + v.Site + ": " + v.Detail + "\n";
    return text;
}

uint16_t Le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_EQ(static_cast<uint32_t>(machine_.Start(options_, &error)), kSuccess) << error;
    }

    void TearDown() override {
        camera_.reset();
        other_.reset();
        const std::vector<sim::Violation> violations = machine_.Shutdown();
        EXPECT_TRUE(violations.empty()) << Describe(violations);
    }

    int Plug() {
        int port = 0;
        std::string error;
        EXPECT_EQ(static_cast<uint32_t>(machine_.PlugCamera("", true, &port, &error)), kSuccess)
            << error;
        return port;
    }

    void Open(unsigned index, std::unique_ptr<Camera> *camera) {
        const uint32_t status = Camera::Open(index, camera);
        ASSERT_EQ(status, kSuccess) << FormatNtStatus(status);
    }

    MachineOptions options_;
    EmulatedMachine machine_;
    std::unique_ptr<Camera> camera_;
    std::unique_ptr<Camera> other_;
};

TEST_F(MachineTest, TypedCallsReadTheReferenceCamerasIdentity) {
    Plug();
    Open(0, &camera_);

    VersionRecord version;
    IoOutcome outcome = camera_->GetVersion(&version);
    EXPECT_EQ(outcome.Status, kSuccess);
    EXPECT_EQ(outcome.Information, 6u);
    EXPECT_EQ(version.VersionValue, USBCAM_DRIVER_VERSION);

    uint8_t device[18] = {};
    outcome = camera_->GetDeviceDescriptor(device, sizeof device);
    ASSERT_EQ(outcome.Status, kSuccess) << DescribeOutcome(outcome);
    ASSERT_EQ(outcome.Information, 18u);
    EXPECT_EQ(device[0], 18);
    EXPECT_EQ(device[1], 1);
    EXPECT_EQ(Le16(device + 8), 0x1209);   // idVendor
    EXPECT_EQ(Le16(device + 10), 0x0001);  // idProduct

    // The configuration header tells the whole length; a second read gets it all.
    uint8_t header[9] = {};
    outcome = camera_->GetConfigDescriptor(header, sizeof header);
    ASSERT_EQ(outcome.Information, 9u) << DescribeOutcome(outcome);
    const uint16_t total = Le16(header + 2);
    std::vector<uint8_t> config(total);
    outcome = camera_->GetConfigDescriptor(config.data(), total);
    EXPECT_EQ(outcome.Information, total);
    EXPECT_EQ(config[1], 2);

    // Product string: "Tavrinoscope" in UTF-16LE after the 2-byte header.
    uint8_t text[64] = {};
    outcome = camera_->GetStringDescriptor(device[15], 0x0409, text, sizeof text);
    ASSERT_EQ(outcome.Status, kSuccess) << DescribeOutcome(outcome);
    std::string product;
    for (size_t i = 2; i + 1 < outcome.Information; i += 2) product.push_back(static_cast<char>(text[i]));
    EXPECT_EQ(product, "Tavrinoscope");

    // The started camera has interface 0, setting 0 selected: four pipes.
    uint8_t info[24 + 24 * 8] = {};
    outcome = camera_->GetInterfaceInfo(info, sizeof info);
    ASSERT_EQ(outcome.Status, kSuccess);
    ASSERT_EQ(outcome.Information, 24u + 24u * 4u);
    EXPECT_EQ(Le32(info + 16), 4u);  // NumberOfPipes
    const uint8_t endpoints[4] = {0x01, 0x81, 0x82, 0x83};
    for (int pipe = 0; pipe < 4; ++pipe) EXPECT_EQ(info[24 + 24 * pipe + 2], endpoints[pipe]) << pipe;

    uint32_t frame = 0;
    EXPECT_EQ(camera_->GetFrameNumber(&frame).Status, kSuccess);
    EXPECT_EQ(camera_->Nop().Status, kSuccess);
}

TEST_F(MachineTest, TypedCallsLoadAndReadBackDeviceMemory) {
    const int port = Plug();
    Open(0, &camera_);

    const uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(camera_->LoadMemory(0x2000, data, sizeof data).Status, kSuccess);
    sim::usb::CameraState state = sim::usb::GetCameraState(port);
    ASSERT_GE(state.Memory.size(), 0x2004u);
    EXPECT_EQ(0, memcmp(&state.Memory[0x2000], data, sizeof data));

    // Read back through a vendor request (0xA0, device to host) ...
    VendorRequestRecord read;
    memset(&read, 0, sizeof read);
    read.Request = 0xA0;
    read.Value = 0x2000;
    read.Length = 4;
    read.Direction = 1;
    uint8_t back[4] = {};
    IoOutcome outcome = camera_->VendorRequest(read, back, sizeof back);
    EXPECT_EQ(outcome.Status, kSuccess);
    EXPECT_EQ(outcome.Information, 4u);
    EXPECT_EQ(0, memcmp(back, data, sizeof data));

    // ... and through a vendor control request to the device.
    ControlRequestRecord control;
    memset(&control, 0, sizeof control);
    control.Direction = 1;
    control.Type = 2;
    control.Request = 0xA0;
    control.Value = 0x2000;
    uint8_t again[4] = {};
    outcome = camera_->ControlRequest(control, again, sizeof again);
    EXPECT_EQ(outcome.Status, kSuccess) << DescribeOutcome(outcome);
    EXPECT_EQ(0, memcmp(again, data, sizeof data));

    // Whole 512-byte blocks from address 0; the partial block stays unsent.
    std::vector<uint8_t> blocks(600);
    for (size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<uint8_t>(i * 7 + 1);
    EXPECT_EQ(camera_->LoadMemoryBlocks(blocks.data(), static_cast<uint32_t>(blocks.size())).Status,
              kSuccess);
    state = sim::usb::GetCameraState(port);
    EXPECT_EQ(0, memcmp(state.Memory.data(), blocks.data(), 512));
    EXPECT_NE(0, memcmp(state.Memory.data() + 512, blocks.data() + 512, 88));

    // A host-to-device vendor request writes its one data byte.
    VendorRequestRecord write = read;
    write.Value = 0x3000;
    write.Length = 1;
    write.Direction = 0;
    write.Data = 0x5A;
    EXPECT_EQ(camera_->VendorRequest(write, nullptr, 0).Status, kSuccess);
    EXPECT_EQ(sim::usb::GetCameraState(port).Memory[0x3000], 0x5A);
}

TEST_F(MachineTest, TypedCallsManageInterfacePipesAndTimeouts) {
    const int port = Plug();
    Open(0, &camera_);
    uint8_t info[24 + 24 * 8] = {};

    EXPECT_EQ(camera_->SelectInterface(0, 2).Status, kSuccess);
    EXPECT_EQ(camera_->GetInterfaceInfo(info, sizeof info).Information, 24u);  // no endpoints
    EXPECT_EQ(sim::usb::GetCameraState(port).AltSetting.at(0), 2);
    EXPECT_EQ(camera_->SelectInterface(0, 1).Status, kSuccess);
    EXPECT_EQ(camera_->GetInterfaceInfo(info, sizeof info).Information, 24u + 24u * 4u);
    EXPECT_EQ(camera_->SelectInterface(0, 0).Status, kSuccess);

    EXPECT_EQ(camera_->ResetPipe(1).Status, kSuccess);
    EXPECT_EQ(camera_->AbortPipe(3).Status, kSuccess);
    const uint32_t resets = sim::usb::PortResetCount(port);
    EXPECT_EQ(camera_->ResetPort().Status, kSuccess);
    EXPECT_GT(sim::usb::PortResetCount(port), resets);
    EXPECT_EQ(camera_->SetTimeout(500).Status, kSuccess);
    EXPECT_EQ(camera_->StopStream().Status, kSuccess);

    // Set feature 1 (remote wake-up) reaches the device, whatever status it reports.
    EXPECT_FALSE(sim::usb::GetCameraState(port).RemoteWakeup);
    camera_->SetFeature(1, 0);
    EXPECT_TRUE(sim::usb::GetCameraState(port).RemoteWakeup);

    // A stalled control pipe: the failure's USB cause is what GET_LAST_STATUS reports.
    sim::usb::SetStall(port, 0, true);
    uint8_t device[18];
    EXPECT_EQ(camera_->GetDeviceDescriptor(device, sizeof device).Information, 0u);
    int32_t usbd = 0;
    EXPECT_EQ(camera_->GetLastStatus(&usbd).Status, kSuccess);
    EXPECT_EQ(static_cast<uint32_t>(usbd), 0xC0000004u) << FormatUsbdStatus(static_cast<uint32_t>(usbd));
    sim::usb::SetStall(port, 0, false);
}

TEST_F(MachineTest, CamerasGetTheirOwnNamesAndRemovalRefusesTheOpenHandle) {
    const int first = Plug();
    const int second = Plug();
    ASSERT_NE(first, second);
    EXPECT_EQ(machine_.Camera(first)->DeviceIndex, 0);
    EXPECT_EQ(machine_.Camera(second)->DeviceIndex, 1);
    EXPECT_EQ(machine_.PortOfDevice(1), second);
    Open(0, &camera_);
    Open(1, &other_);

    // Removal while a handle is open: the handle's requests are refused, the name is gone.
    EXPECT_EQ(static_cast<uint32_t>(machine_.RemoveCamera(first)), kSuccess);
    EXPECT_EQ(machine_.Camera(first)->Stage, CameraStage::Removed);
    EXPECT_EQ(camera_->Nop().Status, kDeletePending);
    std::unique_ptr<Camera> none;
    EXPECT_EQ(Camera::Open(0, &none), kNameNotFound);
    EXPECT_EQ(machine_.StopCamera(first), static_cast<NTSTATUS>(0xC0000184L));
    camera_.reset();

    // The other camera is untouched.
    VersionRecord version;
    EXPECT_EQ(other_->GetVersion(&version).Status, kSuccess);

    // Starting the removed camera enumerates it again, under the free name.
    EXPECT_EQ(static_cast<uint32_t>(machine_.StartCamera(first)), kSuccess);
    EXPECT_EQ(machine_.Camera(first)->DeviceIndex, 0);
    Open(0, &camera_);
    EXPECT_EQ(camera_->Nop().Status, kSuccess);

    // Pulling the second camera out takes it away for good.
    other_.reset();
    EXPECT_EQ(static_cast<uint32_t>(machine_.UnplugCamera(second)), kSuccess);
    EXPECT_EQ(machine_.Camera(second)->Stage, CameraStage::Gone);
    EXPECT_EQ(machine_.StartCamera(second), static_cast<NTSTATUS>(STATUS_NO_SUCH_DEVICE));
}

TEST_F(MachineTest, UnplugFinishesACameraWhateverRemovalStepCameBefore) {
    const int surprised = Plug();
    const int removed = Plug();
    const int plain = Plug();
    Open(0, &camera_);

    // Unplugged with a handle open: the removal waits for the handle, and
    // requests still reach the driver meanwhile.
    EXPECT_EQ(static_cast<uint32_t>(machine_.SurpriseRemovalRequest(surprised)), kSuccess);
    EXPECT_EQ(static_cast<uint32_t>(machine_.UnplugCamera(surprised)),
              static_cast<uint32_t>(STATUS_PENDING));
    EXPECT_EQ(camera_->Nop().Status, kSuccess);
    EXPECT_NE(sim::usb::PortPdo(surprised), nullptr);
    camera_.reset();  // the last handle: the removal

    EXPECT_EQ(static_cast<uint32_t>(machine_.RemoveCamera(removed)), kSuccess);
    EXPECT_EQ(static_cast<uint32_t>(machine_.UnplugCamera(removed)), kSuccess);
    EXPECT_EQ(static_cast<uint32_t>(machine_.UnplugCamera(plain)), kSuccess);

    for (int port : {surprised, removed, plain}) {
        EXPECT_EQ(machine_.Camera(port)->Stage, CameraStage::Gone) << port;
        EXPECT_EQ(sim::usb::PortPdo(port), nullptr) << port;
        EXPECT_EQ(machine_.StartCamera(port), static_cast<NTSTATUS>(STATUS_NO_SUCH_DEVICE)) << port;
    }
    EXPECT_TRUE(sim::usb::PluggedPorts().empty());

    // A camera plugged afterwards takes the first free port and name again.
    const int again = Plug();
    EXPECT_EQ(machine_.Camera(again)->DeviceIndex, 0);
    Open(0, &camera_);
    EXPECT_EQ(camera_->Nop().Status, kSuccess);
}

TEST_F(MachineTest, StopStartCapabilitiesAndPowerGoThroughTheStack) {
    const int port = Plug();
    EXPECT_EQ(static_cast<uint32_t>(machine_.StopCamera(port)), kSuccess);
    EXPECT_EQ(static_cast<uint32_t>(machine_.StartCamera(port)), kSuccess);
    Open(0, &camera_);
    EXPECT_EQ(camera_->Nop().Status, kSuccess);

    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(static_cast<uint32_t>(machine_.QueryCapabilities(port, &caps)), kSuccess);
    EXPECT_EQ(caps.Size, sizeof caps);

    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(static_cast<uint32_t>(machine_.SendPower(port, IRP_MN_SET_POWER, DevicePowerState, state)),
              kSuccess);
    EXPECT_EQ(machine_.SendPower(99, IRP_MN_SET_POWER, DevicePowerState, state),
              static_cast<NTSTATUS>(STATUS_NO_SUCH_DEVICE));
}

// Cameras plugged without a bus share bus 1 and its periodic bandwidth: the
// second full-rate setting there is refused (GET_LAST_STATUS says why); a
// camera plugged on a new bus has a budget of its own.
TEST_F(MachineTest, CamerasShareABusUnlessPluggedOnAnotherOne) {
    const int first = Plug(), second = Plug();
    int third = 0;
    std::string error;
    ASSERT_EQ(static_cast<uint32_t>(machine_.PlugCamera("", true, &third, &error, 0, sim::usb::kNewBus)), kSuccess)
        << error;
    EXPECT_EQ(sim::usb::PortBus(first), 1);
    EXPECT_EQ(sim::usb::PortBus(second), 1);
    EXPECT_EQ(sim::usb::PortBus(third), 2);
    std::unique_ptr<Camera> onItsOwn;
    Open(0, &camera_);
    Open(1, &other_);
    Open(2, &onItsOwn);
    EXPECT_EQ(camera_->SelectInterface(0, 3).Status, kSuccess);
    EXPECT_EQ(other_->SelectInterface(0, 3).Status, kSuccess);  // the driver does not report it
    int32_t last = 0;
    EXPECT_EQ(other_->GetLastStatus(&last).Status, kSuccess);
    EXPECT_EQ(static_cast<uint32_t>(last), 0x80000700u);  // USBD_STATUS_NO_BANDWIDTH
    EXPECT_EQ(onItsOwn->SelectInterface(0, 3).Status, kSuccess);
    EXPECT_EQ(onItsOwn->GetLastStatus(&last).Status, kSuccess);
    EXPECT_EQ(last, 0);
}

class TracedMachineTest : public MachineTest {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "client_machine_trace_" + std::to_string(getpid()) + ".pcap";
        remove(path_.c_str());
        options_.TracePath = path_;
        MachineTest::SetUp();
    }
    std::string path_;
};

TEST_F(TracedMachineTest, TraceRecordsTheSessionAsAPcapFile) {
    Plug();
    Open(0, &camera_);
    VersionRecord version;
    camera_->GetVersion(&version);
    camera_.reset();
    const std::vector<sim::Violation> violations = machine_.Shutdown();
    EXPECT_TRUE(violations.empty()) << Describe(violations);

    FILE *file = fopen(path_.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    uint8_t header[24] = {};
    const size_t got = fread(header, 1, sizeof header, file);
    fseek(file, 0, SEEK_END);
    const long size = ftell(file);
    fclose(file);
    ASSERT_EQ(got, sizeof header);
    EXPECT_EQ(Le32(header), 0xA1B2C3D4u);  // pcap magic
    EXPECT_EQ(Le32(header + 20), 220u);    // usbmon link type
    EXPECT_GT(size, 24 + 64);              // the start's descriptor reads at least
    remove(path_.c_str());
}

TEST(MachineStart, ABadProfileIsReportedAndLeavesNothingRunning) {
    EmulatedMachine machine;
    std::string error;
    ASSERT_EQ(static_cast<uint32_t>(machine.Start(MachineOptions(), &error)), kSuccess) << error;
    int port = -1;
    EXPECT_FALSE(NT_SUCCESS(machine.PlugCamera("/nonexistent/profile.json", true, &port, &error)));
    EXPECT_EQ(port, 0);
    EXPECT_NE(error.find("/nonexistent/profile.json"), std::string::npos) << error;
    const std::vector<sim::Violation> violations = machine.Shutdown();
    EXPECT_TRUE(violations.empty()) << Describe(violations);
    EXPECT_FALSE(machine.Running());
}

// Drivers that misbehave on purpose: one leaks pool, one fails to load.
NTSTATUS LeakingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPoolNx, 32, 0x6B61654C);  // "Leak"
    return STATUS_SUCCESS;
}

NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }

TEST(MachineStart, ShutdownHandsBackWhatTheVerifierCaught) {
    MachineOptions options;
    options.DriverEntry = LeakingEntry;
    options.DriverName = "leaky";
    EmulatedMachine machine;
    std::string error;
    ASSERT_EQ(static_cast<uint32_t>(machine.Start(options, &error)), kSuccess) << error;
    const std::vector<sim::Violation> violations = machine.Shutdown();
    ASSERT_FALSE(violations.empty());
    EXPECT_EQ(violations[0].Rule, "POOL_LEAK") << Describe(violations);
    EXPECT_NE(violations[0].Site.find("machine_test.cpp"), std::string::npos) << violations[0].Site;

    // The next machine starts clean.
    ASSERT_EQ(static_cast<uint32_t>(machine.Start(MachineOptions(), &error)), kSuccess) << error;
    EXPECT_TRUE(machine.Shutdown().empty());
}

TEST(MachineStart, ADriverThatFailsToLoadLeavesNothingRunning) {
    MachineOptions options;
    options.DriverEntry = FailingEntry;
    EmulatedMachine machine;
    std::string error;
    EXPECT_EQ(static_cast<uint32_t>(machine.Start(options, &error)), 0xC000009Au);
    EXPECT_NE(error.find("did not load"), std::string::npos) << error;
    EXPECT_FALSE(machine.Running());
    ASSERT_EQ(static_cast<uint32_t>(machine.Start(MachineOptions(), &error)), kSuccess) << error;
    EXPECT_TRUE(machine.Shutdown().empty());
}

// A test whose fixture owns the kernel (and its verifier) runs a machine too.
class MachineInKernelFixtureTest : public sim::test::KernelTest {};

TEST_F(MachineInKernelFixtureTest, TheFixtureKeepsTheKernelAndItsViolations) {
    MachineOptions options;
    options.OwnKernel = false;
    EmulatedMachine machine;
    std::string error;
    ASSERT_EQ(static_cast<uint32_t>(machine.Start(options, &error)), kSuccess) << error;
    ASSERT_NE(machine.Driver(), nullptr);
    int port = 0;
    ASSERT_EQ(static_cast<uint32_t>(machine.PlugCamera("", true, &port, &error)), kSuccess) << error;
    std::unique_ptr<Camera> camera;
    ASSERT_EQ(Camera::Open(0, &camera), kSuccess);
    EXPECT_EQ(camera->Nop().Status, kSuccess);
    camera.reset();
    EXPECT_TRUE(machine.Shutdown().empty());
    // The kernel is still booted: the fixture shuts it down and reads the verifier.
    EXPECT_FALSE(sim::SymbolicLinkExists("\\DosDevices\\Tavrinoscope-0"));
}

}  // namespace
}  // namespace usbcam
