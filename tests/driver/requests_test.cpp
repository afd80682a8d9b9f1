// Control and pipe requests on the wire, memory loads read back from the
// camera, the result rule of the synchronous submission and the port requests.
#include <algorithm>
#include <numeric>

#include "driver_fixture.h"
#include "scripted_bus.h"
#include "transfer/transfer_command.h"
#include "usb/usb_requests.h"

namespace drvtest {
namespace {

class RequestsTest : public OpenCameraTest {
protected:
    std::vector<sim::usb::WireRecord> Sent() { return ControlWire(camera_.Port); }
    std::vector<uint8_t> Memory() { return sim::usb::GetCameraState(camera_.Port).Memory; }
};

TEST_F(RequestsTest, DescriptorCodesAskForTheRightDescriptorAndFitTheOutput) {
    uint8_t out[64] = {};
    sim::IoResult r = Call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 18);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 18u);
    EXPECT_EQ(out[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(out[8] | (out[9] << 8), 0x1209);
    // Too small for the 18-byte descriptor: refused, nothing sent.
    r = Call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 17);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Information, 0u);

    r = Call(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, out, 9);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 9u);
    EXPECT_EQ(out[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
    r = Call(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    // No output, but a system buffer (for the input): still nothing is asked.
    uint8_t input[4] = {};
    r = Call(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, input, sizeof(input), nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);

    StringDescriptorRequest product = {2, 0, 0x0409};
    memcpy(out, &product, sizeof(product));
    r = Call(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, out, sizeof(product), out, sizeof(out));
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_GT(r.Information, 2u);
    EXPECT_EQ(out[0], r.Information);  // bLength: the whole string came back
    EXPECT_EQ(out[1], USB_STRING_DESCRIPTOR_TYPE);
    uint8_t five[5] = {2, 0, 9, 4, 0};
    EXPECT_EQ(Call(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, five, 5, out, sizeof(out)).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, &product, 4, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);

    auto wire = Sent();
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(wire[0].RequestType(), 0x80);
    EXPECT_EQ(wire[0].Value(), 0x0100);
    EXPECT_EQ(wire[0].SetupLength(), 18);
    EXPECT_EQ(wire[1].Value(), 0x0200);
    EXPECT_EQ(wire[1].SetupLength(), 9);
    EXPECT_EQ(wire[2].Value(), 0x0302);
    EXPECT_EQ(wire[2].Index(), 0x0409);
    EXPECT_EQ(wire[2].SetupLength(), sizeof(out));
}

TEST_F(RequestsTest, VendorRequestsCarryTheirDataBothWays) {
    auto send = [&](uint16_t address, uint16_t length, uint8_t data) {
        VendorRequestRecord record = {0xA0, 0, address, 0, length, 0, data};
        sim::IoResult r = Call(IOCTL_USBCAM_VENDOR_REQUEST, &record, sizeof(record), nullptr, 0);
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.Information, 0u);
    };
    send(0x1000, 1, 0x5A);
    send(0x2000, 3, 0x5A);
    send(0x3000, 300, 0x5A);
    send(0x4000, 0, 0x5A);
    auto memory = Memory();
    EXPECT_EQ(memory[0x1000], 0x5A);
    EXPECT_EQ(memory[0x2000], 0x00);
    EXPECT_EQ(memory[0x2001], 0x01);
    EXPECT_EQ(memory[0x2002], 0x02);
    for (int k = 0; k < 300; k++) ASSERT_EQ(memory[0x3000 + k], k & 0xFF) << k;
    auto wire = Sent();
    ASSERT_EQ(wire.size(), 4u);
    EXPECT_EQ(wire[0].RequestType(), 0x40);
    EXPECT_EQ(wire[0].Request(), 0xA0);
    EXPECT_EQ(wire[0].Value(), 0x1000);
    EXPECT_EQ(wire[2].SetupLength(), 300);
    EXPECT_EQ(wire[3].SetupLength(), 0);

    // Device to host: the answer overwrites the record from offset 0.
    uint8_t pattern[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    sim::usb::PokeDeviceMemory(camera_.Port, 0x5000, pattern, sizeof(pattern));
    uint8_t buffer[64] = {};
    VendorRequestRecord read = {0xA0, 0, 0x5000, 0, 10, 1, 0};
    memcpy(buffer, &read, sizeof(read));
    sim::IoResult r = Call(IOCTL_USBCAM_VENDOR_REQUEST, buffer, sizeof(read), buffer, 64);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 10u);
    EXPECT_EQ(memcmp(buffer, pattern, 10), 0);
    EXPECT_EQ(Sent().back().RequestType(), 0xC0);
    // Any non-zero Direction reads, and an answer exactly as long as the
    // output is accepted.
    VendorRequestRecord exact = {0xA0, 0, 0x5000, 0, 16, 0x80, 0};
    memcpy(buffer, &exact, sizeof(exact));
    r = Call(IOCTL_USBCAM_VENDOR_REQUEST, buffer, sizeof(exact), buffer, 16);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 16u);
    EXPECT_EQ(memcmp(buffer, pattern, 10), 0);
    EXPECT_EQ(Sent().back().RequestType(), 0xC0);

    // Malformed: a short record, or an answer longer than the output.
    sim::usb::WireLogClear();
    memcpy(buffer, &read, sizeof(read));
    EXPECT_EQ(Call(IOCTL_USBCAM_VENDOR_REQUEST, buffer, 9, buffer, 64).Status,
              STATUS_INVALID_PARAMETER);
    VendorRequestRecord tooLong = {0xA0, 0, 0, 0, 65, 1, 0};
    memcpy(buffer, &tooLong, sizeof(tooLong));
    EXPECT_EQ(Call(IOCTL_USBCAM_VENDOR_REQUEST, buffer, 10, buffer, 64).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Sent().empty());
}

// A request that fails below hands the client no byte the device did not
// write: the count is 0 and the client's buffer is left as it was, while the
// cause waits in the last USB status. Here the camera is pulled out, so the
// bus refuses every request without touching its URB, and then one stalls.
TEST_F(RequestsTest, FailedReadsDiscloseNothing) {
    sim::usb::Unplug(camera_.Port);
    std::vector<uint8_t> out(64, 0xEE);
    auto untouched = [&] {
        return std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; });
    };

    VendorRequestRecord read = {0xA0, 0, 0x100, 0, 64, 1, 0};
    sim::IoResult r = Call(IOCTL_USBCAM_VENDOR_REQUEST, &read, sizeof(read), out.data(), 64);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);  // the cause is read with GET_LAST_STATUS
    EXPECT_EQ(r.Information, 0u);
    EXPECT_TRUE(untouched());
    USBD_STATUS last = 0;
    EXPECT_EQ(Call(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &last, sizeof(last)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(last, USBD_STATUS_DEVICE_GONE);

    r = Call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, out.data(), 64);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    r = Call(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(), 64);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    StringDescriptorRequest product = {2, 0, 0x0409};
    std::vector<uint8_t> string(64, 0xEE);
    memcpy(string.data(), &product, sizeof(product));
    r = Call(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, string.data(), 4, string.data(), 64);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_TRUE(untouched());

    ControlRequestRecord control = {1, 2, 0, 0, 0xA0, 0, 0x100, 0};
    r = Call(IOCTL_USBCAM_CONTROL_REQUEST, &control, 10, out.data(), 64);
    EXPECT_LT(r.Status, 0);
    EXPECT_EQ(r.Information, 0u);
}

TEST_F(RequestsTest, AStalledVendorReadReportsNoData) {
    std::vector<uint8_t> out(32, 0xEE);
    VendorRequestRecord read = {0xA0, 0, 0x100, 0, 32, 1, 0};
    sim::usb::FailNext(camera_.Port, 0, 1, USBD_STATUS_STALL_PID);
    sim::IoResult r = Call(IOCTL_USBCAM_VENDOR_REQUEST, &read, sizeof(read), out.data(), 32);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
    // A string the camera does not have stalls too: the code reports it.
    StringDescriptorRequest missing = {0x7F, 0, 0x0409};
    std::vector<uint8_t> string(16);
    memcpy(string.data(), &missing, sizeof(missing));
    r = Call(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, string.data(), 4, string.data(), 16);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Information, 0u);
}

// A control transfer cannot carry more than 65535 bytes: longer descriptor and
// class or vendor requests ask for 65535 and succeed.
TEST_F(RequestsTest, ControlTransfersAreCappedAt65535Bytes) {
    std::vector<uint8_t> big(70000);
    sim::IoResult r =
        Call(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, big.data(), (ULONG)big.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, (ULONG_PTR)(big[2] | (big[3] << 8)));
    StringDescriptorRequest product = {2, 0, 0x0409};
    memcpy(big.data(), &product, sizeof(product));
    r = Call(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, big.data(), 4, big.data(), (ULONG)big.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_GT(r.Information, 2u);

    std::vector<uint8_t> pattern(0x10000);
    for (size_t i = 0; i < pattern.size(); i++) pattern[i] = (uint8_t)(i * 13 + (i >> 8));
    sim::usb::PokeDeviceMemory(camera_.Port, 0, pattern.data(), pattern.size());
    ControlRequestRecord read = {1, 2, 0, 0, 0xA0, 0, 0x0000, 0};
    r = Call(IOCTL_USBCAM_CONTROL_REQUEST, &read, 10, big.data(), (ULONG)big.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0xFFFFu);
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.begin() + 0xFFFF, big.begin()));

    auto wire = Sent();
    ASSERT_EQ(wire.size(), 3u);
    for (const auto &record : wire) EXPECT_EQ(record.SetupLength(), 0xFFFF);
}

TEST_F(RequestsTest, ClassAndVendorRequestsPickTheirFunctionFromTypeAndRecipient) {
    std::vector<uint8_t> data(32);
    std::iota(data.begin(), data.end(), 0x40);
    // Vendor, device, host to device: a memory load through the data buffer.
    ControlRequestRecord load = {0, 2, 0, 0, 0xA0, 0, 0x6000, 0};
    sim::IoResult r = Call(IOCTL_USBCAM_CONTROL_REQUEST, &load, 10, data.data(), 32);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 32u);
    auto memory = Memory();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin() + 0x6000));

    // Type 1 with Recipient 4 forms key 4 (class, device); Type 0 with
    // Recipient 9 forms key 9 (vendor, interface), here device to host.
    ControlRequestRecord classDevice = {0, 1, 4, 0, 0x01, 0, 0, 0};
    Call(IOCTL_USBCAM_CONTROL_REQUEST, &classDevice, 10, nullptr, 0);
    ControlRequestRecord vendorInterface = {1, 0, 9, 0, 0x10, 0, 0x0004, 0};
    std::vector<uint8_t> registers(8);
    r = Call(IOCTL_USBCAM_CONTROL_REQUEST, &vendorInterface, 10, registers.data(), 8);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 8u);

    auto wire = Sent();
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(wire[0].RequestType(), 0x40);
    EXPECT_EQ(wire[0].SetupLength(), 32);
    EXPECT_EQ(wire[1].RequestType(), 0x20);
    EXPECT_EQ(wire[1].SetupLength(), 0);
    EXPECT_EQ(wire[2].RequestType(), 0xC1);
    EXPECT_EQ(wire[2].Request(), 0x10);
    EXPECT_EQ(wire[2].Value(), 4);

    // Refused before anything is sent: key 12, or not exactly 10 bytes.
    sim::usb::WireLogClear();
    ControlRequestRecord bad = {0, 3, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Call(IOCTL_USBCAM_CONTROL_REQUEST, &bad, 10, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    uint8_t eleven[11] = {0, 2, 0};
    EXPECT_EQ(Call(IOCTL_USBCAM_CONTROL_REQUEST, eleven, 11, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_CONTROL_REQUEST, eleven, 9, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(RequestsTest, MemoryLoadsLandInTheCameraInChunksAndBlocks) {
    std::vector<uint8_t> data(128);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(0xF0 ^ i);
    MemoryAddressRecord at = {0xFFC0};
    EXPECT_EQ(Call(IOCTL_USBCAM_LOAD_MEMORY, &at, 2, data.data(), 128).Status, STATUS_SUCCESS);
    MemoryAddressRecord at2 = {0x0100};
    Call(IOCTL_USBCAM_LOAD_MEMORY, &at2, 2, data.data(), 65);
    auto memory = Memory();
    for (int i = 0; i < 64; i++) ASSERT_EQ(memory[0xFFC0 + i], data[i]) << i;
    for (int i = 0; i < 64; i++) ASSERT_EQ(memory[i], data[64 + i]) << i;
    for (int i = 0; i < 65; i++) ASSERT_EQ(memory[0x100 + i], data[i]) << i;
    auto wire = Sent();
    ASSERT_EQ(wire.size(), 4u);
    EXPECT_EQ(wire[0].Value(), 0xFFC0);
    EXPECT_EQ(wire[1].Value(), 0x0000);
    EXPECT_EQ(wire[2].SetupLength(), 64);
    EXPECT_EQ(wire[3].Value(), 0x0140);
    EXPECT_EQ(wire[3].SetupLength(), 1);

    // The second chunk fails: the first stays written, the third is never sent,
    // the client still sees success and finds the USB cause in the last status.
    sim::usb::FailAfter(camera_.Port, 0, 1, 1, USBD_STATUS_STALL_PID);
    std::vector<uint8_t> chunks(192, 0x5A);
    MemoryAddressRecord at3 = {0x2000};
    EXPECT_EQ(Call(IOCTL_USBCAM_LOAD_MEMORY, &at3, 2, chunks.data(), 192).Status, STATUS_SUCCESS);
    memory = Memory();
    EXPECT_TRUE(std::all_of(memory.begin() + 0x2000, memory.begin() + 0x2040,
                            [](uint8_t b) { return b == 0x5A; }));
    EXPECT_TRUE(std::none_of(memory.begin() + 0x2040, memory.begin() + 0x20C0,
                             [](uint8_t b) { return b == 0x5A; }));
    USBD_STATUS last = 0;
    EXPECT_EQ(Call(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &last, sizeof(last)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(last, USBD_STATUS_STALL_PID);

    // A wrong address length sends nothing and still succeeds.
    sim::usb::WireLogClear();
    uint8_t three[3] = {0, 1, 0};
    EXPECT_EQ(Call(IOCTL_USBCAM_LOAD_MEMORY, three, 3, data.data(), 16).Status, STATUS_SUCCESS);
    EXPECT_TRUE(Sent().empty());

    // Whole 512-byte blocks from address 0; the tail is not sent. Block 128
    // wraps to address 0 again.
    std::vector<uint8_t> blocks(129 * 512 + 100);
    for (size_t i = 0; i < blocks.size(); i++) blocks[i] = (uint8_t)(i * 7 + (i >> 9));
    sim::IoResult r = Call(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS, blocks.data(), 1000, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Call(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS, blocks.data(), 511, nullptr, 0).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Sent().size(), 1u);
    sim::usb::WireLogClear();
    Call(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS, blocks.data(), (ULONG)blocks.size(), nullptr, 0);
    wire = Sent();
    ASSERT_EQ(wire.size(), 129u);
    EXPECT_EQ(wire[1].Value(), 512);
    EXPECT_EQ(wire[128].Value(), 0);
    memory = Memory();
    // Block 128 overwrote block 0; block 1 is intact.
    EXPECT_TRUE(std::equal(blocks.begin() + 128 * 512, blocks.begin() + 129 * 512, memory.begin()));
    EXPECT_TRUE(std::equal(blocks.begin() + 512, blocks.begin() + 1024, memory.begin() + 512));
}

TEST_F(RequestsTest, FeaturePipeAndFrameRequests) {
    FeatureRecord wake = {USB_FEATURE_REMOTE_WAKEUP, 0};
    sim::IoResult r = Call(IOCTL_USBCAM_SET_FEATURE, &wake, 4, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);  // whatever the device answered
    EXPECT_TRUE(sim::usb::GetCameraState(camera_.Port).RemoteWakeup);
    EXPECT_EQ(Call(IOCTL_USBCAM_SET_FEATURE, &wake, 3, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);

    PipeIndexRecord pipe1 = {1};
    EXPECT_EQ(Call(IOCTL_USBCAM_RESET_PIPE, &pipe1, 4, nullptr, 0).Status, STATUS_SUCCESS);
    PipeIndexRecord pipe4 = {4};
    EXPECT_EQ(Call(IOCTL_USBCAM_RESET_PIPE, &pipe4, 4, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_RESET_PIPE, &pipe1, 3, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_ABORT_PIPE, &pipe1, 4, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_USBCAM_ABORT_PIPE, &pipe4, 4, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_ABORT_PIPE, &pipe1, 2, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);

    auto wire = Sent();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].RequestType(), 0x00);
    EXPECT_EQ(wire[0].Request(), USB_REQUEST_SET_FEATURE);
    EXPECT_EQ(wire[0].Value(), USB_FEATURE_REMOTE_WAKEUP);
    // The pipe reset clears the endpoint's halt.
    EXPECT_EQ(wire[1].RequestType(), 0x02);
    EXPECT_EQ(wire[1].Request(), USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(wire[1].Index(), 0x81);

    uint32_t frame = 0;
    r = Call(IOCTL_USBCAM_GET_FRAME_NUMBER, nullptr, 0, &frame, 4);
    if (r.Status == STATUS_SUCCESS) {
        EXPECT_EQ(r.Information, 4u);
        EXPECT_NE(frame, 0u);
    } else {
        EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);  // frame 0 reads as a failure
    }
}

TEST_F(RequestsTest, PortResetAndRecovery) {
    const uint32_t resets = sim::usb::PortResetCount(camera_.Port);
    EXPECT_EQ(Call(IOCTL_USBCAM_RESET_PORT, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::PortResetCount(camera_.Port), resets + 1);
    sim::usb::FailPortReset(camera_.Port, 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Call(IOCTL_USBCAM_RESET_PORT, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::PortResetCount(camera_.Port), resets + 2);

    // Only connected-and-disabled is reset.
    for (ULONG word : {0u, 1u, 3u}) {
        sim::usb::SetPortStatus(camera_.Port, word);
        AtPassive(driver_, [&] { RecoverPort(camera_.Fdo); });
        EXPECT_EQ(sim::usb::PortResetCount(camera_.Port), resets + 2) << word;
    }
    sim::usb::SetPortStatus(camera_.Port, USBD_PORT_CONNECTED);
    AtPassive(driver_, [&] { RecoverPort(camera_.Fdo); });
    EXPECT_EQ(sim::usb::PortResetCount(camera_.Port), resets + 3);
    ULONG word = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    AtPassive(driver_, [&] { status = GetPortStatus(camera_.Fdo, &word); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(word, (ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

TEST_F(RequestsTest, TransferCommandGoesOutOnPipeZero) {
    // A client request of the driver's own making stands in for the one a
    // transfer would be serving: only its byte count and output length are used.
    auto sendCommand = [&](UCHAR command, ULONG outputLength, ULONG_PTR *information) {
        NTSTATUS status = STATUS_PENDING;
        AtPassive(driver_, [&] {
            PIRP irp = IoAllocateIrp(1, FALSE);
            ASSERT_NE(irp, nullptr);
            IoSetNextIrpStackLocation(irp);
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength =
                outputLength;
            irp->IoStatus.Information = 0;
            status = SendTransferCommand(camera_.Fdo, irp, command);
            *information = irp->IoStatus.Information;
            IoFreeIrp(irp);
        });
        return status;
    };
    ULONG_PTR information = 0;
    EXPECT_EQ(sendCommand(2, 4096, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 64u);
    EXPECT_EQ(sendCommand(3, 16, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 16u);  // never more than the client's output holds
    auto wire = Wire(camera_.Port);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].Endpoint, 0x01);
    EXPECT_EQ(wire[0].Type, sim::usb::TransferType::Bulk);
    ASSERT_EQ(wire[0].Data.size(), 64u);
    EXPECT_EQ(wire[0].Data[0], 2);
    EXPECT_EQ(wire[1].Data[0], 3);
    EXPECT_EQ(sim::usb::GetCameraState(camera_.Port).CommandsReceived, 2u);

    // No pipes in the selected setting: refused, nothing sent.
    InterfaceSelection alt2 = {0, 2};
    Call(IOCTL_USBCAM_SELECT_INTERFACE, &alt2, 2, nullptr, 0);
    sim::usb::WireLogClear();
    EXPECT_EQ(sendCommand(2, 64, &information), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Wire(camera_.Port).empty());
}

// The submission's result rule, against a lower driver that answers exactly
// as told.
class SubmissionTest : public ScriptedDeviceTest {
protected:
    // Submits a frame-number URB whose answer is (status, usbdStatus, pend).
    NTSTATUS Submit(NTSTATUS status, USBD_STATUS usbdStatus, bool pend) {
        Scripted().OnInternal = [=](ULONG, PIO_STACK_LOCATION stack) {
            ((PURB)stack->Parameters.Others.Argument1)->UrbHeader.Status = usbdStatus;
            return ScriptedBus::Answer{status, pend};
        };
        URB urb = {};
        urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
        NTSTATUS result = STATUS_PENDING;
        AtPassive(driver_, [&] { result = SubmitUrbSync(fdo_, &urb); });
        return result;
    }
};

TEST_F(SubmissionTest, ResultRuleAndLastUsbdStatus) {
    // Started, for a client to read the last USB status.
    StartWithPipes({{0x81, UsbdPipeTypeBulk, ScriptedPipeHandle(0)}});
    EXPECT_EQ(Submit(STATUS_SUCCESS, USBD_STATUS_SUCCESS, false), STATUS_SUCCESS);
    EXPECT_EQ(Submit(STATUS_SUCCESS, USBD_STATUS_SUCCESS, true), STATUS_SUCCESS);
    EXPECT_EQ(LastStatus(handle_), 0);
    // The request succeeds but its URB carries a USB error.
    EXPECT_EQ(Submit(STATUS_SUCCESS, USBD_STATUS_STALL_PID, false), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastStatus(handle_), USBD_STATUS_STALL_PID);
    // The request's own failure wins; the USB status is still recorded.
    EXPECT_EQ(Submit(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, true),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(LastStatus(handle_), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(Submit(STATUS_IO_TIMEOUT, USBD_STATUS_SUCCESS, false), STATUS_IO_TIMEOUT);
    // A later success never clears it.
    EXPECT_EQ(Submit(STATUS_SUCCESS, USBD_STATUS_SUCCESS, true), STATUS_SUCCESS);
    EXPECT_EQ(LastStatus(handle_), USBD_STATUS_DEVICE_GONE);
}

TEST_F(SubmissionTest, PipeRequestLengthFollowsTheInterfaceVersion) {
    std::vector<USHORT> lengths;
    Scripted().OnInternal = [&](ULONG, PIO_STACK_LOCATION stack) {
        lengths.push_back(((PURB)stack->Parameters.Others.Argument1)->UrbHeader.Length);
        return ScriptedBus::Answer{};
    };
    USBD_PIPE_INFORMATION pipe = {};
    pipe.PipeHandle = (USBD_PIPE_HANDLE)0x1234;
    sim::usb::SetUsbdiVersion(0x100);
    AtPassive(driver_, [&] {
        AbortPipe(fdo_, pipe.PipeHandle);
        ResetPipe(fdo_, &pipe);
    });
    sim::usb::SetUsbdiVersion(0x101);
    AtPassive(driver_, [&] { AbortPipe(fdo_, pipe.PipeHandle); });
    EXPECT_EQ(lengths, (std::vector<USHORT>{36, 40, 40}));
}

TEST_F(SubmissionTest, PortStatusWordAndRecoveryWhenTheQueryFails) {
    // A bus driver that writes nothing leaves the word at 0.
    Scripted().OnInternal = [](ULONG, PIO_STACK_LOCATION) { return ScriptedBus::Answer{}; };
    ULONG word = 0xFFFFFFFF;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    AtPassive(driver_, [&] { status = GetPortStatus(fdo_, &word); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(word, 0u);

    // Connected-and-disabled, but the query fails: no reset.
    Scripted().InternalCodes.clear();
    Scripted().OnInternal = [](ULONG code, PIO_STACK_LOCATION stack) {
        if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            *(PULONG)stack->Parameters.Others.Argument1 = USBD_PORT_CONNECTED;
            return ScriptedBus::Answer{STATUS_UNSUCCESSFUL, true};
        }
        return ScriptedBus::Answer{};
    };
    AtPassive(driver_, [&] { RecoverPort(fdo_); });
    EXPECT_EQ(Scripted().InternalCodes, (std::vector<ULONG>{IOCTL_INTERNAL_USB_GET_PORT_STATUS}));
}

TEST_F(SubmissionTest, FullConfigurationReadGrowsOnceAndRefusesShortAnswers) {
    // The scripted camera holds a descriptor of `total` bytes (wTotalLength
    // `claimed`) and answers at most `cap` bytes per read.
    std::vector<ULONG> asked;
    auto camera = [&](ULONG total, ULONG claimed, ULONG cap) {
        asked.clear();
        Scripted().OnInternal = [&asked, total, claimed, cap](ULONG, PIO_STACK_LOCATION stack) {
            auto *request = &((PURB)stack->Parameters.Others.Argument1)->UrbControlDescriptorRequest;
            asked.push_back(request->TransferBufferLength);
            ULONG n = std::min({request->TransferBufferLength, total, cap});
            std::vector<uint8_t> bytes(total, 0x22);
            bytes[0] = 9;
            bytes[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
            bytes[2] = (uint8_t)claimed;
            bytes[3] = (uint8_t)(claimed >> 8);
            memcpy(request->TransferBuffer, bytes.data(), n);
            request->TransferBufferLength = n;
            return ScriptedBus::Answer{};
        };
    };
    auto read = [&] {
        bool found = false;
        AtPassive(driver_, [&] {
            PUSB_CONFIGURATION_DESCRIPTOR d = GetFullConfigurationDescriptor(fdo_);
            found = d != nullptr;
            if (d != nullptr) DrvFreePool(d);
        });
        return found;
    };
    camera(200, 200, 1000);
    EXPECT_TRUE(read());
    EXPECT_EQ(asked, (std::vector<ULONG>{265}));
    camera(300, 300, 1000);
    EXPECT_TRUE(read());
    EXPECT_EQ(asked, (std::vector<ULONG>{265, 300}));
    camera(300, 300, 8);  // fewer than 9 bytes
    EXPECT_FALSE(read());
    camera(200, 8, 1000);  // wTotalLength below 9
    EXPECT_FALSE(read());
    camera(200, 200, 100);  // wTotalLength more than received
    EXPECT_FALSE(read());
    EXPECT_EQ(asked, (std::vector<ULONG>{265}));
}

}  // namespace
}  // namespace drvtest
