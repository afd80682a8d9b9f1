// The bus under concurrent use: host-side knobs, the frame counter, the wire
// log and the capture changed while submitters and the bus clock run;
// cancellation racing completion; the camera pulled out under traffic. Each
// case checks what holds under every interleaving; built with ThreadSanitizer
// (make tsan) they also check the bus's own locking.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <thread>

#include "urb_client.h"

using namespace usbtest;
namespace bus = sim::usb;

namespace {

constexpr int kSubmitters = 2;
constexpr int kRequestsEach = 40;
constexpr int kHangGuardMs = 5000;

class BusConcurrency : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        if (HasFatalFailure()) return;
        sel = Configure(Pdo, 0x3FFFFF);
        ASSERT_EQ(STATUS_SUCCESS, sel.Status);
    }
    // A control read on the default pipe or a 64-byte command on pipe 0.
    NTSTATUS OneRequest(int i) {
        uint8_t buffer[64] = {};
        UrbBuffer b = i % 2 == 0
                          ? DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18)
                          : BulkTransfer(sel.Pipes[0].PipeHandle, false, buffer, sizeof buffer);
        return SubmitSync(Pdo, b.Urb());
    }
    Selection sel;
};

TEST_F(BusConcurrency, KnobsFrameCounterLogAndCaptureChangeUnderTraffic) {
    std::atomic<int> unexpected{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < kSubmitters; t++) {
        submitters.emplace_back([&] {
            for (int i = 0; i < kRequestsEach; i++) {
                NTSTATUS status = OneRequest(i);
                // Forced failures and stalls map to STATUS_UNSUCCESSFUL.
                if (status != STATUS_SUCCESS && status != STATUS_UNSUCCESSFUL) unexpected++;
            }
        });
    }
    const std::string capture = ::testing::TempDir() + "bus_concurrency.pcap";
    std::string why;
    for (int round = 0; submitters.size() != 0 && round < 200; round++) {
        switch (round % 8) {
            case 0: bus::SetLatency(Port, bus::kAnyEndpoint, (round % 3) * 1000); break;
            case 1: bus::FailNext(Port, 0, 1, USBD_STATUS_STALL_PID); break;
            case 2: bus::SetStall(Port, 0, round % 16 == 2); break;
            case 3:
                bus::SetCompletionMode(Port, round % 16 == 3 ? bus::CompletionMode::Inline
                                                             : bus::CompletionMode::Async);
                break;
            case 4:
                bus::SetFrameNumber(100 + round);
                EXPECT_LT(bus::CurrentFrame(), 100000u);
                break;
            case 5: bus::WireLog(Port); break;
            case 6:
                if (round % 16 == 6) {
                    EXPECT_TRUE(bus::CaptureStart(capture, &why)) << why;
                } else {
                    bus::CaptureStop();
                }
                break;
            default: bus::GetCameraState(Port); break;
        }
        std::this_thread::yield();
    }
    for (auto &t : submitters) t.join();
    bus::CaptureStop();
    bus::ResetKnobs(Port);
    remove(capture.c_str());
    EXPECT_EQ(0, unexpected.load());
}

// Each transfer is cancelled from another thread while the bus clock may be
// completing it: it completes exactly once, either done or cancelled.
TEST_F(BusConcurrency, CancelRacingCompletionFinishesEachTransferOnce) {
    bus::SetLatency(Port, 0x01, 1000);
    for (int i = 0; i < 30; i++) {
        uint8_t packet[64] = {};
        UrbBuffer b = BulkTransfer(sel.Pipes[0].PipeHandle, false, packet, sizeof packet);
        AsyncUrb a;
        StartAsync(&a, Pdo, b.Urb());
        std::thread canceller([&] {
            if (i % 3 != 0) std::this_thread::sleep_for(std::chrono::microseconds(300 * (i % 5)));
            IoCancelIrp(a.Irp);
        });
        canceller.join();
        ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
        EXPECT_TRUE(a.Status == STATUS_SUCCESS || a.Status == STATUS_CANCELLED) << a.Status;
        FreeAsync(&a);
    }
}

// The camera pulled out while submitters run: every request ends, with success
// before the removal and the device-gone status after it.
TEST_F(BusConcurrency, UnplugUnderTrafficEndsEveryRequest) {
    bus::SetLatency(Port, bus::kAnyEndpoint, 1000);
    std::atomic<int> started{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < kSubmitters; t++) {
        submitters.emplace_back([&] {
            for (int i = 0; i < kRequestsEach / 2; i++) {
                started++;
                NTSTATUS status = OneRequest(i);
                if (status != STATUS_SUCCESS && status != STATUS_DEVICE_NOT_CONNECTED) unexpected++;
            }
        });
    }
    while (started.load() < kSubmitters * 2) std::this_thread::yield();
    bus::Unplug(Port);
    for (auto &t : submitters) t.join();
    EXPECT_EQ(0, unexpected.load());
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, OneRequest(0));
}

}  // namespace

// --- Completion threads, inline failures, IRQL rules, bandwidth ------------

namespace {

// Completion routines that note when they start and hold on until another
// routine runs beside them (or the hold ends).
struct Overlap {
    std::atomic<int> Inside{0};
    std::atomic<int> MaxInside{0};
    std::atomic<int> Started{0};
    int HoldMs = 0;
};

struct ProbeRequest {
    Overlap *Probe = nullptr;
    PIRP Irp = nullptr;
    KEVENT Done;
    int StartIndex = -1;
    UrbBuffer Urb;
    std::vector<uint8_t> Data;
};

NTSTATUS OnProbeDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    ProbeRequest *r = static_cast<ProbeRequest *>(context);
    Overlap &o = *r->Probe;
    r->StartIndex = o.Started++;
    int now = ++o.Inside;
    int seen = o.MaxInside.load();
    while (now > seen && !o.MaxInside.compare_exchange_weak(seen, now)) {
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.HoldMs);
    while (o.MaxInside.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    --o.Inside;
    KeSetEvent(&r->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void StartProbe(ProbeRequest *r, PDEVICE_OBJECT pdo) {
    KeInitializeEvent(&r->Done, NotificationEvent, FALSE);
    r->Irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = r->Urb.Urb();
    IoSetCompletionRoutine(r->Irp, OnProbeDone, r, TRUE, TRUE, TRUE);
    IofCallDriver(pdo, r->Irp);
}

}  // namespace

// Three commands on pipe 0x01 and three status reads on 0x81 completing in
// one frame: with several bus threads their completion routines overlap (on
// one endpoint too), with one they run strictly one after another, in order
// on each endpoint.
TEST_F(BusConcurrency, CompletionRoutinesRunInParallelAndStartInOrderPerEndpoint) {
    for (unsigned threads : {4u, 1u}) {
        bus::SetCompletionThreads(threads);
        Overlap probe;
        probe.HoldMs = threads == 1 ? 20 : 1000;  // six holds fit in the wait below
        std::vector<std::unique_ptr<ProbeRequest>> requests;
        for (int i = 0; i < 6; ++i) {
            auto r = std::make_unique<ProbeRequest>();
            r->Probe = &probe;
            r->Data.assign(64, 0);
            r->Urb = i % 2 == 0 ? BulkTransfer(sel.Pipes[0].PipeHandle, false, r->Data.data(), 64)
                                : BulkTransfer(sel.Pipes[1].PipeHandle, true, r->Data.data(), 64);
            requests.push_back(std::move(r));
        }
        for (auto &r : requests) StartProbe(r.get(), Pdo);
        for (auto &r : requests) {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10000LL * 10000;
            ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&r->Done, Executive, KernelMode, FALSE, &timeout));
            EXPECT_EQ(USBD_STATUS_SUCCESS, r->Urb.Urb()->UrbHeader.Status);
        }
        if (threads == 1) {
            EXPECT_EQ(1, probe.MaxInside.load());
        } else {
            EXPECT_GE(probe.MaxInside.load(), 2);
        }
        // Order on each endpoint (every other request), strict only with one
        // thread: with several, the thread holding request k may be preempted
        // between handing k over and entering k's routine.
        if (threads == 1)
            for (int i = 2; i < 6; ++i) EXPECT_LT(requests[i - 2]->StartIndex, requests[i]->StartIndex) << i;
        for (auto &r : requests) IoFreeIrp(r->Irp);
    }
}

// Reordered delivery: completions of different endpoints overtake each other
// (against the order the clock finished them, which the wire log keeps),
// while each endpoint's own stay in order. Without it, one bus thread
// delivers exactly in the clock's order.
TEST_F(BusConcurrency, ReorderedCompletionsKeepEachEndpointsOrder) {
    bus::SetCompletionThreads(1);
    for (uint32_t seed : {0u, 7u}) {
        bus::SetCompletionReorder(seed);
        bus::WireLogClear();
        constexpr int kEach = 20;
        std::vector<std::vector<uint8_t>> data(2 * kEach, std::vector<uint8_t>(64, 0));
        std::vector<UrbBuffer> urbs;
        std::vector<AsyncUrb> async(2 * kEach);
        for (int i = 0; i < 2 * kEach; ++i) {
            urbs.push_back(i % 2 == 0 ? BulkTransfer(sel.Pipes[0].PipeHandle, false, data[i].data(), 64)
                                      : BulkTransfer(sel.Pipes[1].PipeHandle, true, data[i].data(), 64));
        }
        for (int i = 0; i < 2 * kEach; ++i) StartAsync(&async[i], Pdo, urbs[i].Urb());
        for (auto &a : async) ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
        // The k-th request of an endpoint is its k-th record in the log.
        std::vector<int> finished(2 * kEach, -1);
        int seen[2] = {0, 0};
        std::vector<bus::WireRecord> log = bus::WireLog(Port);
        for (size_t r = 0; r < log.size(); ++r) {
            const int e = log[r].Endpoint == 0x01 ? 0 : log[r].Endpoint == 0x81 ? 1
                                                                                : -1;
            if (e >= 0 && seen[e] < kEach) finished[2 * seen[e]++ + e] = (int)r;
        }
        ASSERT_EQ(kEach, seen[0]);
        ASSERT_EQ(kEach, seen[1]);
        int overtaken = 0;
        for (int i = 0; i < 2 * kEach; ++i) {
            EXPECT_EQ(STATUS_SUCCESS, async[i].Status) << i;
            if (i >= 2) EXPECT_LT(async[i - 2].Order, async[i].Order) << "endpoint order, request " << i;
            for (int j = 0; j < 2 * kEach; ++j) {
                if (finished[i] < finished[j] && async[i].Order > async[j].Order) overtaken++;
            }
        }
        if (seed == 0) EXPECT_EQ(0, overtaken);
        else EXPECT_GT(overtaken, 0);
        for (auto &a : async) FreeAsync(&a);
    }
    bus::SetCompletionReorder(0);
    bus::SetCompletionThreads(4);
}

// In the inline-failure mode a request failed by a knob, or sent to a pipe
// whose abort is still cancelling, completes inside IofCallDriver; by default
// the knob's failure comes from a bus thread.
TEST_F(BusConcurrency, InlineFailuresCompleteInsideIofCallDriver) {
    uint8_t packet[64] = {};
    UrbBuffer cmd = BulkTransfer(sel.Pipes[0].PipeHandle, false, packet, sizeof packet);
    UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sel.Pipes[0].PipeHandle);
    AsyncUrb a;
    bus::FailNext(Port, 0x01, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    StartAsync(&a, Pdo, cmd.Urb());
    EXPECT_EQ(STATUS_PENDING, a.Returned);
    ASSERT_TRUE(WaitAsync(&a, kHangGuardMs));
    FreeAsync(&a);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, reset.Urb()));

    bus::SetInlineFailures(Port, true);
    bus::FailNext(Port, 0x01, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    StartAsync(&a, Pdo, cmd.Urb());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, a.Returned);
    EXPECT_TRUE(WaitAsync(&a, 0));
    EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, cmd.Urb()->UrbHeader.Status);
    FreeAsync(&a);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, reset.Urb()));

    // While an abort's cancellations are pending (a slow endpoint keeps them
    // a second), a new read is refused at once.
    bus::SetLatency(Port, 0x82, 1000000);
    uint8_t frame[512];
    UrbBuffer r1 = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame, sizeof frame);
    AsyncUrb queued;
    StartAsync(&queued, Pdo, r1.Urb());
    ASSERT_TRUE(WaitQueued(0x82, 1));
    UrbBuffer abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, sel.Pipes[2].PipeHandle);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, abort.Urb()));
    UrbBuffer r2 = BulkTransfer(sel.Pipes[2].PipeHandle, true, frame, sizeof frame);
    StartAsync(&a, Pdo, r2.Urb());
    EXPECT_EQ(STATUS_CANCELLED, a.Returned);
    EXPECT_TRUE(WaitAsync(&a, 0));
    FreeAsync(&a);
    ASSERT_TRUE(WaitAsync(&queued, kHangGuardMs));
    EXPECT_EQ(STATUS_CANCELLED, queued.Status);
    FreeAsync(&queued);
}

// Aborts, resets, selections and the port requests are PASSIVE_LEVEL
// requests; sent from a completion routine's IRQL they are reported at the
// sender's call.
TEST_F(BusConcurrency, PipeRequestsAndSelectionsAboveApcLevelAreReported) {
    UrbBuffer abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, sel.Pipes[2].PipeHandle);
    UrbBuffer reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sel.Pipes[2].PipeHandle);
    ULONG portStatus = 0;
    AsyncUrb a, r, p;
    sim::RunOnKernelThread(DISPATCH_LEVEL, [&] {
        StartAsync(&a, Pdo, abort.Urb());
        StartAsync(&r, Pdo, reset.Urb());
        StartAsyncRequest(&p, Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    });
    for (AsyncUrb *x : {&a, &r, &p}) {
        ASSERT_TRUE(WaitAsync(x, kHangGuardMs));
        FreeAsync(x);
    }
    std::vector<sim::Violation> v = Violations();
    size_t found = 0;
    for (const auto &x : v)
        if (x.Rule == "IRQL_TOO_HIGH") {
            ++found;
            EXPECT_NE(std::string::npos, x.Site.find("urb_client.cpp")) << x.Site;
        }
    EXPECT_EQ(3u, TakeViolations("IRQL_TOO_HIGH"));
    EXPECT_EQ(3u, found);
    SubmitSync(Pdo, abort.Urb());  // at PASSIVE_LEVEL: nothing to report
    EXPECT_EQ(STATUS_SUCCESS, PortRequest(Pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus));
}

// The bus moves at most 13 bulk packets per microframe, shared by every
// endpoint: a frame (600 packets) read while 1 MiB (2048 packets) is written
// needs 2648 / 104 = 25.5 frames of bus time, however late the clock
// thread wakes (it runs the pass of every frame it missed). Interrupt
// endpoints move one packet per polling interval.
TEST_F(BusConcurrency, BandwidthIsSharedAndBoundsTheTransferTime) {
    std::vector<uint8_t> out(1 << 20, 0), in(640 * 480 + 512);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, BulkTransfer(sel.Pipes[0].PipeHandle, false,
                                                           std::vector<uint8_t>(64, 2).data(), 64)
                                                  .Urb()));
    UrbBuffer read = BulkTransfer(sel.Pipes[2].PipeHandle, true, in.data(), (ULONG)in.size());
    AsyncUrb r;
    StartAsync(&r, Pdo, read.Urb());
    ASSERT_TRUE(WaitQueued(0x82, 1));
    bus::WireLogClear();
    const uint32_t first = bus::CurrentFrame();
    std::vector<uint8_t> start(64, 0);
    start[0] = 3;
    UrbBuffer go = BulkTransfer(sel.Pipes[0].PipeHandle, false, start.data(), 64);
    UrbBuffer write = BulkTransfer(sel.Pipes[0].PipeHandle, false, out.data(), (ULONG)out.size());
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, go.Urb()));
    AsyncUrb w;
    StartAsync(&w, Pdo, write.Urb());
    ASSERT_TRUE(WaitAsync(&r, kHangGuardMs));
    ASSERT_TRUE(WaitAsync(&w, kHangGuardMs));
    EXPECT_EQ(640u * 480, read.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_EQ(out.size(), write.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    EXPECT_GE(bus::CurrentFrame() - first, 25u);
    FreeAsync(&r);
    FreeAsync(&w);

    // Events on 0x83 (bInterval 4: one poll per 8 microframes): two events
    // read by two requests queued together need two polls, so two passes.
    uint8_t ev1[64], ev2[64];
    UrbBuffer e1 = BulkTransfer(sel.Pipes[3].PipeHandle, true, ev1, sizeof ev1);
    UrbBuffer e2 = BulkTransfer(sel.Pipes[3].PipeHandle, true, ev2, sizeof ev2);
    AsyncUrb a1, a2;
    StartAsync(&a1, Pdo, e1.Urb());
    StartAsync(&a2, Pdo, e2.Urb());
    ASSERT_TRUE(WaitAsync(&a1, kHangGuardMs));
    ASSERT_TRUE(WaitAsync(&a2, kHangGuardMs));
    EXPECT_EQ(STATUS_SUCCESS, a2.Status);
    FreeAsync(&a1);
    FreeAsync(&a2);
    auto log = bus::WireLog(Port);
    std::vector<uint64_t> polls;
    for (const auto &x : log)
        if (x.Endpoint == 0x83) polls.push_back(x.CompleteMicros / 1000);
    ASSERT_EQ(2u, polls.size());
    EXPECT_LT(polls[0], polls[1]);
}

// A clock thread that wakes late runs the pass of every frame it missed, each
// with that frame's bandwidth: bus time is neither lost nor exceeded. Driven
// by hand: a frame being read (600 packets and a zero-length one) while 1 MiB
// is written (2048 packets) share 104 packets a frame, so after 10 frames'
// worth of late passes exactly 1040 packets have moved, after 25 exactly
// 2600, and the write ends in the pass of frame 26. An idle bus saves
// nothing up.
TEST_F(BusConcurrency, LateClockPassesCatchUpEveryFrameWithinTheCeiling) {
    auto command = [&](uint8_t c) {
        std::vector<uint8_t> packet(64, 0);
        packet[0] = c;
        return SubmitSync(Pdo, BulkTransfer(sel.Pipes[0].PipeHandle, false, packet.data(), 64).Urb());
    };
    ASSERT_EQ(STATUS_SUCCESS, command(2));
    ASSERT_EQ(STATUS_SUCCESS, command(3));
    constexpr uint64_t kFrameBytes = 640 * 480, kPacketsPerFrame = 13 * 8;
    bus::SetManualClock(true);
    bus::AdvanceBusClock(50 * 1000);  // idle: nothing is saved up
    const uint32_t first = bus::CurrentFrame();
    const uint64_t commandsBefore = bus::GetCameraState(Port).CommandsReceived;
    // Packets moved since the transfers were queued: written, and read (the
    // read's last packet is the zero-length one that ends it).
    auto moved = [&](bool readDone) {
        bus::CameraState st = bus::GetCameraState(Port);
        return std::make_pair(st.CommandsReceived - commandsBefore,
                              (kFrameBytes - st.FrameBytesPending) / 512 + (readDone ? 1 : 0));
    };
    std::vector<uint8_t> out(1 << 20, 0), in(kFrameBytes + 512);
    UrbBuffer read = BulkTransfer(sel.Pipes[2].PipeHandle, true, in.data(), (ULONG)in.size());
    UrbBuffer write = BulkTransfer(sel.Pipes[0].PipeHandle, false, out.data(), (ULONG)out.size());
    AsyncUrb r, w;
    StartAsync(&r, Pdo, read.Urb());
    StartAsync(&w, Pdo, write.Urb());

    bus::AdvanceBusClock(10 * 1000);  // one late wake-up, ten frames
    auto m = moved(false);
    EXPECT_EQ(10 * kPacketsPerFrame, m.first + m.second) << m.first << " written, " << m.second << " read";
    EXPECT_NE(0u, m.first);  // both endpoints had their share
    EXPECT_NE(0u, m.second);

    bus::AdvanceBusClock(15 * 1000);  // 25 frames: the read is done, the write not yet
    ASSERT_TRUE(WaitAsync(&r, kHangGuardMs));
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(kFrameBytes, read.Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength);
    m = moved(true);
    EXPECT_EQ(kFrameBytes / 512 + 1, m.second);
    EXPECT_EQ(25 * kPacketsPerFrame - m.second, m.first);
    EXPECT_FALSE(WaitAsync(&w, 0));

    bus::AdvanceBusClock(1000);
    ASSERT_TRUE(WaitAsync(&w, kHangGuardMs));
    EXPECT_EQ(STATUS_SUCCESS, w.Status);
    EXPECT_EQ(out.size() / 512, moved(true).first);
    bus::WireRecord last{};
    for (const auto &x : bus::WireLog(Port))
        if (x.Endpoint == 0x01 && x.RequestedLength == out.size()) last = x;
    EXPECT_EQ(first + 26, last.CompleteMicros / 1000);
    FreeAsync(&r);
    FreeAsync(&w);
    bus::SetManualClock(false);
}

// Slow completions: a stream resubmitted from its completion routine arrives
// after its frames have passed, and its packets come back late and empty.
TEST_F(BusConcurrency, SlowCompletionsMakeAResubmittedStreamLate) {
    Selection alt = SelectAlternate(Pdo, sel.Configuration, 1, 4, 0x3FFFFF);
    ASSERT_EQ(STATUS_SUCCESS, alt.Status);
    bus::SetCompletionDelay(5000);
    std::vector<uint8_t> b1(8 * 1024), b2(8 * 1024);
    UrbBuffer u1 = IsoTransfer(alt.Pipes[2].PipeHandle, true, b1.data(), 8, 1024);
    UrbBuffer u2 = IsoTransfer(alt.Pipes[2].PipeHandle, true, b2.data(), 8, 1024);
    ASSERT_EQ(STATUS_SUCCESS, SubmitSync(Pdo, u1.Urb()));
    ASSERT_EQ(STATUS_UNSUCCESSFUL, SubmitSync(Pdo, u2.Urb()));
    EXPECT_EQ(u1.Urb()->UrbIsochronousTransfer.StartFrame + 1, u2.Urb()->UrbIsochronousTransfer.StartFrame);
    EXPECT_EQ(8u, u2.Urb()->UrbIsochronousTransfer.ErrorCount);
    EXPECT_EQ(USBD_STATUS_ISO_NOT_ACCESSED_LATE, u2.Urb()->UrbIsochronousTransfer.IsoPacket[7].Status);
    bus::SetCompletionDelay(0);
}
