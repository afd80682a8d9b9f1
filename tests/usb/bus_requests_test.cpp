// Control, configuration, pipe and port requests against the reference
// camera: what the URB returns and what crossed the bus.
#include <gtest/gtest.h>

#include <string.h>

#include "urb_client.h"

using namespace usbtest;
namespace bus = sim::usb;

namespace {

struct Setup {
    uint8_t Type, Request;
    uint16_t Value, Index, Length;
};

// The control records of the wire log, in order.
std::vector<bus::WireRecord> ControlRecords() {
    std::vector<bus::WireRecord> out;
    for (const auto &r : bus::WireLog())
        if (r.HasSetup) out.push_back(r);
    return out;
}

void ExpectSetup(const bus::WireRecord &r, Setup s) {
    EXPECT_EQ(s.Type, r.RequestType());
    EXPECT_EQ(s.Request, r.Request());
    EXPECT_EQ(s.Value, r.Value());
    EXPECT_EQ(s.Index, r.Index());
    EXPECT_EQ(s.Length, r.SetupLength());
}

class BusRequests : public BusTest {};

TEST_F(BusRequests, DescriptorReadsAnswerAsTheReferenceCameraAndFormStandardSetupPackets) {
    uint8_t device[18] = {};
    UrbBuffer d = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof device);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, d.Urb()));
    EXPECT_EQ(USBD_STATUS_SUCCESS, d.Urb()->UrbHeader.Status);
    EXPECT_EQ(18u, d.Urb()->UrbControlDescriptorRequest.TransferBufferLength);
    auto *dd = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device);
    EXPECT_EQ(0x1209, dd->idVendor);
    EXPECT_EQ(0x0001, dd->idProduct);
    EXPECT_EQ(0x0200, dd->bcdUSB);
    EXPECT_EQ(1, dd->bNumConfigurations);

    // A 9-byte header read, then the whole descriptor into a larger buffer.
    uint8_t config[300] = {};
    UrbBuffer h = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, 9);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, h.Urb()));
    uint16_t total = (uint16_t)(config[2] | (config[3] << 8));
    EXPECT_EQ(9u + 4 * 9 + 9 * 7, total);  // four settings, nine endpoints
    UrbBuffer c = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, total + 16u);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, c.Urb()));
    EXPECT_EQ(total, c.Urb()->UrbControlDescriptorRequest.TransferBufferLength);

    // The product string in language 0x0409, and the language list.
    uint8_t text[64] = {};
    UrbBuffer s = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, dd->iProduct, 0x0409, text, sizeof text);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, s.Urb()));
    ASSERT_EQ(2u + 2 * 12, s.Urb()->UrbControlDescriptorRequest.TransferBufferLength);
    std::string product;
    for (int i = 2; i < text[0]; i += 2) product += (char)text[i];
    EXPECT_EQ("Tavrinoscope", product);
    uint8_t languages[4] = {};
    UrbBuffer l = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 0, 0, languages, sizeof languages);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, l.Urb()));
    EXPECT_EQ(0x09, languages[2]);
    EXPECT_EQ(0x04, languages[3]);

    // A string the camera does not have, and a descriptor asked of an
    // interface: the camera stalls; the URB says so and the IRP fails.
    UrbBuffer missing = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, text, sizeof text);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, missing.Urb()));
    EXPECT_EQ(USBD_STATUS_STALL_PID, missing.Urb()->UrbHeader.Status);
    UrbBuffer iface = DescriptorRequest(0x21, 0, 0, text, sizeof text, URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, iface.Urb()));

    auto log = ControlRecords();
    ASSERT_EQ(7u, log.size());
    ExpectSetup(log[0], {0x80, 6, 0x0100, 0, 18});
    ExpectSetup(log[1], {0x80, 6, 0x0200, 0, 9});
    ExpectSetup(log[2], {0x80, 6, 0x0200, 0, (uint16_t)(total + 16)});
    ExpectSetup(log[3], {0x80, 6, (uint16_t)(0x0300 + dd->iProduct), 0x0409, 64});
    ExpectSetup(log[4], {0x80, 6, 0x0300, 0, 4});
    ExpectSetup(log[6], {0x81, 6, 0x2100, 0, 64});
    EXPECT_EQ(USBD_STATUS_STALL_PID, log[5].Status);
    EXPECT_EQ(total, log[2].ActualLength);
}

TEST_F(BusRequests, SelectionFillsPipeTablesAndReplacingASettingInvalidatesItsHandles) {
    Selection s = Configure(Pdo, 0x3FFFFF);
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    ASSERT_NE(nullptr, s.Configuration);
    ASSERT_EQ(4u, s.Pipes.size());
    EXPECT_EQ(0xFF, s.Interface.Class);
    const uint8_t addresses[4] = {0x01, 0x81, 0x82, 0x83};
    const USBD_PIPE_TYPE types[4] = {UsbdPipeTypeBulk, UsbdPipeTypeBulk, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(addresses[i], s.Pipes[i].EndpointAddress);
        EXPECT_EQ(types[i], s.Pipes[i].PipeType);
        EXPECT_NE(nullptr, s.Pipes[i].PipeHandle);
        EXPECT_EQ(0x3FFFFFu, s.Pipes[i].MaximumTransferSize);  // the client's, kept
    }
    EXPECT_EQ(512, s.Pipes[2].MaximumPacketSize);
    EXPECT_EQ(64, s.Pipes[3].MaximumPacketSize);
    EXPECT_EQ(1, bus::GetCameraState(Port).Configuration);

    // Alternate setting 1: isochronous pipes of 1024-byte packets.
    Selection a1 = SelectAlternate(Pdo, s.Configuration, 1, 4);
    ASSERT_EQ(STATUS_SUCCESS, a1.Status);
    ASSERT_EQ(4u, a1.Pipes.size());
    EXPECT_EQ(0x84, a1.Pipes[2].EndpointAddress);
    EXPECT_EQ(UsbdPipeTypeIsochronous, a1.Pipes[2].PipeType);
    EXPECT_EQ(1024, a1.Pipes[2].MaximumPacketSize);
    EXPECT_EQ(0x05, a1.Pipes[3].EndpointAddress);
    EXPECT_EQ(0xFFFFu, a1.Pipes[3].MaximumTransferSize);
    EXPECT_EQ(1, bus::GetCameraState(Port).AltSetting.at(0));

    // The handles of setting 0 are gone.
    uint8_t data[512];
    UrbBuffer stale = BulkTransfer(s.Pipes[2].PipeHandle, true, data, sizeof data);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, stale.Urb()));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, stale.Urb()->UrbHeader.Status);

    // Alternate setting 2 has no endpoints; setting 3 does not exist; a pipe
    // table too short for setting 1's four endpoints is refused.
    Selection a2 = SelectAlternate(Pdo, s.Configuration, 2, 0);
    EXPECT_EQ(STATUS_SUCCESS, a2.Status);
    EXPECT_EQ(0u, a2.Interface.NumberOfPipes);
    size_t before = ControlRecords().size();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectAlternate(Pdo, s.Configuration, 3, 0).Status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectAlternate(Pdo, s.Configuration, 1, 2).Status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SelectAlternate(Pdo, (PVOID)0x1234, 1, 4).Status);
    EXPECT_EQ(before, ControlRecords().size());  // refused selections send nothing
    EXPECT_EQ(2, bus::GetCameraState(Port).AltSetting.at(0));

    // Unconfigure: the request with no descriptor.
    UrbBuffer un;
    un.Bytes.assign(sizeof(struct _URB_SELECT_CONFIGURATION), 0);
    un.Urb()->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    un.Urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, un.Urb()));
    EXPECT_EQ(0, bus::GetCameraState(Port).Configuration);
    UrbBuffer gone = BulkTransfer(a1.Pipes[1].PipeHandle, true, data, sizeof data);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, gone.Urb()));

    auto log = ControlRecords();
    ASSERT_GE(log.size(), 5u);
    ExpectSetup(log[1], {0x00, 9, 1, 0, 0});      // SET_CONFIGURATION(1)
    ExpectSetup(log[2], {0x01, 11, 1, 0, 0});     // SET_INTERFACE(1, 0)
    ExpectSetup(log[3], {0x01, 11, 2, 0, 0});     // SET_INTERFACE(2, 0)
    ExpectSetup(log.back(), {0x00, 9, 0, 0, 0});  // SET_CONFIGURATION(0)
}

TEST_F(BusRequests, VendorClassFeatureAndStatusRequestsReachTheirRecipients) {
    ASSERT_EQ(STATUS_SUCCESS, Configure(Pdo).Status);
    // A memory load in 64-byte chunks across the end of the 64 KiB memory,
    // read back with the device-to-host form of the same request.
    std::vector<uint8_t> image(128);
    for (size_t i = 0; i < image.size(); ++i) image[i] = (uint8_t)(i * 7 + 1);
    for (int chunk = 0; chunk < 2; ++chunk) {
        UrbBuffer w = VendorClassRequest(URB_FUNCTION_VENDOR_DEVICE, false, 0xA0, (uint16_t)(0xFFC0 + 64 * chunk), 0,
                                         image.data() + 64 * chunk, 64);
        ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, w.Urb()));
    }
    std::vector<uint8_t> back(128);
    UrbBuffer r = VendorClassRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0xA0, 0xFFC0, 0, back.data(), 128);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, r.Urb()));
    EXPECT_EQ(128u, r.Urb()->UrbControlVendorClassRequest.TransferBufferLength);
    EXPECT_EQ(image, back);
    auto memory = bus::GetCameraState(Port).Memory;
    EXPECT_EQ(image[0], memory[0xFFC0]);
    EXPECT_EQ(image[64], memory[0x0000]);

    // The register file: a write, and a read that the camera answers short
    // (it stops at the last register).
    uint8_t regs[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    UrbBuffer rw = VendorClassRequest(URB_FUNCTION_VENDOR_INTERFACE, false, 0x10, 252, 0, regs, 4);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, rw.Urb()));
    uint8_t answer[64] = {};
    UrbBuffer rr = VendorClassRequest(URB_FUNCTION_VENDOR_ENDPOINT, true, 0x11, 250, 0x82, answer, 64);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, rr.Urb()));
    EXPECT_EQ(6u, rr.Urb()->UrbControlVendorClassRequest.TransferBufferLength);
    EXPECT_EQ(0xEF, answer[5]);
    UrbBuffer other = VendorClassRequest(URB_FUNCTION_VENDOR_OTHER, false, 0x12, 7, 0x5A, nullptr, 0);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, other.Urb()));
    EXPECT_EQ(0x5A, bus::GetCameraState(Port).Registers[7]);

    // Class requests stall: the reference profile defines none.
    UrbBuffer cls = VendorClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x81, 0x0100, 0, answer, 2);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, cls.Urb()));
    EXPECT_EQ(USBD_STATUS_STALL_PID, cls.Urb()->UrbHeader.Status);
    EXPECT_EQ(0u, cls.Urb()->UrbControlVendorClassRequest.TransferBufferLength);

    // Remote wake-up set on the device shows in its status word.
    UrbBuffer f = FeatureRequest(URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, f.Urb()));
    EXPECT_TRUE(bus::GetCameraState(Port).RemoteWakeup);
    uint8_t status[2] = {};
    UrbBuffer gs;
    gs.Bytes.assign(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), 0);
    gs.Urb()->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    gs.Urb()->UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    gs.Urb()->UrbControlGetStatusRequest.TransferBuffer = status;
    gs.Urb()->UrbControlGetStatusRequest.TransferBufferLength = 2;
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, gs.Urb()));
    EXPECT_EQ(2, status[0] & 2);
    // A feature the interface does not have stalls.
    UrbBuffer bad = FeatureRequest(URB_FUNCTION_SET_FEATURE_TO_INTERFACE, 5, 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, bad.Urb()));

    auto log = ControlRecords();
    ASSERT_EQ(12u, log.size());  // the first two are Configure's
    ExpectSetup(log[2], {0x40, 0xA0, 0xFFC0, 0, 64});
    ExpectSetup(log[3], {0x40, 0xA0, 0x0000, 0, 64});
    ExpectSetup(log[4], {0xC0, 0xA0, 0xFFC0, 0, 128});
    ExpectSetup(log[5], {0x41, 0x10, 252, 0, 4});
    ExpectSetup(log[6], {0xC2, 0x11, 250, 0x82, 64});
    ExpectSetup(log[7], {0x43, 0x12, 7, 0x5A, 0});
    ExpectSetup(log[8], {0xA1, 0x81, 0x0100, 0, 2});
    ExpectSetup(log[9], {0x00, 3, 1, 0, 0});
    ExpectSetup(log[10], {0x80, 0, 0, 0, 2});
    ExpectSetup(log[11], {0x01, 3, 5, 0, 0});
    std::vector<uint8_t> sent(log[2].Data.begin(), log[2].Data.end());
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 64), sent);
}

// A register read without a data stage has no buffer at all: it answers no
// bytes and the camera touches no memory for it.
TEST_F(BusRequests, AVendorReadWithoutDataStageAnswersNoBytes) {
    UrbBuffer empty = VendorClassRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0x11, 7, 0, nullptr, 0);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, empty.Urb()));
    EXPECT_EQ(0u, empty.Urb()->UrbControlVendorClassRequest.TransferBufferLength);
}

TEST_F(BusRequests, MalformedUrbsAreRefusedAndRequestsWithoutTrafficSendNothing) {
    Selection s = Configure(Pdo);
    ASSERT_EQ(STATUS_SUCCESS, s.Status);
    bus::WireLogClear();

    // Wrong header lengths and an unknown function.
    uint8_t buffer[18];
    UrbBuffer d = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof buffer);
    d.Urb()->UrbHeader.Length = 128;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, d.Urb()));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, d.Urb()->UrbHeader.Status);
    UrbBuffer p = PipeRequest(URB_FUNCTION_ABORT_PIPE, s.Pipes[0].PipeHandle, 38);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, p.Urb()));
    UrbBuffer u = FrameNumberRequest();
    u.Urb()->UrbHeader.Function = 0x0099;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, u.Urb()));
    EXPECT_EQ(USBD_STATUS_INVALID_URB_FUNCTION, u.Urb()->UrbHeader.Status);
    UrbBuffer noBuffer = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 18);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, noBuffer.Urb()));

    // Pipe requests of either length (36 for clients of USBDI below 0x101),
    // abort and frame number: no traffic. The reset sends CLEAR_FEATURE.
    UrbBuffer a36 = PipeRequest(URB_FUNCTION_ABORT_PIPE, s.Pipes[1].PipeHandle, 36);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, a36.Urb()));
    UrbBuffer a40 = PipeRequest(URB_FUNCTION_ABORT_PIPE, s.Pipes[1].PipeHandle, 40);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, a40.Urb()));
    UrbBuffer f1 = FrameNumberRequest();
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, f1.Urb()));
    UrbBuffer f2 = FrameNumberRequest();
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, f2.Urb()));
    EXPECT_LE(f1.Urb()->UrbGetCurrentFrameNumber.FrameNumber, f2.Urb()->UrbGetCurrentFrameNumber.FrameNumber);
    EXPECT_LE(f2.Urb()->UrbGetCurrentFrameNumber.FrameNumber, bus::CurrentFrame());
    EXPECT_TRUE(ControlRecords().empty());
    UrbBuffer r36 = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, s.Pipes[2].PipeHandle, 36);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, r36.Urb()));
    auto log = ControlRecords();
    ASSERT_EQ(1u, log.size());
    ExpectSetup(log[0], {0x02, 1, 0, 0x82, 0});
    EXPECT_EQ(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, log[0].UrbFunction);

    // The interface version a client sees is settable.
    USBD_VERSION_INFORMATION v{};
    USBD_GetUSBDIVersion(&v);
    EXPECT_GE(v.USBDI_Version, 0x101u);
    bus::SetUsbdiVersion(0x100);
    USBD_GetUSBDIVersion(&v);
    EXPECT_EQ(0x100u, v.USBDI_Version);
    bus::SetUsbdiVersion(0x600);
}

TEST_F(BusRequests, PortRequestsFollowThePortKnobsAndUnplugging) {
    ULONG word = 0;
    ASSERT_EQ(STATUS_SUCCESS, PortRequest(Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ((ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED), word);
    bus::SetPortStatus(Port, USBD_PORT_CONNECTED);
    ASSERT_EQ(STATUS_SUCCESS, PortRequest(Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ((ULONG)USBD_PORT_CONNECTED, word);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PortRequest(Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr));
    bus::FailPortStatus(Port, 1, STATUS_UNSUCCESSFUL);
    word = 0x55;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PortRequest(Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ(0x55u, word);  // nothing written

    // The frame counter can be moved; URBs read it from there on.
    bus::SetFrameNumber(1000000);
    UrbBuffer f = FrameNumberRequest();
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, f.Urb()));
    EXPECT_GE(f.Urb()->UrbGetCurrentFrameNumber.FrameNumber, 1000000u);
    EXPECT_LT(f.Urb()->UrbGetCurrentFrameNumber.FrameNumber, 1000000u + 60000u);

    // A reset enables the port again; a failing reset changes nothing.
    bus::FailPortReset(Port, 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, PortRequest(Pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, PortRequest(Pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr));
    EXPECT_EQ(2u, bus::PortResetCount(Port));
    ASSERT_EQ(STATUS_SUCCESS, PortRequest(Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ((ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED), word);

    // After the camera is gone: the word reads 0, URBs fail as device gone.
    bus::Unplug(Port);
    ASSERT_EQ(STATUS_SUCCESS, PortRequest(Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word));
    EXPECT_EQ(0u, word);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, PortRequest(Pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr));
    uint8_t buffer[18];
    UrbBuffer d = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof buffer);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, SubmitSync(Pdo, d.Urb()));
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, d.Urb()->UrbHeader.Status);
    EXPECT_TRUE(bus::PluggedPorts().empty());
}

}  // namespace

namespace {

TEST_F(BusRequests, RemainingControlFunctionsFormTheirStandardSetupPackets) {
    ASSERT_EQ(STATUS_SUCCESS, Configure(Pdo).Status);
    bus::WireLogClear();
    uint8_t one = 0xFF;
    // GET_CONFIGURATION and GET_INTERFACE answer one byte each.
    UrbBuffer gc;
    gc.Bytes.assign(sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST), 0);
    gc.Urb()->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
    gc.Urb()->UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
    gc.Urb()->UrbControlGetConfigurationRequest.TransferBuffer = &one;
    gc.Urb()->UrbControlGetConfigurationRequest.TransferBufferLength = 1;
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, gc.Urb()));
    EXPECT_EQ(1, one);
    UrbBuffer gi;
    gi.Bytes.assign(sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST), 0);
    gi.Urb()->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
    gi.Urb()->UrbHeader.Function = URB_FUNCTION_GET_INTERFACE;
    gi.Urb()->UrbControlGetInterfaceRequest.TransferBuffer = &one;
    gi.Urb()->UrbControlGetInterfaceRequest.TransferBufferLength = 1;
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, gi.Urb()));
    EXPECT_EQ(0, one);
    // CLEAR_FEATURE(remote wake-up) on the device; class requests to the other
    // recipients stall; SET_DESCRIPTOR is not supported.
    UrbBuffer cf = FeatureRequest(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 0);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, cf.Urb()));
    for (USHORT f : {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER}) {
        UrbBuffer c = VendorClassRequest(f, false, 0x0B, 1, 2, nullptr, 0);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, c.Urb()));
    }
    uint8_t descriptor[9] = {9, 2};
    UrbBuffer sd = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof descriptor,
                                     URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, sd.Urb()));
    // A raw control transfer on the default pipe, read of the device descriptor.
    uint8_t device[18] = {};
    UrbBuffer ct;
    ct.Bytes.assign(sizeof(struct _URB_CONTROL_TRANSFER), 0);
    ct.Urb()->UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
    ct.Urb()->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    auto &c = ct.Urb()->UrbControlTransfer;
    c.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_DEFAULT_PIPE_TRANSFER;
    c.TransferBuffer = device;
    c.TransferBufferLength = sizeof device;
    const uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
    memcpy(c.SetupPacket, setup, 8);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, ct.Urb()));
    EXPECT_EQ(18u, c.TransferBufferLength);
    EXPECT_EQ(0x12, device[0]);

    auto log = ControlRecords();
    ASSERT_EQ(8u, log.size());
    ExpectSetup(log[0], {0x80, 8, 0, 0, 1});
    ExpectSetup(log[1], {0x81, 10, 0, 0, 1});
    ExpectSetup(log[2], {0x00, 1, 1, 0, 0});
    ExpectSetup(log[3], {0x20, 0x0B, 1, 2, 0});
    ExpectSetup(log[4], {0x22, 0x0B, 1, 2, 0});
    ExpectSetup(log[5], {0x23, 0x0B, 1, 2, 0});
    ExpectSetup(log[6], {0x00, 7, 0x0200, 0, 9});
    ExpectSetup(log[7], {0x80, 6, 0x0100, 0, 18});
}

}  // namespace

namespace {

// Every control URB function with a fixed setup packet reaches the wire with
// the bmRequestType and bRequest of USB 2.0 chapter 9 for its recipient, and
// with wValue, wIndex and wLength from the URB's own fields; whether the
// camera stalls it does not matter here. The table below is written from the
// platform's URB function list, not from the buses' shared table.
TEST_F(BusRequests, EveryControlFunctionFormsItsDocumentedSetupPacket) {
    ASSERT_EQ(STATUS_SUCCESS, Configure(Pdo).Status);
    enum Kind { Descriptor,
                Feature,
                Status,
                VendorClass };
    const struct {
        USHORT Function;
        Kind K;
        uint8_t Type, Request;
    } rows[] = {
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, Descriptor, 0x80, 6},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, Descriptor, 0x81, 6},
        {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, Descriptor, 0x82, 6},
        {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, Descriptor, 0x00, 7},
        {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, Descriptor, 0x01, 7},
        {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, Descriptor, 0x02, 7},
        {URB_FUNCTION_SET_FEATURE_TO_DEVICE, Feature, 0x00, 3},
        {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, Feature, 0x01, 3},
        {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, Feature, 0x02, 3},
        {URB_FUNCTION_SET_FEATURE_TO_OTHER, Feature, 0x03, 3},
        {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, Feature, 0x00, 1},
        {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, Feature, 0x01, 1},
        {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, Feature, 0x02, 1},
        {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, Feature, 0x03, 1},
        {URB_FUNCTION_GET_STATUS_FROM_DEVICE, Status, 0x80, 0},
        {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, Status, 0x81, 0},
        {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, Status, 0x82, 0},
        {URB_FUNCTION_GET_STATUS_FROM_OTHER, Status, 0x83, 0},
        {URB_FUNCTION_VENDOR_DEVICE, VendorClass, 0xC0, 0x44},
        {URB_FUNCTION_VENDOR_INTERFACE, VendorClass, 0xC1, 0x44},
        {URB_FUNCTION_VENDOR_ENDPOINT, VendorClass, 0xC2, 0x44},
        {URB_FUNCTION_VENDOR_OTHER, VendorClass, 0xC3, 0x44},
        {URB_FUNCTION_CLASS_DEVICE, VendorClass, 0xA0, 0x44},
        {URB_FUNCTION_CLASS_INTERFACE, VendorClass, 0xA1, 0x44},
        {URB_FUNCTION_CLASS_ENDPOINT, VendorClass, 0xA2, 0x44},
        {URB_FUNCTION_CLASS_OTHER, VendorClass, 0xA3, 0x44},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "URB function 0x" << std::hex << row.Function);
        bus::WireLogClear();
        uint8_t buffer[4] = {4, 3, 0, 0};
        UrbBuffer u;
        ::Setup expected{row.Type, row.Request, 0, 0, 0};
        switch (row.K) {
            case Descriptor:
                u = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, 4, row.Function);
                expected = {row.Type, row.Request, 0x0302, 0x0409, 4};
                break;
            case Feature:
                u = FeatureRequest(row.Function, 0x11, 0x22);
                expected = {row.Type, row.Request, 0x11, 0x22, 0};
                break;
            case Status:
                u.Bytes.assign(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), 0);
                u.Urb()->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
                u.Urb()->UrbHeader.Function = row.Function;
                u.Urb()->UrbControlGetStatusRequest.Index = 0x33;
                u.Urb()->UrbControlGetStatusRequest.TransferBuffer = buffer;
                u.Urb()->UrbControlGetStatusRequest.TransferBufferLength = 2;
                expected = {row.Type, row.Request, 0, 0x33, 2};
                break;
            case VendorClass:
                u = VendorClassRequest(row.Function, true, 0x44, 0x55, 0x66, buffer, 3);
                expected = {row.Type, row.Request, 0x55, 0x66, 3};
                break;
        }
        const NTSTATUS status = SubmitSync(Pdo, u.Urb());
        // A stall is the camera's answer; a refusal by the bus is not.
        EXPECT_NE(USBD_STATUS_INVALID_URB_FUNCTION, u.Urb()->UrbHeader.Status);
        EXPECT_NE(STATUS_INVALID_PARAMETER, status);
        auto log = ControlRecords();
        ASSERT_EQ(1u, log.size());
        ExpectSetup(log[0], expected);
        EXPECT_EQ(row.Function, log[0].UrbFunction);
        // The header length of the function's own URB record is required.
        u.Urb()->UrbHeader.Length = (USHORT)(u.Urb()->UrbHeader.Length + 8);
        u.Bytes.resize(u.Bytes.size() + 8);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, u.Urb()));
    }
    // The vendor and class requests' direction comes from the transfer flags.
    bus::WireLogClear();
    UrbBuffer out = VendorClassRequest(URB_FUNCTION_CLASS_OTHER, false, 0x45, 1, 2, nullptr, 0);
    SubmitSync(Pdo, out.Urb());
    auto log = ControlRecords();
    ASSERT_EQ(1u, log.size());
    ExpectSetup(log[0], {0x23, 0x45, 1, 2, 0});
}

}  // namespace
