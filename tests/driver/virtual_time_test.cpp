// The driver on a bus whose time is virtual (sim::SetVirtualTime): the same
// traffic as on the wall clock, time-outs and bandwidth in bus time.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "driver_fixture.h"
#include "virtual_machine.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace {

using sim::usb::WireRecord;

using Machine = drvtest::VirtualMachine;

// One line per transfer, in submission order, with everything but the bus
// times: the isochronous IN packets' microframe numbers (in their data) are
// counted from the first packet of the log.
std::string Describe(std::vector<WireRecord> log) {
    std::sort(log.begin(), log.end(),
              [](const WireRecord &a, const WireRecord &b) { return a.Sequence < b.Sequence; });
    std::ostringstream out;
    bool haveFirst = false;
    uint32_t firstSeq = 0;
    for (const WireRecord &r : log) {
        out << "ep " << std::hex << (int)r.Endpoint << " type " << (int)r.Type << " fn " << r.UrbFunction
            << " setup";
        for (uint8_t b : r.Setup) out << ' ' << (int)b;
        out << " req " << std::dec << r.RequestedLength << " act " << r.ActualLength << " status "
            << std::hex << r.Status << std::dec;
        if (r.Type == sim::usb::TransferType::Isochronous && r.In) {
            for (const auto &p : r.IsoPackets) {
                uint32_t seq = 0;
                const bool good = p.Length != 0 && p.Offset + p.Length <= r.Data.size() &&
                                  sim::usb::CheckReferenceIsoPacket(r.Data.data() + p.Offset, p.Length, &seq);
                if (good && !haveFirst) {
                    firstSeq = seq;
                    haveFirst = true;
                }
                out << " [" << p.Length << ' ' << std::hex << p.Status << std::dec << ' '
                    << (good ? (int64_t)(seq - firstSeq) : -1) << ']';
            }
        } else {
            for (const auto &p : r.IsoPackets) out << " [" << p.Length << ' ' << std::hex << p.Status << std::dec << ']';
            out << " data";
            for (uint8_t b : r.Data) out << ' ' << (int)b;
        }
        out << '\n';
    }
    return out.str();
}

// Descriptors, memory written and read back, a framed read of pipe 2, a
// segmented write, isochronous reads and writes in alternate setting 1.
std::string Scenario(bool virtualTime) {
    Machine m(virtualTime);
    sim::usb::WireLogSetLimits(4096, 1u << 20);
    sim::usb::WireLogClear();
    std::vector<uint8_t> out(1 << 20);

    EXPECT_EQ(m.Call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, out.data(), 18).Status, STATUS_SUCCESS);
    VendorRequestRecord write = {0xA0, 0, 0x0100, 0, 1, 0, 0x5A};
    EXPECT_EQ(m.Call(IOCTL_USBCAM_VENDOR_REQUEST, &write, sizeof(write), nullptr, 0).Status, STATUS_SUCCESS);
    VendorRequestRecord read = {0xA0, 0, 0x00F8, 0, 16, 1, 0};
    memcpy(out.data(), &read, sizeof(read));
    EXPECT_EQ(m.Call(IOCTL_USBCAM_VENDOR_REQUEST, out.data(), sizeof(read), out.data(), 16).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(out[8], 0x5A);

    PipeIndexRecord frames = {2};
    sim::IoResult r = m.Call(IOCTL_USBCAM_READ_PIPE, &frames, sizeof(frames), out.data(), 8192);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 8192u);

    PipeIndexRecord commands = {0};
    std::vector<uint8_t> payload(200 * 1024);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = (uint8_t)(i * 13 + 1);
    payload[0] = 0;  // no command the camera acts on
    r = m.Call(IOCTL_USBCAM_WRITE_PIPE_LARGE, &commands, sizeof(commands), payload.data(),
               (ULONG)payload.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);

    InterfaceSelection alt1 = {0, 1};
    EXPECT_EQ(m.Call(IOCTL_USBCAM_SELECT_INTERFACE, &alt1, sizeof(alt1), nullptr, 0).Status, STATUS_SUCCESS);
    // One request each: a second one could find its microframes passed
    // when the wall clock's test runs slowly (a sanitizer, a loaded machine).
    IsoReadRecord iso = {2, 1024, 64, 64, 1};
    r = m.Call(IOCTL_USBCAM_ISO_READ, &iso, sizeof(iso), out.data(), 64 * (1024 + 12));
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    IsoReadRecord isoOut = {3, 1024, 64, 64, 1};
    for (size_t i = 0; i < 64 * 1024; ++i) out[i] = (uint8_t)(i * 7);
    r = m.Call(IOCTL_USBCAM_ISO_WRITE, &isoOut, sizeof(isoOut), out.data(), 64 * (1024 + 12));
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    InterfaceSelection alt0 = {0, 0};
    EXPECT_EQ(m.Call(IOCTL_USBCAM_SELECT_INTERFACE, &alt0, sizeof(alt0), nullptr, 0).Status, STATUS_SUCCESS);

    std::string text = Describe(sim::usb::WireLog(m.Port()));
    sim::usb::WireLogSetLimits(4096, 4096);
    return text;
}

TEST(VirtualTimeDriverTest, TheSameScenarioCrossesTheWireAlikeOnBothClocks) {
    const std::string wall = Scenario(false);
    const std::string fast = Scenario(true);
    EXPECT_GE(std::count(wall.begin(), wall.end(), '\n'), 15);
    EXPECT_EQ(wall, fast);
}

// The data request's time-out runs from the moment the end command has come
// back (the driver then starts its wait): exactly TransferTimeoutMs of bus
// time, and the cancel reaches the wire at that very microsecond.
TEST(VirtualTimeDriverTest, ATransferTimesOutAfterItsTimeOutInBusTime) {
    Machine m(true);
    TimeoutRecord timeout = {1, 3000};
    ASSERT_EQ(m.Call(IOCTL_USBCAM_SET_TIMEOUT, &timeout, sizeof(timeout), nullptr, 0).Status, STATUS_SUCCESS);
    sim::usb::SetNeverAnswer(m.Port(), 0x82, true);
    sim::usb::WireLogClear();
    std::vector<uint8_t> out(4096);
    PipeIndexRecord frames = {2};
    // Cancelled at the time-out: a USB error (USBD_STATUS_CANCELED), so a
    // failure rather than STATUS_IO_TIMEOUT.
    EXPECT_EQ(m.Call(IOCTL_USBCAM_READ_PIPE, &frames, sizeof(frames), out.data(), 4096).Status,
              STATUS_UNSUCCESSFUL);
    sim::usb::SetNeverAnswer(m.Port(), 0x82, false);
    ULONG last = 0;
    EXPECT_EQ(m.Call(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &last, sizeof(last)).Status, STATUS_SUCCESS);
    EXPECT_EQ(last, (ULONG)USBD_STATUS_CANCELED);
    std::vector<WireRecord> log = sim::usb::WireLog(m.Port());
    ASSERT_EQ(log.size(), 3u);  // command 2, command 3, the data request (cancelled)
    EXPECT_EQ(log[0].Endpoint, 0x01);
    EXPECT_EQ(log[1].Endpoint, 0x01);
    EXPECT_EQ(log[2].Endpoint, 0x82);
    EXPECT_EQ(log[2].Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(log[2].CompleteMicros - log[1].CompleteMicros, 3000u * 1000);
}

// Bulk traffic keeps to the bus's bandwidth: 13 packets of 512 bytes per
// microframe, 104 per frame, served at frame boundaries.
TEST(VirtualTimeDriverTest, BulkTrafficKeepsToTheBusBandwidth) {
    Machine m(true);
    PipeIndexRecord commands = {0};
    std::vector<uint8_t> payload(1 << 20);  // 2048 packets
    sim::usb::WireLogClear();
    ASSERT_EQ(m.Call(IOCTL_USBCAM_WRITE_PIPE_LARGE, &commands, sizeof(commands), payload.data(),
                     (ULONG)payload.size())
                  .Status,
              STATUS_SUCCESS);
    uint64_t first = UINT64_MAX, last = 0, bytes = 0;
    for (const WireRecord &r : sim::usb::WireLog(m.Port())) {
        if (r.Endpoint != 0x01 || r.RequestedLength < 65536) continue;  // the segments
        first = std::min(first, r.SubmitMicros);
        last = std::max(last, r.CompleteMicros);
        bytes += r.ActualLength;
    }
    EXPECT_EQ(bytes, payload.size());
    // 2048 packets at 104 a frame: the 20th frame pass after the first
    // frame boundary moves the last of them.
    const uint64_t firstPass = (first / 1000 + 1) * 1000;
    EXPECT_EQ(last, firstPass + 19 * 1000);
}

}  // namespace
