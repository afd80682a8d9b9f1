// A plain mutual-exclusion lock for the SDK's own state, and a short sleep. The mingw-w64
// compiler of the distribution uses the win32 thread model, which has no
// std::mutex, so Windows takes a slim reader/writer lock of its own.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>

#include <mutex>
#endif

namespace tvs {

class Lock {
public:
    Lock() = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
#ifdef _WIN32
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
#else
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
#endif
};

inline void SleepMilliseconds(unsigned ms) {
#ifdef _WIN32
    Sleep(ms);
#else
    struct timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&wait, nullptr);
#endif
}

class Hold {
public:
    explicit Hold(Lock &lock) : lock_(lock) { lock_.lock(); }
    ~Hold() { lock_.unlock(); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    Lock &lock_;
};

}  // namespace tvs
