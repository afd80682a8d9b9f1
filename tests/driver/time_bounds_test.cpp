// Every time bound of the driver measured in bus time, to the frame: the
// bound of a request on the default pipe, the segmented transfer's periods
// and its claim, the selection's wait for stopping streams; and the waits a
// removal must end at once.
#include <gtest/gtest.h>

#include <string.h>

#include <thread>
#include <vector>

#include "virtual_machine.h"

namespace {

using drvtest::VirtualMachine;
using sim::usb::WireRecord;

constexpr uint64_t kFrameMicros = 1000;
constexpr uint32_t kFrameBytes = 640 * 480;  // the reference camera's frame

// Lets bus time run for the given milliseconds (a kernel wait: under
// virtual time the clock moves to its end at once).
void Sleep(uint64_t milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)milliseconds * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// The last record of the wire log on an endpoint (0 or 0x80: control).
WireRecord LastOn(int port, uint8_t endpoint) {
    WireRecord last{};
    for (const WireRecord &r : sim::usb::WireLog(port)) {
        if ((r.Endpoint & 0x7F) == (endpoint & 0x7F) && r.Sequence >= last.Sequence) last = r;
    }
    return last;
}

// A camera that answers its default pipe one frame before the bound is
// answered; one frame after, the request is cancelled at the bound exactly
// (5 s, or TransferTimeoutMs when longer), and the cancellation is published
// in the last USB status, also by the codes that answer success whatever the
// bus did.
TEST(TimeBoundsTest, DefaultPipeRequestsEndAtTheirBoundToTheFrame) {
    VirtualMachine m(true);
    struct Case {
        LONG TimeoutMs;
        uint64_t BoundMs;
    } cases[] = {{3000, 5000}, {0, 5000}, {8000, 8000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.TimeoutMs);
        ASSERT_EQ(m.SetTimeout(c.TimeoutMs), STATUS_SUCCESS);
        uint8_t descriptor[18];
        sim::usb::SetLatency(m.Port(), 0, (uint32_t)((c.BoundMs * 1000) - kFrameMicros));
        EXPECT_EQ(m.Call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, 18).Status,
                  STATUS_SUCCESS);

        // A stall first, so that the status the cancellation leaves is seen
        // to be its own.
        sim::usb::SetLatency(m.Port(), 0, 0);
        sim::usb::FailNext(m.Port(), 0, 1, USBD_STATUS_STALL_PID);
        m.Call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, 18);
        ASSERT_EQ(m.LastStatus(), USBD_STATUS_STALL_PID);

        sim::usb::SetLatency(m.Port(), 0, (uint32_t)((c.BoundMs * 1000) + kFrameMicros));
        sim::usb::WireLogClear();
        VendorRequestRecord write = {0xA0, 0, 0x0100, 0, 1, 0, 0x5A};
        EXPECT_EQ(m.Call(IOCTL_USBCAM_VENDOR_REQUEST, &write, sizeof(write), nullptr, 0).Status,
                  STATUS_SUCCESS);
        const WireRecord r = LastOn(m.Port(), 0);
        EXPECT_EQ(r.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(r.CompleteMicros - r.SubmitMicros, c.BoundMs * 1000);
        EXPECT_EQ(m.LastStatus(), USBD_STATUS_CANCELED)
            << "a memory write that never happened left no trace";
        sim::usb::SetLatency(m.Port(), 0, 0);
    }
}

// The end command's completion, and the moment the segments were cancelled.
struct SegmentedTimes {
    uint64_t EndCommand = 0;
    uint64_t Cancelled = 0;
};
SegmentedTimes TimesOf(int port) {
    SegmentedTimes t;
    for (const WireRecord &r : sim::usb::WireLog(port)) {
        if (r.Endpoint == 0x01 && !r.Data.empty() && r.Data[0] == 3) t.EndCommand = r.CompleteMicros;
        if (r.Endpoint == 0x82 && r.Status == USBD_STATUS_CANCELED) {
            t.Cancelled = std::max(t.Cancelled, r.CompleteMicros);
        }
    }
    return t;
}

// A segmented transfer that moves nothing waits one time-out period after
// its last submission; one that brought data waits a second period.
TEST(TimeBoundsTest, SegmentedTransfersWaitOnePeriodWithoutDataAndTwoWithSome) {
    VirtualMachine m(true);
    const LONG period = 2000;
    ASSERT_EQ(m.SetTimeout(period), STATUS_SUCCESS);
    PipeIndexRecord frames = {2};

    // A whole frame and one segment more: the last segment never gets data.
    sim::usb::WireLogClear();
    std::vector<uint8_t> more(kFrameBytes + 65536);
    EXPECT_EQ(m.Call(IOCTL_USBCAM_READ_PIPE_LARGE, &frames, sizeof(frames), more.data(),
                     (ULONG)more.size())
                  .Status,
              STATUS_IO_TIMEOUT);
    SegmentedTimes t = TimesOf(m.Port());
    ASSERT_NE(t.EndCommand, 0u);
    EXPECT_EQ(t.Cancelled - t.EndCommand, 2ull * period * 1000);

    // Nothing arrives: one period.
    sim::usb::SetNeverAnswer(m.Port(), 0x82, true);
    sim::usb::WireLogClear();
    std::vector<uint8_t> nothing(200000);
    EXPECT_EQ(m.Call(IOCTL_USBCAM_READ_PIPE_LARGE, &frames, sizeof(frames), nothing.data(),
                     (ULONG)nothing.size())
                  .Status,
              STATUS_IO_TIMEOUT);
    t = TimesOf(m.Port());
    ASSERT_NE(t.EndCommand, 0u);
    EXPECT_EQ(t.Cancelled - t.EndCommand, (uint64_t)period * 1000);
    sim::usb::SetNeverAnswer(m.Port(), 0x82, false);
}

// A second segmented transfer waits for the first one's claim at most its
// own time-out period, then is refused.
TEST(TimeBoundsTest, ASecondSegmentedTransferWaitsOnePeriodForTheClaim) {
    VirtualMachine m(true);
    ASSERT_EQ(m.SetTimeout(10000), STATUS_SUCCESS);
    std::vector<uint8_t> first(kFrameBytes + 65536);
    sim::IoResult firstResult{};
    std::thread running = VirtualMachine::Client([&] {
        PipeIndexRecord frames = {2};
        firstResult = m.Call(IOCTL_USBCAM_READ_PIPE_LARGE, &frames, sizeof(frames), first.data(),
                             (ULONG)first.size());
    });
    Sleep(100);  // the first transfer holds the claim for two periods of 10 s
    ASSERT_EQ(m.SetTimeout(2000), STATUS_SUCCESS);
    const uint64_t begun = sim::KernelTimeMicros();
    PipeIndexRecord status = {1};
    std::vector<uint8_t> second(16);
    EXPECT_EQ(m.Call(IOCTL_USBCAM_READ_PIPE_LARGE, &status, sizeof(status), second.data(),
                     (ULONG)second.size())
                  .Status,
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(sim::KernelTimeMicros() - begun, 2000u * 1000);
    VirtualMachine::Join(running);
    EXPECT_EQ(firstResult.Status, STATUS_IO_TIMEOUT);
}

// Selects alternate setting alt; returns the bus time the request took.
uint64_t TimedSelect(VirtualMachine &m, UCHAR alt) {
    const uint64_t begun = sim::KernelTimeMicros();
    InterfaceSelection selection = {0, alt};
    EXPECT_EQ(m.Call(IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), nullptr, 0).Status,
              STATUS_SUCCESS);
    return sim::KernelTimeMicros() - begun;
}

sim::IoResult StartStream(VirtualMachine &m) {
    StreamStartRecord record = {2, 1024, 1024, 8, 2};  // pipe 2 of setting 1: isochronous IN
    return m.Call(IOCTL_USBCAM_START_STREAM, &record, sizeof(record), nullptr, 0);
}

// True once the device has no stream (READ_STREAM refused), looking once a
// frame for at most a second of bus time.
bool WaitNoStream(VirtualMachine &m) {
    for (int i = 0; i < 1000; i++) {
        StreamReadRecord record = {2, 1024, 1, 0, 0};
        std::vector<uint8_t> out(1024 + 12);
        if (m.Call(IOCTL_USBCAM_READ_STREAM, &record, sizeof(record), out.data(), (ULONG)out.size())
                .Status == STATUS_UNSUCCESSFUL) {
            return true;
        }
        Sleep(1);
    }
    return false;
}

// A selection made once a stopped stream has ended goes through as fast as
// one with no stream ever; one made while a stopped stream's requests are
// still out waits for them at most the default-pipe bound.
TEST(TimeBoundsTest, ASelectionWaitsForAStoppingStreamOnlyWhileItStops) {
    VirtualMachine m(true);
    TimedSelect(m, 1);
    const uint64_t plain = TimedSelect(m, 1);

    ASSERT_EQ(StartStream(m).Status, STATUS_SUCCESS);
    Sleep(20);
    ASSERT_EQ(m.Call(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitNoStream(m));
    EXPECT_EQ(TimedSelect(m, 1), plain) << "a selection after the stream's end waited for it";

    // A stream whose requests the camera never answers: stopped, it stays
    // stopping until the selection gives up waiting, at the bound.
    ASSERT_EQ(StartStream(m).Status, STATUS_SUCCESS);
    sim::usb::SetNeverAnswer(m.Port(), 0x84, true);
    Sleep(20);
    ASSERT_EQ(m.Call(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    Sleep(20);
    const uint64_t waited = TimedSelect(m, 1);
    EXPECT_GE(waited, 5000u * 1000);
    EXPECT_LT(waited, 5000u * 1000 + plain + kFrameMicros);
    sim::usb::SetNeverAnswer(m.Port(), 0x84, false);
    PipeIndexRecord pipe = {2};
    m.Call(IOCTL_USBCAM_ABORT_PIPE, &pipe, sizeof(pipe), nullptr, 0);
    EXPECT_TRUE(WaitNoStream(m));
}

// A removal ends the wait of a memory load for a camera that never answers
// its default pipe at once, and no further block is sent.
TEST(TimeBoundsTest, ARemovalEndsAMemoryLoadAtOnce) {
    VirtualMachine m(true);
    sim::usb::SetNeverAnswer(m.Port(), 0, true);
    sim::usb::WireLogClear();
    std::vector<uint8_t> image(64 * 1024, 0x5A);  // 128 blocks
    sim::IoResult loaded{};
    std::thread load = VirtualMachine::Client([&] {
        loaded = m.Call(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS, image.data(), (ULONG)image.size(), nullptr, 0);
    });
    Sleep(10);
    const uint64_t begun = sim::KernelTimeMicros();
    EXPECT_EQ(m.Remove(), STATUS_SUCCESS);
    VirtualMachine::Join(load);
    EXPECT_LT(sim::KernelTimeMicros() - begun, kFrameMicros) << "the removal waited for the load";
    size_t blocks = 0;
    for (const WireRecord &r : sim::usb::WireLog(m.Port())) {
        if ((r.Endpoint & 0x7F) == 0 && r.Request() == 0xA0) blocks++;
    }
    EXPECT_EQ(blocks, 1u);
}

}  // namespace
