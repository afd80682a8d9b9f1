// The order of isochronous requests against a scripted lower driver that
// holds every request until the test completes it: completions in any order
// and on several threads at once must still reach a stream's rings, and a
// block read's buffer, in the order the requests were sent (the order the
// bus serves them), and the slots must be sent again in that order; a slot
// failing, a stop and a removal while slots are parked end cleanly.
#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <condition_variable>

#include "driver_fixture.h"
#include "scripted_bus.h"
#include "transfer/iso_job.h"
#include "usb/interface_snapshot.h"

namespace drvtest {
namespace {

using namespace std::chrono_literals;

const USBD_PIPE_HANDLE kIsoPipe = (USBD_PIPE_HANDLE)0x1006;
constexpr uint32_t kSize = 64;       // bytes per packet
constexpr uint32_t kPerRequest = 8;  // packets per request: one frame at bInterval 1

class IsoOrderTest : public ScriptedDeviceTest {
protected:
    void SetUp() override {
        ScriptedDeviceTest::SetUp();
        Scripted().OnInternal = [this](ULONG code, PIO_STACK_LOCATION stack) {
            return Answer(code, stack);
        };
        // Pipe 0: isochronous IN 0x86, one packet a microframe.
        StartWithPipes({{0x86, UsbdPipeTypeIsochronous, kIsoPipe, kSize, 1}});
        baseline_ = OurBlocks();
    }
    void TearDown() override {
        // The removal's abort starts an aborter of its own: joined before
        // the bus goes.
        if (handle_ != 0) sim::ClientClose(handle_);
        handle_ = 0;
        RemoveAll();
        if (aborter_.joinable()) aborter_.join();
        ScriptedDeviceTest::TearDown();
    }

    // The bus serves each isochronous request as it arrives: packet j of the
    // k-th request carries the number k * 8 + j, and the request is held.
    // An abort succeeds at once and cancels the held requests after it, the
    // newest first, as the platform may.
    ScriptedBus::Answer Answer(ULONG code, PIO_STACK_LOCATION stack) {
        ScriptedBus::Answer answer;
        if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) return answer;
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            if (aborter_.joinable()) aborter_.join();
            aborter_ = std::thread([this] { CancelHeld(); });
            return answer;
        }
        if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return answer;
        auto *iso = &urb->UrbIsochronousTransfer;
        uint32_t k;
        {
            std::lock_guard<std::mutex> hold(lock_);
            k = (uint32_t)buffers_.size();
            buffers_.push_back(iso->TransferBuffer);
        }
        if (onArrival_) onArrival_(k);  // in the sender's thread, inside IofCallDriver
        std::lock_guard<std::mutex> hold(lock_);
        for (ULONG j = 0; j < iso->NumberOfPackets; j++) {
            const uint32_t number = k * kPerRequest + j;
            memcpy((uint8_t *)iso->TransferBuffer + iso->IsoPacket[j].Offset, &number, 4);
            iso->IsoPacket[j].Length = kSize;
            iso->IsoPacket[j].Status = USBD_STATUS_SUCCESS;
        }
        if (!USBD_SUCCESS(failInline_)) {  // failed inside IofCallDriver
            Fail(urb, failInline_);
            answer.Status = STATUS_UNSUCCESSFUL;
            return answer;
        }
        // Completed inside IofCallDriver with success, a hundred times at
        // most: then held, so that a driver that sends such a request again
        // and again is seen rather than left looping.
        if (succeedInline_ && k < 100) return answer;
        answer.Hold = true;
        return answer;
    }
    static PURB UrbOf(PIRP irp) {
        return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
    }
    static uint32_t FirstNumber(PIRP irp) {
        uint32_t number;
        memcpy(&number, UrbOf(irp)->UrbIsochronousTransfer.TransferBuffer, 4);
        return number;
    }
    void CancelHeld() {
        std::vector<PIRP> held;
        {
            std::lock_guard<std::mutex> hold(Scripted().Lock);
            held = Scripted().Held;
        }
        for (auto it = held.rbegin(); it != held.rend(); ++it) {
            Fail(UrbOf(*it), USBD_STATUS_CANCELED);
            Scripted().CompleteHeld(*it, STATUS_CANCELLED);
        }
    }
    static void Fail(PURB urb, USBD_STATUS usbd) {
        auto *iso = &urb->UrbIsochronousTransfer;
        iso->Hdr.Status = usbd;
        for (ULONG j = 0; j < iso->NumberOfPackets; j++) {
            iso->IsoPacket[j].Status = usbd;
            iso->IsoPacket[j].Length = 0;
        }
    }

    // Waits (at most 10 s) until count requests have reached the bus.
    bool WaitArrivals(size_t count) {
        for (int i = 0; i < 10000; i++) {
            if (Arrivals() >= count) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    // Requests that have reached the bus so far.
    size_t Arrivals() {
        std::lock_guard<std::mutex> hold(lock_);
        return buffers_.size();
    }
    // The payload stride (so the slot) the k-th request was sent with.
    PVOID Stride(size_t k) {
        std::lock_guard<std::mutex> hold(lock_);
        return k < buffers_.size() ? buffers_[k] : nullptr;
    }
    // Completes the k-th request (waiting for it to arrive; hang guard 10 s),
    // with success or with the USB status given; returns when its completion
    // routine has returned.
    void Complete(uint32_t k, USBD_STATUS usbd = USBD_STATUS_SUCCESS) {
        PIRP irp = nullptr;
        for (int i = 0; i < 10000 && irp == nullptr; i++) {
            {
                std::lock_guard<std::mutex> hold(Scripted().Lock);
                for (PIRP held : Scripted().Held) {
                    if (FirstNumber(held) == k * kPerRequest) irp = held;
                }
            }
            if (irp == nullptr) std::this_thread::sleep_for(1ms);
        }
        ASSERT_NE(irp, nullptr) << "request " << k << " never arrived";
        NTSTATUS status = STATUS_SUCCESS;
        if (!USBD_SUCCESS(usbd)) {
            Fail(UrbOf(irp), usbd);
            status = STATUS_UNSUCCESSFUL;
        }
        Scripted().CompleteHeld(irp, status);
    }

    sim::IoResult StartStream(uint32_t slots, uint32_t ringPackets = 1024) {
        StreamStartRecord record = {0, kSize, ringPackets, kPerRequest, slots};
        return Call(IOCTL_USBCAM_START_STREAM, &record, sizeof(record), nullptr, 0);
    }
    sim::IoResult StopStream() { return Call(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0); }
    sim::IoResult Call(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength) {
        return sim::ClientDeviceIoControl(handle_, code, in, inLength, out, outLength);
    }
    // Drains the stream's rings: each packet's number, or ~status for a packet
    // that carries a failure status (its length must be 0).
    std::vector<uint32_t> Read(uint32_t perRead = 64) {
        std::vector<uint32_t> numbers;
        for (;;) {
            StreamReadRecord record = {0, kSize, perRead, 0, 0};
            std::vector<uint8_t> out(perRead * (kSize + 12));
            sim::IoResult r = Call(IOCTL_USBCAM_READ_STREAM, &record, sizeof(record), out.data(), (ULONG)out.size());
            EXPECT_EQ(r.Status, STATUS_SUCCESS);
            const size_t packets = r.Information / (kSize + 12);
            for (size_t i = 0; i < packets; i++) {
                IsoPacketDescriptor d;
                memcpy(&d, &out[packets * kSize + i * 12], 12);
                uint32_t number;
                memcpy(&number, &out[i * kSize], 4);
                EXPECT_EQ(d.Offset, (uint32_t)(number % kPerRequest) * kSize);
                if (d.Status != USBD_STATUS_SUCCESS) {
                    EXPECT_EQ(d.Length, 0u);
                    number = ~d.Status;
                }
                numbers.push_back(number);
            }
            if (packets < perRead) return numbers;
        }
    }
    static std::vector<uint32_t> Range(uint32_t first, uint32_t end) {
        std::vector<uint32_t> numbers;
        for (uint32_t n = first; n < end; n++) numbers.push_back(n);
        return numbers;
    }
    static std::vector<uint32_t> Failed(uint32_t count, USBD_STATUS usbd) {
        return std::vector<uint32_t>(count, ~(uint32_t)usbd);
    }
    static std::vector<uint32_t> Join(std::vector<uint32_t> a, const std::vector<uint32_t> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    // Hang guard 10 s: the last slot has stopped and everything is freed.
    bool WaitStreamGone() {
        for (int i = 0; i < 10000 && OurBlocks() != baseline_; i++) std::this_thread::sleep_for(1ms);
        StreamReadRecord record = {0, kSize, 1, 0, 0};
        std::vector<uint8_t> out(kSize + 12);
        return OurBlocks() == baseline_ &&
               Call(IOCTL_USBCAM_READ_STREAM, &record, sizeof(record), out.data(), (ULONG)out.size()).Status ==
                   STATUS_UNSUCCESSFUL;
    }

    int baseline_ = 0;
    std::mutex lock_;
    std::vector<PVOID> buffers_;  // by arrival
    USBD_STATUS failInline_ = USBD_STATUS_SUCCESS;
    bool succeedInline_ = false;
    std::thread aborter_;
    // Called for the k-th arriving isochronous request in the sender's own
    // thread, inside its IofCallDriver, before the request is served.
    std::function<void(uint32_t k)> onArrival_;
};

TEST_F(IsoOrderTest, RequestsCompletingInReverseReachTheRingsInSendOrder) {
    ASSERT_EQ(StartStream(4).Status, STATUS_SUCCESS);
    ASSERT_EQ(Arrivals(), 4u);
    Complete(3);
    Complete(2);
    Complete(1);
    // Parked behind request 0: nothing appended, nothing sent again.
    EXPECT_TRUE(Read().empty());
    EXPECT_EQ(Arrivals(), 4u);
    Complete(0);
    EXPECT_EQ(Read(), Range(0, 32));
    // Sent again in the order they were first sent.
    ASSERT_EQ(Arrivals(), 8u);
    for (size_t k = 0; k < 4; k++) EXPECT_EQ(Stride(4 + k), Stride(k)) << k;

    // Out of order again: the first two in order as soon as they can go.
    Complete(5);
    Complete(7);
    EXPECT_TRUE(Read().empty());
    Complete(4);
    EXPECT_EQ(Read(), Range(32, 48));
    Complete(6);
    EXPECT_EQ(Read(), Range(48, 64));
    ASSERT_EQ(Arrivals(), 12u);
    for (size_t k = 0; k < 4; k++) EXPECT_EQ(Stride(8 + k), Stride(k)) << k;

    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    for (uint32_t k : {10u, 8u, 11u, 9u}) Complete(k);
    EXPECT_TRUE(WaitStreamGone());
    EXPECT_EQ(Arrivals(), 12u);
}

TEST_F(IsoOrderTest, FullRingsDropWholeRequestsWhileTheStreamRunsOn) {
    // Rings of two requests (16 packets), two slots.
    ASSERT_EQ(StartStream(2, 16).Status, STATUS_SUCCESS);
    Complete(0);
    Complete(1);  // stored, and both slots sent again
    Complete(2);
    Complete(3);  // no room: both dropped whole, and sent again all the same
    EXPECT_EQ(Read(16), Range(0, 16));
    Complete(4);  // room again
    EXPECT_EQ(Read(16), Range(32, 40));
    EXPECT_EQ(Arrivals(), 7u);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    Complete(5);
    Complete(6);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(IsoOrderTest, CompletionsOnSeveralThreadsAtOnceKeepTheOrder) {
    // The four requests in flight are completed on four threads at once,
    // round after round: whichever takes the lead, the rings get them in the
    // order they were sent.
    ASSERT_EQ(StartStream(4).Status, STATUS_SUCCESS);
    const uint32_t rounds = 150;
    std::vector<uint32_t> numbers;
    for (uint32_t round = 0; round < rounds; round++) {
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (uint32_t t = 0; t < 4; t++) {
            threads.emplace_back([&, k = round * 4 + (3 - t)] {
                ready++;
                while (ready.load() < 4) std::this_thread::yield();
                Complete(k);
            });
        }
        for (auto &thread : threads) thread.join();
        const std::vector<uint32_t> more = Read();
        numbers.insert(numbers.end(), more.begin(), more.end());
        ASSERT_EQ(Arrivals(), 4u * (round + 2));
        if (HasFailure()) break;
    }
    EXPECT_EQ(numbers, Range(0, rounds * 32));
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    for (uint32_t k = rounds * 4; k < rounds * 4 + 4; k++) Complete(k);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(IsoOrderTest, ASlotFailingWhileOthersAreParkedLeavesTheOrder) {
    ASSERT_EQ(StartStream(4).Status, STATUS_SUCCESS);
    Complete(2);
    Complete(1, USBD_STATUS_DEV_NOT_RESPONDING);
    Complete(3);
    EXPECT_TRUE(Read().empty());
    Complete(0);
    // The failed request takes its place, its packets saying why.
    EXPECT_EQ(Read(), Join(Join(Range(0, 8), Failed(8, USBD_STATUS_DEV_NOT_RESPONDING)), Range(16, 32)));
    // Its slot stopped; the others were sent again in their order.
    ASSERT_EQ(Arrivals(), 7u);
    EXPECT_EQ(Stride(4), Stride(0));
    EXPECT_EQ(Stride(5), Stride(2));
    EXPECT_EQ(Stride(6), Stride(3));
    // Three slots run on, in order.
    Complete(6);
    Complete(5);
    EXPECT_TRUE(Read().empty());
    Complete(4);
    EXPECT_EQ(Read(), Range(32, 56));
    EXPECT_EQ(Arrivals(), 10u);
    EXPECT_EQ(Stride(7), Stride(0));

    // Every remaining slot fails: the stream ends with the last of them.
    for (uint32_t k : {9u, 7u, 8u}) Complete(k, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_TRUE(WaitStreamGone());
    EXPECT_EQ(Arrivals(), 10u);
}

TEST_F(IsoOrderTest, AStopWhileSlotsAreParkedStopsThemInOrder) {
    ASSERT_EQ(StartStream(4).Status, STATUS_SUCCESS);
    Complete(1);
    Complete(2);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    // Slots 1 and 2 completed before the stop, but their turn comes after it:
    // they stop with slot 0, their data in order.
    Complete(0);
    EXPECT_EQ(Read(), Range(0, 24));
    EXPECT_EQ(Arrivals(), 4u);
    Complete(3);
    EXPECT_TRUE(WaitStreamGone());
    EXPECT_EQ(Arrivals(), 4u);
}

TEST_F(IsoOrderTest, RemovalWhileSlotsAreParkedWaitsForTheLastSlot) {
    ASSERT_EQ(StartStream(4).Status, STATUS_SUCCESS);
    Complete(2);
    Complete(3);
    sim::ClientClose(handle_);
    handle_ = 0;
    // The abort cancels requests 1 and 0 after it has completed; 2 and 3 then
    // take their turn and are not sent again.
    EXPECT_EQ(sim::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(OurBlocks(), 0);
    EXPECT_EQ(Arrivals(), 4u);
    std::lock_guard<std::mutex> hold(Scripted().Lock);
    EXPECT_TRUE(Scripted().Held.empty());
}

TEST_F(IsoOrderTest, RequestsFailingInsideTheSendStopTheirSlotsWithoutNesting) {
    // Each completion runs inside the IofCallDriver that sent its request:
    // it parks, the starter takes it once the call has returned, and the
    // slot stops instead of being sent again from within its completion.
    failInline_ = USBD_STATUS_DEV_NOT_RESPONDING;
    ASSERT_EQ(StartStream(4).Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
    EXPECT_EQ(Arrivals(), 4u);
}

TEST_F(IsoOrderTest, RequestsCompletedInsideTheSendWithSuccessAreServedFromTheDrainersLoop) {
    // A lower driver that completes each request inside IofCallDriver and
    // calls it a success. A block read is served to its end: every request
    // sent once, from the drainer's loop (the verifier reports any send
    // nested in a completion), and it finishes with every packet received.
    succeedInline_ = true;
    std::vector<uint8_t> out(32 * (kSize + 12), 0xEE);
    IsoReadRecord record = {0, kSize, 32, kPerRequest, 2};
    sim::IoResult r = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(Arrivals(), 32u / kPerRequest);
    for (uint32_t i = 0; i < 32; i++) {
        IsoPacketDescriptor d;
        memcpy(&d, &out[32 * kSize + i * 12], 12);
        EXPECT_EQ(d.Status, USBD_STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(OurBlocks(), baseline_);

    // A stream has no last packet to end such a loop at DISPATCH_LEVEL: its
    // drainer sends inline-completed requests again a bounded number of
    // times, then stops the slots.
    const size_t before = Arrivals();
    ASSERT_EQ(StartStream(4).Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
    EXPECT_EQ(Arrivals() - before, 4u + ISO_STREAM_INLINE_RESENDS);
}

TEST_F(IsoOrderTest, ABlockReadIsSentAgainInOrderSoItsBufferFollowsTheBus) {
    // Two slots; each round the later request completes first. Were the
    // slots sent again in the order they complete, the bus would fill packets
    // 24 to 31 before 16 to 23.
    const uint32_t total = 64;
    std::vector<uint8_t> out(total * (kSize + 12), 0xEE);
    sim::IoResult result{};
    std::thread reader([&] {
        IsoReadRecord record = {0, kSize, total, kPerRequest, 2};
        result = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
    });
    for (uint32_t round = 0; round < total / (2 * kPerRequest); round++) {
        Complete(2 * round + 1);
        Complete(2 * round);
    }
    reader.join();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(Arrivals(), total / kPerRequest);
    for (uint32_t i = 0; i < total; i++) {
        uint32_t number;
        memcpy(&number, &out[i * kSize], 4);
        EXPECT_EQ(number, i);
        IsoPacketDescriptor d;
        memcpy(&d, &out[total * kSize + i * 12], 12);
        EXPECT_EQ(d.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(d.Length, kSize);
    }
    EXPECT_EQ(OurBlocks(), baseline_);
}

TEST_F(IsoOrderTest, AStreamStartedRightAfterAStopRunsOnAndKeepsItsRings) {
    // Stream A (requests 0 and 1) is asked to stop; stream B starts at once
    // (requests 2 and 3). A's slots stop at their next completion and are
    // not revived by B's start; A's end leaves B's rings to B.
    ASSERT_EQ(StartStream(2).Status, STATUS_SUCCESS);
    ASSERT_EQ(StopStream().Status, STATUS_SUCCESS);
    ASSERT_EQ(StartStream(2).Status, STATUS_SUCCESS);
    ASSERT_EQ(Arrivals(), 4u);
    Complete(0);
    Complete(1);
    EXPECT_EQ(Arrivals(), 4u);  // A ended: nothing of it sent again
    Complete(2);
    Complete(3);
    ASSERT_TRUE(WaitArrivals(6));
    EXPECT_EQ(Arrivals(), 6u);
    // B loses nothing: its rings hold its two requests, in order.
    std::vector<uint32_t> numbers = Read();
    ASSERT_EQ(numbers.size(), 2u * kPerRequest);
    for (uint32_t i = 0; i < numbers.size(); i++) EXPECT_EQ(numbers[i], 2 * kPerRequest + i);
    ASSERT_EQ(StopStream().Status, STATUS_SUCCESS);
    Complete(4);
    Complete(5);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(IsoOrderTest, ACompletionIsParkedBeforeItLeavesTheOrderLock) {
    // The drainer is busy sending slot 0 again (held inside IofCallDriver)
    // while slot 1's request completes and parks behind it. The drainer then
    // looks at slot 1: it must find it parked, even though slot 1's
    // completion has not returned yet, or nobody ever takes it.
    std::mutex m;
    std::condition_variable cv;
    bool inSend = false, go = false;
    onArrival_ = [&](uint32_t k) {
        if (k != 2) return;
        std::unique_lock<std::mutex> lock(m);
        inSend = true;
        cv.notify_all();
        cv.wait_for(lock, 10s, [&] { return go; });
    };
    ASSERT_EQ(StartStream(2).Status, STATUS_SUCCESS);
    std::thread drainer([&] { Complete(0); });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return inSend; }));
    }
    sim::TestPointHold("IsoCompletionParked");
    std::thread parker([&] { Complete(1); });
    EXPECT_TRUE(sim::TestPointWaitHeld("IsoCompletionParked", 10000));
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
        cv.notify_all();
    }
    drainer.join();
    sim::TestPointRelease("IsoCompletionParked");
    parker.join();
    onArrival_ = nullptr;
    // Slot 1 was taken and sent again.
    EXPECT_TRUE(WaitArrivals(4));
    ASSERT_EQ(StopStream().Status, STATUS_SUCCESS);
    Complete(2);
    Complete(3);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(IsoOrderTest, NothingIsSentAfterRemovalHasClosedTheSendGate) {
    // A slot about to be sent again has been counted by the send gate when
    // removal closes it: removal waits for it, and it is not sent.
    ASSERT_EQ(StartStream(2).Status, STATUS_SUCCESS);
    sim::TestPointHold("IsoSendCounted");
    std::thread sender([&] { Complete(0); });
    ASSERT_TRUE(sim::TestPointWaitHeld("IsoSendCounted", 10000));
    sim::ClientClose(handle_);
    handle_ = 0;
    std::atomic<bool> removedDone{false};
    std::thread remover([&] {
        EXPECT_EQ(sim::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
        removedDone = true;
    });
    // Removal has begun (and, were the gate open to it, would have aborted
    // the pipes by now).
    for (int i = 0; i < 10000 && !ReadUCharNoFence(&Ext()->Removing); i++) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    sim::TestPointRelease("IsoSendCounted");
    sender.join();
    for (int i = 0; i < 10000 && !removedDone; i++) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(removedDone) << "removal waits for a request sent after its aborts";
    if (!removedDone) CancelHeld();
    remover.join();
    EXPECT_EQ(Arrivals(), 2u);
}

TEST_F(IsoOrderTest, ABlockReadWhoseBufferNeedWrapsPast32BitsIsRefused) {
    // 2^20 packets of 4084 + 12 bytes need 2^32 bytes: computed in 32 bits
    // that is 0, and a 4 KiB buffer would pass.
    std::vector<uint8_t> out(4096);
    IsoReadRecord record = {0, 4084, 1u << 20, kPerRequest, 2};
    sim::IoResult r = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Arrivals(), 0u);
}

TEST_F(IsoOrderTest, AFailedRequestsPacketsNeverReadAsReceived) {
    // The bus fails the requests but leaves their packets as it had filled
    // them, marked successful: each such packet reads as failed, length 0,
    // with the request's USB status (or not-accessed when it has none).
    std::vector<uint8_t> out(24 * (kSize + 12), 0xEE);
    sim::IoResult result{};
    std::thread reader([&] {
        IsoReadRecord record = {0, kSize, 24, kPerRequest, 3};
        result = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
    });
    ASSERT_TRUE(WaitArrivals(3));
    const USBD_STATUS urbStatus[3] = {USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_SUCCESS,
                                      USBD_STATUS_SUCCESS};
    const NTSTATUS irpStatus[3] = {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_SUCCESS};
    for (uint32_t k = 0; k < 3; k++) {
        PIRP irp = nullptr;
        {
            std::lock_guard<std::mutex> hold(Scripted().Lock);
            for (PIRP held : Scripted().Held)
                if (FirstNumber(held) == k * kPerRequest) irp = held;
        }
        ASSERT_NE(irp, nullptr);
        UrbOf(irp)->UrbHeader.Status = urbStatus[k];
        Scripted().CompleteHeld(irp, irpStatus[k]);
    }
    reader.join();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    const USBD_STATUS expected[3] = {USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW,
                                     USBD_STATUS_SUCCESS};
    for (uint32_t i = 0; i < 24; i++) {
        IsoPacketDescriptor d;
        memcpy(&d, &out[24 * kSize + i * 12], 12);
        EXPECT_EQ(d.Status, expected[i / kPerRequest]) << i;
        EXPECT_EQ(d.Length, expected[i / kPerRequest] == USBD_STATUS_SUCCESS ? kSize : 0u) << i;
    }
}

TEST_F(IsoOrderTest, ARequestWhosePacketsWereAllLateKeepsItsSlot) {
    // The bus reached every packet of request 0 too late: the request fails
    // as a whole, yet the slot goes on (the next request starts on time);
    // any other failure stops it.
    ASSERT_EQ(StartStream(2).Status, STATUS_SUCCESS);
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> hold(Scripted().Lock);
        irp = Scripted().Held.front();
    }
    Fail(UrbOf(irp), USBD_STATUS_ISO_NOT_ACCESSED_LATE);
    UrbOf(irp)->UrbHeader.Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
    Scripted().CompleteHeld(irp, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(WaitArrivals(3));
    Complete(1, USBD_STATUS_DEV_NOT_RESPONDING);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(Arrivals(), 3u);  // slot 1 stopped
    std::vector<uint32_t> numbers = Read();
    ASSERT_EQ(numbers.size(), 2u * kPerRequest);
    EXPECT_EQ(numbers[0], ~(uint32_t)USBD_STATUS_ISO_NOT_ACCESSED_LATE);
    ASSERT_EQ(StopStream().Status, STATUS_SUCCESS);
    Complete(2);
    EXPECT_TRUE(WaitStreamGone());
}

// ---------------------------------------------------------------------------
// ABORT_PIPE under a running job

TEST_F(IsoOrderTest, AnAbortEndsAStreamAndNothingOfItIsSentAfterIt) {
    // Slot 1's request has come back with data while slot 0's is still out,
    // so it waits for its turn. The abort cancels slot 0's request (after the
    // abort request itself has returned, as the platform may); the drainer
    // then takes slot 1's, which must not go out again.
    ASSERT_EQ(StartStream(2).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitArrivals(2));
    Complete(1);
    PipeIndexRecord pipe = {0};
    EXPECT_EQ(Call(IOCTL_USBCAM_ABORT_PIPE, &pipe, sizeof(pipe), nullptr, 0).Status, STATUS_SUCCESS);
    // The cancels, and everything the drainer does after them, run in the
    // aborter's thread.
    if (aborter_.joinable()) aborter_.join();
    EXPECT_EQ(Arrivals(), 2u) << "a request of the aborted stream went out after the abort";
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(IsoOrderTest, AnAbortEndsABlockReadAndNothingOfItIsSentAfterIt) {
    const uint32_t total = 64;
    std::vector<uint8_t> out(total * (kSize + 12), 0xEE);
    sim::IoResult result{};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        IsoReadRecord record = {0, kSize, total, kPerRequest, 2};
        result = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
        done = true;
    });
    ASSERT_TRUE(WaitArrivals(2));
    Complete(1);
    PipeIndexRecord pipe = {0};
    EXPECT_EQ(Call(IOCTL_USBCAM_ABORT_PIPE, &pipe, sizeof(pipe), nullptr, 0).Status, STATUS_SUCCESS);
    if (aborter_.joinable()) aborter_.join();
    EXPECT_EQ(Arrivals(), 2u) << "the block read went on after the abort";
    // A read that went on is ended here, so that the test does not hang.
    for (int i = 0; i < 10000 && !done; i++) {
        CancelHeld();
        std::this_thread::sleep_for(1ms);
    }
    reader.join();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    // Slot 0's packets were cancelled, slot 1's arrived, the rest never went.
    for (uint32_t i = 0; i < total; i++) {
        IsoPacketDescriptor d;
        memcpy(&d, &out[total * kSize + i * 12], 12);
        const USBD_STATUS expected = i < kPerRequest       ? USBD_STATUS_CANCELED
                                     : i < 2 * kPerRequest ? USBD_STATUS_SUCCESS
                                                           : USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        EXPECT_EQ(d.Status, expected) << i;
    }
    EXPECT_EQ(OurBlocks(), baseline_);
}

}  // namespace
}  // namespace drvtest
