// Periodic bandwidth on the emulated buses: what each setting holds, the
// refusal of a selection that does not fit next to another device, the old
// setting kept when refused, the reservation given back, and buses that do
// not share.
#include <gtest/gtest.h>

#include "urb_client.h"

namespace {

namespace bus = sim::usb;
using namespace usbtest;

// The USB 2.0 figures at high speed, in ps: one isochronous transaction of
// 1024 bytes, and the reference camera's 64-byte interrupt endpoint.
constexpr uint64_t kIso1024 = 38 * 8 * 2083 + 2083 * 9560 + 5000;  // 20,551,712
constexpr uint64_t kInterrupt64 = 55 * 8 * 2083 + 2083 * 600 + 5000;
constexpr uint64_t kBudget = 100000000;  // 80 % of 125 us

// A high-speed device whose settings hold just under (2 x 953 bytes) and just
// over (2 x 954 bytes) what a bus with one reference camera streaming at
// 3 x 1024 bytes has left: alternate setting 0 is the larger one, so the
// device cannot even be configured next to that stream.
const char *kTightDevice = R"({
  "name": "tight device",
  "device": { "idVendor": "0x1209", "idProduct": "0x0009" },
  "configuration": { "interfaces": [
    { "bInterfaceNumber": 0, "bAlternateSetting": 0, "endpoints": [
      { "bEndpointAddress": "0x81", "type": "isochronous", "wMaxPacketSize": "0x0BBA", "bInterval": 1 } ] },
    { "bInterfaceNumber": 0, "bAlternateSetting": 1, "endpoints": [
      { "bEndpointAddress": "0x81", "type": "isochronous", "wMaxPacketSize": "0x0BB9", "bInterval": 1 } ] },
    { "bInterfaceNumber": 0, "bAlternateSetting": 2, "endpoints": [] } ] }
})";
// Two transactions of n bytes per microframe.
constexpr uint64_t TwoIso(uint64_t stuffedBits) { return 2 * (38 * 8 * 2083 + 2083 * stuffedBits + 5000); }
constexpr uint64_t kTight953 = TwoIso(8897);
constexpr uint64_t kTight954 = TwoIso(8907);

struct Selected {
    NTSTATUS Status;
    USBD_STATUS UrbStatus;
    USBD_CONFIGURATION_HANDLE Configuration;
    std::vector<USBD_PIPE_INFORMATION> Pipes;
};

// Select-configuration of interface 0 in the given alternate setting.
Selected ConfigureAlternate(PDEVICE_OBJECT pdo, uint8_t alternate) {
    Selected out{};
    std::vector<uint8_t> config(512);
    UrbBuffer d = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), (ULONG)config.size());
    out.Status = SubmitSync(pdo, d.Urb());
    if (!NT_SUCCESS(out.Status)) return out;
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, alternate, -1, -1, -1), nullptr},
                                         {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    if (urb == nullptr) {
        out.Status = STATUS_NO_MEMORY;
        return out;
    }
    out.Status = SubmitSync(pdo, urb);
    out.UrbStatus = urb->UrbHeader.Status;
    out.Configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (ULONG i = 0; NT_SUCCESS(out.Status) && i < list[0].Interface->NumberOfPipes; ++i)
        out.Pipes.push_back(list[0].Interface->Pipes[i]);
    ExFreePool(urb);
    return out;
}

NTSTATUS Unconfigure(PDEVICE_OBJECT pdo) {
    UrbBuffer b;
    b.Bytes.assign(sizeof(struct _URB_SELECT_CONFIGURATION), 0);
    b.Urb()->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    b.Urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    return SubmitSync(pdo, b.Urb());
}

// True while the pipe handle is still open on the bus.
bool PipeOpen(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe) {
    UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, pipe);
    return NT_SUCCESS(SubmitSync(pdo, reset.Urb()));
}

uint64_t Held(int busNumber) { return bus::BusPeriodicBandwidth(busNumber).HeldPs; }

bus::PlugResult PlugOn(const std::string &json, int busNumber) {
    bus::PlugOptions options;
    options.Bus = busNumber;
    return bus::PlugProfileJson(json, options);
}

bool SetInterfaceOnWire(int port) {
    for (const auto &r : bus::WireLog(port))
        if (r.HasSetup && r.Request() == USB_REQUEST_SET_INTERFACE) return true;
    return false;
}

using BusBandwidth = BusTest;

// What each of the reference camera's settings holds, by the bus-time formulas.
TEST_F(BusBandwidth, EachSettingHoldsItsTransactionsWithTheirOverhead) {
    EXPECT_EQ(bus::PortBus(Port), 1);
    EXPECT_EQ(Held(1), 0u);
    EXPECT_EQ(bus::BusPeriodicBandwidth(1).BudgetPs, kBudget);
    Selection s = Configure(Pdo);
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    EXPECT_EQ(Held(1), kInterrupt64);  // 0x83, one microframe in each frame
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, s.Configuration, 1, 4).Status);
    EXPECT_EQ(Held(1), 2 * kIso1024);  // 0x84 and 0x05, every microframe
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, s.Configuration, 3, 1).Status);
    EXPECT_EQ(Held(1), 3 * kIso1024);  // 0x86, three transactions per microframe
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, s.Configuration, 2, 0).Status);
    EXPECT_EQ(Held(1), 0u);
    // Interrupt endpoints polled once a frame spread over the microframes:
    // eight cameras in setting 0 leave every microframe with one of them.
    for (int i = 0; i < 7; ++i) {
        bus::PlugResult more = bus::PlugReferenceCamera();
        ASSERT_EQ(STATUS_SUCCESS, more.Status);
        ASSERT_EQ(STATUS_SUCCESS, Configure(more.Pdo).Status);
    }
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, s.Configuration, 0, 4).Status);
    EXPECT_EQ(Held(1), kInterrupt64);
}

// Two cameras on one bus: the second stream is refused before it reaches the
// camera and leaves the second camera's setting, pipes and reservation as
// they were; a zero-bandwidth setting on the first lets the second in.
TEST_F(BusBandwidth, SecondStreamOnOneBusIsRefusedAndKeepsTheOldSetting) {
    Selection first = Configure(Pdo);
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, first.Configuration, 3, 1).Status);
    bus::PlugResult other = bus::PlugReferenceCamera();
    ASSERT_EQ(STATUS_SUCCESS, other.Status);
    EXPECT_EQ(bus::PortBus(other.Port), 1);
    Selection second = Configure(other.Pdo);
    ASSERT_EQ(STATUS_SUCCESS, second.Status);
    EXPECT_EQ(Held(1), 3 * kIso1024 + kInterrupt64);
    bus::WireLogClear();

    for (uint8_t alternate : {3, 1}) {
        Selection refused = SelectAlternate(other.Pdo, second.Configuration, alternate, alternate == 3 ? 1 : 4);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, refused.Status) << (int)alternate;
        EXPECT_TRUE(refused.Pipes.empty());
    }
    EXPECT_FALSE(SetInterfaceOnWire(other.Port));
    EXPECT_EQ(bus::GetCameraState(other.Port).AltSetting.at(0), 0);
    for (const USBD_PIPE_INFORMATION &p : second.Pipes) EXPECT_TRUE(PipeOpen(other.Pdo, p.PipeHandle));
    EXPECT_EQ(Held(1), 3 * kIso1024 + kInterrupt64);

    // The refusal carries USBD_STATUS_NO_BANDWIDTH in the URB.
    size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(1);
    UrbBuffer b;
    b.Bytes.assign(size, 0);
    b.Urb()->UrbHeader.Length = (USHORT)size;
    b.Urb()->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    b.Urb()->UrbSelectInterface.ConfigurationHandle = second.Configuration;
    b.Urb()->UrbSelectInterface.Interface.Length = (USHORT)GET_USBD_INTERFACE_SIZE(1);
    b.Urb()->UrbSelectInterface.Interface.AlternateSetting = 3;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(other.Pdo, b.Urb()));
    EXPECT_EQ(USBD_STATUS_NO_BANDWIDTH, b.Urb()->UrbHeader.Status);

    // Selected down to the setting without endpoints, the second camera holds
    // nothing; the first one gives its stream back and the second gets it.
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(other.Pdo, second.Configuration, 2, 0).Status);
    EXPECT_EQ(Held(1), 3 * kIso1024);
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, first.Configuration, 2, 0).Status);
    EXPECT_EQ(Held(1), 0u);
    EXPECT_EQ(STATUS_SUCCESS, SelectAlternate(other.Pdo, second.Configuration, 3, 1).Status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SelectAlternate(Pdo, first.Configuration, 3, 1).Status);
}

// The budget to the byte: next to a 3 x 1024-byte stream, 2 x 953 bytes per
// microframe fit and 2 x 954 do not, as a setting of a select-configuration
// (the device then stays unconfigured) or of a select-interface.
TEST_F(BusBandwidth, BudgetHoldsToTheByteForConfigurationAndInterface) {
    Selection first = Configure(Pdo);
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, first.Configuration, 3, 1).Status);
    bus::PlugResult tight = PlugOn(kTightDevice, 1);
    ASSERT_EQ(STATUS_SUCCESS, tight.Status) << tight.Error;
    bus::WireLogClear();

    Selected refused = ConfigureAlternate(tight.Pdo, 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, refused.Status);
    EXPECT_EQ(USBD_STATUS_NO_BANDWIDTH, refused.UrbStatus);
    EXPECT_EQ(bus::GetCameraState(tight.Port).Configuration, 0);
    EXPECT_TRUE(bus::WireLog(tight.Port).size() <= 1);  // the descriptor read only
    EXPECT_EQ(Held(1), 3 * kIso1024);

    Selected fits = ConfigureAlternate(tight.Pdo, 1);
    ASSERT_EQ(STATUS_SUCCESS, fits.Status);
    EXPECT_EQ(Held(1), 3 * kIso1024 + kTight953);
    EXPECT_LE(Held(1), kBudget);
    EXPECT_GT(3 * kIso1024 + kTight954, kBudget);

    EXPECT_EQ(STATUS_UNSUCCESSFUL, SelectAlternate(tight.Pdo, fits.Configuration, 0, 1).Status);
    EXPECT_EQ(bus::GetCameraState(tight.Port).AltSetting.at(0), 1);
    EXPECT_TRUE(PipeOpen(tight.Pdo, fits.Pipes.at(0).PipeHandle));
    EXPECT_EQ(Held(1), 3 * kIso1024 + kTight953);
    // A select-configuration refused on a configured device leaves its
    // configuration, pipes and reservation as they were.
    EXPECT_EQ(USBD_STATUS_NO_BANDWIDTH, ConfigureAlternate(tight.Pdo, 0).UrbStatus);
    EXPECT_EQ(bus::GetCameraState(tight.Port).Configuration, 1);
    EXPECT_EQ(bus::GetCameraState(tight.Port).AltSetting.at(0), 1);
    EXPECT_TRUE(PipeOpen(tight.Pdo, fits.Pipes.at(0).PipeHandle));
    EXPECT_EQ(Held(1), 3 * kIso1024 + kTight953);

    // Unconfiguring gives the reservation back; so does the first camera's
    // unplug, after which the larger setting fits.
    ASSERT_EQ(STATUS_SUCCESS, Unconfigure(tight.Pdo));
    EXPECT_EQ(Held(1), 3 * kIso1024);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, ConfigureAlternate(tight.Pdo, 0).Status);
    bus::Unplug(Port);
    EXPECT_EQ(Held(1), 0u);
    EXPECT_EQ(STATUS_SUCCESS, ConfigureAlternate(tight.Pdo, 0).Status);
    EXPECT_EQ(Held(1), kTight954);
}

// Cameras on separate buses each have a bus's whole budget; kNewBus picks a
// bus no camera is on.
TEST_F(BusBandwidth, CamerasOnSeparateBusesStreamAtFullRateEach) {
    std::vector<bus::PlugResult> cameras;
    for (int i = 0; i < 3; ++i) {
        cameras.push_back(PlugOn(bus::ReferenceProfileJson(), bus::kNewBus));
        ASSERT_EQ(STATUS_SUCCESS, cameras.back().Status);
        EXPECT_EQ(bus::PortBus(cameras.back().Port), i + 2);
    }
    for (const bus::PlugResult &camera : cameras) {
        Selection s = Configure(camera.Pdo);
        ASSERT_EQ(STATUS_SUCCESS, s.Status);
        EXPECT_EQ(STATUS_SUCCESS, SelectAlternate(camera.Pdo, s.Configuration, 3, 1).Status);
    }
    for (int b = 2; b <= 4; ++b) EXPECT_EQ(Held(b), 3 * kIso1024) << b;
    EXPECT_EQ(Held(1), 0u);
    // The camera on bus 1 has its own budget too.
    Selection s = Configure(Pdo);
    EXPECT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, s.Configuration, 3, 1).Status);
    EXPECT_EQ(PlugOn(bus::ReferenceProfileJson(), -1).Status, STATUS_INVALID_PARAMETER);
}

}  // namespace
