// Per-thread kernel state: the IRQL, the spin locks held, and the stack of
// drivers the thread runs on behalf of.
//
// On the platform a processor runs at one IRQL and a thread "belongs" to a
// driver only while it executes that driver's code. Here every host thread
// carries its own IRQL (new threads start at PASSIVE_LEVEL), and the kernel
// pushes the driver whenever it calls into one (entry, AddDevice, dispatch,
// completion, cancel and unload routines), so that pool, IRPs and violations
// can be attributed to the driver whose code made the call.
#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {

ThreadState::ThreadState() : Apc(std::make_shared<ApcQueue>()) {}

ThreadState::~ThreadState() {
    // A thread that ends runs what was queued to it; later APCs run where
    // they are queued.
    Irql = PASSIVE_LEVEL;
    DeliverApcs();
    std::lock_guard<std::mutex> lock(Apc->Mutex);
    Apc->Alive = false;
}

ThreadState &CurrentThread() {
    static thread_local ThreadState state;
    return state;
}

void QueueApc(const std::shared_ptr<ApcQueue> &queue, std::function<void()> fn) {
    ThreadState &t = CurrentThread();
    bool runHere = false;
    {
        std::lock_guard<std::mutex> lock(queue->Mutex);
        if (!queue->Alive) {
            runHere = true;
        } else {
            queue->Apcs.push_back(std::move(fn));
            ++queue->Queued;
            // Wake the thread if it waits; it clears these under Mutex before
            // its wait's objects may go.
            if (queue->WaitMutex != nullptr) {
                std::lock_guard<std::mutex> wait(*queue->WaitMutex);
                if (queue->Park != nullptr) Unpark(*queue->Park);
                queue->WaitChanged->notify_all();
            }
        }
    }
    if (runHere) {
        KIRQL saved = t.Irql;
        if (t.Irql < APC_LEVEL) t.Irql = APC_LEVEL;
        fn();
        t.Irql = saved;
        return;
    }
    if (queue == t.Apc) DeliverApcs();
}

bool ApcsPending() { return CurrentThread().Apc->Queued != 0; }

void DeliverApcs() {
    ThreadState &t = CurrentThread();
    if (t.Irql >= APC_LEVEL) return;
    for (;;) {
        std::vector<std::function<void()>> run;
        {
            std::lock_guard<std::mutex> lock(t.Apc->Mutex);
            run.swap(t.Apc->Apcs);
            t.Apc->Queued = 0;
        }
        if (run.empty()) return;
        KIRQL saved = t.Irql;
        for (auto &fn : run) {
            t.Irql = APC_LEVEL;
            fn();
        }
        t.Irql = saved;
    }
}

PDRIVER_OBJECT CurrentDriver() {
    ThreadState &t = CurrentThread();
    return t.Drivers.empty() ? nullptr : t.Drivers.back();
}

void EnterDriver(PDRIVER_OBJECT driver) { CurrentThread().Drivers.push_back(driver); }

void LeaveDriver(PDRIVER_OBJECT driver, KIRQL irqlBefore, size_t locksBefore, const char *what,
                 int expectedLockDelta) {
    ThreadState &t = CurrentThread();
    if (!t.Drivers.empty()) t.Drivers.pop_back();
    std::string who = DriverName(driver) + " " + what;
    if (t.Locks.size() > locksBefore + expectedLockDelta) {
        Report(rule::SPINLOCK_HELD_ON_RETURN, t.Locks.back().Site,
               who + " returned holding the spin lock acquired here");
    }
    if (t.Irql != irqlBefore) {
        Report(rule::IRQL_CHANGED_BY_ROUTINE, "(" + who + ")",
               who + " was called at IRQL " + std::to_string(irqlBefore) + " and returned at " +
                   std::to_string(t.Irql));
        t.Irql = irqlBefore;
    }
    DriverFrameEnded(driver);
}

bool CheckIrqlAtMost(KIRQL maxIrql, const char *routine, const std::string &site) {
    KIRQL irql = CurrentThread().Irql;
    if (irql <= maxIrql) return true;
    Report(rule::IRQL_TOO_HIGH, site,
           std::string(routine) + " called at IRQL " + std::to_string(irql) + ", highest allowed " +
               std::to_string(maxIrql));
    return false;
}

void CheckNoSpinLockHeld(const char *ruleName, const char *routine, const std::string &site) {
    ThreadState &t = CurrentThread();
    if (t.Locks.empty()) return;
    Report(ruleName, site,
           std::string(routine) + " with the spin lock acquired at " + t.Locks.back().Site +
               " still held");
}

}  // namespace kernel

DriverThreadScope::DriverThreadScope(PDRIVER_OBJECT driver) : driver_(driver) {
    kernel::EnterDriver(driver);
}

DriverThreadScope::~DriverThreadScope() {
    kernel::ThreadState &t = kernel::CurrentThread();
    if (!t.Drivers.empty()) t.Drivers.pop_back();
    kernel::DriverFrameEnded(driver_);
}

}  // namespace sim
