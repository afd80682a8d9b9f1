// The bus under virtual time: what it completes counts as work that can run
// until the completion routine has returned.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "urb_client.h"

using namespace usbtest;

namespace {

class BusVirtualTime : public BusTest {
protected:
    void SetUp() override {
        // The bus takes the kernel's clock when it starts.
        sim::test::KernelTest::SetUp();
        sim::SetVirtualTime(true);
        ASSERT_EQ(STATUS_SUCCESS, sim::usb::BusStart());
        sim::usb::PlugResult r = sim::usb::PlugReferenceCamera();
        ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;
        Port = r.Port;
        Pdo = r.Pdo;
    }
    void TearDown() override {
        sim::usb::BusStop();
        sim::SetVirtualTime(false);
        sim::test::KernelTest::TearDown();
    }
};

// A completion routine the test holds until it lets it go.
struct HeldRoutine {
    std::atomic<bool> Entered{false};
    std::atomic<bool> Release{false};
    std::atomic<bool> Returned{false};
    std::atomic<uint64_t> EnteredAt{0};
};

NTSTATUS HoldInRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto *held = static_cast<HeldRoutine *>(context);
    held->EnteredAt = sim::KernelTimeMicros();
    held->Entered = true;
    for (int i = 0; i < 5000 && !held->Release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    held->Returned = true;
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees the IRP
}

bool Within5s(const std::atomic<bool> &flag) {
    for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag;
}

TEST_F(BusVirtualTime, TimeStandsStillWhileABusThreadRunsACompletionRoutine) {
    // The bus's threads complete what its frames finish (more than one of
    // them, so that the kernel's clock does not complete it itself). While
    // the descriptor request's routine runs, the one thread that takes part
    // waits for 50 ms of kernel time: the clock must not move there until
    // the routine has returned.
    sim::usb::SetCompletionThreads(2);
    uint8_t descriptor[18] = {};
    UrbBuffer urb = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, sizeof descriptor);
    PIRP irp = IoAllocateIrp(Pdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb.Urb();
    HeldRoutine held;
    IoSetCompletionRoutine(irp, HoldInRoutine, &held, TRUE, TRUE, TRUE);

    const uint64_t start = sim::KernelTimeMicros();
    std::thread client([&] {
        sim::TimeParticipant part;
        EXPECT_EQ(IofCallDriver(Pdo, irp), STATUS_PENDING);
        LARGE_INTEGER delay;
        delay.QuadPart = -50 * 1000 * 10;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    });
    const bool entered = Within5s(held.Entered);
    // Wall-clock time for a clock that would move on to the delay's end.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t whileRunning = sim::KernelTimeMicros();
    held.Release = true;
    const bool returned = Within5s(held.Returned);
    client.join();

    ASSERT_TRUE(entered);
    EXPECT_TRUE(returned);
    EXPECT_EQ(whileRunning, held.EnteredAt.load());
    EXPECT_LT(held.EnteredAt.load() - start, 50u * 1000);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(descriptor[1], USB_DEVICE_DESCRIPTOR_TYPE);
    IoFreeIrp(irp);
}

}  // namespace
