// Virtual time: the kernel's clock running as fast as the work.
//
// The clock counts the threads that take part and can run (Active). A taking
// part thread that waits parks: it stops counting until a waker unparks it.
// When Active falls to 0 the clock's own thread looks for the next thing due:
// the earliest deadline of a timed wait and the time source's (the bus's next
// frame while it has transfers queued, a delayed completion). It moves time
// there, lets the source do what is due (the bus runs its frame passes and
// hands what they finished to its completion threads, which count as able to
// run while they complete), then wakes the waits whose deadline has come.
// With nothing due at all the clock waits: every thread waits for ever, which
// the hang guards (on the wall clock) report.
//
// Time moves only while Active is 0, so a thread that can run never sees it
// jump: what it does takes no time, as on a machine infinitely fast.
#include <chrono>
#include <map>
#include <thread>

#include "kernel_internal.h"

namespace sim {
namespace kernel {
namespace {

constexpr uint64_t kNever = UINT64_MAX;

struct Clock {
    std::mutex Mutex;
    std::condition_variable Wake;  // the clock's thread: Active fell to 0, or news
    std::atomic<bool> On{false};
    std::atomic<uint64_t> Now{0};
    int64_t Active = 0;
    uint64_t Generation = 0;  // bumped by every park, unpark, hold and release
    std::multimap<uint64_t, ParkRecord *> Timed;
    int64_t SystemTimeBase = 0;  // 100 ns system time at virtual time 0
    bool ThreadStarted = false;
    bool Stepping = false;  // a thread is moving the clock
    // Held by the clock's thread while it calls the source, so that a source
    // going away waits for the call to end.
    std::mutex SourceMutex;
    TimeSource *Source = nullptr;
};

// Never destroyed: the clock's thread lives as long as the process.
Clock &TheClock() {
    static Clock *clock = new Clock;
    return *clock;
}

thread_local bool t_takesPart = false;

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDifference = 116444736000000000LL;

int64_t WallSystemTime() {
    auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return kEpochDifference + since1970.count() / 100;
}

void ReleaseLocked(Clock &c) {
    --c.Active;
    ++c.Generation;
    if (c.Active <= 0) c.Wake.notify_one();
}

void UnparkLocked(Clock &c, ParkRecord &park) {
    if (!park.Parked) return;
    park.Parked = false;
    if (park.Deadline != kNever) {
        auto range = c.Timed.equal_range(park.Deadline);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == &park) {
                c.Timed.erase(it);
                break;
            }
        }
    }
    if (park.Counted) ++c.Active;
    ++c.Generation;
}

// Wakes the waits whose deadline has come. Clock mutex held on entry and on
// return; released while notifying.
void WakeDueLocked(Clock &c, std::unique_lock<std::mutex> &lock) {
    std::vector<std::pair<std::mutex *, std::condition_variable *>> wake;
    const uint64_t now = c.Now;
    while (!c.Timed.empty() && c.Timed.begin()->first <= now) {
        ParkRecord *park = c.Timed.begin()->second;
        wake.push_back({park->WaitMutex, park->WaitChanged});
        UnparkLocked(c, *park);
    }
    if (wake.empty()) return;
    lock.unlock();
    // The mutexes and condition variables of timed waits live as long as the
    // process (the event buckets), so a waiter that has left meanwhile only
    // costs a spurious wake-up.
    for (auto &w : wake) {
        std::lock_guard<std::mutex> g(*w.first);
        w.second->notify_all();
    }
    lock.lock();
}

enum class Step { Moved,
                  Changed,
                  NothingDue };

// One move of the clock, by whichever thread finds every other one waiting
// (share: the caller's own count in Active, 0 for the clock's thread, 1 for
// a taking-part thread about to wait, whose own deadline is ownDeadline).
// Clock mutex held on entry and on return; Stepping set by the caller.
Step StepLocked(Clock &c, std::unique_lock<std::mutex> &lock, int64_t share, uint64_t ownDeadline) {
    const uint64_t generation = c.Generation;
    lock.unlock();
    uint64_t due = kNever;
    {
        std::lock_guard<std::mutex> s(c.SourceMutex);
        if (c.Source != nullptr) due = c.Source->NextDueMicros();
    }
    lock.lock();
    if (!c.On || c.Active > share || c.Generation != generation) return Step::Changed;
    if (!c.Timed.empty()) due = std::min(due, c.Timed.begin()->first);
    due = std::min(due, ownDeadline);
    if (due == kNever) return Step::NothingDue;
    if (due > c.Now) c.Now = due;
    const uint64_t now = c.Now;
    lock.unlock();
    {
        std::lock_guard<std::mutex> s(c.SourceMutex);
        if (c.Source != nullptr) c.Source->AdvancedTo(now);
    }
    lock.lock();
    WakeDueLocked(c, lock);
    return Step::Moved;
}

void ClockThread() {
    Clock &c = TheClock();
    std::unique_lock<std::mutex> lock(c.Mutex);
    for (;;) {
        if (!c.On || c.Active > 0 || c.Stepping) {
            c.Wake.wait(lock);
            continue;
        }
        c.Stepping = true;
        const Step step = StepLocked(c, lock, 0, kNever);
        c.Stepping = false;
        // Nothing will ever be due until something changes.
        if (step == Step::NothingDue) c.Wake.wait(lock);
    }
}

}  // namespace

bool VirtualTimeOn() { return TheClock().On.load(std::memory_order_acquire); }

uint64_t VirtualNowMicros() { return TheClock().Now.load(std::memory_order_acquire); }

bool ThreadTakesPart() { return t_takesPart; }

void Park(ParkRecord &park, uint64_t deadline, std::mutex *waitMutex,
          std::condition_variable *waitChanged) {
    Clock &c = TheClock();
    if (!c.On) return;
    std::lock_guard<std::mutex> g(c.Mutex);
    if (park.Parked) return;
    park.Parked = true;
    park.Counted = t_takesPart;
    park.Deadline = deadline;
    park.WaitMutex = waitMutex;
    park.WaitChanged = waitChanged;
    if (deadline != kNever) c.Timed.insert({deadline, &park});
    if (park.Counted) {
        ReleaseLocked(c);
    } else {
        ++c.Generation;
        if (deadline != kNever) c.Wake.notify_one();
    }
}

void Unpark(ParkRecord &park) {
    Clock &c = TheClock();
    std::lock_guard<std::mutex> g(c.Mutex);
    UnparkLocked(c, park);
}

void LeaveWait(ParkRecord &park) { Unpark(park); }

bool StepBeforeWaiting(std::unique_lock<std::mutex> &waitLock, uint64_t ownDeadline) {
    Clock &c = TheClock();
    if (!t_takesPart || !c.On) return false;
    std::unique_lock<std::mutex> lock(c.Mutex);
    if (c.Active != 1 || c.Stepping) return false;
    c.Stepping = true;
    waitLock.unlock();
    // What the step runs (the bus's passes, completion routines) runs on
    // behalf of no driver of this thread's, as on a bus thread.
    ThreadState &t = CurrentThread();
    t.Drivers.push_back(nullptr);
    const Step step = StepLocked(c, lock, 1, ownDeadline);
    c.Stepping = false;
    // The clock's thread has work only once every share is given back; the
    // caller still holds its own, and gives it back through Park, which
    // wakes the clock's thread then. Waking it here after every step only
    // cost two thread switches per frame.
    if (c.Active <= 0) c.Wake.notify_one();
    lock.unlock();
    t.Drivers.pop_back();
    waitLock.lock();
    return step == Step::Moved;
}

int64_t VirtualSystemTime() {
    Clock &c = TheClock();
    return c.SystemTimeBase + (int64_t)c.Now.load(std::memory_order_acquire) * 10;
}

int64_t SystemTimeNow() { return VirtualTimeOn() ? VirtualSystemTime() : WallSystemTime(); }

LentTime::LentTime() : Lent(t_takesPart) { t_takesPart = false; }
LentTime::~LentTime() { t_takesPart = Lent; }
void LentTime::Adopt() { t_takesPart = Lent; }
void LentTime::GiveBack() { t_takesPart = false; }

void VirtualTimeReset() { SetVirtualTime(false); }

}  // namespace kernel

using namespace kernel;

void SetVirtualTime(bool on) {
    Clock &c = TheClock();
    std::lock_guard<std::mutex> g(c.Mutex);
    if (on == c.On) return;
    if (on) {
        c.SystemTimeBase = WallSystemTime() - (int64_t)c.Now.load() * 10;
        if (!c.ThreadStarted) {
            std::thread(ClockThread).detach();
            c.ThreadStarted = true;
        }
    }
    c.On = on;
    ++c.Generation;
    c.Wake.notify_one();
}

bool VirtualTime() { return VirtualTimeOn(); }

uint64_t KernelTimeMicros() {
    if (VirtualTimeOn()) return VirtualNowMicros();
    static const auto start = std::chrono::steady_clock::now();
    return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
}

void HoldTime() {
    Clock &c = TheClock();
    std::lock_guard<std::mutex> g(c.Mutex);
    ++c.Active;
    ++c.Generation;
}

void ReleaseTime() {
    Clock &c = TheClock();
    std::lock_guard<std::mutex> g(c.Mutex);
    ReleaseLocked(c);
}

TimeParticipant::TimeParticipant() : outer_(t_takesPart) {
    if (!outer_) {
        t_takesPart = true;
        HoldTime();
    }
}

TimeParticipant::~TimeParticipant() {
    if (!outer_) {
        t_takesPart = false;
        ReleaseTime();
    }
}

TimeWaitScope::TimeWaitScope() : released_(t_takesPart) {
    if (released_) ReleaseTime();
}

TimeWaitScope::~TimeWaitScope() {
    if (released_) HoldTime();
}

void SetTimeSource(TimeSource *source) {
    Clock &c = TheClock();
    {
        std::lock_guard<std::mutex> s(c.SourceMutex);
        c.Source = source;
    }
    TimeSourceChanged();
}

void TimeSourceChanged() {
    Clock &c = TheClock();
    if (!c.On) return;
    std::lock_guard<std::mutex> g(c.Mutex);
    ++c.Generation;
    if (c.Active <= 0) c.Wake.notify_one();
}

}  // namespace sim
