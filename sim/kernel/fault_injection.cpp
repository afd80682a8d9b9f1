// Allocation counting and fault injection.
//
// Every allocating routine a driver can call (pool, IoAllocateIrp,
// IoAllocateMdl, IoBuildDeviceIoControlRequest, IoCreateDevice,
// IoCreateSymbolicLink) asks here first. Each call is counted, globally and
// for the driver on whose behalf the thread runs, and fails as the platform's
// does on shortage (no memory, or STATUS_INSUFFICIENT_RESOURCES) when it is the
// n-th allocation a test armed, or when its call site matches a site the test
// named. Tests walk every allocation of a scenario this way. The call sites
// of each driver's allocations are remembered so that a test can fail each
// site in turn, and a seeded random mode fails a share of a driver's
// allocations for stress runs.
#include <mutex>
#include <random>
#include <set>
#include <unordered_map>

#include "kernel_internal.h"

namespace sim {
namespace kernel {
namespace {

struct NthFault {
    bool Armed = false;
    uint64_t Target = 0;
    PDRIVER_OBJECT Driver = nullptr;
};

std::mutex g_mutex;
uint64_t g_total = 0;
std::unordered_map<PDRIVER_OBJECT, uint64_t> g_perDriver;
NthFault g_nth;
std::vector<std::string> g_sites;
uint64_t g_injected = 0;
bool g_failNextAttach = false;
std::unordered_map<PDRIVER_OBJECT, std::set<std::string>> g_sitesSeen;
struct RandomFault {
    uint32_t PerMille = 0;
    PDRIVER_OBJECT Driver = nullptr;
    std::mt19937_64 Generator;
};
RandomFault g_random;

}  // namespace

bool AllocationShouldFail(const std::string &site) {
    PDRIVER_OBJECT driver = CurrentDriver();
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_total;
    uint64_t mine = 0;
    if (driver != nullptr) {
        mine = ++g_perDriver[driver];
        g_sitesSeen[driver].insert(site);
    }
    bool fail = false;
    if (g_random.PerMille != 0 && (g_random.Driver == nullptr || g_random.Driver == driver)) {
        fail = g_random.Generator() % 1000 < g_random.PerMille;
    }
    if (g_nth.Armed) {
        if (g_nth.Driver == nullptr && g_total == g_nth.Target) fail = true;
        if (g_nth.Driver != nullptr && driver == g_nth.Driver && mine == g_nth.Target) fail = true;
        if (fail) g_nth.Armed = false;
    }
    for (const std::string &suffix : g_sites) {
        if (SiteEndsWith(site, suffix)) fail = true;
    }
    if (fail) ++g_injected;
    return fail;
}

bool AttachShouldFail() {
    std::lock_guard<std::mutex> lock(g_mutex);
    bool fail = g_failNextAttach;
    g_failNextAttach = false;
    return fail;
}

void FaultReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_total = 0;
    g_perDriver.clear();
    g_nth = NthFault();
    g_sites.clear();
    g_injected = 0;
    g_failNextAttach = false;
    g_sitesSeen.clear();
    g_random = RandomFault();
}

}  // namespace kernel

using namespace kernel;

uint64_t AllocationCount(PDRIVER_OBJECT onlyDriver) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (onlyDriver == nullptr) return g_total;
    auto it = g_perDriver.find(onlyDriver);
    return it == g_perDriver.end() ? 0 : it->second;
}

void FaultFailNthAllocation(uint64_t n, PDRIVER_OBJECT onlyDriver) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (n == 0) {
        g_nth = NthFault();
        return;
    }
    uint64_t base = g_total;
    if (onlyDriver != nullptr) {
        auto it = g_perDriver.find(onlyDriver);
        base = it == g_perDriver.end() ? 0 : it->second;
    }
    g_nth.Armed = true;
    g_nth.Target = base + n;
    g_nth.Driver = onlyDriver;
}

void FaultFailSite(const std::string &siteSuffix) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sites.push_back(siteSuffix);
}

void FaultFailNextAttach() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failNextAttach = true;
}

void FaultClear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nth = NthFault();
    g_sites.clear();
    g_failNextAttach = false;
    g_random.PerMille = 0;
}

std::vector<std::string> TakeAllocationSites(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_sitesSeen.find(driver);
    if (it == g_sitesSeen.end()) return {};
    std::vector<std::string> sites(it->second.begin(), it->second.end());
    g_sitesSeen.erase(it);
    return sites;
}

void FaultFailRandomly(uint32_t perMille, uint64_t seed, PDRIVER_OBJECT onlyDriver) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_random.PerMille = perMille > 1000 ? 1000 : perMille;
    g_random.Driver = onlyDriver;
    g_random.Generator.seed(seed);
}

uint64_t FaultInjectedCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_injected;
}

}  // namespace sim
