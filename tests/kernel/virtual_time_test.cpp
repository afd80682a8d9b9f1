// Virtual time: kernel waits and delays measured in a clock that moves only
// when every taking-part thread waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sim/kernel.h"
#include "support/kernel_test.h"

namespace {

class VirtualTimeTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        sim::SetVirtualTime(true);
    }
    void TearDown() override {
        sim::SetVirtualTime(false);
        KernelTest::TearDown();
    }
};

LARGE_INTEGER Relative(int64_t micros) {
    LARGE_INTEGER t;
    t.QuadPart = -micros * 10;
    return t;
}

TEST_F(VirtualTimeTest, DelaysAndTimeOutsTakeExactlyTheirTimeAndNoMore) {
    sim::TimeParticipant part;
    const uint64_t start = sim::KernelTimeMicros();
    LARGE_INTEGER system0, system1;
    KeQuerySystemTime(&system0);

    // Ten seconds of kernel time: no wall-clock wait (the test would take it).
    LARGE_INTEGER tenSeconds = Relative(10 * 1000 * 1000);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &tenSeconds), STATUS_SUCCESS);
    EXPECT_EQ(sim::KernelTimeMicros() - start, 10u * 1000 * 1000);
    KeQuerySystemTime(&system1);
    EXPECT_EQ(system1.QuadPart - system0.QuadPart, 10LL * 1000 * 1000 * 10);

    // A timed wait nobody satisfies ends at its deadline, rounded up to a
    // whole microsecond, never before.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -30001;  // 3000.1 us
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(sim::KernelTimeMicros() - start, 10u * 1000 * 1000 + 3001);

    // An absolute deadline in system time, as KeQuerySystemTime counts it.
    KeQuerySystemTime(&system0);
    LARGE_INTEGER absolute;
    absolute.QuadPart = system0.QuadPart + 5000 * 10;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(sim::KernelTimeMicros() - start, 10u * 1000 * 1000 + 3001 + 5000);
}

TEST_F(VirtualTimeTest, AWaitEndsWhenAnotherThreadSetsItsEventNotAtItsTimeOut) {
    sim::TimeParticipant part;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const uint64_t start = sim::KernelTimeMicros();
    uint64_t setAt = 0;
    // The setter takes part from before the waiter waits (the caller lends it
    // its share, as the Plug and Play manager's threads are lent theirs).
    std::atomic<bool> setterStarted{false};
    std::thread setter([&] {
        sim::TimeParticipant setterPart;
        setterStarted = true;
        LARGE_INTEGER delay = Relative(2500);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        setAt = sim::KernelTimeMicros();
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    while (!setterStarted) std::this_thread::yield();
    LARGE_INTEGER timeout = Relative(60 * 1000 * 1000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    const uint64_t wokeAt = sim::KernelTimeMicros();
    setter.join();
    EXPECT_EQ(setAt - start, 2500u);
    EXPECT_EQ(wokeAt, setAt);  // the hand-off took no time
}

TEST_F(VirtualTimeTest, ASetEventHandsItsWaiterTheShareItNeedsToRunOn) {
    // The waiter is stopped once its wait is satisfied, before it has run on;
    // the setter then ends. Time must stand still: the waiter can run, and
    // it got its share from KeSetEvent, not from its own wake-up, which may
    // come any time later.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sim::TestPointHold("KernelEventWaitSatisfied");
    std::atomic<int> started{0};
    std::atomic<uint64_t> setAt{0}, wokeAt{0};
    std::atomic<NTSTATUS> waited{STATUS_PENDING};
    std::thread waiter, setter;
    {
        // Both take part before either waits, or time could move to the
        // waiter's time-out while the setter is being started.
        sim::TimeParticipant starting;
        waiter = std::thread([&] {
            sim::TimeParticipant part;
            ++started;
            LARGE_INTEGER timeout = Relative(60 * 1000 * 1000);
            waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
            wokeAt = sim::KernelTimeMicros();
        });
        setter = std::thread([&] {
            sim::TimeParticipant part;
            ++started;
            LARGE_INTEGER delay = Relative(2500);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            setAt = sim::KernelTimeMicros();
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        });
        while (started < 2) std::this_thread::yield();
    }
    const bool held = sim::TestPointWaitHeld("KernelEventWaitSatisfied", 5000);
    setter.join();
    // Wall-clock time for a clock that would move on to the waiter's time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t whileHeld = sim::KernelTimeMicros();
    sim::TestPointRelease("KernelEventWaitSatisfied");
    waiter.join();
    EXPECT_TRUE(held);
    EXPECT_EQ(whileHeld, setAt.load());
    EXPECT_EQ(waited.load(), STATUS_SUCCESS);
    EXPECT_EQ(wokeAt.load(), setAt.load());
}

TEST_F(VirtualTimeTest, TimeStandsStillWhileATakingPartThreadRuns) {
    auto part = std::make_unique<sim::TimeParticipant>();
    const uint64_t start = sim::KernelTimeMicros();
    std::atomic<bool> delayed{false};
    // A thread that does not take part waits 1 ms of kernel time: it cannot
    // end while this one runs, whatever the wall clock does.
    std::thread other([&] {
        LARGE_INTEGER delay = Relative(1000);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        delayed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(delayed);
    EXPECT_EQ(sim::KernelTimeMicros(), start);
    // Once this thread no longer takes part, the delay is all there is.
    part.reset();
    other.join();
    EXPECT_TRUE(delayed);
    EXPECT_EQ(sim::KernelTimeMicros() - start, 1000u);
}

TEST_F(VirtualTimeTest, AKernelThreadRunsOnTheShareItsCallerLendsIt) {
    sim::TimeParticipant part;
    const uint64_t start = sim::KernelTimeMicros();
    // The caller waits in the join; the kernel thread's delays are the only
    // things due, one after the other.
    sim::RunOnKernelThread(PASSIVE_LEVEL, [] {
        for (int i = 0; i < 3; ++i) {
            LARGE_INTEGER delay = Relative(700);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
        }
    });
    EXPECT_EQ(sim::KernelTimeMicros() - start, 2100u);
}

}  // namespace
