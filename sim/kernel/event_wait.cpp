// Dispatcher events and waits.
//
// An event's state is its DISPATCHER_HEADER.SignalState, as on the platform.
// Waiters sleep on one of a fixed set of condition variables chosen by hashing
// the event's address, and the setter touches the event only while it holds
// that bucket's mutex: a waiter may therefore let its event (often on its own
// stack) go out of scope the moment its wait returns. Notification events stay
// signalled until cleared; synchronization events are reset by the one waiter
// whose wait they satisfy.
//
// Time-outs follow the platform's convention in 100 ns units: none (nullptr)
// waits for ever, a negative value is relative, a positive one is an absolute
// system time (KeQuerySystemTime, since 1601), so small positive values are long
// past and the wait returns STATUS_TIMEOUT at once, and zero polls. Under
// virtual time (virtual_time.cpp) deadlines are kernel microseconds, and a
// waiter parks while it waits; KeSetEvent and kernel APCs unpark the waiters
// they wake, and the clock those whose deadline it reaches.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

constexpr size_t kBuckets = 64;

struct Bucket {
    std::mutex Mutex;
    std::condition_variable Changed;
    // Events threads wait on now, with each waiter's park record.
    std::unordered_multimap<const void *, ParkRecord *> Waited;
};

Bucket g_buckets[kBuckets];

Bucket &BucketFor(const void *object) {
    uintptr_t a = reinterpret_cast<uintptr_t>(object);
    return g_buckets[((a >> 4) ^ (a >> 12)) % kBuckets];
}

enum class Deadline { Never,
                      Poll,
                      At };

// *at on the wall clock, or under virtual time *virtualAt in kernel
// microseconds (rounded up: a wait never ends before its time-out).
Deadline ComputeDeadline(PLARGE_INTEGER timeout, std::chrono::steady_clock::time_point *at,
                         uint64_t *virtualAt) {
    if (timeout == nullptr) return Deadline::Never;
    int64_t q = timeout->QuadPart;
    if (q == 0) return Deadline::Poll;
    int64_t relative100ns = q < 0 ? -q : q - SystemTimeNow();
    if (relative100ns <= 0) return Deadline::Poll;
    *at = std::chrono::steady_clock::now() + std::chrono::nanoseconds(relative100ns * 100);
    *virtualAt = VirtualNowMicros() + (uint64_t)(relative100ns + 9) / 10;
    return Deadline::At;
}

// An event KeInitializeEvent has made: its type, its size, and a wait list
// that is empty and points at itself. Zeroed memory (a field nobody
// initialised) or a copy of an event is none: on the platform, setting or
// waiting on it walks a wait list through a null or foreign pointer. Called
// under the event's bucket lock.
bool InitializedEventLocked(PKEVENT event) {
    const DISPATCHER_HEADER &h = event->Header;
    return (h.Type == NotificationEvent || h.Type == SynchronizationEvent) &&
           h.Size == sizeof(KEVENT) / sizeof(LONG) && h.WaitListHead.Flink == &h.WaitListHead &&
           h.WaitListHead.Blink == &h.WaitListHead;
}

// Under the event's bucket lock: KeInitializeEvent may be rewriting the header
// on another thread (itself a rule violation once this thread waits).
bool IsEvent(PKEVENT event) {
    Bucket &b = BucketFor(event);
    std::lock_guard<std::mutex> lock(b.Mutex);
    return InitializedEventLocked(event);
}

// For KeSetEvent and the others that change or read an event: reports an
// event that was never initialised (the caller then leaves it alone).
bool CheckInitialized(PKEVENT event, const char *routine, const std::string &site) {
    if (IsEvent(event)) return true;
    Report(rule::EVENT_NOT_INITIALIZED, site,
           std::string(routine) + " on an event KeInitializeEvent never initialised");
    return false;
}

}  // namespace

NTSTATUS WaitForEvent(PKEVENT event, PLARGE_INTEGER timeout, const std::string &site) {
    std::chrono::steady_clock::time_point at;
    uint64_t virtualAt = UINT64_MAX;
    Deadline kind = ComputeDeadline(timeout, &at, &virtualAt);
    const bool virtualTime = VirtualTimeOn();
    Bucket &b = BucketFor(event);
    ThreadState &t = CurrentThread();
    // Kernel APCs are delivered during a wait below APC_LEVEL (the wait goes
    // on afterwards): the inserter wakes the thread through its bucket.
    const bool apcs = t.Irql < APC_LEVEL && kind != Deadline::Poll;
    if (apcs) {
        std::lock_guard<std::mutex> q(t.Apc->Mutex);
        t.Apc->WaitMutex = &b.Mutex;
        t.Apc->WaitChanged = &b.Changed;
        t.Apc->Park = &t.Park;
    }
    std::unique_lock<std::mutex> lock(b.Mutex);
    auto waited = b.Waited.insert({event, &t.Park});
    bool warned = false;
    auto guardAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(HangGuardMs());
    NTSTATUS status = STATUS_SUCCESS;
    for (;;) {
        if (apcs && ApcsPending()) {
            lock.unlock();
            DeliverApcs();
            lock.lock();
            continue;
        }
        if (event->Header.SignalState != 0) {
            // Under virtual time a test may stop a satisfied waiter here, before
            // it leaves its wait and outside the bucket's lock, to watch what
            // the clock does meanwhile (the waker has handed it its share).
            if (virtualTime && kind != Deadline::Poll && AnyTestPointArmed()) {
                lock.unlock();
                SimTestPoint("KernelEventWaitSatisfied");
                lock.lock();
                if (event->Header.SignalState == 0) continue;
            }
            break;
        }
        if (kind == Deadline::Poll) {
            status = STATUS_TIMEOUT;
            break;
        }
        if (kind == Deadline::At && virtualTime) {
            if (VirtualNowMicros() >= virtualAt) {
                status = STATUS_TIMEOUT;
                break;
            }
            if (StepBeforeWaiting(lock, virtualAt)) continue;
            Park(t.Park, virtualAt, &b.Mutex, &b.Changed);
            b.Changed.wait(lock);
            continue;
        }
        if (virtualTime) {
            // The hang guard also while this thread keeps moving the clock.
            if (!warned && std::chrono::steady_clock::now() >= guardAt) {
                warned = true;
                lock.unlock();
                Report(rule::WAIT_NEVER_SATISFIED, site,
                       "an untimed wait has not been satisfied in " + std::to_string(HangGuardMs()) +
                           " ms; still waiting");
                lock.lock();
                continue;
            }
            if (StepBeforeWaiting(lock, UINT64_MAX)) continue;
            Park(t.Park, UINT64_MAX, &b.Mutex, &b.Changed);
        }
        if (kind == Deadline::At) {
            if (b.Changed.wait_until(lock, at) == std::cv_status::timeout &&
                event->Header.SignalState == 0 && !(apcs && ApcsPending())) {
                status = STATUS_TIMEOUT;
                break;
            }
            continue;
        }
        if (warned) {
            b.Changed.wait(lock);
        } else if (b.Changed.wait_until(lock, guardAt) == std::cv_status::timeout &&
                   event->Header.SignalState == 0 && !(apcs && ApcsPending())) {
            warned = true;
            lock.unlock();
            Report(rule::WAIT_NEVER_SATISFIED, site,
                   "an untimed wait has not been satisfied in " + std::to_string(HangGuardMs()) +
                       " ms; still waiting");
            lock.lock();
        }
    }
    if (status == STATUS_SUCCESS && event->Header.Type == SynchronizationEvent) {
        event->Header.SignalState = 0;
    }
    b.Waited.erase(waited);
    if (virtualTime) LeaveWait(t.Park);
    lock.unlock();
    if (apcs) {
        std::lock_guard<std::mutex> q(t.Apc->Mutex);
        t.Apc->WaitMutex = nullptr;
        t.Apc->WaitChanged = nullptr;
        t.Apc->Park = nullptr;
    }
    return status;
}

}  // namespace kernel
}  // namespace sim

using namespace sim::kernel;

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    if (!CheckDeviceMemoryAlive(Event, "KeInitializeEvent", site)) return;
    Bucket &b = BucketFor(Event);
    std::unique_lock<std::mutex> lock(b.Mutex);
    if (b.Waited.count(Event) != 0) {
        // On the platform this empties the wait list under the waiters' feet.
        lock.unlock();
        Report(rule::EVENT_REINITIALIZED_WHILE_WAITED, site,
               "KeInitializeEvent on an event a thread is waiting on; the event is left as it was");
        return;
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait, SIM_SITE_DECL) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    const std::string &site = FormatSite(SimFile, SimLine);
    if (!CheckDeviceMemoryAlive(Event, "KeSetEvent", site)) return 0;
    if (!CheckInitialized(Event, "KeSetEvent", site)) return 0;
    Bucket &b = BucketFor(Event);
    std::lock_guard<std::mutex> lock(b.Mutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    if (VirtualTimeOn()) {
        auto waiters = b.Waited.equal_range(Event);
        for (auto it = waiters.first; it != waiters.second; ++it) Unpark(*it->second);
    }
    // Last touch of the event: the waiter may free it as soon as the mutex goes.
    b.Changed.notify_all();
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    if (!CheckDeviceMemoryAlive(Event, "KeClearEvent", site)) return;
    if (!CheckInitialized(Event, "KeClearEvent", site)) return;
    Bucket &b = BucketFor(Event);
    std::lock_guard<std::mutex> lock(b.Mutex);
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    if (!CheckDeviceMemoryAlive(Event, "KeResetEvent", site)) return 0;
    if (!CheckInitialized(Event, "KeResetEvent", site)) return 0;
    Bucket &b = BucketFor(Event);
    std::lock_guard<std::mutex> lock(b.Mutex);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    if (!CheckDeviceMemoryAlive(Event, "KeReadStateEvent", site)) return 0;
    if (!CheckInitialized(Event, "KeReadStateEvent", site)) return 0;
    Bucket &b = BucketFor(Event);
    std::lock_guard<std::mutex> lock(b.Mutex);
    return Event->Header.SignalState;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                          KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                          PLARGE_INTEGER Timeout, SIM_SITE_DECL) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    const std::string &site = FormatSite(SimFile, SimLine);
    PKEVENT event = static_cast<PKEVENT>(Object);
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll) {
        KIRQL irql = CurrentThread().Irql;
        if (irql >= DISPATCH_LEVEL) {
            Report(rule::WAIT_AT_DISPATCH, site,
                   "KeWaitForSingleObject at IRQL " + std::to_string(irql));
        }
        CheckNoSpinLockHeld(rule::SPINLOCK_HELD_ACROSS_WAIT, "KeWaitForSingleObject", site);
    }
    if (!CheckDeviceMemoryAlive(event, "KeWaitForSingleObject", site)) return STATUS_INVALID_PARAMETER;
    if (event == nullptr) {
        Report(rule::INVALID_PARAMETER, site, "KeWaitForSingleObject on no object");
        return STATUS_INVALID_PARAMETER;
    }
    if (!CheckInitialized(event, "KeWaitForSingleObject", site)) return STATUS_INVALID_PARAMETER;
    return WaitForEvent(event, Timeout, site);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Interval, SIM_SITE_DECL) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    const std::string &site = FormatSite(SimFile, SimLine);
    KIRQL irql = CurrentThread().Irql;
    if (irql >= DISPATCH_LEVEL) {
        Report(rule::WAIT_AT_DISPATCH, site, "KeDelayExecutionThread at IRQL " + std::to_string(irql));
    }
    CheckNoSpinLockHeld(rule::SPINLOCK_HELD_ACROSS_WAIT, "KeDelayExecutionThread", site);
    if (Interval == nullptr) {
        Report(rule::INVALID_PARAMETER, site, "KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    DeliverApcs();
    std::chrono::steady_clock::time_point at;
    uint64_t virtualAt = UINT64_MAX;
    if (ComputeDeadline(Interval, &at, &virtualAt) == Deadline::At) {
        if (VirtualTimeOn()) {
            ThreadState &t = CurrentThread();
            Bucket &b = BucketFor(&t);
            std::unique_lock<std::mutex> lock(b.Mutex);
            while (VirtualNowMicros() < virtualAt) {
                if (StepBeforeWaiting(lock, virtualAt)) continue;
                Park(t.Park, virtualAt, &b.Mutex, &b.Changed);
                b.Changed.wait(lock);
            }
            LeaveWait(t.Park);
        } else {
            std::this_thread::sleep_until(at);
        }
    }
    DeliverApcs();
    return STATUS_SUCCESS;
}

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = SystemTimeNow();
}
