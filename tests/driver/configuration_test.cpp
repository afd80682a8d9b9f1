// Configuration at start, the transfer-size policy, the full configuration
// read and interface selection, checked on the wire and in InterfaceInfo.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver_fixture.h"
#include "scripted_bus.h"
#include "transfer/transfer_command.h"
#include "usb/usb_requests.h"

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
    EXPECT_EQ(OurBlocks(), 1);  // the copy it replaced was freed

    // A setting the configuration does not hold: nothing is sent, the copy stays.
    sim::usb::WireLogClear();
    const auto before = InterfaceInfoBytes(handle);
    InterfaceSelection missing = {0, 42};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &missing, sizeof(missing), nullptr, 0)
                  .Status,
              STATUS_SUCCESS);
    wire = ControlWire(camera.Port);
    ASSERT_EQ(wire.size(), 2u);  // the two descriptor reads only
    EXPECT_EQ(wire[1].Request(), USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(InterfaceInfoBytes(handle), before);
    EXPECT_EQ(OurBlocks(), 1);

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
    const auto before = InterfaceInfoBytes(handle);
    sim::usb::WireLogClear();
    InterfaceSelection alt1 = {0, 1};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &alt1, sizeof(alt1), nullptr, 0).Status,
              STATUS_SUCCESS);  // the selection's own result is not reported
    // The descriptor was read; the selection itself failed.
    auto wire = ControlWire(camera.Port);
    ASSERT_GE(wire.size(), 1u);
    EXPECT_EQ(wire[0].Request(), USB_REQUEST_GET_DESCRIPTOR);
    for (size_t i = 1; i < wire.size(); i++) EXPECT_LT(wire[i].Status, 0);
    EXPECT_EQ(InterfaceInfoBytes(handle), before);
    EXPECT_EQ(SelectedInterface(handle).AlternateSetting, 0);
    EXPECT_EQ(OurBlocks(), 1);
    EXPECT_LT(LastStatus(handle), 0);
}

// A camera behind the scripted bus, for the answers the emulated bus never
// gives: descriptors shorter or longer than asked, interface records that do
// not fit their URB.
class ScriptedConfigurationTest : public ScriptedDeviceTest {
protected:
    void SetUp() override {
        ScriptedDeviceTest::SetUp();
        camera_.Install();
    }
    // A start that must be refused before any selection is sent, keeping nothing.
    void ExpectStartRefused(NTSTATUS expected) {
        camera_.Clear();
        EXPECT_EQ(sim::PnpStartDevice(pdo_), expected);
        EXPECT_EQ(camera_.Count(URB_FUNCTION_SELECT_CONFIGURATION), 0u);
        EXPECT_FALSE(Opens());
        EXPECT_EQ(OurBlocks(), 0);  // no pipe table kept
    }

    ScriptedCamera camera_;
};

TEST_F(ScriptedConfigurationTest, HeaderMustReachItsTotalLength) {
    // The 9-byte header read answered with only `received` bytes.
    ULONG received = 3;
    camera_.OnDescriptor = [&](struct _URB_CONTROL_DESCRIPTOR_REQUEST *request, int) {
        if (request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
            request->TransferBufferLength == 9) {
            request->TransferBufferLength = received;
        }
    };
    // Three bytes stop inside wTotalLength: nothing to size the read by.
    ExpectStartRefused(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(camera_.Count(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 2u);
    // Four bytes hold it: the start goes on.
    received = 4;
    camera_.Clear();
    EXPECT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(camera_.Count(URB_FUNCTION_SELECT_CONFIGURATION), 1u);
}

TEST_F(ScriptedConfigurationTest, WholeConfigurationMustHaveArrivedAsItClaims) {
    const ULONG total = (ULONG)camera_.Configuration.size();
    // How the read of the whole configuration (more than 9 bytes asked) is bent.
    std::function<void(struct _URB_CONTROL_DESCRIPTOR_REQUEST *)> bend;
    camera_.OnDescriptor = [&](struct _URB_CONTROL_DESCRIPTOR_REQUEST *request, int) {
        if (request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
            request->TransferBufferLength > 9 && bend) {
            bend(request);
        }
    };
    // The last endpoint descriptor did not arrive.
    bend = [&](struct _URB_CONTROL_DESCRIPTOR_REQUEST *request) {
        request->TransferBufferLength = total - 7;
    };
    ExpectStartRefused(STATUS_UNSUCCESSFUL);
    // The second read claims a longer configuration than the header did.
    bend = [&](struct _URB_CONTROL_DESCRIPTOR_REQUEST *request) {
        ((uint8_t *)request->TransferBuffer)[2] = (uint8_t)(total + 7);
    };
    ExpectStartRefused(STATUS_UNSUCCESSFUL);
    // The bus reports more bytes than the buffer it was given holds.
    bend = [&](struct _URB_CONTROL_DESCRIPTOR_REQUEST *request) {
        request->TransferBufferLength += 100;
    };
    ExpectStartRefused(STATUS_UNSUCCESSFUL);

    bend = nullptr;
    EXPECT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(Opens());
}

TEST_F(ScriptedConfigurationTest, AnInterfaceRecordThatDoesNotFitFailsTheStart) {
    // The bus answers a record whose Length runs past the URB, or whose pipe
    // count does not fit its Length: no copy is kept and the start fails.
    std::function<void(PUSBD_INTERFACE_INFORMATION)> bend;
    camera_.OnSelectConfiguration = [&](PUSBD_INTERFACE_INFORMATION info) {
        if (bend) bend(info);
    };
    bend = [](PUSBD_INTERFACE_INFORMATION info) { info->Length += 5 * sizeof(USBD_PIPE_INFORMATION); };
    EXPECT_EQ(sim::PnpStartDevice(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Opens());
    EXPECT_EQ(OurBlocks(), 0);
    bend = [](PUSBD_INTERFACE_INFORMATION info) { info->NumberOfPipes += 1; };
    EXPECT_EQ(sim::PnpStartDevice(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Opens());
    EXPECT_EQ(OurBlocks(), 0);

    bend = nullptr;
    EXPECT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(SelectedInterface(Open()).NumberOfPipes, 2u);
}

// Every code that takes a pipe index refuses PipeIndex = NumberOfPipes (and
// beyond) before anything is sent; the last valid index is served.
TEST_F(ScriptedConfigurationTest, PipeIndexAtThePipeCountIsRefusedBeforeAnythingIsSent) {
    ASSERT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    const ULONG pipes = Ext()->InterfaceInfo->NumberOfPipes;
    ASSERT_EQ(pipes, 2u);
    sim::ClientHandle handle = Open();
    for (ULONG code : {IOCTL_USBCAM_RESET_PIPE, IOCTL_USBCAM_ABORT_PIPE}) {
        SCOPED_TRACE(std::to_string(code));
        for (ULONG index : {pipes, pipes + 1, 0xFFFFFFFFu}) {
            camera_.Clear();
            PipeIndexRecord record = {index};
            sim::IoResult r = Ioctl(handle, code, &record, sizeof(record), nullptr, 0);
            EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER) << index;
            EXPECT_EQ(r.Information, 0u);
            EXPECT_TRUE(camera_.Urbs().empty()) << index;
        }
        camera_.Clear();
        PipeIndexRecord last = {pipes - 1};
        EXPECT_EQ(Ioctl(handle, code, &last, sizeof(last), nullptr, 0).Status, STATUS_SUCCESS);
        auto urbs = camera_.Urbs();
        ASSERT_EQ(urbs.size(), 1u);
        EXPECT_EQ(urbs[0].PipeHandle, ScriptedPipeHandle(pipes - 1));
    }
}

// A configuration of nearly 64 KiB (vendor descriptors after the interface)
// is read whole in one control transfer, whose length never exceeds 65535.
TEST_F(ScriptedConfigurationTest, AConfigurationOfNearly64KiBIsReadWithinOneControlTransfer) {
    const size_t total = 65530;
    while (camera_.Configuration.size() < total) {
        const size_t room = total - camera_.Configuration.size();
        const uint8_t length = (uint8_t)std::min<size_t>(room, 250);
        std::vector<uint8_t> vendor(length, 0);
        vendor[0] = length;
        vendor[1] = 0xFF;
        camera_.Configuration.insert(camera_.Configuration.end(), vendor.begin(), vendor.end());
    }
    camera_.Configuration[2] = (uint8_t)total;
    camera_.Configuration[3] = (uint8_t)(total >> 8);
    ASSERT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    for (const auto &sent : camera_.Urbs()) {
        if (sent.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) EXPECT_LE(sent.Length, 0xFFFFu);
    }
    EXPECT_TRUE(Opens());
}

// Two clients select at once, the first one's request still inside the
// bus when the second is sent: the table left must be the one of the
// selection the bus answered last, which is the one the device is in.
TEST_F(ScriptedConfigurationTest, ConcurrentSelectionsLeaveTheTableOfTheLastOneTheBusAnswered) {
    ASSERT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    sim::ClientHandle handle = Open();
    std::mutex lock;
    std::condition_variable wake;
    bool release = false;
    int answered = 0;
    // Each selection's pipes get handles of their own: 0x500 + 16 k + i.
    camera_.OnUrb = [&](PURB urb) {
        if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_INTERFACE) return;
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
        std::unique_lock<std::mutex> hold(lock);
        const int k = answered++;
        info->NumberOfPipes = 2;
        for (ULONG i = 0; i < 2; i++) {
            info->Pipes[i].PipeHandle = (USBD_PIPE_HANDLE)(uintptr_t)(0x500 + 16 * k + i);
            info->Pipes[i].EndpointAddress = camera_.Configuration[18 + 7 * i + 2];
            info->Pipes[i].PipeType = UsbdPipeTypeBulk;
        }
        // The first selection stays inside the bus until the test lets it go.
        if (k == 0) wake.wait_for(hold, std::chrono::seconds(10), [&] { return release; });
    };
    auto select = [&] {
        InterfaceSelection selection = {0, 0};
        return Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), nullptr, 0)
            .Status;
    };
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    std::atomic<bool> secondDone{false};
    std::thread a([&] { first = select(); });
    for (int i = 0; i < 10000; i++) {
        {
            std::lock_guard<std::mutex> hold(lock);
            if (answered == 1) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::thread b([&] {
        second = select();
        secondDone = true;
    });
    // Room for the second selection to overtake the first, if it can.
    for (int i = 0; i < 200 && !secondDone; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    {
        std::lock_guard<std::mutex> hold(lock);
        release = true;
    }
    wake.notify_all();
    a.join();
    b.join();
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, STATUS_SUCCESS);
    ASSERT_EQ(answered, 2);
    const Interface left = SelectedInterface(handle);
    ASSERT_FALSE(left.Pipes.empty());
    EXPECT_EQ(left.Pipes[0].PipeHandle, (USBD_PIPE_HANDLE)(uintptr_t)(0x500 + 16));
}

TEST_F(ScriptedConfigurationTest, DescriptorCountsNeverExceedWhatWasAsked) {
    ASSERT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    // A bus that reports more bytes than it was asked for.
    camera_.OnDescriptor = [](struct _URB_CONTROL_DESCRIPTOR_REQUEST *request, int) {
        request->TransferBufferLength += 22;
    };
    sim::ClientHandle handle = Open();
    std::vector<uint8_t> out(64);
    sim::IoResult r = Ioctl(handle, IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, out.data(),
                            (ULONG)out.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 18u);
    ULONG received = 0;
    AtPassive(driver_, [&] {
        received = GetDescriptor(pdo_->AttachedDevice, out.data(), 20,
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE);
    });
    EXPECT_EQ(received, 20u);

    // A vendor read: never more than its record asked for, even with room
    // in the output for more.
    camera_.OnUrb = [](PURB urb) {
        if (urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE) {
            urb->UrbControlVendorClassRequest.TransferBufferLength += 30;
        }
    };
    VendorRequestRecord read = {0xA0, 0, 0x100, 0, 10, 1, 0};
    r = Ioctl(handle, IOCTL_USBCAM_VENDOR_REQUEST, &read, sizeof(read), out.data(),
              (ULONG)out.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 10u);
}

TEST_F(ScriptedConfigurationTest, TransferCommandThatTimesOutIsAnIoTimeout) {
    ASSERT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
    camera_.TransferStatus = STATUS_TIMEOUT;
    NTSTATUS status = STATUS_PENDING;
    AtPassive(driver_, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        ASSERT_NE(irp, nullptr);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength = 64;
        status = SendTransferCommand(pdo_->AttachedDevice, irp, 2);
        IoFreeIrp(irp);
    });
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(camera_.Count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 1u);
}

}  // namespace
}  // namespace drvtest
