// Camera profiles: the built-in reference camera, JSON profiles, raw
// descriptor replay, and errors that name the offending field.
#include <gtest/gtest.h>

#include "../../sim/usb/device_profile.h"
#include "urb_client.h"

namespace {

namespace bus = sim::usb;

TEST(UsbProfile, ReferenceCameraDescribesFourSettingsOfInterface0) {
    bus::DeviceProfile p = bus::ReferenceProfile();
    ASSERT_EQ(18u, p.DeviceDescriptor.size());
    EXPECT_EQ(0x09, p.DeviceDescriptor[8]);
    EXPECT_EQ(0x12, p.DeviceDescriptor[9]);
    EXPECT_EQ(0x01, p.DeviceDescriptor[10]);
    ASSERT_EQ(1u, p.Configurations.size());
    const bus::ConfigurationInfo &c = p.First();
    ASSERT_EQ(4u, c.Settings.size());
    EXPECT_FALSE(p.Composite());
    const bus::InterfaceSetting *a0 = c.FindSetting(0, 0), *a1 = c.FindSetting(0, 1), *a2 = c.FindSetting(0, 2),
                                *a3 = c.FindSetting(0, 3);
    ASSERT_TRUE(a0 && a1 && a2 && a3);
    // Alternate setting 3: one high-bandwidth isochronous IN endpoint, 3 x 1024 bytes per microframe.
    ASSERT_EQ(1u, a3->Endpoints.size());
    EXPECT_EQ(0x86, a3->Endpoints[0].Address);
    EXPECT_EQ(0x1400, a3->Endpoints[0].RawMaxPacket);
    EXPECT_EQ(1024, a3->Endpoints[0].MaxPacket);
    EXPECT_EQ(3072u, a3->Endpoints[0].PayloadPerInterval());
    EXPECT_EQ(bus::EndpointRole::IsoSource, a3->Endpoints[0].Role);
    EXPECT_EQ(c.Descriptor.size(), 9u + 4 * 9 + 9 * 7);
    ASSERT_EQ(4u, a0->Endpoints.size());
    EXPECT_EQ(bus::EndpointRole::Commands, a0->Endpoints[0].Role);
    EXPECT_EQ(bus::EndpointRole::Frames, a0->Endpoints[2].Role);
    EXPECT_EQ(USB_ENDPOINT_TYPE_INTERRUPT, a0->Endpoints[3].Type());
    ASSERT_EQ(4u, a1->Endpoints.size());
    EXPECT_EQ(bus::EndpointRole::IsoSource, a1->Endpoints[2].Role);
    EXPECT_EQ(1024, a1->Endpoints[3].MaxPacket);
    EXPECT_TRUE(a2->Endpoints.empty());
    EXPECT_EQ(4u, p.Strings.size());  // languages, manufacturer, product, serial
    EXPECT_EQ(10u, p.QualifierDescriptor.size());
}

TEST(UsbProfile, BadProfilesNameTheField) {
    struct Case {
        const char *json;
        const char *field;
    } cases[] = {
        {"{", "(profile): not valid JSON"},
        {R"({"configuration": {}})", "device: missing"},
        {R"({"device": {"idProduct": 1}})", "device.idVendor: missing"},
        {R"({"device": {"idVendor": "0x1G", "idProduct": 1}})", "device.idVendor: expected a number"},
        {R"({"device": {"idVendor": 1, "idProduct": 70000}})", "device.idProduct: expected a number from 0 to 65535"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"interfaces": [
            {"bInterfaceNumber": 0, "endpoints": [{"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512},
                                                  {"bEndpointAddress": "0x02", "type": "bluk", "wMaxPacketSize": 512}]}]}})",
         "configuration.interfaces[0].endpoints[1].type"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"interfaces": [
            {"bInterfaceNumber": 0, "endpoints": [{"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 1024}]}]}})",
         "configuration.interfaces[0].endpoints[0].wMaxPacketSize: bulk packets are at most 512 bytes"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"interfaces": [
            {"bInterfaceNumber": 0}, {"bInterfaceNumber": 0}]}})",
         "configuration.interfaces[1]: interface 0 alternate setting 0 is defined twice"},
        {R"({"device": {"raw": "12 01 00 02"}})", "device.raw: expected 18 bytes"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"raw": "09 02 12 00 01 01 00 80 32 00 04 00 00 01 FF 00 00 00"}})",
         "configuration.raw: descriptor with bLength below 2 at byte 9"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"raw": "09 02 19 00 01 01 00 80 32 09 04 00 00 02 FF 00 00 00 07 05 81 02 00 02 00"}})",
         "configuration.raw: bNumEndpoints exceeds the endpoint descriptors present"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"raw": "zz"}})",
         "configuration.raw: expected a string of hex bytes"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"interfaces": [
            {"bInterfaceNumber": 0, "endpoints": [{"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512}]}]},
            "endpoints": {"0x81": "commands"}})",
         "endpoints.0x81: role \"commands\" does not fit"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"interfaces": [{"bInterfaceNumber": 0}]},
            "frame": {"width": "wide"}})",
         "frame.width: expected a number"},
        {R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"interfaces": [{"bInterfaceNumber": 0}]},
            "classRequests": [{"bmRequestType": "0xC1", "bRequest": 1}]})",
         "classRequests[0].bmRequestType: type bits 5..6 must say class"},
    };
    for (const auto &c : cases) {
        std::string error = bus::ValidateProfileJson(c.json);
        EXPECT_NE(std::string::npos, error.find(c.field)) << "profile " << c.json << "\ngave: " << error;
    }
    EXPECT_EQ("", bus::ValidateProfileJson(
                      R"({"device": {"idVendor": 1, "idProduct": 1}, "configuration": {"interfaces": [{"bInterfaceNumber": 0}]}})"));
}

class UsbProfileOnBus : public usbtest::BusTest {};

TEST_F(UsbProfileOnBus, RawDescriptorsReplayByteForByteAndFixedClassAnswers) {
    bus::BusStop();
    ASSERT_EQ(STATUS_SUCCESS, bus::BusStart());
    const char *json = R"({"name": "dump",
        "device": {"raw": "12 01 00 02 EF 02 01 40 34 12 78 56 00 01 01 02 00 01"},
        "configuration": {"raw": "09 02 20 00 01 01 00 80 FA 09 04 00 00 02 0E 01 00 00 07 05 81 03 10 00 08 07 05 02 02 00 02 00"},
        "rawStrings": {"0": "04 03 09 04", "1": "06 03 41 00 42 00"},
        "classRequests": [{"bmRequestType": "0xA1", "bRequest": "0x87", "response": "01 02 03"},
                          {"bmRequestType": "0x21", "bRequest": "0x01", "stall": true}]})";
    bus::PlugResult r = bus::PlugProfileJson(json);
    ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;

    uint8_t device[18];
    auto d = usbtest::DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, 18);
    ASSERT_EQ(STATUS_SUCCESS, usbtest::SubmitSync(r.Pdo, d.Urb()));
    const uint8_t expectedDevice[18] = {0x12, 1, 0, 2, 0xEF, 2, 1, 0x40, 0x34, 0x12, 0x78, 0x56, 0, 1, 1, 2, 0, 1};
    EXPECT_EQ(0, memcmp(expectedDevice, device, 18));
    uint8_t config[64];
    auto c = usbtest::DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, sizeof config);
    ASSERT_EQ(STATUS_SUCCESS, usbtest::SubmitSync(r.Pdo, c.Urb()));
    EXPECT_EQ(32u, c.Urb()->UrbControlDescriptorRequest.TransferBufferLength);
    uint8_t text[8];
    auto s = usbtest::DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, text, sizeof text);
    ASSERT_EQ(STATUS_SUCCESS, usbtest::SubmitSync(r.Pdo, s.Urb()));
    EXPECT_EQ(6u, s.Urb()->UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ('B', text[4]);

    uint8_t answer[8] = {};
    auto in = usbtest::VendorClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x87, 0, 0, answer, sizeof answer);
    ASSERT_EQ(STATUS_SUCCESS, usbtest::SubmitSync(r.Pdo, in.Urb()));
    EXPECT_EQ(3u, in.Urb()->UrbControlVendorClassRequest.TransferBufferLength);
    EXPECT_EQ(3, answer[2]);
    auto out = usbtest::VendorClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x01, 0, 0, nullptr, 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, usbtest::SubmitSync(r.Pdo, out.Urb()));

    // The example profile shipped with the bus plugs, with its short frame.
    bus::PlugResult example = bus::PlugProfileFile(USB_PROFILE_DIR "/small-frame-camera.json");
    ASSERT_EQ(STATUS_SUCCESS, example.Status) << example.Error;
    uint8_t two[2] = {};
    auto cls = usbtest::VendorClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x81, 0x0100, 0, two, 2);
    ASSERT_EQ(STATUS_SUCCESS, usbtest::SubmitSync(example.Pdo, cls.Urb()));
    EXPECT_EQ(0x10, two[0]);

    // Profile files: a missing file says which.
    bus::PlugResult missing = bus::PlugProfileFile("/nonexistent/profile.json");
    EXPECT_NE(STATUS_SUCCESS, missing.Status);
    EXPECT_NE(std::string::npos, missing.Error.find("/nonexistent/profile.json"));
}

}  // namespace
