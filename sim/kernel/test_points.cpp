// Test points: a test arms a named point, the first driver thread that
// reaches it waits there until the test lets it go. An unarmed point costs
// one relaxed load.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "kernel_internal.h"
#include "sim/kernel.h"

namespace {

struct Point {
    bool Armed = false;
    bool Held = false;
    bool Released = false;
};

std::mutex g_lock;
std::condition_variable g_changed;
std::map<std::string, Point> g_points;
std::atomic<int> g_armed{0};

}  // namespace

extern "C" VOID SimTestPoint(const char *Name) {
    if (g_armed.load(std::memory_order_relaxed) == 0) return;
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = g_points.find(Name);
    if (it == g_points.end() || !it->second.Armed || it->second.Held) return;
    Point &point = it->second;
    point.Held = true;
    g_changed.notify_all();
    g_changed.wait(lock, [&] { return point.Released; });
    g_points.erase(it);
    g_armed.fetch_sub(1);
    g_changed.notify_all();
}

namespace sim {

namespace kernel {
bool AnyTestPointArmed() { return g_armed.load(std::memory_order_relaxed) != 0; }
}  // namespace kernel

void TestPointHold(const char *name) {
    std::lock_guard<std::mutex> lock(g_lock);
    Point &point = g_points[name];
    if (point.Armed) return;
    point = Point();
    point.Armed = true;
    g_armed.fetch_add(1);
}

bool TestPointWaitHeld(const char *name, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(g_lock);
    return g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        auto it = g_points.find(name);
        return it != g_points.end() && it->second.Held;
    });
}

void TestPointRelease(const char *name) {
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = g_points.find(name);
    if (it == g_points.end()) return;
    if (!it->second.Held) {
        g_points.erase(it);
        g_armed.fetch_sub(1);
        return;
    }
    it->second.Released = true;
    g_changed.notify_all();
    // Returns once the held thread has left the point.
    g_changed.wait(lock, [&] { return g_points.find(name) == g_points.end(); });
}

}  // namespace sim
