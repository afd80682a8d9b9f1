// Executive pool: ExAllocatePool(WithTag) and ExFreePool(WithTag).
//
// Each block is 16-byte aligned and remembers its size, tag, call site and the
// driver on whose behalf it was allocated. New blocks are not zeroed: they are
// filled with a poison pattern (0xBA) so that code relying on zeroed pool
// shows. A free is checked against the live-block table before the pointer is
// touched (double free, an address that is no pool block, a tag mismatch);
// freed blocks are filled with 0xDF and kept in a quarantine for a while, so a
// late access reads poison instead of another block's data, and a second free
// is told from a stray pointer.
//
// Under AddressSanitizer every block is its own heap allocation of exactly the
// size asked for, so the sanitizer's redzone starts at the first byte past the
// block and an overrun is caught at the faulting byte; a block in quarantine is
// poisoned, so a read or write after the free is caught too.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kernel_internal.h"
#include "verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#define SIM_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_POOL_ASAN 1
#endif
#endif
#if defined(SIM_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace sim {
namespace kernel {
namespace {

// The freed block's bytes become unaddressable until it leaves quarantine.
void PoisonFreed(void *p, size_t bytes) {
#if defined(SIM_POOL_ASAN)
    __asan_poison_memory_region(p, bytes);
#else
    (void)p;
    (void)bytes;
#endif
}

void UnpoisonFreed(void *p, size_t bytes) {
#if defined(SIM_POOL_ASAN)
    __asan_unpoison_memory_region(p, bytes);
#else
    (void)p;
    (void)bytes;
#endif
}

constexpr unsigned char kFreshPoison = 0xBA;
constexpr unsigned char kFreedPoison = 0xDF;
constexpr size_t kQuarantineBlocks = 4096;
// Freed blocks stay poisoned in quarantine up to this many blocks and bytes.
constexpr size_t kQuarantineBytes = 64u << 20;

struct Block {
    size_t Bytes;
    ULONG Tag;
    std::string Site;
    PDRIVER_OBJECT Driver;
    bool LeakReported;
};

struct FreedBlock {
    size_t Bytes;
    std::string AllocSite;
    std::string FreeSite;
};

std::mutex g_mutex;
std::unordered_map<void *, Block> g_live;
std::unordered_map<void *, FreedBlock> g_freed;
std::deque<void *> g_quarantine;
// The pool's size (0: no limit but the host's) and the bytes allocated from it.
size_t g_limitBytes = 0;
size_t g_liveBytes = 0;
size_t g_quarantineBytes = 0;

// A freed block whose poison changed was written after its free (by the
// driver, or by a bus or device still holding its address). Under
// AddressSanitizer the write itself is caught; elsewhere the poison is
// looked at when the block leaves quarantine and at shutdown. Returns the
// violation's detail, or an empty string. g_mutex held.
std::string WrittenAfterFree(void *p, const FreedBlock &f) {
#if defined(SIM_POOL_ASAN)
    (void)p;
    (void)f;
    return std::string();
#else
    // Compared a chunk at a time (a byte loop over every block leaving
    // quarantine was a tenth of an isochronous input's time); the first
    // changed byte is looked for only in a chunk that differs.
    static unsigned char poison[4096];
    static std::once_flag filled;
    std::call_once(filled, [] { memset(poison, kFreedPoison, sizeof poison); });
    const unsigned char *bytes = static_cast<const unsigned char *>(p);
    for (size_t at = 0; at < f.Bytes; at += sizeof poison) {
        const size_t n = std::min(sizeof poison, f.Bytes - at);
        if (memcmp(bytes + at, poison, n) == 0) continue;
        for (size_t i = at; i < at + n; i++) {
            if (bytes[i] == kFreedPoison) continue;
            return "byte " + std::to_string(i) + " of a block allocated at " + f.AllocSite +
                   " and freed at " + f.FreeSite + " was written after the free";
        }
    }
    return std::string();
#endif
}

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

void ReportBlock(const Block &b, const char *when) {
    Report(rule::POOL_LEAK, b.Site,
           std::to_string(b.Bytes) + " bytes, tag '" + TagText(b.Tag) + "', of " +
               DriverName(b.Driver) + " never freed (" + when + ")");
}

}  // namespace

// Exactly the bytes asked for (not rounded up), so that the heap's own checks
// see the end of the block where the caller sees it.
void *KernelAlloc(size_t bytes) {
    void *p = nullptr;
    if (posix_memalign(&p, 16, bytes == 0 ? 16 : bytes) != 0) abort();
    return p;
}

void KernelFree(void *p) { free(p); }

void *PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::string &site) {
    KIRQL irql = CurrentThread().Irql;
    if (type == PagedPool && irql >= DISPATCH_LEVEL) {
        Report(rule::PAGED_POOL_AT_DISPATCH, site,
               "paged pool requested at IRQL " + std::to_string(irql));
    }
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePool", site);
    if (bytes == 0) {
        // The platform's verifier flags it: such a block is useless, and the
        // caller has usually computed a size wrong.
        Report(rule::POOL_ZERO_BYTES, site, "pool allocation of 0 bytes");
    }
    // Non-paged types are the even ones; the Nx ones carry 512.
    if ((type & 1) == 0 && (type & NonPagedPoolNx) == 0) {
        Report(rule::POOL_EXECUTABLE, site,
               "executable non-paged pool (type " + std::to_string(type) +
                   ") requested; use NonPagedPoolNx");
    }
    if (AllocationShouldFail(site)) return nullptr;
    {
        // An exhausted pool fails the request, as the platform's does.
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_limitBytes != 0 && bytes > g_limitBytes - std::min(g_liveBytes, g_limitBytes))
            return nullptr;
        g_liveBytes += bytes;
    }
    void *p = KernelAlloc(bytes);
    memset(p, kFreshPoison, bytes == 0 ? 16 : bytes);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_freed.erase(p);
    g_live[p] = Block{bytes, tag, site, CurrentDriver(), false};
    return p;
}

void PoolFree(void *p, ULONG tag, bool checkTag, const std::string &site) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExFreePool", site);
    const char *violation = nullptr;
    std::string detail;
    std::vector<void *> release;
    std::vector<std::string> writtenAfterFree;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_live.find(p);
        if (it == g_live.end()) {
            auto f = g_freed.find(p);
            if (f != g_freed.end()) {
                violation = rule::POOL_DOUBLE_FREE;
                detail = "block allocated at " + f->second.AllocSite + " already freed at " +
                         f->second.FreeSite;
            } else {
                violation = rule::POOL_NOT_FROM_POOL;
                detail = "ExFreePool of an address that is no pool block";
            }
        } else {
            Block b = it->second;
            g_live.erase(it);
            g_liveBytes -= b.Bytes;
            if (checkTag && tag != b.Tag) {
                violation = rule::POOL_TAG_MISMATCH;
                detail = "freed with tag '" + TagText(tag) + "', allocated at " + b.Site +
                         " with '" + TagText(b.Tag) + "'";
            }
            size_t span = b.Bytes == 0 ? 16 : b.Bytes;
            memset(p, kFreedPoison, span);
            PoisonFreed(p, span);
            g_freed[p] = FreedBlock{span, b.Site, site};
            g_quarantine.push_back(p);
            g_quarantineBytes += span;
            while (g_quarantine.size() > kQuarantineBlocks ||
                   (g_quarantineBytes > kQuarantineBytes && g_quarantine.size() > 1)) {
                void *oldest = g_quarantine.front();
                g_quarantine.pop_front();
                auto old = g_freed.find(oldest);
                if (old != g_freed.end()) {
                    g_quarantineBytes -= old->second.Bytes;
                    std::string written = WrittenAfterFree(oldest, old->second);
                    if (!written.empty()) writtenAfterFree.push_back(written);
                    UnpoisonFreed(oldest, old->second.Bytes);
                    g_freed.erase(old);
                }
                release.push_back(oldest);
            }
        }
    }
    if (violation != nullptr) Report(violation, site, detail);
    for (const std::string &written : writtenAfterFree) Report(rule::POOL_WRITTEN_AFTER_FREE, site, written);
    for (void *oldest : release) KernelFree(oldest);
}

size_t PoolReportLeaks(PDRIVER_OBJECT driver, const char *when) {
    std::vector<Block> leaks;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto &kv : g_live) {
            if (kv.second.Driver == driver && !kv.second.LeakReported) {
                kv.second.LeakReported = true;
                leaks.push_back(kv.second);
            }
        }
    }
    for (auto &b : leaks) ReportBlock(b, when);
    return leaks.size();
}

void PoolReportAllLeaks() {
    std::vector<Block> leaks;
    std::vector<std::pair<std::string, std::string>> writtenAfterFree;  // free site, detail
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto &kv : g_live) {
            if (!kv.second.LeakReported) {
                kv.second.LeakReported = true;
                leaks.push_back(kv.second);
            }
        }
        for (void *p : g_quarantine) {
            auto f = g_freed.find(p);
            if (f == g_freed.end()) continue;
            std::string written = WrittenAfterFree(p, f->second);
            if (!written.empty()) writtenAfterFree.emplace_back(f->second.FreeSite, written);
        }
    }
    for (auto &b : leaks) ReportBlock(b, "at shutdown");
    for (auto &w : writtenAfterFree) Report(rule::POOL_WRITTEN_AFTER_FREE, w.first, w.second);
}

void PoolReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto &kv : g_live) KernelFree(kv.first);
    for (void *p : g_quarantine) {
        auto f = g_freed.find(p);
        if (f != g_freed.end()) UnpoisonFreed(p, f->second.Bytes);
        KernelFree(p);
    }
    g_live.clear();
    g_freed.clear();
    g_quarantine.clear();
    g_liveBytes = 0;
    g_limitBytes = 0;
    g_quarantineBytes = 0;
}

}  // namespace kernel

using namespace kernel;

void SetPoolLimit(size_t bytes) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_limitBytes = bytes;
}

size_t PoolBlocksOutstanding() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_live.size();
}

std::vector<PoolBlockInfo> PoolOutstanding() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<PoolBlockInfo> out;
    for (auto &kv : g_live) out.push_back(PoolBlockInfo{kv.second.Bytes, kv.second.Site, kv.second.Tag});
    return out;
}

}  // namespace sim

using namespace sim::kernel;

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, SIM_SITE_DECL) {
    // Untagged pool carries the tag "None", as on the platform.
    return PoolAllocate(PoolType, NumberOfBytes, 0x656e6f4e, FormatSite(SimFile, SimLine));
}

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                       SIM_SITE_DECL) {
    return PoolAllocate(PoolType, NumberOfBytes, Tag, FormatSite(SimFile, SimLine));
}

extern "C" VOID ExFreePool(PVOID P, SIM_SITE_DECL) {
    PoolFree(P, 0, false, FormatSite(SimFile, SimLine));
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag, SIM_SITE_DECL) {
    PoolFree(P, Tag, Tag != 0, FormatSite(SimFile, SimLine));
}
