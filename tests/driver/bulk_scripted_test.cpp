// Bulk transfers against a scripted lower driver, for what the emulated bus
// does not produce on demand: completions in any order on several threads at
// once, a submission refused mid-way, a cancelled request that still comes
// back without a USB error, and completions racing the cancel.
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "driver_fixture.h"
#include "scripted_bus.h"
#include "usb/interface_snapshot.h"

namespace drvtest {
namespace {

// Pipe handles of the scripted interface.
const USBD_PIPE_HANDLE kCommandPipe = (USBD_PIPE_HANDLE)0x1001;
const USBD_PIPE_HANDLE kEventPipe = (USBD_PIPE_HANDLE)0x1002;
const USBD_PIPE_HANDLE kDataPipe = (USBD_PIPE_HANDLE)0x1003;

// Byte i of the client's buffer as the scripted device delivers it.
uint8_t Pattern(size_t i) { return (uint8_t)(i * 13 + (i >> 16)); }

class ScriptedTransferTest : public ScriptedDeviceTest {
protected:
    // What the scripted device does with one data request (the k-th one).
    struct DataAnswer {
        NTSTATUS Status = STATUS_SUCCESS;
        USBD_STATUS Usbd = USBD_STATUS_SUCCESS;
        bool Pend = true;
        uint32_t DelayMs = 0;
        uint32_t Bytes = UINT32_MAX;  // bytes moved; default: all
    };

    void SetUp() override {
        ScriptedDeviceTest::SetUp();
        Scripted().OnInternal = [this](ULONG code, PIO_STACK_LOCATION stack) {
            return Answer(code, stack);
        };
        // Pipe 0 bulk OUT (commands), 1 interrupt IN, 2 bulk IN.
        StartWithPipes({{0x01, UsbdPipeTypeBulk, kCommandPipe},
                        {0x83, UsbdPipeTypeInterrupt, kEventPipe},
                        {0x82, UsbdPipeTypeBulk, kDataPipe}});
        baseline_ = OurBlocks();
    }

    // The segmented transfer that returned is over: its table and segments
    // are back in the pool, and its claim is released, so one more segmented
    // transfer is admitted rather than refused busy.
    void ExpectSegmentedIdle() {
        EXPECT_EQ(OurBlocks(), baseline_);
        auto script = script_;
        script_ = nullptr;
        std::vector<uint8_t> probe(512);
        EXPECT_NE(Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, probe).Status, STATUS_DEVICE_BUSY);
        script_ = script;
    }

    // A table like the first with other handles, as a new selection makes.
    void InstallReplacement() {
        std::vector<ScriptedPipe> pipes;
        for (int i = 0; i < 3; i++) {
            pipes.push_back({(UCHAR)(0x85 + i), UsbdPipeTypeBulk, (USBD_PIPE_HANDLE)(uintptr_t)(0x2001 + i), 0});
        }
        ReplacePipes(pipes);
        replaced_ = true;
    }

    ScriptedBus::Answer Answer(ULONG code, PIO_STACK_LOCATION stack) {
        std::lock_guard<std::mutex> hold(lock_);
        if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            portStatusQueries_++;
            *(PULONG)stack->Parameters.Others.Argument1 = portStatus_;
            return {STATUS_SUCCESS, false};
        }
        if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
            portResets_++;
            return {STATUS_SUCCESS, false};
        }
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
            log_.push_back("reset");
            resetHandle_ = urb->UrbPipeRequest.PipeHandle;
            resetAfterReplacement_ = replaced_.load();
            urb->UrbHeader.Status = resetStatus_;
            return {USBD_SUCCESS(resetStatus_) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, false};
        }
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            return {STATUS_SUCCESS, false};
        }
        auto *transfer = &urb->UrbBulkOrInterruptTransfer;
        if (transfer->PipeHandle == kCommandPipe) {
            log_.push_back(std::string("command ") +
                           std::to_string(((uint8_t *)transfer->TransferBuffer)[0]));
            urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
            return {STATUS_SUCCESS, false};
        }
        const size_t k = data_++;
        log_.push_back("data " + std::to_string(transfer->TransferBufferLength));
        DataAnswer a = script_ ? script_(k) : DataAnswer{};
        uint32_t bytes = std::min(a.Bytes, (uint32_t)transfer->TransferBufferLength);
        if (transfer->TransferBufferMDL != nullptr && NT_SUCCESS(a.Status) &&
            USBD_SUCCESS(a.Usbd)) {
            PMDL mdl = transfer->TransferBufferMDL;
            // Requests go out in order, one 64 KiB segment after the other.
            const size_t offset = k * 65536;
            uint8_t *system = (uint8_t *)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
            for (uint32_t i = 0; i < bytes; i++) system[i] = Pattern(offset + i);
        } else {
            bytes = 0;
        }
        transfer->TransferBufferLength = bytes;
        urb->UrbHeader.Status = a.Usbd;
        ScriptedBus::Answer answer;
        answer.Status = a.Status;
        answer.Pend = a.Pend;
        answer.DelayMs = a.DelayMs;
        return answer;
    }

    sim::IoResult Transfer(ULONG code, uint32_t pipe, std::vector<uint8_t> &buffer) {
        data_ = 0;
        return sim::ClientDeviceIoControl(handle_, code, &pipe, sizeof(pipe), buffer.data(),
                                          (ULONG)buffer.size());
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> hold(lock_);
        return log_;
    }
    static bool Delivered(const std::vector<uint8_t> &buffer, size_t bytes) {
        for (size_t i = 0; i < bytes; i++) {
            if (buffer[i] != Pattern(i)) return false;
        }
        return true;
    }

    int baseline_ = 0;
    std::mutex lock_;
    std::function<DataAnswer(size_t)> script_;
    std::vector<std::string> log_;
    std::atomic<size_t> data_{0};
    std::atomic<bool> replaced_{false};
    USBD_STATUS resetStatus_ = USBD_STATUS_SUCCESS;
    ULONG portStatus_ = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    USBD_PIPE_HANDLE resetHandle_ = nullptr;
    bool resetAfterReplacement_ = false;
    int portStatusQueries_ = 0;
    int portResets_ = 0;
};

TEST_F(ScriptedTransferTest, SegmentsCompletingInAnyOrderOnSeveralThreads) {
    // Sixteen segments, each completed on a thread of its own, the last one
    // first; two come back short. The data ends with the first short one:
    // what the later segments brought lies past a hole of the client's own
    // fill, so it is not counted.
    script_ = [](size_t k) {
        DataAnswer a;
        a.DelayMs = (uint32_t)(16 - k);
        if (k == 5 || k == 9) a.Bytes = 1000;
        return a;
    };
    std::vector<uint8_t> buffer(16 * 65536, 0xEE);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 5u * 65536 + 1000);
    EXPECT_TRUE(Delivered(buffer, 5 * 65536 + 1000));
    EXPECT_EQ(buffer[5 * 65536 + 1000], 0xEE);  // the short segment's rest untouched

    // Short only in the last segment, or in none: every byte counts.
    script_ = [](size_t k) {
        DataAnswer a;
        a.DelayMs = (uint32_t)(k % 2);
        if (k == 3) a.Bytes = 77;
        return a;
    };
    std::vector<uint8_t> whole(4 * 65536);
    r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, whole);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 3u * 65536 + 77);
    // A first segment that brings nothing: no data at all, whatever follows.
    script_ = [](size_t k) {
        DataAnswer a;
        if (k == 0) a.Bytes = 0;
        return a;
    };
    r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, whole);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    ExpectSegmentedIdle();

    // Run many at once from several client threads: each either gets the
    // slot or is refused busy, and every one that ran got all its bytes.
    script_ = [](size_t k) {
        DataAnswer a;
        a.DelayMs = (uint32_t)(k % 3);
        return a;
    };
    std::vector<std::thread> threads;
    std::atomic<int> succeeded{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; i++) {
                std::vector<uint8_t> mine(4 * 65536 + 77);
                uint32_t pipe = 2;
                sim::IoResult rr = sim::ClientDeviceIoControl(
                    handle_, IOCTL_USBCAM_READ_PIPE_LARGE, &pipe, 4, mine.data(),
                    (ULONG)mine.size());
                EXPECT_TRUE(rr.Status == STATUS_SUCCESS || rr.Status == STATUS_DEVICE_BUSY);
                if (rr.Status == STATUS_SUCCESS) {
                    EXPECT_EQ(rr.Information, mine.size());
                    succeeded++;
                }
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(succeeded.load(), 20);  // the default time-out is ample
    ExpectSegmentedIdle();
}

TEST_F(ScriptedTransferTest, SubmissionRefusedMidwayResetsThePipeAfterTheIssuedSegments) {
    // The third submission is refused at once; the first two are in flight.
    script_ = [](size_t k) {
        DataAnswer a;
        a.DelayMs = 5;
        if (k == 2) {
            a.Status = STATUS_INVALID_PARAMETER;
            a.Usbd = USBD_STATUS_INVALID_PARAMETER;
            a.Pend = false;
        }
        return a;
    };
    std::vector<uint8_t> buffer(6 * 65536);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer);
    EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
    auto log = Log();
    const std::vector<std::string> expected = {"command 2", "data 65536", "data 65536",
                                               "data 65536", "command 3", "reset"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(portStatusQueries_, 0);  // the reset worked: the port is left alone
    ExpectSegmentedIdle();

    // The reset fails too: the port is recovered when it reports connected
    // but not enabled, and left alone when enabled.
    for (ULONG port : {(ULONG)USBD_PORT_CONNECTED, (ULONG)(USBD_PORT_CONNECTED | USBD_PORT_ENABLED)}) {
        data_ = 0;
        portStatusQueries_ = portResets_ = 0;
        portStatus_ = port;
        resetStatus_ = USBD_STATUS_STALL_PID;
        r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer);
        EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(portStatusQueries_, 1);
        EXPECT_EQ(portResets_, port == USBD_PORT_CONNECTED ? 1 : 0);
    }
}

TEST_F(ScriptedTransferTest, ALastSegmentRefusedInsideItsSendEndsTheTransferCleanly) {
    // The bus refuses the last segment inside IofCallDriver for want of
    // resources, after every earlier one has come back: that completion ends
    // the transfer and frees its table before the send has returned. (The
    // sanitizer build sees any look at the table after that.)
    for (size_t segments : {(size_t)1, (size_t)3}) {
        SCOPED_TRACE(segments);
        script_ = [segments](size_t k) {
            DataAnswer a;
            a.Pend = false;
            if (k + 1 == segments) {
                a.Status = STATUS_INSUFFICIENT_RESOURCES;
                a.Usbd = USBD_STATUS_INSUFFICIENT_RESOURCES;
            }
            return a;
        };
        std::vector<uint8_t> buffer(segments * 65536);
        sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer);
        EXPECT_EQ(r.Status, STATUS_INSUFFICIENT_RESOURCES);
        auto log = Log();
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "command 3");
        EXPECT_EQ(log.back(), "reset");
        ExpectSegmentedIdle();
    }
}

TEST_F(ScriptedTransferTest, CancelledRequestWithAndWithoutAUsbError) {
    WriteNoFence64(&TransferTimeoutMs, 20);
    // The device answers late but well: a time-out that left no USB error is
    // STATUS_IO_TIMEOUT with the bytes that did arrive.
    script_ = [](size_t) {
        DataAnswer a;
        a.DelayMs = 150;
        a.Bytes = 100;
        return a;
    };
    std::vector<uint8_t> buffer(4096);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE, 2, buffer);
    EXPECT_EQ(r.Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(r.Information, 100u);
    EXPECT_TRUE(Delivered(buffer, 100));
    // It comes back cancelled with the bus's USB status: STATUS_UNSUCCESSFUL,
    // the status recorded.
    script_ = [](size_t) {
        DataAnswer a;
        a.DelayMs = 150;
        a.Status = STATUS_CANCELLED;
        a.Usbd = USBD_STATUS_CANCELED;
        return a;
    };
    r = Transfer(IOCTL_USBCAM_READ_PIPE, 2, buffer);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Information, 64u);  // what command 3 left
    EXPECT_EQ(LastStatus(handle_), USBD_STATUS_CANCELED);

    // Completed inside the call, without pending: not waited on, and
    // command 3 still follows the data request.
    log_.clear();
    script_ = [](size_t) {
        DataAnswer a;
        a.Pend = false;
        return a;
    };
    r = Transfer(IOCTL_USBCAM_READ_PIPE, 2, buffer);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, buffer.size());
    const std::vector<std::string> expected = {"command 2", "data 4096", "command 3"};
    EXPECT_EQ(Log(), expected);
}

TEST_F(ScriptedTransferTest, ASegmentedTimeOutIsNoUsbError) {
    // A stall leaves its status for the client to read ...
    script_ = [](size_t) {
        DataAnswer a;
        a.Status = STATUS_UNSUCCESSFUL;
        a.Usbd = USBD_STATUS_STALL_PID;
        return a;
    };
    std::vector<uint8_t> buffer(3 * 65536);
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer).Status, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(LastStatus(handle_), USBD_STATUS_STALL_PID);
    // ... and a time-out after it, whose segments the driver cancels and the
    // bus hands back cancelled, does not overwrite it: the driver's own
    // cancellation is no USB error.
    WriteNoFence64(&TransferTimeoutMs, 20);
    script_ = [](size_t) {
        DataAnswer a;
        a.DelayMs = 150;
        a.Status = STATUS_CANCELLED;
        a.Usbd = USBD_STATUS_CANCELED;
        return a;
    };
    EXPECT_EQ(Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer).Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(LastStatus(handle_), USBD_STATUS_STALL_PID);
}

TEST_F(ScriptedTransferTest, CompletionRacingTheCancel) {
    // Completions land just before, at and just after the end of the wait;
    // whichever wins, the IRPs are released once and the result is whole.
    WriteNoFence64(&TransferTimeoutMs, 4);
    for (uint32_t delay = 0; delay < 40; delay++) {
        script_ = [delay](size_t k) {
            DataAnswer a;
            a.DelayMs = (delay + (uint32_t)k) % 9;
            return a;
        };
        std::vector<uint8_t> single(512);
        sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE, 1, single);
        EXPECT_TRUE(r.Status == STATUS_SUCCESS || r.Status == STATUS_IO_TIMEOUT) << delay;
        EXPECT_EQ(r.Information, 512u);
        std::vector<uint8_t> large(5 * 65536);
        r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, large);
        EXPECT_TRUE(r.Status == STATUS_SUCCESS || r.Status == STATUS_IO_TIMEOUT) << delay;
        ExpectSegmentedIdle();
    }
}


TEST_F(ScriptedTransferTest, TheStartingPipeTableStaysValidUntilTheTransferReturns) {
    // While the segments are in flight an interface selection replaces the
    // table (and frees the old copy once nobody holds it); the reset after the
    // refused submission still names the pipe the transfer started on.
    script_ = [this](size_t k) {
        DataAnswer a;
        a.DelayMs = 30;
        if (k == 0) {
            std::thread([this] { InstallReplacement(); }).detach();
        }
        if (k == 1) {
            a.Status = STATUS_INVALID_PARAMETER;
            a.Usbd = USBD_STATUS_INVALID_PARAMETER;
            a.Pend = false;
        }
        return a;
    };
    std::vector<uint8_t> buffer(3 * 65536);
    sim::IoResult r = Transfer(IOCTL_USBCAM_READ_PIPE_LARGE, 2, buffer);
    EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
    while (!replaced_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(resetAfterReplacement_);
    EXPECT_EQ(resetHandle_, kDataPipe);
}
}  // namespace
}  // namespace drvtest
