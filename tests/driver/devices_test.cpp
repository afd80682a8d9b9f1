// The driver against devices other than the reference camera's default
// settings: a composite camera converted from a real device's descriptors
// (plugged through the composite parent, one function per test) and the
// reference camera's high-bandwidth setting. Every alternate setting is
// selected through the driver and its pipe table checked as the platform
// reports it.
#include <fstream>
#include <sstream>

#include "driver_fixture.h"

namespace drvtest {
namespace {

std::string ReadProfile(const char *name) {
    std::ifstream in(std::string(USB_PROFILE_DIR) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_FALSE(text.str().empty()) << name;
    return text.str();
}

struct PipeView {
    uint8_t Address;
    USBD_PIPE_TYPE Type;
    USHORT MaximumPacketSize;
    uint8_t Interval;
};

struct SettingView {
    uint8_t Interface;
    uint8_t Alternate;
    uint8_t Class;
    std::vector<PipeView> Pipes;
};

class DevicesTest : public DriverTest {
protected:
    std::vector<uint8_t> InterfaceInfo(sim::ClientHandle handle) {
        std::vector<uint8_t> out(1024);
        sim::IoResult r =
            Ioctl(handle, IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, out.data(), (ULONG)out.size());
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        out.resize(r.Information);
        return out;
    }

    // The client's view of the selected interface matches the expected setting.
    void ExpectTable(sim::ClientHandle handle, const SettingView &want) {
        std::vector<uint8_t> bytes = InterfaceInfo(handle);
        ASSERT_GE(bytes.size(), 24u);
        const USBD_INTERFACE_INFORMATION *info = (const USBD_INTERFACE_INFORMATION *)bytes.data();
        SCOPED_TRACE(testing::Message() << "interface " << (int)want.Interface << " alt " << (int)want.Alternate);
        EXPECT_EQ(info->InterfaceNumber, want.Interface);
        EXPECT_EQ(info->AlternateSetting, want.Alternate);
        EXPECT_EQ(info->Class, want.Class);
        ASSERT_EQ(info->NumberOfPipes, want.Pipes.size());
        EXPECT_EQ(info->Length, 24 + 24 * want.Pipes.size());
        for (size_t i = 0; i < want.Pipes.size(); ++i) {
            EXPECT_EQ(info->Pipes[i].EndpointAddress, want.Pipes[i].Address) << i;
            EXPECT_EQ(info->Pipes[i].PipeType, want.Pipes[i].Type) << i;
            EXPECT_EQ(info->Pipes[i].MaximumPacketSize, want.Pipes[i].MaximumPacketSize) << i;
            EXPECT_EQ(info->Pipes[i].Interval, want.Pipes[i].Interval) << i;
            EXPECT_NE(info->Pipes[i].PipeHandle, nullptr) << i;
        }
    }

    // Selects every setting through the driver, in order, checking each table.
    void SelectEach(sim::ClientHandle handle, const std::vector<SettingView> &settings) {
        for (const SettingView &s : settings) {
            InterfaceSelection selection = {s.Interface, s.Alternate};
            EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof selection, nullptr, 0).Status,
                      STATUS_SUCCESS)
                << "interface " << (int)s.Interface << " alt " << (int)s.Alternate;
            ExpectTable(handle, s);
        }
    }
};

const PipeView kVideoStatus = {0x85, UsbdPipeTypeInterrupt, 64, 4};
const PipeView kVideoStream = {0x84, UsbdPipeTypeIsochronous, 3072, 1};  // wMaxPacketSize 0x1400
const PipeView kAudioStream = {0x82, UsbdPipeTypeIsochronous, 256, 4};

TEST_F(DevicesTest, CompositeCameraVideoFunctionStartsAndSelectsEverySetting) {
    Camera camera = Plug(ReadProfile("composite-test-camera.json"), true, nullptr, 0);
    ASSERT_NE(camera.Fdo, nullptr);
    // The composite parent answered the descriptor reads and the driver's
    // select-configuration itself: the only configuration request on the wire
    // is the parent's own, sent when the device was plugged.
    auto wire = ControlWire(camera.Port);
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].Request(), USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(wire[0].Value(), 1);

    sim::ClientHandle handle = Open();
    ExpectTable(handle, {0, 0, 14, {kVideoStatus}});
    sim::usb::WireLogClear();
    SelectEach(handle, {{1, 0, 14, {}}, {1, 1, 14, {kVideoStream}}, {1, 0, 14, {}}, {0, 0, 14, {kVideoStatus}}});
    EXPECT_EQ(sim::usb::GetCameraState(camera.Port).AltSetting.at(1), 0);
    // Each selection put one SET_INTERFACE on the wire.
    int setInterface = 0;
    for (const auto &r : ControlWire(camera.Port)) setInterface += r.Request() == USB_REQUEST_SET_INTERFACE;
    EXPECT_EQ(setInterface, 4);

    // The audio function's interfaces are not in this child's configuration
    // descriptor: the driver finds no such setting, sends nothing and keeps
    // its table.
    sim::usb::WireLogClear();
    InterfaceSelection audio = {3, 1};
    Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &audio, sizeof audio, nullptr, 0);
    for (const auto &r : ControlWire(camera.Port)) EXPECT_NE(r.Request(), USB_REQUEST_SET_INTERFACE);
    ExpectTable(handle, {0, 0, 14, {kVideoStatus}});
}

TEST_F(DevicesTest, CompositeCameraAudioFunctionStartsAndSelectsEverySetting) {
    Camera camera = Plug(ReadProfile("composite-test-camera.json"), true, nullptr, 1);
    ASSERT_NE(camera.Fdo, nullptr);
    sim::ClientHandle handle = Open();
    ExpectTable(handle, {2, 0, 1, {}});
    SelectEach(handle, {{3, 0, 1, {}},
                        {3, 1, 1, {kAudioStream}},
                        {3, 2, 1, {kAudioStream}},
                        {3, 3, 1, {kAudioStream}},
                        {3, 4, 1, {kAudioStream}},
                        {2, 0, 1, {}}});
    EXPECT_EQ(sim::usb::GetCameraState(camera.Port).AltSetting.at(3), 4);

    // Stop and start again: the driver unconfigures (the parent keeps the
    // device configured for its other function) and selects anew.
    EXPECT_EQ(sim::PnpStopDevice(camera.Pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::GetCameraState(camera.Port).Configuration, 1);
    EXPECT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
    ExpectTable(handle, {2, 0, 1, {}});

    // Pulled out: the child's stack goes as any camera's, and the PDO with it.
    sim::ClientClose(handle);
    handles_.clear();
    EXPECT_EQ(sim::usb::SurpriseRemove(camera.Port), STATUS_SUCCESS);
    for (auto &known : cameras_) known.Removed = true;
    EXPECT_TRUE(sim::usb::PluggedPorts().empty());
    EXPECT_EQ(sim::usb::PortPdo(camera.Port), nullptr);
}

TEST_F(DevicesTest, ReferenceCameraHighBandwidthSettingReportsThreeKilobytesPerMicroframe) {
    Plug();
    sim::ClientHandle handle = Open();
    SelectEach(handle, {{0, 3, 0xFF, {{0x86, UsbdPipeTypeIsochronous, 3072, 1}}},
                        {0, 1, 0xFF, {{0x01, UsbdPipeTypeBulk, 512, 0}, {0x81, UsbdPipeTypeBulk, 512, 0}, {0x84, UsbdPipeTypeIsochronous, 1024, 1}, {0x05, UsbdPipeTypeIsochronous, 1024, 1}}}});
}

}  // namespace
}  // namespace drvtest
