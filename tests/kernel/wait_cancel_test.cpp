// Events and timed waits, spin locks and IRQL, and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

class WaitTest : public sim::test::KernelTest {};

TEST_F(WaitTest, TimeOutsFollowThePlatformConvention) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER t;
    t.QuadPart = 0;  // poll
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t));
    t.QuadPart = -20 * 10000;  // 20 ms relative
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t));
    // A small positive value is an absolute time long past: at once.
    t.QuadPart = 5000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // hang guard
    // An absolute time in the near future expires too.
    KeQuerySystemTime(&t);
    t.QuadPart += 10 * 10000;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t));

    // Signalled from another thread during a long relative wait.
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    });
    t.QuadPart = -60LL * 1000 * 10000;
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t));
    setter.join();
    // A notification event stays signalled; clearing it makes polls time out.
    t.QuadPart = 0;
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t));
    EXPECT_EQ(1, KeResetEvent(&e));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t));

    // A synchronization event satisfies one wait and resets itself.
    KEVENT s;
    KeInitializeEvent(&s, SynchronizationEvent, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &t));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &t));
    EXPECT_EQ(0, KeSetEvent(&s, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(1, KeReadStateEvent(&s));
}

TEST_F(WaitTest, StackEventMayVanishRightAfterItsWait) {
    // Waiters whose events live on their stacks, set by other threads: the
    // setter must not touch an event after its waiter has returned.
    for (int round = 0; round < 200; ++round) {
        auto *slot = new std::atomic<PKEVENT>(nullptr);
        std::thread waiter([slot] {
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            slot->store(&e);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
            memset(&e, 0xEE, sizeof e);  // the frame is gone
        });
        PKEVENT e;
        while ((e = slot->load()) == nullptr) std::this_thread::yield();
        KeSetEvent(e, IO_NO_INCREMENT, FALSE);
        waiter.join();
        delete slot;
    }
}

// An event KeInitializeEvent never made (a zeroed field, a copy of an
// event) has no wait list of its own: on the platform, setting it or waiting
// on it follows a null or foreign pointer. Reported, and left alone.
TEST_F(WaitTest, EventsNeverInitialisedAreRefused) {
    KEVENT zeroed;
    memset(&zeroed, 0, sizeof zeroed);
    KEVENT made;
    KeInitializeEvent(&made, NotificationEvent, FALSE);
    KEVENT copy;
    memcpy(&copy, &made, sizeof copy);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    for (PKEVENT e : {&zeroed, &copy}) {
        EXPECT_EQ(0, KeSetEvent(e, IO_NO_INCREMENT, FALSE));
        KeClearEvent(e);
        EXPECT_EQ(0, KeReadStateEvent(e));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &poll));
        EXPECT_EQ(4u, TakeViolations("EVENT_NOT_INITIALIZED"));
    }
    EXPECT_EQ(0, zeroed.Header.SignalState);  // the set was refused
    // The event itself works.
    EXPECT_EQ(0, KeSetEvent(&made, IO_NO_INCREMENT, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&made, Executive, KernelMode, FALSE, &poll));
}

TEST_F(WaitTest, SpinLockExcludesAndRaisesToDispatch) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
                long v = counter;
                counter = v + 1;
                KeReleaseSpinLock(&lock, old);
                EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(8000, counter);
    EXPECT_EQ(0u, lock);

    KIRQL old = KfRaiseIrql(APC_LEVEL);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
    KeLowerIrql(old);
    sim::RunOnKernelThread(DISPATCH_LEVEL, [] { EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql()); });
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

// A driver that queues requests with a cancel routine, as a bus driver does.
struct Queue {
    KSPIN_LOCK Lock = 0;
    PIRP Pending = nullptr;
    int Cancelled = 0;
    KIRQL CancelIrql = 0xFF;
};
Queue g_queue;

VOID CancelQueued(PDEVICE_OBJECT, PIRP irp) {
    g_queue.CancelIrql = irp->CancelIrql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&g_queue.Lock, &old);
    if (g_queue.Pending == irp) g_queue.Pending = nullptr;
    KeReleaseSpinLock(&g_queue.Lock, old);
    ++g_queue.Cancelled;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

class CancelTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_queue = Queue();
        driver = kt::LoadTestDriver("queue");
        device = kt::CreateDevice(driver);
        kt::SetHandler(device, [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            KIRQL old;
            KeAcquireSpinLock(&g_queue.Lock, &old);
            IoSetCancelRoutine(irp, CancelQueued);
            g_queue.Pending = irp;
            KeReleaseSpinLock(&g_queue.Lock, old);
            return STATUS_PENDING;
        });
    }
    void TearDown() override {
        kt::DeleteDevice(device);
        sim::UnloadDriver(driver);
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

NTSTATUS SignalAndHold(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(CancelTest, CancelRunsTheRoutineWhichCompletesTheRequest) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, SignalAndHold, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
    EXPECT_EQ(irp, g_queue.Pending);

    // Cancel at APC_LEVEL, as a timed-out sender does.
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeLowerIrql(old);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, g_queue.Cancelled);
    EXPECT_EQ(APC_LEVEL, g_queue.CancelIrql);
    EXPECT_EQ(STATUS_CANCELLED, irp->IoStatus.Status);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(nullptr, irp->CancelRoutine);

    // Held after its completion: cancelling again finds no routine.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(1, g_queue.Cancelled);

    // Reinitialised and sent again; completed normally after the driver
    // took the cancel routine back.
    IoInitializeIrp(irp, IoSizeOfIrp(device->StackSize), device->StackSize);
    EXPECT_FALSE(irp->Cancel);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    KeClearEvent(&done);
    IoSetCompletionRoutine(irp, SignalAndHold, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(device, irp));
    ASSERT_EQ(irp, g_queue.Pending);
    EXPECT_EQ(CancelQueued, IoSetCancelRoutine(irp, nullptr));
    g_queue.Pending = nullptr;
    kt::CompleteWith(irp, STATUS_SUCCESS);
    EXPECT_EQ(1, KeReadStateEvent(&done));
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

}  // namespace
