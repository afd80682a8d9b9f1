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
