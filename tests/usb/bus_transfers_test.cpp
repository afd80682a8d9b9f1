// Bulk, interrupt and isochronous transfers: the capture flow, abort,
// cancellation, stalls, fault knobs and surprise removal.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <thread>

#include "urb_client.h"

using namespace usbtest;
namespace bus = sim::usb;

namespace {

constexpr int kHangGuardMs = 5000;

class BusTransfers : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        if (HasFatalFailure()) return;
        sel = Configure(Pdo, 0x3FFFFF);
        ASSERT_EQ(STATUS_SUCCESS, sel.Status);
        bus::WireLogClear();
    }
    NTSTATUS Command(uint8_t command) {
        uint8_t packet[64] = {command};
        UrbBuffer b = BulkTransfer(sel.Pipes[0].PipeHandle, false, packet, sizeof packet);
        return SubmitSync(Pdo, b.Urb());
    }
    Selection sel;
};

TEST_F(BusTransfers, ArmedCaptureDeliversOneTestFrameOnPipe2) {
    // Without an armed capture, a read of pipe 2 waits.
    std::vector<uint8_t> frame(640 * 480 + 4096, 0xEE);
    UrbBuffer read = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame.data(), (ULONG)frame.size());
    AsyncUrb a;
    StartAsync(&a, Pdo, read.Urb());
    EXPECT_EQ(STATUS_PENDING, a.Returned);
    ASSERT_TRUE(WaitQueued(0x82, 1));
    EXPECT_EQ(STATUS_SUCCESS, Command(3));  // start without arming: ignored
    EXPECT_FALSE(WaitAsync(&a, 20));

    ASSERT_EQ(STATUS_SUCCESS, Command(2));
    ASSERT_EQ(STATUS_SUCCESS, Command(3));
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    EXPECT_EQ(STATUS_SUCCESS, a.Status);
    // 307200 bytes are whole packets: a zero-length packet ends the transfer.
    ASSERT_EQ(640u * 480, read.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    std::vector<uint8_t> expected = bus::ReferenceFrame(0, 640, 480);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.begin()));
    EXPECT_EQ(0xEE, frame[640 * 480]);
    FreeAsync(&a);

    bus::CameraState st = bus::GetCameraState(Port);
    EXPECT_EQ(3u, st.CommandsReceived);
    EXPECT_EQ(1u, st.CapturesArmed);
    EXPECT_EQ(1u, st.FramesDelivered);
    EXPECT_EQ(0u, st.FrameBytesPending);

    // The event pipe reports the frame's start (type 1) and delivery (type 2).
    uint8_t event[64];
    UrbBuffer ev = BulkTransfer(sel.Pipes[3].PipeHandle, true, event, sizeof event);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, ev.Urb()));
    EXPECT_EQ(8u, ev.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(1, event[0]);
    UrbBuffer ev2 = BulkTransfer(sel.Pipes[3].PipeHandle, true, event, sizeof event);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, ev2.Urb()));
    EXPECT_EQ(2, event[0]);
    EXPECT_EQ(0, event[4]);

    // A second frame read with a buffer of exactly its size: the zero-length
    // packet that ends it stays unread until the next capture is armed.
    ASSERT_EQ(STATUS_SUCCESS, Command(2));
    ASSERT_EQ(STATUS_SUCCESS, Command(3));
    UrbBuffer exact = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame.data(), 640 * 480);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, exact.Urb()));
    EXPECT_EQ(640u * 480, exact.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(1, frame[0]);  // frame counter 1
    EXPECT_EQ(2u, bus::GetCameraState(Port).FramesDelivered);
    ASSERT_EQ(STATUS_SUCCESS, Command(2));
    UrbBuffer next = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame.data(), (ULONG)frame.size());
    StartAsync(&a, Pdo, next.Urb());
    ASSERT_TRUE(WaitQueued(0x82, 1));
    ASSERT_EQ(STATUS_SUCCESS, Command(3));
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    EXPECT_EQ(640u * 480, next.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(2, frame[0]);
    FreeAsync(&a);

    // The status pipe answers every read with a 16-byte record.
    uint8_t status[512];
    UrbBuffer sr = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, sr.Urb()));
    EXPECT_EQ(16u, sr.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ('S', status[0]);
    EXPECT_EQ(3u, status[8]);  // frames delivered
}

// The camera produces its frames packet by packet; the pattern it sends and
// ReferenceFrame are the documented one: an 8-byte header, then
// (x + 2y + counter) & 0xFF.
TEST(ReferenceFrame, FollowsTheDocumentedPattern) {
    const uint32_t counter = 0x01020304 + 250;
    for (uint32_t width : {100u, 700u}) {
        const uint32_t height = 13;
        std::vector<uint8_t> f = bus::ReferenceFrame(counter, width, height);
        ASSERT_EQ((size_t)width * height, f.size());
        const uint8_t header[8] = {(uint8_t)counter, (uint8_t)(counter >> 8),
                                   (uint8_t)(counter >> 16), (uint8_t)(counter >> 24),
                                   (uint8_t)width, (uint8_t)(width >> 8),
                                   13, 0};
        EXPECT_EQ(0, memcmp(header, f.data(), 8)) << width;
        size_t wrong = 0;
        for (size_t i = 8; i < f.size(); ++i)
            wrong += f[i] != (uint8_t)(i % width + 2 * (i / width) + counter);
        EXPECT_EQ(0u, wrong) << width;
    }
}

TEST_F(BusTransfers, FrameOfPartialPacketsEndsShortAndSplitsAcrossReadsByMdl) {
    bus::BusStop();
    ASSERT_EQ(STATUS_SUCCESS, bus::BusStart());
    std::string json = R"({"device": {"idVendor": 4617, "idProduct": 2},
        "configuration": {"interfaces": [{"bInterfaceNumber": 0, "endpoints": [
            {"bEndpointAddress": "0x01", "type": "bulk", "wMaxPacketSize": 512},
            {"bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 512},
            {"bEndpointAddress": "0x82", "type": "bulk", "wMaxPacketSize": 512}]}]},
        "endpoints": {"0x01": "commands", "0x81": "status", "0x82": "frames"},
        "frame": {"width": 100, "height": 13}})";
    bus::PlugResult r = bus::PlugProfileJson(json);
    ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;
    Pdo = r.Pdo;
    Port = r.Port;
    sel = Configure(Pdo);
    ASSERT_EQ(STATUS_SUCCESS, sel.Status);
    ASSERT_EQ(STATUS_SUCCESS, Command(2));
    ASSERT_EQ(STATUS_SUCCESS, Command(3));

    // 1300 bytes: a first read of 1024 takes two full packets, the second
    // gets the 276-byte short packet; both buffers described by MDLs.
    std::vector<uint8_t> first(1024), second(4096);
    PMDL m1 = IoAllocateMdl(first.data(), (ULONG)first.size(), FALSE, FALSE, nullptr);
    PMDL m2 = IoAllocateMdl(second.data(), (ULONG)second.size(), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(m1);
    MmBuildMdlForNonPagedPool(m2);
    UrbBuffer r1 = BulkTransfer(sel.Pipes[2].PipeHandle, true, nullptr, 1024, m1);
    UrbBuffer r2 = BulkTransfer(sel.Pipes[2].PipeHandle, true, nullptr, 4096, m2);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, r1.Urb()));
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, r2.Urb()));
    EXPECT_EQ(1024u, r1.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(276u, r2.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    std::vector<uint8_t> expected = bus::ReferenceFrame(0, 100, 13);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), expected.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 276, expected.begin() + 1024));
    IoFreeMdl(m1);
    IoFreeMdl(m2);

    // An MDL whose page array nobody filled (no lock, no partial, not built
    // for non-paged pool) names no pages the controller could use: refused.
    PMDL unlocked = IoAllocateMdl(first.data(), (ULONG)first.size(), FALSE, FALSE, nullptr);
    UrbBuffer unlockedRead = BulkTransfer(sel.Pipes[2].PipeHandle, true, nullptr, 1024, unlocked);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, unlockedRead.Urb()));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, unlockedRead.Urb()->UrbHeader.Status);
    EXPECT_EQ(1u, TakeViolations("MDL_NOT_LOCKED"));
    IoFreeMdl(unlocked);

    // A buffer that is not a whole number of packets overflows: the camera
    // sends 512 bytes into 100 bytes of room.
    ASSERT_EQ(STATUS_SUCCESS, Command(2));
    ASSERT_EQ(STATUS_SUCCESS, Command(3));
    uint8_t small[100];
    UrbBuffer r3 = BulkTransfer(sel.Pipes[2].PipeHandle, true, small, sizeof small);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, r3.Urb()));
    EXPECT_EQ(USBD_STATUS_DATA_OVERRUN, r3.Urb()->UrbHeader.Status);
    EXPECT_EQ(100u, r3.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
}

// The abort completes first; the transfers it cancels complete from the bus
// clock later, and until they have, the pipe counts as busy.
TEST_F(BusTransfers, AbortCompletesFirstAndItsTransfersCompleteCancelledAfterIt) {
    std::vector<uint8_t> buffers[3];
    std::vector<UrbBuffer> urbs;
    AsyncUrb reads[3];
    for (int i = 0; i < 3; ++i) {
        buffers[i].resize(1024);
        urbs.push_back(BulkTransfer(sel.Pipes[2].PipeHandle, true, buffers[i].data(), 1024));
    }
    for (int i = 0; i < 3; ++i) StartAsync(&reads[i], Pdo, urbs[i].Urb());
    ASSERT_TRUE(WaitQueued(0x82, 3));
    bus::WireLogClear();

    // A slow endpoint keeps its cancellations queued for a second.
    bus::SetLatency(Port, 0x82, 1000000);
    UrbBuffer abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, sel.Pipes[2].PipeHandle);
    AsyncUrb a;
    StartAsync(&a, Pdo, abort.Urb());
    EXPECT_EQ(STATUS_SUCCESS, a.Returned);  // inside IofCallDriver
    // Still queued: a reset now is refused as busy and sends nothing.
    UrbBuffer early = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sel.Pipes[2].PipeHandle);
    AsyncUrb r;
    StartAsync(&r, Pdo, early.Urb());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WaitAsync(&reads[i], kHangGuardMs)) << i;
        EXPECT_GT(reads[i].Order, a.Order) << i;
        EXPECT_EQ(STATUS_CANCELLED, reads[i].Status);
        EXPECT_EQ(USBD_STATUS_CANCELED, urbs[i].Urb()->UrbHeader.Status);
        EXPECT_EQ(0u, urbs[i].Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
        FreeAsync(&reads[i]);
    }
    ASSERT_TRUE(WaitAsync(&r, kHangGuardMs));
    EXPECT_EQ(USBD_STATUS_ERROR_BUSY, early.Urb()->UrbHeader.Status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, r.Status);
    FreeAsync(&r);
    FreeAsync(&a);
    EXPECT_EQ(0u, bus::QueuedTransfers(Port, 0x82));
    for (const auto &w : bus::WireLog()) EXPECT_FALSE(w.HasSetup);  // abort and refused reset send nothing
    EXPECT_FALSE(bus::PipeHalted(Port, 0x82));                      // cancelling is no error

    // Once they are back, the pipe resets and works.
    bus::SetLatency(Port, 0x82, 0);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, early.Urb()));
    ASSERT_EQ(STATUS_SUCCESS, Command(2));
    ASSERT_EQ(STATUS_SUCCESS, Command(3));
    UrbBuffer rd = BulkTransfer(sel.Pipes[2].PipeHandle, true, buffers[0].data(), 1024);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, rd.Urb()));
}

TEST_F(BusTransfers, CancelFinishesOneQueuedTransferAndLeavesTheOthers) {
    uint8_t b1[512], b2[512];
    UrbBuffer u1 = BulkTransfer(sel.Pipes[2].PipeHandle, true, b1, sizeof b1);
    UrbBuffer u2 = BulkTransfer(sel.Pipes[2].PipeHandle, true, b2, sizeof b2);
    AsyncUrb a1, a2;
    StartAsync(&a1, Pdo, u1.Urb());
    StartAsync(&a2, Pdo, u2.Urb());
    ASSERT_TRUE(WaitQueued(0x82, 2));

    // Cancel the second (not at the head of the queue), then the first, from a
    // raised IRQL as the driver's timed transfer does.
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    EXPECT_TRUE(IoCancelIrp(a2.Irp));
    KeLowerIrql(old);
    ASSERT_TRUE(WaitAsync(&a2, kHangGuardMs));
    EXPECT_EQ(STATUS_CANCELLED, a2.Status);
    EXPECT_EQ(USBD_STATUS_CANCELED, u2.Urb()->UrbHeader.Status);
    EXPECT_FALSE(WaitAsync(&a1, 10));
    EXPECT_EQ(1u, bus::QueuedTransfers(Port, 0x82));
    // The head of the queue is the one the clock looks at each frame, holding
    // its cancel routine for that instant; a cancel then answers FALSE and the
    // clock finishes the transfer as cancelled when it puts the routine back.
    IoCancelIrp(a1.Irp);
    ASSERT_TRUE(WaitAsync(&a1, kHangGuardMs));
    EXPECT_EQ(STATUS_CANCELLED, a1.Status);
    FreeAsync(&a1);
    FreeAsync(&a2);

    // Cancelled transfers appear in the wire log with their status.
    auto log = bus::WireLog();
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ(USBD_STATUS_CANCELED, log[0].Status);
    EXPECT_EQ(0x82, log[0].Endpoint);
}

TEST_F(BusTransfers, StalledEndpointFailsUntilResetPipeClearsTheHalt) {
    bus::SetStall(Port, 0x81, true);
    uint8_t status[16];
    UrbBuffer s1 = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, s1.Urb()));
    EXPECT_EQ(USBD_STATUS_STALL_PID, s1.Urb()->UrbHeader.Status);

    // GET_STATUS of the endpoint shows the halt.
    uint8_t word[2] = {};
    UrbBuffer gs;
    gs.Bytes.assign(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), 0);
    gs.Urb()->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    gs.Urb()->UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
    gs.Urb()->UrbControlGetStatusRequest.TransferBuffer = word;
    gs.Urb()->UrbControlGetStatusRequest.TransferBufferLength = 2;
    gs.Urb()->UrbControlGetStatusRequest.Index = 0x81;
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, gs.Urb()));
    EXPECT_EQ(1, word[0]);

    bus::WireLogClear();
    UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sel.Pipes[1].PipeHandle);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, reset.Urb()));
    auto log = bus::WireLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(0x02, log[0].RequestType());
    EXPECT_EQ(USB_REQUEST_CLEAR_FEATURE, log[0].Request());
    EXPECT_EQ(USB_FEATURE_ENDPOINT_STALL, log[0].Value());
    EXPECT_EQ(0x81, log[0].Index());
    UrbBuffer s2 = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, s2.Urb()));

    // A stalled default pipe refuses every control request until cleared.
    bus::SetStall(Port, 0, true);
    uint8_t d[18];
    UrbBuffer dr = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d, sizeof d);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, dr.Urb()));
    EXPECT_EQ(USBD_STATUS_STALL_PID, dr.Urb()->UrbHeader.Status);
    bus::SetStall(Port, 0, false);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, dr.Urb()));
}

// Any error of a bulk or interrupt transfer halts its pipe: later transfers
// wait until the pipe is reset, and the reset is refused while they are queued.
TEST_F(BusTransfers, AFailedTransferHaltsItsPipeUntilAReset) {
    bus::FailNext(Port, 0x81, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    uint8_t status[16];
    UrbBuffer s1 = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, s1.Urb()));
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, s1.Urb()->UrbHeader.Status);
    EXPECT_TRUE(bus::PipeHalted(Port, 0x81));
    EXPECT_FALSE(bus::PipeHalted(Port, 0x82));

    UrbBuffer s2 = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    AsyncUrb a;
    StartAsync(&a, Pdo, s2.Urb());
    ASSERT_TRUE(WaitQueued(0x81, 1));
    EXPECT_FALSE(WaitAsync(&a, 20));  // the status pipe always has data: only the halt holds it
    UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sel.Pipes[1].PipeHandle);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, reset.Urb()));
    EXPECT_EQ(USBD_STATUS_ERROR_BUSY, reset.Urb()->UrbHeader.Status);
    IoCancelIrp(a.Irp);
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    EXPECT_EQ(STATUS_CANCELLED, a.Status);
    FreeAsync(&a);
    // Clearing the device's stall alone leaves the host side halted.
    UrbBuffer clear = PipeRequest(URB_FUNCTION_SYNC_CLEAR_STALL, sel.Pipes[1].PipeHandle);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, clear.Urb()));
    EXPECT_TRUE(bus::PipeHalted(Port, 0x81));
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, reset.Urb()));
    EXPECT_FALSE(bus::PipeHalted(Port, 0x81));
    UrbBuffer s3 = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, s3.Urb()));

    // The control pipe clears its own errors: a failed control request does
    // not hold the next one.
    bus::FailNext(Port, bus::kAnyEndpoint, 1, USBD_STATUS_CRC);
    uint8_t d[18];
    UrbBuffer dr = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d, sizeof d);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, dr.Urb()));
    EXPECT_EQ(USBD_STATUS_CRC, dr.Urb()->UrbHeader.Status);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, dr.Urb()));

    // A bus driver that reports success for a failed URB (the pipe halts all
    // the same), and the reverse (a URB success halts nothing).
    bus::FailNextWithIrpStatus(Port, 0x81, 1, USBD_STATUS_STALL_PID, STATUS_SUCCESS);
    UrbBuffer odd = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, odd.Urb()));
    EXPECT_EQ(USBD_STATUS_STALL_PID, odd.Urb()->UrbHeader.Status);
    EXPECT_TRUE(bus::PipeHalted(Port, 0x81));
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, reset.Urb()));
    bus::FailNextWithIrpStatus(Port, 0x81, 1, USBD_STATUS_SUCCESS, STATUS_IO_TIMEOUT);
    UrbBuffer odd2 = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_IO_TIMEOUT, SubmitSync(Pdo, odd2.Urb()));
    EXPECT_EQ(USBD_STATUS_SUCCESS, odd2.Urb()->UrbHeader.Status);
    EXPECT_FALSE(bus::PipeHalted(Port, 0x81));

    // An endpoint that never answers keeps even its always-ready reads until
    // they are cancelled.
    bus::SetNeverAnswer(Port, 0x81, true);
    UrbBuffer s = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    StartAsync(&a, Pdo, s.Urb());
    ASSERT_TRUE(WaitQueued(0x81, 1));
    EXPECT_FALSE(WaitAsync(&a, 30));
    IoCancelIrp(a.Irp);
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    EXPECT_EQ(STATUS_CANCELLED, a.Status);
    FreeAsync(&a);
    bus::ResetKnobs(Port);
    UrbBuffer again = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, again.Urb()));
}

// Selections are refused while transfers are queued on a pipe they would close.
TEST_F(BusTransfers, SelectionWithTransfersQueuedIsRefusedAsBusy) {
    uint8_t frame[512];
    UrbBuffer rd = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame, sizeof frame);
    AsyncUrb a;
    StartAsync(&a, Pdo, rd.Urb());
    ASSERT_TRUE(WaitQueued(0x82, 1));
    Selection alt = SelectAlternate(Pdo, sel.Configuration, 1, 4);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, alt.Status);
    Selection again = Configure(Pdo);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, again.Status);
    EXPECT_FALSE(WaitAsync(&a, 0));  // nothing was closed under it
    IoCancelIrp(a.Irp);
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    FreeAsync(&a);
    EXPECT_EQ(STATUS_SUCCESS, SelectAlternate(Pdo, sel.Configuration, 1, 4).Status);
}

TEST_F(BusTransfers, TransferChecksAgainstThePipe) {
    Selection small = Configure(Pdo, 1024);
    ASSERT_EQ(STATUS_SUCCESS, small.Status);
    std::vector<uint8_t> data(2048);
    // MaximumTransferSize is not enforced (unused on current platform versions).
    UrbBuffer big = BulkTransfer(small.Pipes[0].PipeHandle, false, data.data(), 2048);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, big.Urb()));
    // A direction flag that contradicts the endpoint.
    UrbBuffer wrong = BulkTransfer(small.Pipes[0].PipeHandle, true, data.data(), 64);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, wrong.Urb()));
    // No buffer at all.
    UrbBuffer none = BulkTransfer(small.Pipes[0].PipeHandle, false, nullptr, 64);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, none.Urb()));
    // A zero-length OUT transfer is a zero-length packet.
    UrbBuffer zlp = BulkTransfer(small.Pipes[0].PipeHandle, false, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, zlp.Urb()));
}

// Failed isochronous packets: the camera sends them, the host gets nothing of
// them, the request's other packets arrive. A port reset fails the requests
// still queued (the device was in reset under them) without serving any of
// their microframes, and the next request starts afresh.
TEST_F(BusTransfers, FailedIsochronousPacketsAndAPortResetUnderQueuedRequests) {
    Selection a1 = SelectAlternate(Pdo, sel.Configuration, 1, 4, 0x3FFFFF);
    ASSERT_EQ(STATUS_SUCCESS, a1.Status);
    USBD_PIPE_HANDLE isoIn = a1.Pipes[2].PipeHandle;
    const ULONG n = 16, size = 1024;
    std::vector<uint8_t> b1(n * size);
    const uint64_t sentBefore = bus::GetCameraState(Port).IsoInPackets;
    bus::FailIsoPackets(Port, 0x84, 3, USBD_STATUS_XACT_ERROR);
    UrbBuffer u1 = IsoTransfer(isoIn, true, b1.data(), n, size);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, u1.Urb()));
    auto &i1 = u1.Urb()->UrbIsochronousTransfer;
    EXPECT_EQ(USBD_STATUS_SUCCESS, u1.Urb()->UrbHeader.Status);
    EXPECT_EQ(3u, i1.ErrorCount);
    for (ULONG j = 0; j < n; ++j) {
        const bool failed = j < 3;
        EXPECT_EQ(failed ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS, i1.IsoPacket[j].Status) << j;
        EXPECT_EQ(failed ? 0u : size, i1.IsoPacket[j].Length) << j;
    }
    uint32_t seq = 0;
    ASSERT_TRUE(bus::CheckReferenceIsoPacket(b1.data() + 3 * size, size, &seq));
    EXPECT_EQ(i1.StartFrame * 8 + 3, seq);
    EXPECT_EQ(sentBefore + n, bus::GetCameraState(Port).IsoInPackets);

    // Two requests queued (held there whatever the machine's speed), then a
    // port reset.
    std::vector<uint8_t> b2(n * size), b3(n * size);
    UrbBuffer u2 = IsoTransfer(isoIn, true, b2.data(), n, size);
    UrbBuffer u3 = IsoTransfer(isoIn, true, b3.data(), n, size);
    AsyncUrb r2, r3;
    bus::SetNeverAnswer(Port, 0x84, true);
    StartAsync(&r2, Pdo, u2.Urb());
    StartAsync(&r3, Pdo, u3.Urb());
    EXPECT_EQ(2u, bus::QueuedTransfers(Port, 0x84));
    const uint64_t sentAtReset = bus::GetCameraState(Port).IsoInPackets;
    EXPECT_EQ(STATUS_SUCCESS, PortRequest(Pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr));
    bus::SetNeverAnswer(Port, 0x84, false);
    ASSERT_TRUE(WaitAsync(&r2, kHangGuardMs));
    ASSERT_TRUE(WaitAsync(&r3, kHangGuardMs));
    for (UrbBuffer *u : {&u2, &u3}) {
        EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, u->Urb()->UrbHeader.Status);
        EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, u->Urb()->UrbIsochronousTransfer.IsoPacket[0].Status);
        EXPECT_EQ(0u, u->Urb()->UrbIsochronousTransfer.IsoPacket[0].Length);
    }
    EXPECT_EQ(STATUS_UNSUCCESSFUL, r2.Status);
    EXPECT_EQ(sentAtReset, bus::GetCameraState(Port).IsoInPackets);
    FreeAsync(&r2);
    FreeAsync(&r3);
    UrbBuffer u4 = IsoTransfer(isoIn, true, b1.data(), n, size);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, u4.Urb()));
    EXPECT_EQ(0u, u4.Urb()->UrbIsochronousTransfer.ErrorCount);
}

TEST_F(BusTransfers, IsochronousPacketsCarryConsecutiveSequenceNumbers) {
    Selection a1 = SelectAlternate(Pdo, sel.Configuration, 1, 4, 0x3FFFFF);
    ASSERT_EQ(STATUS_SUCCESS, a1.Status);
    USBD_PIPE_HANDLE isoIn = a1.Pipes[2].PipeHandle, isoOut = a1.Pipes[3].PipeHandle;
    const ULONG n = 16, size = 1024;
    std::vector<uint8_t> b1(n * size), b2(n * size);
    UrbBuffer u1 = IsoTransfer(isoIn, true, b1.data(), n, size);
    UrbBuffer u2 = IsoTransfer(isoIn, true, b2.data(), n, size);
    AsyncUrb r1, r2;
    StartAsync(&r1, Pdo, u1.Urb());
    StartAsync(&r2, Pdo, u2.Urb());
    ASSERT_TRUE(WaitAsync(&r1, kHangGuardMs));
    ASSERT_TRUE(WaitAsync(&r2, kHangGuardMs));
    EXPECT_EQ(STATUS_SUCCESS, r1.Status);
    EXPECT_EQ(STATUS_SUCCESS, r2.Status);
    // Served in the order sent: r2's frames follow r1's. (The order the two
    // completion routines ran in says nothing here: with several bus threads
    // they are entered in order but may run at the same time.)
    auto &i1 = u1.Urb()->UrbIsochronousTransfer;
    auto &i2 = u2.Urb()->UrbIsochronousTransfer;
    // Back to back: 16 packets at one per microframe fill two frames.
    EXPECT_EQ(i1.StartFrame + 2, i2.StartFrame);
    EXPECT_EQ(0u, i1.ErrorCount);
    uint32_t seq0 = b1[0] | (b1[1] << 8) | (b1[2] << 16) | ((uint32_t)b1[3] << 24);
    EXPECT_EQ(i1.StartFrame * 8, seq0);
    for (ULONG j = 0; j < 2 * n; ++j) {
        auto &u = j < n ? i1 : i2;
        const uint8_t *p = (j < n ? b1.data() : b2.data()) + (j % n) * size;
        EXPECT_EQ(size, u.IsoPacket[j % n].Length);
        EXPECT_EQ(USBD_STATUS_SUCCESS, u.IsoPacket[j % n].Status);
        std::vector<uint8_t> expected = bus::ReferenceIsoPacket(seq0 + j, size);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), p)) << "packet " << j;
    }
    FreeAsync(&r1);
    FreeAsync(&r2);

    // Submitted after the stream's frames have passed, an ASAP request keeps
    // the stream's schedule: its packets are late, not served, and carry no data.
    std::vector<uint8_t> b5(8 * size);
    UrbBuffer u5 = IsoTransfer(isoIn, true, b5.data(), 8, size);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, u5.Urb()));
    EXPECT_EQ(USBD_STATUS_ISOCH_REQUEST_FAILED, u5.Urb()->UrbHeader.Status);
    EXPECT_EQ(i2.StartFrame + 2, u5.Urb()->UrbIsochronousTransfer.StartFrame);
    EXPECT_EQ(8u, u5.Urb()->UrbIsochronousTransfer.ErrorCount);
    for (ULONG j = 0; j < 8; ++j) {
        EXPECT_EQ(USBD_STATUS_ISO_NOT_ACCESSED_LATE, u5.Urb()->UrbIsochronousTransfer.IsoPacket[j].Status);
        EXPECT_EQ(0u, u5.Urb()->UrbIsochronousTransfer.IsoPacket[j].Length);
    }
    // After 1024 idle frames the stream starts afresh at the next frame.
    bus::SetFrameNumber(bus::CurrentFrame() + 1100);
    UrbBuffer u6 = IsoTransfer(isoIn, true, b5.data(), 8, size);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, u6.Urb()));
    EXPECT_EQ(0u, u6.Urb()->UrbIsochronousTransfer.ErrorCount);
    // So does it after a pipe reset.
    UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, isoIn);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, reset.Urb()));

    // Slots smaller than the camera's packets overflow, each packet reporting it.
    std::vector<uint8_t> b3(8 * 512);
    UrbBuffer u3 = IsoTransfer(isoIn, true, b3.data(), 8, 512);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, u3.Urb()));
    EXPECT_EQ(USBD_STATUS_ISOCH_REQUEST_FAILED, u3.Urb()->UrbHeader.Status);
    EXPECT_EQ(8u, u3.Urb()->UrbIsochronousTransfer.ErrorCount);
    EXPECT_EQ(512u, u3.Urb()->UrbIsochronousTransfer.IsoPacket[0].Length);
    EXPECT_EQ(USBD_STATUS_DATA_OVERRUN, u3.Urb()->UrbIsochronousTransfer.IsoPacket[0].Status);

    // At high speed with one packet per microframe a request covers whole
    // frames, at most 1024 packets.
    std::vector<uint8_t> out(16 * size);
    for (ULONG bad : {9u, 12u, 1032u}) {
        UrbBuffer odd = IsoTransfer(isoOut, false, out.data(), bad, 1);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, odd.Urb())) << bad;
    }

    // The OUT endpoint checks what it gets: 15 good packets, then one bad.
    for (uint32_t j = 0; j < 16; ++j) {
        std::vector<uint8_t> p = bus::ReferenceIsoPacket(100 + j, size);
        memcpy(&out[j * size], p.data(), size);
    }
    out[15 * size + 10] ^= 0xFF;
    UrbBuffer u4 = IsoTransfer(isoOut, false, out.data(), 16, size);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, u4.Urb()));
    bus::CameraState st = bus::GetCameraState(Port);
    EXPECT_EQ(16u, st.IsoOutPackets);
    EXPECT_EQ(1u, st.IsoOutBadPackets);
    EXPECT_EQ(0u, st.IsoOutSequenceGaps);

    // A start frame in the past is refused; so is a packet table that does not
    // fit the header length.
    UrbBuffer late = IsoTransfer(isoIn, true, b1.data(), 8, size, false, 0);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, late.Urb()));
    EXPECT_EQ(USBD_STATUS_BAD_START_FRAME, late.Urb()->UrbHeader.Status);
    UrbBuffer cut = IsoTransfer(isoIn, true, b1.data(), 8, size);
    cut.Urb()->UrbHeader.Length = 140 + 12 * 7;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitSync(Pdo, cut.Urb()));

    // The wire log keeps each packet's offset, length and status.
    auto log = bus::WireLog();
    size_t iso = 0;
    for (const auto &r : log)
        if (r.Type == bus::TransferType::Isochronous) {
            ++iso;
            EXPECT_FALSE(r.IsoPackets.empty());
        }
    EXPECT_EQ(7u, iso);
}

TEST_F(BusTransfers, CompletionModesAndLatency) {
    uint8_t d[18];
    UrbBuffer dr = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d, sizeof d);
    AsyncUrb a;
    // Asynchronous with added latency: pending, and not done before the
    // latency has passed (the bus cannot complete it earlier).
    bus::SetLatency(Port, 0, 300000);
    StartAsync(&a, Pdo, dr.Urb());
    EXPECT_EQ(STATUS_PENDING, a.Returned);
    EXPECT_FALSE(WaitAsync(&a, 30));
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    EXPECT_EQ(STATUS_SUCCESS, a.Status);
    FreeAsync(&a);
    bus::SetLatency(Port, 0, 0);

    bus::SetCompletionMode(Port, bus::CompletionMode::Inline);
    StartAsync(&a, Pdo, dr.Urb());
    EXPECT_EQ(STATUS_SUCCESS, a.Returned);
    EXPECT_TRUE(WaitAsync(&a, 0));
    FreeAsync(&a);
    // A read with no data still waits.
    uint8_t frame[512];
    UrbBuffer r = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame, sizeof frame);
    StartAsync(&a, Pdo, r.Urb());
    EXPECT_EQ(STATUS_PENDING, a.Returned);
    UrbBuffer abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, sel.Pipes[2].PipeHandle);
    EXPECT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, abort.Urb()));
    EXPECT_TRUE(WaitAsync(&a, kHangGuardMs));
    EXPECT_EQ(STATUS_CANCELLED, a.Status);
    FreeAsync(&a);
}

TEST_F(BusTransfers, SurpriseRemovalFailsQueuedAndLaterRequestsAndDeletesThePdo) {
    uint8_t frame[512];
    UrbBuffer r = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame, sizeof frame);
    AsyncUrb a;
    StartAsync(&a, Pdo, r.Urb());
    ASSERT_TRUE(WaitQueued(0x82, 1));
    ASSERT_TRUE(sim::DeviceNameExists("\\Device\\USBPDO-0"));

    EXPECT_EQ(STATUS_SUCCESS, bus::SurpriseRemove(Port));
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, a.Status);
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, r.Urb()->UrbHeader.Status);
    FreeAsync(&a);
    EXPECT_FALSE(sim::DeviceNameExists("\\Device\\USBPDO-0"));
    EXPECT_EQ(nullptr, bus::PortPdo(Port));

    // The port is free for the next camera.
    bus::PlugResult again = bus::PlugReferenceCamera();
    ASSERT_EQ(STATUS_SUCCESS, again.Status);
    EXPECT_EQ(Port, again.Port);
}

// A device script sees each answer after the model and may bend it: here a
// device descriptor cut short, a vendor request stalled, a bulk packet of its
// own that overruns the buffer, and isochronous packets of 100 bytes.
struct BendingScript : bus::DeviceScript {
    void Control(const uint8_t setup[8], uint8_t *data, uint16_t, bool *stall, uint32_t *actual) override {
        if (setup[1] == USB_REQUEST_GET_DESCRIPTOR && setup[3] == USB_DEVICE_DESCRIPTOR_TYPE) {
            *actual = 8;
            data[0] = 0;  // bLength 0
        }
        if ((setup[0] & 0x60) == 0x40) *stall = true;
    }
    void InPacket(uint8_t, uint32_t maxPacket, bool *has, std::vector<uint8_t> *packet) override {
        packet->assign(maxPacket, 0xB7);
        *has = true;
    }
    void IsoInPacket(uint8_t, uint32_t, std::vector<uint8_t> *packet) override { packet->resize(100); }
};

TEST_F(BusTransfers, ADeviceScriptBendsDescriptorsControlBulkAndIsochronousAnswers) {
    bus::SetDeviceScript(Port, std::make_shared<BendingScript>());
    uint8_t device[18] = {};
    UrbBuffer d = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof device);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, d.Urb()));
    EXPECT_EQ(8u, d.Urb()->UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(0, device[0]);
    uint8_t reg[4];
    UrbBuffer v = VendorClassRequest(URB_FUNCTION_VENDOR_DEVICE, true, 0x10, 0, 0, reg, sizeof reg);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, v.Urb()));
    EXPECT_EQ(USBD_STATUS_STALL_PID, v.Urb()->UrbHeader.Status);

    // The status pipe answers 16 bytes; the script's 512-byte packet overruns 100.
    uint8_t status[100];
    UrbBuffer b = BulkTransfer(sel.Pipes[1].PipeHandle, true, status, sizeof status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, b.Urb()));
    EXPECT_EQ(USBD_STATUS_DATA_OVERRUN, b.Urb()->UrbHeader.Status);
    EXPECT_EQ(0xB7, status[99]);

    Selection a1 = SelectAlternate(Pdo, sel.Configuration, 1, 4, 0x3FFFFF);
    ASSERT_EQ(STATUS_SUCCESS, a1.Status);
    std::vector<uint8_t> iso(8 * 1024);
    UrbBuffer u = IsoTransfer(a1.Pipes[2].PipeHandle, true, iso.data(), 8, 1024);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, u.Urb()));
    for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(100u, u.Urb()->UrbIsochronousTransfer.IsoPacket[i].Length);
    bus::SetDeviceScript(Port, nullptr);
}

}  // namespace
