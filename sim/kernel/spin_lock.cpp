// Spin locks: real mutual exclusion on the KSPIN_LOCK word.
//
// A free lock holds 0; a held one holds a token of the owning thread. Acquiring
// raises to DISPATCH_LEVEL (or requires it, for the AtDpcLevel form) and spins
// until the word can be swapped from 0. Each thread keeps the list of locks it
// holds with their acquisition sites, so that the verifier can name the site of
// a lock held across a call or a wait, a second lock taken while one is held,
// or a release of a lock the thread does not hold. Acquiring a lock the thread
// already holds would spin forever on the platform; here it is reported and
// counted so the matching release pairs with it.
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

std::mutex g_holdersMutex;
std::unordered_map<PKSPIN_LOCK, std::string> g_holders;  // lock -> acquisition site

ULONG_PTR ThreadToken() { return reinterpret_cast<ULONG_PTR>(&CurrentThread()) | 1; }

}  // namespace

KSPIN_LOCK CancelSpinLock;

void SpinLockAcquire(PKSPIN_LOCK lock, const std::string &site) {
    ThreadState &t = CurrentThread();
    if (!CheckDeviceMemoryAlive(lock, "acquiring a spin lock", site)) return;
    for (HeldSpinLock &h : t.Locks) {
        if (h.Lock == lock) {
            Report(rule::SPINLOCK_RECURSIVE_ACQUIRE, site,
                   "spin lock already held by this thread, acquired at " + h.Site);
            ++h.Recursion;
            return;
        }
    }
    if (!t.Locks.empty()) {
        Report(rule::TWO_SPINLOCKS_HELD, site,
               "second spin lock acquired while holding the one acquired at " + t.Locks.back().Site);
    }
    ULONG_PTR token = ThreadToken();
    auto start = std::chrono::steady_clock::now();
    bool reported = false;
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        if (spins < 64) continue;
        std::this_thread::yield();
        if (!reported && (spins & 1023) == 0 &&
            std::chrono::steady_clock::now() - start >
                std::chrono::milliseconds(HangGuardMs())) {
            std::string holder;
            {
                std::lock_guard<std::mutex> g(g_holdersMutex);
                auto it = g_holders.find(lock);
                if (it != g_holders.end()) holder = it->second;
            }
            Report(rule::SPINLOCK_DEADLOCK, site,
                   "spin lock not obtained in " + std::to_string(HangGuardMs()) +
                       " ms; held since " +
                       (holder.empty() ? std::string("(unknown)") : holder));
            reported = true;
        }
    }
    {
        std::lock_guard<std::mutex> g(g_holdersMutex);
        g_holders[lock] = site;
    }
    t.Locks.push_back(HeldSpinLock{lock, site, 0});
}

void SpinLockRelease(PKSPIN_LOCK lock, const std::string &site) {
    ThreadState &t = CurrentThread();
    if (!CheckDeviceMemoryAlive(lock, "releasing a spin lock", site)) return;
    for (size_t i = 0; i < t.Locks.size(); ++i) {
        HeldSpinLock &h = t.Locks[i];
        if (h.Lock != lock) continue;
        if (h.Recursion > 0) {
            --h.Recursion;
            return;
        }
        t.Locks.erase(t.Locks.begin() + i);
        {
            std::lock_guard<std::mutex> g(g_holdersMutex);
            g_holders.erase(lock);
        }
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
        return;
    }
    // Another thread may be taking or dropping the lock right now.
    const bool free = __atomic_load_n(lock, __ATOMIC_RELAXED) == 0;
    Report(rule::SPINLOCK_NOT_HELD, site,
           free ? "release of a spin lock that is not held"
                : "release of a spin lock held by another thread");
}

void SpinLocksReset() {
    std::lock_guard<std::mutex> g(g_holdersMutex);
    g_holders.clear();
    CancelSpinLock = 0;
    CurrentThread().Locks.clear();
}

}  // namespace kernel
}  // namespace sim

using namespace sim::kernel;

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    ThreadState &t = CurrentThread();
    KIRQL old = t.Irql;
    if (old > DISPATCH_LEVEL) {
        Report(rule::SPINLOCK_WRONG_IRQL, site,
               "KeAcquireSpinLock at IRQL " + std::to_string(old) + " (above DISPATCH_LEVEL)");
    } else {
        t.Irql = DISPATCH_LEVEL;
    }
    SpinLockAcquire(SpinLock, site);
    return old;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    ThreadState &t = CurrentThread();
    if (t.Irql != DISPATCH_LEVEL) {
        Report(rule::SPINLOCK_WRONG_IRQL, site,
               "KeReleaseSpinLock at IRQL " + std::to_string(t.Irql) + " (not DISPATCH_LEVEL)");
    }
    SpinLockRelease(SpinLock, site);
    if (NewIrql <= t.Irql) {
        t.Irql = NewIrql;
        DeliverApcs();
    } else {
        Report(rule::IRQL_LOWER_ABOVE_CURRENT, site,
               "KeReleaseSpinLock to IRQL " + std::to_string(NewIrql) + " from " +
                   std::to_string(t.Irql));
    }
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    if (CurrentThread().Irql < DISPATCH_LEVEL) {
        Report(rule::SPINLOCK_WRONG_IRQL, site,
               "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(CurrentThread().Irql));
    }
    SpinLockAcquire(SpinLock, site);
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    if (CurrentThread().Irql < DISPATCH_LEVEL) {
        Report(rule::SPINLOCK_WRONG_IRQL, site,
               "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(CurrentThread().Irql));
    }
    SpinLockRelease(SpinLock, site);
}
