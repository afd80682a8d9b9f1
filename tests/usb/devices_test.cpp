// Devices on the emulated bus beyond the reference camera's default settings:
// high-bandwidth and zero-bandwidth endpoints, devices with several
// interfaces (plugged whole or through the composite parent), several
// configurations and string languages.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "urb_client.h"

namespace {

namespace bus = sim::usb;
using namespace usbtest;

std::vector<uint8_t> ConfigurationBytes(PDEVICE_OBJECT pdo, uint8_t index, NTSTATUS *status = nullptr) {
    std::vector<uint8_t> config(1024);
    UrbBuffer d = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, 0, config.data(), (ULONG)config.size());
    NTSTATUS s = SubmitSync(pdo, d.Urb());
    if (status != nullptr) *status = s;
    config.resize(NT_SUCCESS(s) ? d.Urb()->UrbControlDescriptorRequest.TransferBufferLength : 0);
    return config;
}

struct Selected {
    NTSTATUS Status;
    USBD_STATUS UrbStatus;
    USBD_CONFIGURATION_HANDLE Configuration;
    std::vector<std::vector<USBD_PIPE_INFORMATION>> Pipes;  // per listed interface
};

// Select-configuration through the USBD library naming the listed
// (interface, alternate setting) pairs of the descriptor.
Selected SelectConfiguration(PDEVICE_OBJECT pdo, std::vector<uint8_t> config,
                             const std::vector<std::pair<int, int>> &interfaces) {
    Selected out{};
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (auto i : interfaces) {
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(cd, cd, i.first, i.second, -1, -1, -1);
        EXPECT_NE(id, nullptr) << i.first << "/" << i.second;
        list.push_back({id, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
    if (urb == nullptr) {
        out.Status = STATUS_NO_MEMORY;
        return out;
    }
    out.Status = SubmitSync(pdo, urb);
    out.UrbStatus = urb->UrbHeader.Status;
    out.Configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (size_t k = 0; k + 1 < list.size(); ++k) {
        std::vector<USBD_PIPE_INFORMATION> pipes;
        for (ULONG i = 0; NT_SUCCESS(out.Status) && i < list[k].Interface->NumberOfPipes; ++i)
            pipes.push_back(list[k].Interface->Pipes[i]);
        out.Pipes.push_back(pipes);
    }
    ExFreePool(urb);
    return out;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE config, uint8_t number, uint8_t alternate,
                         uint8_t pipes, std::vector<USBD_PIPE_INFORMATION> *out = nullptr) {
    UrbBuffer b;
    b.Bytes.assign(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes) + sizeof(USBD_PIPE_INFORMATION), 0);
    b.Urb()->UrbHeader.Length = (USHORT)GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    b.Urb()->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    auto &u = b.Urb()->UrbSelectInterface;
    u.ConfigurationHandle = config;
    u.Interface.Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes);
    u.Interface.InterfaceNumber = number;
    u.Interface.AlternateSetting = alternate;
    NTSTATUS s = SubmitSync(pdo, b.Urb());
    if (out != nullptr && NT_SUCCESS(s))
        out->assign(u.Interface.Pipes, u.Interface.Pipes + u.Interface.NumberOfPipes);
    return s;
}

std::string StringOf(PDEVICE_OBJECT pdo, uint8_t index, uint16_t language, NTSTATUS *status) {
    uint8_t text[256] = {};
    UrbBuffer s = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, index, language, text, sizeof text);
    *status = SubmitSync(pdo, s.Urb());
    std::string ascii;
    for (ULONG i = 2; NT_SUCCESS(*status) && i + 1 < s.Urb()->UrbControlDescriptorRequest.TransferBufferLength; i += 2)
        ascii += (char)text[i];
    return ascii;
}

size_t ControlRequests(int port, uint8_t request) {
    size_t n = 0;
    for (const auto &r : bus::WireLog(port)) n += r.Type == bus::TransferType::Control && r.Request() == request;
    return n;
}

using DeviceTest = BusTest;  // the reference camera on port 1

// A second camera from JSON, without the reference camera's roles.
bus::PlugResult PlugJson(const std::string &json, int function = 0) {
    bus::PlugOptions options;
    options.Function = function;
    bus::PlugResult r = bus::PlugProfileJson(json, options);
    return r;
}

const char kDeviceHead[] = R"("device": {"idVendor": "0x1209", "idProduct": "0x7002", "bDeviceClass": "0xFF"})";

TEST_F(DeviceTest, HighBandwidthSettingReportsAndSendsThreeTransactionsPerMicroframe) {
    Selection sel = Configure(Pdo);
    ASSERT_EQ(STATUS_SUCCESS, sel.Status);
    Selection a3 = SelectAlternate(Pdo, sel.Configuration, 3, 1, 0x3FFFFF);
    ASSERT_EQ(STATUS_SUCCESS, a3.Status);
    ASSERT_EQ(1u, a3.Pipes.size());
    EXPECT_EQ(0x86, a3.Pipes[0].EndpointAddress);
    EXPECT_EQ(UsbdPipeTypeIsochronous, a3.Pipes[0].PipeType);
    EXPECT_EQ(3072, a3.Pipes[0].MaximumPacketSize);  // wMaxPacketSize 0x1400
    EXPECT_EQ(1, a3.Pipes[0].Interval);

    const ULONG n = 16, size = 3072;
    std::vector<uint8_t> buffer(n * size);
    UrbBuffer u = IsoTransfer(a3.Pipes[0].PipeHandle, true, buffer.data(), n, size);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, u.Urb()));
    auto &iso = u.Urb()->UrbIsochronousTransfer;
    EXPECT_EQ(0u, iso.ErrorCount);
    bus::ReferenceIsoCounter counter;
    for (ULONG j = 0; j < n; ++j) {
        EXPECT_EQ(size, iso.IsoPacket[j].Length) << j;
        counter.Add(&buffer[iso.IsoPacket[j].Offset], iso.IsoPacket[j].Length);
    }
    EXPECT_EQ(n, counter.Good());
    EXPECT_EQ(0u, counter.Bad());
    EXPECT_EQ(0u, counter.Lost());

    // The counter sees a packet that went missing and one that was damaged.
    counter.Add(&buffer[(n - 1) * size], 0);  // an empty packet counts as nothing
    std::vector<uint8_t> skipped = bus::ReferenceIsoPacket(iso.StartFrame * 8 + n + 1, size);
    counter.Add(skipped.data(), size);
    skipped[100] ^= 1;
    counter.Add(skipped.data(), size);
    EXPECT_EQ(1u, counter.Lost());
    EXPECT_EQ(1u, counter.Bad());

    // Slots of one transaction's size are too small for the camera's packets.
    // (A pipe reset first: the stream's next frames have passed by now, so an
    // ASAP request would only get late packets.)
    UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, a3.Pipes[0].PipeHandle);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, reset.Urb()));
    std::vector<uint8_t> small(8 * 1024);
    UrbBuffer s = IsoTransfer(a3.Pipes[0].PipeHandle, true, small.data(), 8, 1024);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, s.Urb()));
    EXPECT_EQ(USBD_STATUS_DATA_OVERRUN, s.Urb()->UrbIsochronousTransfer.IsoPacket[0].Status);
}

TEST_F(DeviceTest, ZeroBandwidthEndpointsOpenButRefuseTransfers) {
    const std::string json = std::string("{") + kDeviceHead + R"(, "configuration": {"interfaces": [
        {"bInterfaceNumber": 0, "bAlternateSetting": 0, "endpoints": [
            {"bEndpointAddress": "0x81", "type": "isochronous", "wMaxPacketSize": 0, "bInterval": 1},
            {"bEndpointAddress": "0x82", "type": "interrupt", "wMaxPacketSize": 0, "bInterval": 4}]},
        {"bInterfaceNumber": 0, "bAlternateSetting": 1, "endpoints": [
            {"bEndpointAddress": "0x81", "type": "isochronous", "wMaxPacketSize": "0x0C00", "bInterval": 1},
            {"bEndpointAddress": "0x82", "type": "interrupt", "wMaxPacketSize": 64, "bInterval": 4}]}]}})";
    bus::PlugResult r = PlugJson(json);
    ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;
    Selection sel = Configure(r.Pdo);
    ASSERT_EQ(STATUS_SUCCESS, sel.Status);
    ASSERT_EQ(2u, sel.Pipes.size());
    EXPECT_EQ(0, sel.Pipes[0].MaximumPacketSize);
    EXPECT_EQ(0, sel.Pipes[1].MaximumPacketSize);

    bus::WireLogClear();
    std::vector<uint8_t> buffer(8 * 1024);
    UrbBuffer iso = IsoTransfer(sel.Pipes[0].PipeHandle, true, buffer.data(), 8, 1024);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(r.Pdo, iso.Urb()));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, iso.Urb()->UrbHeader.Status);
    // Bounded: were it queued, the silent endpoint would never answer.
    UrbBuffer interrupt = BulkTransfer(sel.Pipes[1].PipeHandle, true, buffer.data(), 64);
    AsyncUrb a;
    StartAsync(&a, r.Pdo, interrupt.Urb());
    if (!WaitAsync(&a, 2000)) {
        ADD_FAILURE() << "a transfer on a zero-bandwidth pipe was queued";
        IoCancelIrp(a.Irp);
        WaitAsync(&a, 5000);
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, a.Status);
    FreeAsync(&a);
    // Abort and reset have nothing to do and succeed without traffic.
    for (USHORT f : {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}) {
        UrbBuffer p = PipeRequest(f, sel.Pipes[1].PipeHandle);
        EXPECT_EQ(STATUS_SUCCESS, SubmitSync(r.Pdo, p.Urb())) << f;
    }
    EXPECT_TRUE(bus::WireLog(r.Port).empty());

    // The other setting has the bandwidth: 2 x 1024 bytes per microframe.
    Selection a1 = SelectAlternate(r.Pdo, sel.Configuration, 1, 2);
    ASSERT_EQ(STATUS_SUCCESS, a1.Status);
    EXPECT_EQ(2048, a1.Pipes[0].MaximumPacketSize);
    EXPECT_EQ(64, a1.Pipes[1].MaximumPacketSize);

    // A bulk endpoint cannot be without bandwidth, nor high-bandwidth.
    EXPECT_NE(std::string::npos, bus::ValidateProfileJson(std::string("{") + kDeviceHead + R"(, "configuration":
        {"interfaces": [{"bInterfaceNumber": 0, "endpoints": [
            {"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 0}]}]}})")
                                     .find("configuration.interfaces[0].endpoints[0].wMaxPacketSize"));
    EXPECT_NE(std::string::npos, bus::ValidateProfileJson(std::string("{") + kDeviceHead + R"(, "configuration":
        {"interfaces": [{"bInterfaceNumber": 0, "endpoints": [
            {"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": "0x0A00"}]}]}})")
                                     .find("wMaxPacketSize: more transactions"));
}

TEST_F(DeviceTest, SelectConfigurationMustNameEveryInterfaceOfANonCompositeDevice) {
    const std::string json = std::string("{") + kDeviceHead + R"(, "configuration": {"interfaces": [
        {"bInterfaceNumber": 0, "endpoints": [{"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512}]},
        {"bInterfaceNumber": 1, "endpoints": [{"bEndpointAddress": "0x02", "type": "bulk", "wMaxPacketSize": 512}]}]}})";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PlugJson(json, 1).Status);  // one function only
    bus::PlugResult r = PlugJson(json);
    ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;
    EXPECT_EQ(0, r.Functions);
    std::vector<uint8_t> config = ConfigurationBytes(r.Pdo, 0);
    bus::WireLogClear();
    Selected first = SelectConfiguration(r.Pdo, config, {{0, 0}});
    EXPECT_EQ(STATUS_INVALID_PARAMETER, first.Status);
    EXPECT_EQ(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, first.UrbStatus);
    EXPECT_EQ(0u, ControlRequests(r.Port, USB_REQUEST_SET_CONFIGURATION));
    EXPECT_EQ(0, bus::GetCameraState(r.Port).Configuration);

    Selected both = SelectConfiguration(r.Pdo, config, {{0, 0}, {1, 0}});
    ASSERT_EQ(STATUS_SUCCESS, both.Status);
    ASSERT_EQ(2u, both.Pipes.size());
    EXPECT_EQ(0x81, both.Pipes[0][0].EndpointAddress);
    EXPECT_EQ(0x02, both.Pipes[1][0].EndpointAddress);
    EXPECT_EQ(1u, ControlRequests(r.Port, USB_REQUEST_SET_CONFIGURATION));
}

TEST_F(DeviceTest, SeveralConfigurationsAndStringLanguages) {
    const std::string json = R"({"device": {"idVendor": "0x1209", "idProduct": "0x7003", "bDeviceClass": "0xFF",
                                            "manufacturer": "Test Devices", "product": "Camera"},
        "configurations": [
          {"bConfigurationValue": 1, "interfaces": [{"bInterfaceNumber": 0, "endpoints": [
              {"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512}]}]},
          {"bConfigurationValue": 2, "iConfiguration": 7, "interfaces": [{"bInterfaceNumber": 0, "endpoints": [
              {"bEndpointAddress": "0x82", "type": "bulk", "wMaxPacketSize": 512},
              {"bEndpointAddress": "0x03", "type": "bulk", "wMaxPacketSize": 512}]}]}],
        "strings": {"7": "Second"},
        "languageIds": ["0x0409", "0x0407"],
        "localizedStrings": {"0x0407": {"2": "Kamera"}}})";
    bus::PlugResult r = PlugJson(json);
    ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;

    uint8_t device[18] = {};
    UrbBuffer d = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof device);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(r.Pdo, d.Urb()));
    EXPECT_EQ(2, device[17]);  // bNumConfigurations
    std::vector<uint8_t> second = ConfigurationBytes(r.Pdo, 1);
    ASSERT_GE(second.size(), 9u);
    EXPECT_EQ(2, second[5]);
    EXPECT_EQ(7, second[6]);
    NTSTATUS status;
    ConfigurationBytes(r.Pdo, 2, &status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);  // no third configuration: the device stalls

    Selected sel = SelectConfiguration(r.Pdo, second, {{0, 0}});
    ASSERT_EQ(STATUS_SUCCESS, sel.Status);
    ASSERT_EQ(2u, sel.Pipes[0].size());
    EXPECT_EQ(0x82, sel.Pipes[0][0].EndpointAddress);
    EXPECT_EQ(2, bus::GetCameraState(r.Port).Configuration);
    // The other configuration's interfaces follow the device's configuration.
    EXPECT_EQ(STATUS_SUCCESS, SelectInterface(r.Pdo, sel.Configuration, 0, 0, 2));

    // String 0 lists both languages; texts answer in each listed language,
    // the first language's text where no translation is given.
    uint8_t languages[8] = {};
    UrbBuffer l = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0, 0, languages, sizeof languages);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(r.Pdo, l.Urb()));
    EXPECT_EQ(6u, l.Urb()->UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(0x0407, languages[4] | (languages[5] << 8));
    EXPECT_EQ("Camera", StringOf(r.Pdo, 2, 0x0409, &status));
    EXPECT_EQ("Kamera", StringOf(r.Pdo, 2, 0x0407, &status));
    EXPECT_EQ("Test Devices", StringOf(r.Pdo, 1, 0x0407, &status));
    EXPECT_EQ("Second", StringOf(r.Pdo, 7, 0x0409, &status));
    StringOf(r.Pdo, 2, 0x040C, &status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);  // a language the device does not list stalls

    EXPECT_NE(std::string::npos,
              bus::ValidateProfileJson(R"({"device": {"idVendor": 1, "idProduct": 1}, "configurations": [
                  {"bConfigurationValue": 1, "interfaces": [{"bInterfaceNumber": 0}]},
                  {"bConfigurationValue": 1, "interfaces": [{"bInterfaceNumber": 0}]}]})")
                  .find("configurations[1]: bConfigurationValue must be non-zero and differ"));
    EXPECT_NE(std::string::npos,
              bus::ValidateProfileJson(R"({"device": {"idVendor": 1, "idProduct": 1},
                  "configuration": {"interfaces": [{"bInterfaceNumber": 0}]},
                  "languageIds": ["0x0409"], "localizedStrings": {"0x0407": {"1": "x"}}})")
                  .find("localizedStrings.0x0407: not one of languageIds"));
}

std::string CompositeProfile() {
    std::ifstream in(USB_PROFILE_DIR "/composite-test-camera.json");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(DeviceTest, CompositeParentGivesEachFunctionItsOwnConfigurationAndSelections) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PlugJson(CompositeProfile(), 2).Status);  // two functions
    bus::WireLogClear();
    bus::PlugResult r = PlugJson(CompositeProfile(), 1);
    ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;
    EXPECT_EQ(2, r.Functions);
    // The parent configured the device when it was plugged.
    EXPECT_EQ(1u, ControlRequests(r.Port, USB_REQUEST_SET_CONFIGURATION));
    EXPECT_EQ(1, bus::GetCameraState(r.Port).Configuration);

    // The child's configuration descriptor: the audio function's interfaces
    // 2 and 3 with their numbers as on the device, every alternate setting,
    // no association descriptor; answered without traffic.
    bus::WireLogClear();
    std::vector<uint8_t> config = ConfigurationBytes(r.Pdo, 0);
    ASSERT_EQ(9u + 9 + 9 + 4 * (9 + 9), config.size());
    EXPECT_EQ(config.size(), (size_t)(config[2] | (config[3] << 8)));
    EXPECT_EQ(2, config[4]);
    for (size_t o = 9; o + 1 < config.size() && config[o] >= 2; o += config[o]) EXPECT_NE(0x0B, config[o + 1]) << o;
    EXPECT_EQ(4, config[9 + 1]);
    EXPECT_EQ(2, config[9 + 2]);
    EXPECT_EQ(3, config[18 + 2]);
    uint8_t device[18] = {};
    UrbBuffer d = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof device);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(r.Pdo, d.Urb()));
    EXPECT_EQ(0xEF, device[4]);
    EXPECT_TRUE(bus::WireLog(r.Port).empty());

    // Naming the function's first interface only is enough; the setting it
    // already has costs no traffic.
    Selected a = SelectConfiguration(r.Pdo, config, {{2, 0}});
    ASSERT_EQ(STATUS_SUCCESS, a.Status);
    EXPECT_NE(nullptr, a.Configuration);
    EXPECT_TRUE(bus::WireLog(r.Port).empty());
    // Another alternate setting is switched with SET_INTERFACE alone.
    Selected b = SelectConfiguration(r.Pdo, config, {{2, 0}, {3, 1}});
    ASSERT_EQ(STATUS_SUCCESS, b.Status);
    EXPECT_EQ(a.Configuration, b.Configuration);
    ASSERT_EQ(1u, b.Pipes[1].size());
    EXPECT_EQ(0x82, b.Pipes[1][0].EndpointAddress);
    EXPECT_EQ(256, b.Pipes[1][0].MaximumPacketSize);
    EXPECT_EQ(0u, ControlRequests(r.Port, USB_REQUEST_SET_CONFIGURATION));
    EXPECT_EQ(1u, ControlRequests(r.Port, USB_REQUEST_SET_INTERFACE));
    EXPECT_EQ(1, bus::GetCameraState(r.Port).AltSetting.at(3));

    // The video function's interfaces are not this child's, even named in a
    // descriptor that describes them correctly.
    std::vector<uint8_t> video = {9, 2, 25, 0, 1, 1, 0, 0x80, 0xFA,
                                  9, 4, 0, 0, 1, 0x0E, 1, 0, 0,
                                  7, 5, 0x85, 3, 0x40, 0, 4};
    Selected other = SelectConfiguration(r.Pdo, video, {{0, 0}});
    EXPECT_EQ(STATUS_INVALID_PARAMETER, other.Status);
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, other.UrbStatus);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectInterface(r.Pdo, b.Configuration, 1, 1, 1));
    std::vector<USBD_PIPE_INFORMATION> pipes;
    EXPECT_EQ(STATUS_SUCCESS, SelectInterface(r.Pdo, b.Configuration, 3, 4, 1, &pipes));
    ASSERT_EQ(1u, pipes.size());
    EXPECT_EQ(4, pipes[0].Interval);

    // The video function's child (a second device on its own port): its
    // descriptor ends before the audio function's association.
    bus::PlugResult v = PlugJson(CompositeProfile(), 0);
    ASSERT_EQ(STATUS_SUCCESS, v.Status) << v.Error;
    std::vector<uint8_t> videoConfig = ConfigurationBytes(v.Pdo, 0);
    EXPECT_EQ(9u + (9 + 7) + 9 + (9 + 7), videoConfig.size());
    for (size_t o = 9; o + 1 < videoConfig.size() && videoConfig[o] >= 2; o += videoConfig[o])
        EXPECT_NE(0x0B, videoConfig[o + 1]) << o;
}

}  // namespace
