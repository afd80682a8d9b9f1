// Configuration at start, the transfer-size policy, the full configuration
// read and interface selection, checked on the wire and in InterfaceInfo.
#include "driver_fixture.h"

namespace drvtest {
namespace {

using ConfigurationTest = DriverTest;

std::vector<uint8_t> InterfaceInfoBytes(sim::ClientHandle handle, NTSTATUS *status = nullptr) {
    std::vector<uint8_t> out(1024);
    sim::IoResult r = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr,
                                                 0, out.data(), (ULONG)out.size());
    if (status != nullptr) *status = r.Status;
    out.resize(r.Information);
    return out;
}

const USBD_INTERFACE_INFORMATION *AsInfo(const std::vector<uint8_t> &bytes) {
    return (const USBD_INTERFACE_INFORMATION *)bytes.data();
}

// Extra alternate settings (4, 5, ...) with two bulk endpoints each, 23 bytes
// of descriptor apiece, to make the configuration descriptor longer.
std::string ProfileWithExtraSettings(int count) {
    std::string extra;
    for (int i = 0; i < count; i++) {
        extra += R"(, { "bInterfaceNumber": 0, "bAlternateSetting": )" + std::to_string(4 + i) +
                 R"(, "bInterfaceClass": "0xFF", "endpoints": [
          { "bEndpointAddress": "0x01", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512 } ] })";
    }
    const std::string last = R"("bAlternateSetting": 2, "bInterfaceClass": "0xFF", "endpoints": [] })";
    return ReferenceProfileWith(last, last + extra);
}

TEST_F(ConfigurationTest, StartReadsDescriptorsThenSelectsWithTheTransferSizePolicy) {
    Camera camera = Plug();
    auto wire = ControlWire(camera.Port);
    ASSERT_EQ(wire.size(), 4u);
    // Device descriptor, configuration header, whole configuration + 16.
    const uint16_t total = 9 + 4 * 9 + 9 * 7;  // four settings, nine endpoints
    EXPECT_EQ(wire[0].RequestType(), 0x80);
    EXPECT_EQ(wire[0].Request(), USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(wire[0].Value(), 0x0100);
    EXPECT_EQ(wire[0].SetupLength(), 18);
    EXPECT_EQ(wire[1].Value(), 0x0200);
    EXPECT_EQ(wire[1].SetupLength(), 9);
    EXPECT_EQ(wire[2].Value(), 0x0200);
    EXPECT_EQ(wire[2].Index(), 0);
    EXPECT_EQ(wire[2].SetupLength(), total + 16);
    EXPECT_EQ(wire[2].ActualLength, total);
    EXPECT_EQ(wire[3].Request(), USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(wire[3].Value(), 1);

    PUSBD_INTERFACE_INFORMATION info = Ext(camera)->InterfaceInfo;
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 4u);
    EXPECT_EQ(info->Length, 24 + 4 * 24);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 1024u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 1024u);
    EXPECT_EQ(info->Pipes[2].MaximumTransferSize, 0x3FFFFFu);
    EXPECT_EQ(info->Pipes[3].MaximumTransferSize, 1024u);
    EXPECT_EQ(info->Pipes[2].EndpointAddress, 0x82);

    // The client sees the same bytes.
    sim::ClientHandle handle = Open();
    auto bytes = InterfaceInfoBytes(handle);
    ASSERT_EQ(bytes.size(), 120u);
    EXPECT_EQ(memcmp(bytes.data(), info, bytes.size()), 0);
}

TEST_F(ConfigurationTest, TwoEndpointInterfaceGetsTheSmallSizeEverywhere) {
    std::string profile = ReferenceProfileWith(
        R"(,
          { "bEndpointAddress": "0x82", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x83", "type": "interrupt", "wMaxPacketSize": 64, "bInterval": 4 } ])",
        " ]");
    const std::string roles = R"("0x82": "frames", "0x83": "events",)";
    profile.replace(profile.find(roles), roles.size(), "");
    Camera camera = Plug(profile);
    PUSBD_INTERFACE_INFORMATION info = Ext(camera)->InterfaceInfo;
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 2u);
    EXPECT_EQ(info->Length, 24 + 2 * 24);
    EXPECT_EQ(info->Pipes[0].MaximumTransferSize, 1024u);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 1024u);
}

TEST_F(ConfigurationTest, SelectInterfaceRereadsLongDescriptorsAndSizesTheUrb) {
    // 108 + 8 * 23 = 292 bytes: longer than the first read of 265.
    Camera camera = Plug(ProfileWithExtraSettings(8));
    sim::ClientHandle handle = Open();
    sim::usb::WireLogClear();

    InterfaceSelection alt1 = {0, 1};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &alt1, sizeof(alt1), nullptr, 0).Status,
              STATUS_SUCCESS);
    auto wire = ControlWire(camera.Port);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(wire[0].SetupLength(), 265);
    EXPECT_EQ(wire[1].SetupLength(), 292);
    EXPECT_EQ(wire[1].ActualLength, 292u);
    EXPECT_EQ(wire[2].RequestType(), 0x01);
    EXPECT_EQ(wire[2].Request(), USB_REQUEST_SET_INTERFACE);
    EXPECT_EQ(wire[2].Value(), 1);
    EXPECT_EQ(sim::usb::GetCameraState(camera.Port).AltSetting.at(0), 1);

    auto bytes = InterfaceInfoBytes(handle);
    ASSERT_EQ(bytes.size(), 120u);
    const USBD_INTERFACE_INFORMATION *info = AsInfo(bytes);
    EXPECT_EQ(info->AlternateSetting, 1);
    ASSERT_EQ(info->NumberOfPipes, 4u);
    for (ULONG i = 0; i < 4; i++) EXPECT_EQ(info->Pipes[i].MaximumTransferSize, 0xFFFFu) << i;
    EXPECT_EQ(info->Pipes[2].PipeType, UsbdPipeTypeIsochronous);

    // No endpoints: a 24-byte interface copy with no pipes.
    sim::usb::WireLogClear();
    InterfaceSelection alt2 = {0, 2};
    Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &alt2, sizeof(alt2), nullptr, 0);
    bytes = InterfaceInfoBytes(handle);
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(AsInfo(bytes)->Length, 24);
    EXPECT_EQ(AsInfo(bytes)->NumberOfPipes, 0u);
    EXPECT_EQ(Ext(camera)->InterfaceInfo->Length, 24);

    // A setting the configuration does not hold: nothing is sent, the copy stays.
    sim::usb::WireLogClear();
    PUSBD_INTERFACE_INFORMATION before = Ext(camera)->InterfaceInfo;
    InterfaceSelection missing = {0, 42};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &missing, sizeof(missing), nullptr, 0)
                  .Status,
              STATUS_SUCCESS);
    wire = ControlWire(camera.Port);
    ASSERT_EQ(wire.size(), 2u);  // the two descriptor reads only
    EXPECT_EQ(wire[1].Request(), USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(Ext(camera)->InterfaceInfo, before);

    // A short configuration descriptor is read once.
    sim::usb::WireLogClear();
    Plug();
    sim::ClientHandle second = Open(1);
    sim::usb::WireLogClear();
    Ioctl(second, IOCTL_USBCAM_SELECT_INTERFACE, &alt1, sizeof(alt1), nullptr, 0);
    int descriptorReads = 0;
    for (const auto &r : ControlWire(cameras_.back().Port))
        descriptorReads += r.Request() == USB_REQUEST_GET_DESCRIPTOR;
    EXPECT_EQ(descriptorReads, 1);
}

TEST_F(ConfigurationTest, AFailedSelectionKeepsTheCurrentTable) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    // A stopped camera is unconfigured and refuses SET_INTERFACE; requests are
    // still admitted.
    ASSERT_EQ(sim::PnpStopDevice(camera.Pdo), STATUS_SUCCESS);
    PUSBD_INTERFACE_INFORMATION before = Ext(camera)->InterfaceInfo;
    sim::usb::WireLogClear();
    InterfaceSelection alt1 = {0, 1};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &alt1, sizeof(alt1), nullptr, 0).Status,
              STATUS_SUCCESS);  // the selection's own result is not reported
    // The descriptor was read; the selection itself failed.
    auto wire = ControlWire(camera.Port);
    ASSERT_GE(wire.size(), 1u);
    EXPECT_EQ(wire[0].Request(), USB_REQUEST_GET_DESCRIPTOR);
    for (size_t i = 1; i < wire.size(); i++) EXPECT_LT(wire[i].Status, 0);
    EXPECT_EQ(Ext(camera)->InterfaceInfo, before);
    EXPECT_EQ(Ext(camera)->InterfaceInfo->AlternateSetting, 0);
    EXPECT_LT(Ext(camera)->LastUsbdStatus, 0);
}

}  // namespace
}  // namespace drvtest
