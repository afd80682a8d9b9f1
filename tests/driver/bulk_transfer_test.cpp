// Bulk and interrupt transfers against the emulated bus and reference camera:
// the single transfer framed by the transfer commands, the segmented transfer,
// their checks, time-outs, USB errors, the one-transfer-at-a-time slot, and
// removal while a transfer waits.
#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "allocation_walk.h"
#include "driver_fixture.h"
#include "transfer/transfer_internal.h"

namespace drvtest {
namespace {

using sim::usb::WireRecord;
using Clock = std::chrono::steady_clock;

constexpr ULONG kFrameBytes = 640 * 480;
constexpr uint8_t kCommandEndpoint = 0x01;
constexpr uint8_t kStatusEndpoint = 0x81;
constexpr uint8_t kFrameEndpoint = 0x82;

class BulkTest : public OpenCameraTest {
protected:
    void TearDown() override {
        WriteNoFence64(&TransferTimeoutMs, USBCAM_DEFAULT_TIMEOUT_MS);
        OpenCameraTest::TearDown();
    }
    void SetTimeout(int32_t ms) {
        TimeoutRecord record = {1, ms};
        ASSERT_EQ(Call(IOCTL_USBCAM_SET_TIMEOUT, &record, sizeof(record), nullptr, 0).Status,
                  STATUS_SUCCESS);
    }
    sim::IoResult Transfer(ULONG code, uint32_t pipe, std::vector<uint8_t> &buffer) {
        return Call(code, &pipe, sizeof(pipe), buffer.empty() ? nullptr : buffer.data(),
                    (ULONG)buffer.size());
    }
    // Everything that crossed the bus, in the order it was submitted.
    std::vector<WireRecord> Submitted() {
        auto wire = Wire(camera_.Port);
        std::sort(wire.begin(), wire.end(),
                  [](const WireRecord &a, const WireRecord &b) { return a.Sequence < b.Sequence; });
        return wire;
    }
    std::vector<WireRecord> On(uint8_t endpoint) {
        std::vector<WireRecord> out;
        for (auto &r : Submitted()) {
            if (r.Endpoint == endpoint) out.push_back(r);
        }
        return out;
    }
    USBD_STATUS LastUsbd() { return ReadNoFence(&Ext(camera_)->LastUsbdStatus); }
    void WaitQueued(uint8_t endpoint, uint32_t count) {
        for (int i = 0; i < 5000 && sim::usb::QueuedTransfers(camera_.Port, endpoint) < count; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GE(sim::usb::QueuedTransfers(camera_.Port, endpoint), count);
    }
    static bool IsFrame(const std::vector<uint8_t> &data, size_t bytes) {
        auto frame = sim::usb::ReferenceFrame(0, 640, 480);
        return std::equal(data.begin(), data.begin() + bytes, frame.begin());
    }
};

// The reference camera with its frame endpoint turned into a bulk OUT sink
// (0x02) as pipe 2, whose transfer size allows 64 KiB segments of any length.
class BulkSinkTest : public BulkTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        std::string profile = ReferenceProfileWith("\"bEndpointAddress\": \"0x82\"",
                                                   "\"bEndpointAddress\": \"0x02\"");
        const std::string role = "\"0x82\": \"frames\", ";
        profile.replace(profile.find(role), role.size(), "");
        camera_ = Plug(profile);
        handle_ = Open();
        sim::usb::WireLogClear();
    }
};
constexpr uint8_t kSinkEndpoint = 0x02;

// ---------------------------------------------------------------------------
// Single transfer

TEST_F(BulkTest, ReadOfPipeTwoIsFramedByTheCommandsAndBringsAWholeFrame) {
    std::vector<uint8_t> frame(kFrameBytes, 0xEE);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE, 2, frame);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, kFrameBytes);
    EXPECT_TRUE(IsFrame(frame, kFrameBytes));

    // Command 2, the data request, command 3: in that order of submission,
    // and the data request was left pending while command 3 went out.
    auto wire = Submitted();
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(wire[0].Endpoint, kCommandEndpoint);
    EXPECT_EQ(wire[0].Data.at(0), 2);
    EXPECT_EQ(wire[1].Endpoint, kFrameEndpoint);
    EXPECT_EQ(wire[1].RequestedLength, kFrameBytes);
    EXPECT_EQ(wire[2].Endpoint, kCommandEndpoint);
    EXPECT_EQ(wire[2].Data.at(0), 3);
    EXPECT_LT(wire[2].CompleteMicros, wire[1].CompleteMicros);
}

TEST_F(BulkTest, OnlyReadsOfDeviceToHostPipeTwoGetCommands) {
    std::vector<uint8_t> buffer(64, 0);
    // Pipe 1 (0x81, IN) answers a 16-byte status record: a short transfer.
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE, 1, buffer);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 16u);
    EXPECT_EQ(buffer[0], 'S');
    // Pipe 0 (0x01, OUT) through the read code sends from the buffer; the
    // camera takes it as a (not a framing) command packet.
    r = Transfer(IOCTL_USBCAM_READ_PIPE, 0, buffer);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 64u);
    // The write code on device-to-host pipe 2 reads, framed like a read.
    std::vector<uint8_t> frame(kFrameBytes);
    r = Transfer(IOCTL_USBCAM_WRITE_PIPE, 2, frame);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, kFrameBytes);
    EXPECT_TRUE(IsFrame(frame, kFrameBytes));

    auto wire = Submitted();
    ASSERT_EQ(wire.size(), 5u);
    EXPECT_EQ(wire[0].Endpoint, kStatusEndpoint);
    EXPECT_EQ(wire[1].Endpoint, kCommandEndpoint);
    EXPECT_EQ(wire[1].RequestedLength, 64u);
    EXPECT_EQ(wire[2].Endpoint, kCommandEndpoint);
    EXPECT_EQ(wire[3].Endpoint, kFrameEndpoint);
    EXPECT_EQ(wire[4].Endpoint, kCommandEndpoint);
}

TEST_F(BulkTest, SingleTransferChecksRefuseBeforeAnythingIsSent) {
    std::vector<uint8_t> buffer(1024);
    // PipeIndex equal to the number of pipes (4).
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE, 4, buffer).Status, STATUS_INVALID_PARAMETER);
    // An input shorter than PipeIndex.
    uint8_t three[3] = {1, 0, 0};
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_PIPE, three, 3, buffer.data(), 16).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_PIPE_LARGE, three, 3, buffer.data(), 16).Status,
              STATUS_INVALID_PARAMETER);
    // Pipe 1's MaximumTransferSize is 1024: equal is sent, one more refused.
    std::vector<uint8_t> over(1025);
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE, 1, over).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Wire(camera_.Port).empty());
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE, 1, buffer).Status, STATUS_SUCCESS);
    EXPECT_EQ(Wire(camera_.Port).size(), 1u);

    // Alternate setting 1: pipe 2 is isochronous, refused by both engines.
    InterfaceSelection alt1 = {0, 1};
    Call(IOCTL_USBCAM_SELECT_INTERFACE, &alt1, 2, nullptr, 0);
    sim::usb::WireLogClear();
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE, 2, buffer).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Wire(camera_.Port).empty());
}

TEST_F(BulkTest, ZeroLengthTransfers) {
    std::vector<uint8_t> none;
    // The single transfer sends a zero-length request without an MDL.
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE, 0, none);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    ASSERT_EQ(Wire(camera_.Port).size(), 1u);
    EXPECT_EQ(Wire(camera_.Port)[0].RequestedLength, 0u);
    // The segmented one has nothing to send: success with 0 bytes, no traffic.
    sim::usb::WireLogClear();
    r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, none);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_TRUE(Wire(camera_.Port).empty());
}

TEST_F(BulkTest, UsbErrorOfTheDataRequest) {
    sim::usb::SetStall(camera_.Port, kFrameEndpoint, true);
    std::vector<uint8_t> frame(kFrameBytes);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE, 2, frame);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Information, 64u);  // what the last command left
    EXPECT_EQ(LastUsbd(), USBD_STATUS_STALL_PID);
    sim::usb::SetStall(camera_.Port, kFrameEndpoint, false);
}

TEST_F(BulkTest, TimeOutCancelsTheDataRequest) {
    SetTimeout(50);
    sim::usb::SetNeverAnswer(camera_.Port, kStatusEndpoint, true);
    std::vector<uint8_t> buffer(16);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE, 1, buffer);
    // The bus ends a cancelled transfer with a USB status of its own.
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastUsbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(sim::usb::QueuedTransfers(camera_.Port, kStatusEndpoint), 0u);

    // A time-out of 0 or less expires at once; the request is still cancelled
    // and waited for.
    for (int32_t ms : {0, -1, -1000}) {
        SetTimeout(ms);
        WriteNoFence(&Ext(camera_)->LastUsbdStatus, 0);
        r = Transfer(IOCTL_USBCAM_READ_PIPE, 1, buffer);
        EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL) << ms;
        EXPECT_EQ(LastUsbd(), USBD_STATUS_CANCELED) << ms;
    }
    sim::usb::SetNeverAnswer(camera_.Port, kStatusEndpoint, false);
    SetTimeout(3000);
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE, 1, buffer).Status, STATUS_SUCCESS);
}

// Found by the hostile-camera fuzzer: a camera that never takes a transfer
// command (its pipe 0 NAKs for ever) held the client's request, and with it
// the device's removal, for good. Each command now waits at most the
// transfer time-out like the data request.
TEST_F(BulkTest, TransferCommandsThatAreNeverTakenTimeOut) {
    // Both codes at once: each command waits out its own bound (5 s).
    SetTimeout(50);
    sim::usb::SetNeverAnswer(camera_.Port, kCommandEndpoint, true);
    const ULONG codes[2] = {IOCTL_USBCAM_READ_PIPE, IOCTL_USBCAM_READ_PIPE_LARGE};
    std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(4096), std::vector<uint8_t>(4096)};
    std::future<sim::IoResult> done[2];
    for (int i = 0; i < 2; i++) {
        done[i] = std::async(std::launch::async, [&, i] { return Transfer(codes[i], 2, buffers[i]); });
    }
    bool stuck = false;
    for (int i = 0; i < 2; i++) {
        if (done[i].wait_for(std::chrono::seconds(60)) != std::future_status::ready) stuck = true;
    }
    EXPECT_FALSE(stuck) << "a transfer still waits for its commands";
    sim::usb::SetNeverAnswer(camera_.Port, kCommandEndpoint, false);  // lets them end
    for (int i = 0; i < 2; i++) {
        const sim::IoResult r = done[i].get();
        EXPECT_NE(r.Status, STATUS_SUCCESS) << std::hex << codes[i];
    }
    EXPECT_EQ(sim::usb::QueuedTransfers(camera_.Port, kCommandEndpoint), 0u);
    SetTimeout(3000);
    std::vector<uint8_t> status(16);
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE, 1, status).Status, STATUS_SUCCESS);
}

TEST_F(BulkTest, ATimeOutOfZeroStillLetsAFramedReadsCommandsReachTheCamera) {
    // The commands are bounded by no less than 5 s: a transfer time-out of 0
    // bounds the data request alone.
    SetTimeout(0);
    std::vector<uint8_t> frame(kFrameBytes);
    (void)Transfer(IOCTL_USBCAM_READ_PIPE, 2, frame);
    auto commands = On(kCommandEndpoint);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].Data.at(0), 2);
    EXPECT_EQ(commands[0].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(commands[1].Data.at(0), 3);
    EXPECT_EQ(commands[1].Status, USBD_STATUS_SUCCESS);
}

TEST_F(BulkTest, ARequestTheCameraNeverAnswersOnItsDefaultPipeEndsAndSoDoesARemoval) {
    // A camera that NAKs its default pipe for ever: the client's request is
    // cancelled after the bound and answered, and the removal that waits
    // for it behind the I/O gate then finishes.
    const USBD_STATUS before = LastUsbd();
    sim::usb::SetNeverAnswer(camera_.Port, 0, true);
    auto pending = std::async(std::launch::async, [&] {
        uint8_t out[18];
        return Call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, sizeof(out));
    });
    WaitQueued(0, 1);
    auto removal = std::async(std::launch::async, [&] { return Remove(camera_); });
    const bool answered = pending.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    const bool removed = removal.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    EXPECT_TRUE(answered) << "the client's thread still waits for the camera";
    EXPECT_TRUE(removed) << "the removal still waits for the client's request";
    if (!answered || !removed) {
        sim::usb::SetNeverAnswer(camera_.Port, 0, false);  // lets them end
        pending.wait();
        removal.wait();
    }
    sim::IoResult r = pending.get();
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    (void)before;
}

// ---------------------------------------------------------------------------
// Segmented transfer

TEST_F(BulkSinkTest, SegmentCountsAndSizes) {
    struct Case {
        ULONG Total;
        std::vector<uint32_t> Segments;
    } cases[] = {{65536, {65536}}, {65537, {65536, 1}}, {200000, {65536, 65536, 65536, 3392}}};
    for (const Case &c : cases) {
        sim::usb::WireLogClear();
        std::vector<uint8_t> data(c.Total, 0);
        for (size_t i = 1; i < data.size(); i++) data[i] = (uint8_t)(i * 7);
        sim::IoResult r = Transfer(IOCTL_USBCAM_WRITE_PIPE_LARGE, 2, data);
        ASSERT_EQ(r.Status, STATUS_SUCCESS) << c.Total;
        EXPECT_EQ(r.Information, c.Total);
        auto wire = Submitted();
        ASSERT_EQ(wire.size(), c.Segments.size() + 2) << c.Total;
        // Begin command before the first segment, end command after the last.
        EXPECT_EQ(wire.front().Data.at(0), 2);
        EXPECT_EQ(wire.front().RequestedLength, 64u);
        EXPECT_EQ(wire.back().Data.at(0), 3);
        EXPECT_EQ(wire.back().RequestedLength, 64u);
        for (size_t k = 0; k < c.Segments.size(); k++) {
            const WireRecord &segment = wire[k + 1];
            EXPECT_EQ(segment.RequestedLength, c.Segments[k]) << c.Total << " " << k;
            EXPECT_EQ(segment.ActualLength, c.Segments[k]) << c.Total << " " << k;
            // Each segment carries its own part of the client's buffer.
            const size_t offset = k * 65536;
            ASSERT_FALSE(segment.Data.empty());
            EXPECT_TRUE(std::equal(segment.Data.begin(), segment.Data.end(),
                                   data.begin() + offset))
                << c.Total << " " << k;
        }
    }
}

TEST_F(BulkTest, WholeFrameInFiveSegments) {
    std::vector<uint8_t> frame(kFrameBytes, 0xEE);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, frame);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, kFrameBytes);
    EXPECT_TRUE(IsFrame(frame, kFrameBytes));
    EXPECT_EQ(On(kFrameEndpoint).size(), 5u);
}

TEST_F(BulkTest, SegmentTableHasOneRecordPerSegmentAndAZeroTerminator) {
    SetTimeout(10000);
    const int baseline = OurBlocks();
    sim::usb::SetNeverAnswer(camera_.Port, kFrameEndpoint, true);
    std::vector<uint8_t> data(200000);
    auto pending = std::async(std::launch::async,
                              [&] { return Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, data); });
    WaitQueued(kFrameEndpoint, 4);
    EXPECT_EQ(sim::usb::QueuedTransfers(camera_.Port, kFrameEndpoint), 4u);
    DeviceExtension *ext = Ext(camera_);
    {
        // Which entries are in use, and by what, only the table itself shows.
        const SegmentRecord *table = ext->SegmentTable;
        ASSERT_NE(table, nullptr);
        for (int k = 0; k < 4; k++) {
            EXPECT_EQ(table[k].Device, camera_.Fdo) << k;
            EXPECT_NE(table[k].Irp, nullptr) << k;
        }
        EXPECT_EQ(table[4].Device, nullptr);
        EXPECT_EQ(table[4].Irp, nullptr);
        EXPECT_EQ(table[4].Urb, nullptr);
    }
    // Aborting the pipe ends every segment with a failure: the transfer
    // reports it rather than success with a count that hides a hole.
    uint32_t pipe = 2;
    Call(IOCTL_USBCAM_ABORT_PIPE, &pipe, sizeof(pipe), nullptr, 0);
    sim::IoResult r = pending.get();
    EXPECT_LT(r.Status, 0);
    EXPECT_EQ(OurBlocks(), baseline);  // the table and every segment freed
    sim::usb::SetNeverAnswer(camera_.Port, kFrameEndpoint, false);
    Call(IOCTL_USBCAM_RESET_PIPE, &pipe, sizeof(pipe), nullptr, 0);
}

TEST_F(BulkSinkTest, AFailedSegmentFailsTheTransfer) {
    // The second segment fails; the transfer fails with the USB error
    // recorded, not success with a count that hides the hole.
    const int baseline = OurBlocks();
    sim::usb::FailAfter(camera_.Port, kSinkEndpoint, 1, 1, USBD_STATUS_STALL_PID);
    std::vector<uint8_t> data(200000, 0);
    sim::IoResult r = Transfer(IOCTL_USBCAM_WRITE_PIPE_LARGE, 2, data);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_NE(r.Information, 200000u);
    EXPECT_EQ(LastUsbd(), USBD_STATUS_STALL_PID);
    EXPECT_EQ(OurBlocks(), baseline);
    sim::usb::ResetKnobs(camera_.Port);
    uint32_t pipe = 2;
    Call(IOCTL_USBCAM_RESET_PIPE, &pipe, sizeof(pipe), nullptr, 0);
    r = Transfer(IOCTL_USBCAM_WRITE_PIPE_LARGE, 2, data);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 200000u);
}

TEST_F(BulkTest, TimeOutTakesOnePeriodWithoutDataAndTwoWithSome) {
    const int32_t period = 150;
    SetTimeout(period);
    const int baseline = OurBlocks();
    // A whole frame and one segment more: the last segment never gets data,
    // so the transfer waits a second period before it gives up.
    std::vector<uint8_t> more(kFrameBytes + 65536);
    auto start = Clock::now();
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, more);
    auto elapsed = Clock::now() - start;
    EXPECT_EQ(r.Status, STATUS_IO_TIMEOUT);
    EXPECT_GE(elapsed, std::chrono::milliseconds(2 * period));
    EXPECT_TRUE(IsFrame(more, kFrameBytes));
    EXPECT_EQ(OurBlocks(), baseline);
    EXPECT_EQ(sim::usb::QueuedTransfers(camera_.Port, kFrameEndpoint), 0u);

    // Nothing arrives: one period, then cancelled; a failure, not a success.
    sim::usb::SetNeverAnswer(camera_.Port, kFrameEndpoint, true);
    std::vector<uint8_t> nothing(200000);
    start = Clock::now();
    r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, nothing);
    elapsed = Clock::now() - start;
    EXPECT_EQ(r.Status, STATUS_IO_TIMEOUT);
    EXPECT_GE(elapsed, std::chrono::milliseconds(period));
    EXPECT_EQ(sim::usb::QueuedTransfers(camera_.Port, kFrameEndpoint), 0u);
    sim::usb::SetNeverAnswer(camera_.Port, kFrameEndpoint, false);

    // The next transfer starts at once: the slot was given back.
    SetTimeout(3000);
    std::vector<uint8_t> frame(kFrameBytes);
    r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, frame);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_TRUE(IsFrame(frame, kFrameBytes) || frame[4] == (640 & 0xFF));
}

TEST_F(BulkTest, OneSegmentedTransferAtATime) {
    // The first transfer takes two periods (data, then a segment that never
    // fills); a second one started meanwhile waits one period and is refused
    // without sending anything, and the first is not disturbed.
    const int32_t period = 300;
    SetTimeout(period);
    std::vector<uint8_t> first(kFrameBytes + 65536);
    auto running = std::async(std::launch::async,
                              [&] { return Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, first); });
    for (int i = 0; i < 5000 && ReadNoFence(&Ext(camera_)->SegmentedTransferClaimed) == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const size_t before = Wire(camera_.Port).size();
    std::vector<uint8_t> second(16);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 1, second);
    EXPECT_EQ(r.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(r.Information, 0u);
    for (const auto &w : Wire(camera_.Port)) EXPECT_NE(w.Endpoint, kStatusEndpoint);
    EXPECT_GE(Wire(camera_.Port).size(), before);
    sim::IoResult firstResult = running.get();
    EXPECT_EQ(firstResult.Status, STATUS_IO_TIMEOUT);
    EXPECT_TRUE(IsFrame(first, kFrameBytes));

    // A transfer that finds the slot taken by one about to finish gets it.
    SetTimeout(5000);
    sim::usb::SetLatency(camera_.Port, kStatusEndpoint, 100000);
    std::vector<uint8_t> a(16), b(16);
    auto slow = std::async(std::launch::async,
                           [&] { return Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 1, a); });
    for (int i = 0; i < 5000 && ReadNoFence(&Ext(camera_)->SegmentedTransferClaimed) == 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 1, b);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 16u);
    EXPECT_EQ(slow.get().Status, STATUS_SUCCESS);
    EXPECT_EQ(a[0], 'S');
    EXPECT_EQ(b[0], 'S');
}

// ---------------------------------------------------------------------------
// A buffer the client handed over for reading only

TEST_F(BulkTest, DeviceToHostTransfersNeverWriteIntoAReadOnlyBuffer) {
    sim::ClientBufferOptions readOnly;
    readOnly.OutputReadOnly = true;
    auto call = [&](ULONG code, const void *in, ULONG inLength, std::vector<uint8_t> &out) {
        return sim::ClientDeviceIoControlEx(handle_, code, in, inLength, out.data(),
                                            (ULONG)out.size(), readOnly);
    };
    uint32_t pipe = 2;
    // Through both write codes on device-to-host pipe 2: refused before
    // anything is sent, the client's pages untouched.
    for (ULONG code : {(ULONG)IOCTL_USBCAM_WRITE_PIPE, (ULONG)IOCTL_USBCAM_WRITE_PIPE_LARGE}) {
        std::vector<uint8_t> frame(kFrameBytes, 0x77);
        sim::IoResult r = call(code, &pipe, sizeof(pipe), frame);
        EXPECT_EQ(r.Status, STATUS_ACCESS_VIOLATION) << code;
        EXPECT_EQ(r.Information, 0u);
        EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [](uint8_t b) { return b == 0x77; }));
    }
    // A class or vendor request whose data stage comes from the device.
    ControlRequestRecord registers = {1, 2, 0, 0, 0x01, 0, 0, 0};
    std::vector<uint8_t> data(8, 0x77);
    EXPECT_EQ(call(IOCTL_USBCAM_CONTROL_REQUEST, &registers, sizeof(registers), data).Status,
              STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(Wire(camera_.Port).empty());

    // Host to device, the same read-only buffer is only read: sent as asked.
    pipe = 0;
    std::vector<uint8_t> packet(64, 0);
    sim::IoResult r = call(IOCTL_USBCAM_WRITE_PIPE, &pipe, sizeof(pipe), packet);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 64u);
    registers.Direction = 0;
    EXPECT_EQ(call(IOCTL_USBCAM_CONTROL_REQUEST, &registers, sizeof(registers), data).Status,
              STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Every allocation of a transfer failed in turn: the transfer reports it,
// nothing stays allocated, and the next transfer works.

TEST_F(BulkSinkTest, EveryAllocationFailureUnwinds) {
    const int baseline = OurBlocks();
    struct Case {
        ULONG Code;
        uint32_t Pipe;
        ULONG Length;
    } cases[] = {{IOCTL_USBCAM_WRITE_PIPE_LARGE, 2, 200000},
                 {IOCTL_USBCAM_WRITE_PIPE, 2, 4096},
                 {IOCTL_USBCAM_READ_PIPE, 1, 16}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << c.Code);
        sim::IoResult r;
        // Each pass frees all it took; a segmented transfer whose slot stayed
        // claimed would refuse the next pass, so the unfaulted last pass shows
        // the slot free again.
        const int passes = sim::test::WalkAllocations(
            driver_,
            [&] {
                std::vector<uint8_t> data(c.Length, 0);
                r = Transfer(c.Code, c.Pipe, data);
            },
            [&](bool injected) {
                EXPECT_EQ(OurBlocks(), baseline);
                if (!injected) {
                    EXPECT_EQ(r.Status, STATUS_SUCCESS);
                    EXPECT_EQ(r.Information, c.Length);
                }
                // A failed allocation is a failure; the commands it may have
                // lost are not reported.
                if (r.Status == STATUS_SUCCESS) EXPECT_EQ(r.Information, c.Length);
                EXPECT_NE(r.Status, STATUS_PENDING);
            });
        // The walk went through the transfer's own allocations.
        EXPECT_GE(passes, c.Code == IOCTL_USBCAM_WRITE_PIPE_LARGE ? 18 : 3);
    }
}

// A framed read whose allocations fail in turn never leaves the camera
// between a begin (command 2) and its end (command 3) for want of the data
// request: once that has been handed over, only a failure of the end
// command's own allocations can still lose the end.
TEST_F(BulkTest, AFramedReadThatCannotAllocateSendsNoBeginWithoutItsEnd) {
    SetTimeout(200);  // a camera that missed its begin sends nothing
    sim::IoResult r;
    int begins = 0, ends = 0;
    const int passes = sim::test::WalkAllocations(
        driver_,
        [&] {
            sim::usb::WireLogClear();
            std::vector<uint8_t> frame(kFrameBytes, 0);
            r = Transfer(IOCTL_USBCAM_READ_PIPE, 2, frame);
        },
        [&](bool injected) {
            begins = ends = 0;
            for (auto &record : On(kCommandEndpoint)) {
                begins += record.Data.at(0) == 2;
                ends += record.Data.at(0) == 3;
            }
            if (On(kFrameEndpoint).empty()) EXPECT_EQ(begins, ends) << std::hex << r.Status;
            if (!injected) {
                EXPECT_EQ(r.Status, STATUS_SUCCESS);
                EXPECT_EQ(begins, 1);
            }
        });
    EXPECT_GE(passes, 3);  // the URB and both command packets
}

// ---------------------------------------------------------------------------
// Removal while a transfer waits in another thread

class BulkRemovalTest : public BulkTest,
                        public ::testing::WithParamInterface<std::tuple<ULONG, bool>> {};

TEST_P(BulkRemovalTest, RemovalEndsTheWaitingTransfer) {
    const ULONG code = std::get<0>(GetParam());
    const bool surprise = std::get<1>(GetParam());
    SetTimeout(60000);
    sim::usb::SetNeverAnswer(camera_.Port, kFrameEndpoint, true);
    std::vector<uint8_t> data(200000);
    auto pending = std::async(std::launch::async, [&] { return Transfer(code, 2, data); });
    WaitQueued(kFrameEndpoint, 1);
    if (surprise) {
        sim::usb::SurpriseRemove(camera_.Port);
        camera_.Removed = true;
        for (auto &c : cameras_) c.Removed = true;
    } else {
        EXPECT_EQ(Remove(camera_), STATUS_SUCCESS);
    }
    sim::IoResult r = pending.get();
    EXPECT_LT(r.Status, 0);
    EXPECT_NE(r.Status, STATUS_IO_TIMEOUT);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, BulkRemovalTest,
    ::testing::Combine(::testing::Values((ULONG)IOCTL_USBCAM_READ_PIPE,
                                         (ULONG)IOCTL_USBCAM_READ_PIPE_LARGE),
                       ::testing::Bool()));

}  // namespace
}  // namespace drvtest
