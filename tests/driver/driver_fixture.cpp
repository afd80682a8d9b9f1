#include "driver_fixture.h"

#include <sstream>

namespace drvtest {

namespace {

const char kReference[] = R"json({
  "name": "reference",
  "device": {
    "bcdUSB": "0x0200", "bDeviceClass": "0xFF", "bDeviceSubClass": 0, "bDeviceProtocol": 0,
    "bMaxPacketSize0": 64, "idVendor": "0x1209", "idProduct": "0x0001", "bcdDevice": "0x0100",
    "manufacturer": "Tavrinoscope Developers", "product": "Tavrinoscope", "serialNumber": "TVS-000001"
  },
  "configuration": {
    "bConfigurationValue": 1, "bmAttributes": "0x80", "bMaxPower": 250,
    "interfaces": [
      { "bInterfaceNumber": 0, "bAlternateSetting": 0, "bInterfaceClass": "0xFF",
        "endpoints": [
          { "bEndpointAddress": "0x01", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x82", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x83", "type": "interrupt", "wMaxPacketSize": 64, "bInterval": 4 } ] },
      { "bInterfaceNumber": 0, "bAlternateSetting": 1, "bInterfaceClass": "0xFF",
        "endpoints": [
          { "bEndpointAddress": "0x01", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512 },
          { "bEndpointAddress": "0x84", "type": "isochronous", "wMaxPacketSize": 1024, "bInterval": 1 },
          { "bEndpointAddress": "0x05", "type": "isochronous", "wMaxPacketSize": 1024, "bInterval": 1 } ] },
      { "bInterfaceNumber": 0, "bAlternateSetting": 2, "bInterfaceClass": "0xFF", "endpoints": [] }
    ]
  },
  "endpoints": { "0x01": "commands", "0x81": "status", "0x82": "frames", "0x83": "events",
                 "0x84": "isoSource", "0x05": "isoSink" },
  "frame": { "width": 640, "height": 480, "zeroLengthPacket": true, "delayMs": 0 }
})json";

std::string DescribeViolations(const std::vector<sim::Violation> &violations) {
    std::ostringstream out;
    for (const auto &v : violations) out << v.Rule << " at " << v.Site << ": " << v.Detail << "\n";
    return out.str();
}

}  // namespace

std::string ReferenceProfileJson() { return kReference; }

std::string ReferenceProfileWith(const std::string &from, const std::string &to) {
    std::string text = kReference;
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "profile has no " << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string Win32Name(int index) {
    return std::string(USBCAM_WIN32_NAME_PREFIX) + (char)('0' + index);
}
std::string DeviceName(int index) { return std::string("\\Device\\Tavrinoscope-") + (char)('0' + index); }
std::string LinkName(int index) {
    return std::string("\\DosDevices\\Tavrinoscope-") + (char)('0' + index);
}

void AtPassive(PDRIVER_OBJECT driver, const std::function<void()> &fn) {
    sim::RunOnKernelThread(PASSIVE_LEVEL, [&] {
        sim::DriverThreadScope scope(driver);
        fn();
    });
}

void DriverTest::SetUp() {
    sim::KernelBoot();
    ASSERT_EQ(sim::usb::BusStart(), STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(status, STATUS_SUCCESS);
    sim::usb::WireLogClear();
}

void DriverTest::TearDown() {
    sim::FaultClear();
    for (auto handle : handles_) sim::ClientClose(handle);
    handles_.clear();
    for (auto &camera : cameras_) {
        if (!camera.Removed && camera.Fdo != nullptr) Remove(camera);
    }
    sim::usb::BusStop();
    if (driver_ != nullptr) sim::UnloadDriver(driver_);
    auto violations = sim::VerifierTakeViolations();
    EXPECT_TRUE(violations.empty()) << DescribeViolations(violations);
    sim::KernelShutdown();
    sim::VerifierTakeViolations();
}

Camera DriverTest::Plug(const std::string &profileJson, bool start, NTSTATUS *startStatus) {
    Camera camera;
    sim::usb::PlugResult plugged = profileJson.empty() ? sim::usb::PlugReferenceCamera()
                                                       : sim::usb::PlugProfileJson(profileJson);
    EXPECT_EQ(plugged.Status, STATUS_SUCCESS) << plugged.Error;
    if (plugged.Status != STATUS_SUCCESS) return camera;
    camera.Port = plugged.Port;
    camera.Pdo = plugged.Pdo;
    NTSTATUS added = sim::PnpReportChild(camera.Pdo, driver_);
    EXPECT_EQ(added, STATUS_SUCCESS);
    camera.Fdo = camera.Pdo->AttachedDevice;
    EXPECT_NE(camera.Fdo, nullptr);
    if (added == STATUS_SUCCESS && start) {
        NTSTATUS started = sim::PnpStartDevice(camera.Pdo);
        if (startStatus != nullptr) {
            *startStatus = started;
        } else {
            EXPECT_EQ(started, STATUS_SUCCESS);
        }
    }
    cameras_.push_back(camera);
    return camera;
}

NTSTATUS DriverTest::Remove(Camera &camera) {
    for (auto &known : cameras_) {
        if (known.Pdo == camera.Pdo) known.Removed = true;
    }
    camera.Removed = true;
    return sim::PnpRemoveDevice(camera.Pdo);
}

sim::ClientHandle DriverTest::Open(int index) {
    sim::ClientHandle handle = 0;
    NTSTATUS status = sim::ClientOpen(Win32Name(index).c_str(), &handle);
    EXPECT_EQ(status, STATUS_SUCCESS) << "open " << Win32Name(index);
    if (status == STATUS_SUCCESS) handles_.push_back(handle);
    return handle;
}

sim::IoResult DriverTest::Ioctl(sim::ClientHandle handle, ULONG code, const void *in,
                                ULONG inLength, void *out, ULONG outLength) {
    return sim::ClientDeviceIoControl(handle, code, in, inLength, out, outLength);
}

std::vector<sim::usb::WireRecord> DriverTest::ControlWire(int port) {
    std::vector<sim::usb::WireRecord> control;
    for (auto &record : sim::usb::WireLog(port)) {
        if (record.Type == sim::usb::TransferType::Control) control.push_back(record);
    }
    return control;
}

}  // namespace drvtest
