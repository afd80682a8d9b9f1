#include "driver_fixture.h"

#include <sstream>

namespace drvtest {

namespace {

std::string DescribeViolations(const std::vector<sim::Violation> &violations) {
    std::ostringstream out;
    for (const auto &v : violations) out << v.Rule << " at " << v.Site << ": " << v.Detail << "\n";
    return out.str();
}

}  // namespace

std::string ReferenceProfileJson() { return sim::usb::ReferenceProfileJson(); }

std::string ReferenceProfileWith(const std::string &from, const std::string &to) {
    std::string text = sim::usb::ReferenceProfileJson();
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

Camera DriverTest::Plug(const std::string &profileJson, bool start, NTSTATUS *startStatus, int function) {
    Camera camera;
    sim::usb::PlugOptions options;
    options.Function = function;
    sim::usb::PlugResult plugged = profileJson.empty() ? sim::usb::PlugReferenceCamera()
                                                       : sim::usb::PlugProfileJson(profileJson, options);
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

int DriverTest::OurBlocks() {
    int blocks = 0;
    for (const auto &block : sim::PoolOutstanding()) blocks += block.Tag == USBCAM_POOL_TAG;
    return blocks;
}

bool DriverTest::Opens(int index) {
    sim::ClientHandle handle = 0;
    if (sim::ClientOpen(Win32Name(index).c_str(), &handle) != STATUS_SUCCESS) return false;
    sim::ClientClose(handle);
    return true;
}

USBD_STATUS DriverTest::LastStatus(sim::ClientHandle handle) {
    USBD_STATUS last = 0x7FFFFFFF;
    sim::IoResult r = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &last,
                                                 sizeof(last));
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, sizeof(last));
    return last;
}

DriverTest::Interface DriverTest::SelectedInterface(sim::ClientHandle handle) {
    std::vector<uint8_t> raw(4096, 0);
    sim::IoResult r = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, raw.data(),
                                                 (ULONG)raw.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    Interface out;
    if (r.Information < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) return out;
    auto *info = (const USBD_INTERFACE_INFORMATION *)raw.data();
    EXPECT_EQ(r.Information, info->Length);
    out.Length = info->Length;
    out.AlternateSetting = info->AlternateSetting;
    out.NumberOfPipes = info->NumberOfPipes;
    for (ULONG i = 0; i < info->NumberOfPipes && i < 64; i++) out.Pipes.push_back(info->Pipes[i]);
    return out;
}

std::vector<sim::usb::WireRecord> DriverTest::ControlWire(int port) {
    std::vector<sim::usb::WireRecord> control;
    for (auto &record : sim::usb::WireLog(port)) {
        if (record.Type == sim::usb::TransferType::Control) control.push_back(record);
    }
    return control;
}

}  // namespace drvtest
