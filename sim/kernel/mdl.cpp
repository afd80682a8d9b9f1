// Memory descriptor lists.
//
// An MDL describes its buffer by the buffer's address in the space it came
// from: a client's direct buffer by its client address, kernel memory (pool,
// a kernel thread's buffers) by its own address. StartVa is the page-aligned
// address and ByteOffset the offset into the first page. The platform's flags
// keep their meaning: MmMapLockedPagesSpecifyCache (and so
// MmGetSystemAddressForMdlSafe) sets MDL_MAPPED_TO_SYSTEM_VA and
// MappedSystemVa, which for client pages is a second mapping of the same
// memory at another address (client_pages.cpp) and for kernel memory the
// address itself; the mapping counts as an allocation for fault injection and
// fails as the platform's does on a shortage of system address space, and
// mapping twice is a violation. MmMapLockedPages is reported: it bug-checks
// when it cannot map. MmBuildMdlForNonPagedPool sets
// MDL_SOURCE_IS_NONPAGED_POOL, and IoBuildPartialMdl checks that the range lies
// inside the source, carries MDL_SOURCE_IS_NONPAGED_POOL over and derives
// MappedSystemVa in that case. Every MDL is tracked with the driver it was
// allocated for, so that a double free, a stray pointer and a leak (when the
// driver's last device object goes, at unload, at shutdown) are reported.
// IoFreeIrp leaves the IRP's MDLs alone, as the platform's does; the I/O
// manager frees those of the requests it completes itself.
#include <string.h>

#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

struct MdlRecord {
    std::string Site;
    ULONG Pages;
    PDRIVER_OBJECT Driver;
    bool LeakReported;
};

std::mutex g_mutex;
std::unordered_map<PMDL, MdlRecord> g_live;
std::unordered_set<PMDL> g_freed;  // freed MDLs whose memory was not released yet
std::deque<PMDL> g_quarantine;     // the same, oldest first
constexpr size_t kQuarantineMdls = 4096;

PMDL NewMdl(PVOID va, ULONG length, const std::string &site, PDRIVER_OBJECT driver) {
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length);
    if (pages == 0) pages = 1;
    size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    PMDL mdl = static_cast<PMDL>(KernelAlloc(bytes));
    memset(mdl, 0, bytes);
    mdl->Size = static_cast<CSHORT>(bytes);
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_freed.erase(mdl);
    g_live[mdl] = MdlRecord{site, pages, driver, false};
    return mdl;
}

}  // namespace

PMDL MdlCreate(PVOID va, ULONG length) { return NewMdl(va, length, "(I/O manager)", nullptr); }

void MdlUnmapSystemView(PMDL mdl) {
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0) return;
    SystemViewUnmap(mdl->MappedSystemVa);
    mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
    mdl->MappedSystemVa = nullptr;
}

bool MdlIsLive(PMDL mdl) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_live.count(mdl) != 0;
}

void MdlRelease(PMDL mdl) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_live.erase(mdl) == 0) return;
    }
    MdlUnmapSystemView(mdl);
    KernelFree(mdl);
}

void MdlFreeChecked(PMDL mdl, const std::string &site) {
    bool live, freedBefore = false;
    PMDL release = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        live = g_live.erase(mdl) != 0;
        if (live) {
            // A partial MDL's mapping goes with it, as IoFreeMdl does for
            // MDL_PARTIAL_HAS_BEEN_MAPPED; any other mapping too.
            MdlUnmapSystemView(mdl);
            // Keep the memory (poisoned) for a while, so that a second free is
            // told from a stray pointer.
            memset(mdl, 0xDF, sizeof(MDL));
            g_freed.insert(mdl);
            g_quarantine.push_back(mdl);
            if (g_quarantine.size() > kQuarantineMdls) {
                release = g_quarantine.front();
                g_quarantine.pop_front();
                g_freed.erase(release);
            }
        } else {
            freedBefore = g_freed.count(mdl) != 0;
        }
    }
    if (release != nullptr) KernelFree(release);
    if (!live) {
        if (freedBefore) {
            Report(rule::MDL_DOUBLE_FREE, site, "IoFreeMdl of an MDL already freed");
        } else {
            Report(rule::MDL_NOT_AN_MDL, site, "IoFreeMdl of something that is no MDL");
        }
    }
}

size_t MdlReportLeaks(PDRIVER_OBJECT driver, const char *when) {
    std::vector<std::string> sites;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto &kv : g_live) {
            if (kv.second.Driver == driver && !kv.second.LeakReported) {
                kv.second.LeakReported = true;
                sites.push_back(kv.second.Site);
            }
        }
    }
    for (auto &s : sites) {
        Report(rule::MDL_LEAK, s, "MDL of " + DriverName(driver) + " never freed (" + when + ")");
    }
    return sites.size();
}

void MdlReportLeftovers() {
    std::vector<std::string> sites;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto &kv : g_live) {
            if (!kv.second.LeakReported) sites.push_back(kv.second.Site);
        }
    }
    for (auto &s : sites) Report(rule::MDL_LEAK, s, "MDL never freed (at shutdown)");
}

void MdlReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto &kv : g_live) KernelFree(kv.first);
    for (PMDL m : g_quarantine) KernelFree(m);
    g_live.clear();
    g_freed.clear();
    g_quarantine.clear();
}

}  // namespace kernel
}  // namespace sim

using namespace sim::kernel;

extern "C" PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                              BOOLEAN ChargeQuota, PIRP Irp, SIM_SITE_DECL) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl", site);
    if (AllocationShouldFail(site)) return nullptr;
    PMDL mdl = NewMdl(VirtualAddress, Length, site, CurrentDriver());
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL tail = Irp->MdlAddress;
            if (tail == nullptr) {
                Irp->MdlAddress = mdl;
            } else {
                while (tail->Next != nullptr) tail = tail->Next;
                tail->Next = mdl;
            }
        }
    }
    return mdl;
}

extern "C" VOID IoFreeMdl(PMDL Mdl, SIM_SITE_DECL) {
    MdlFreeChecked(Mdl, FormatSite(SimFile, SimLine));
}

extern "C" VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                  ULONG Length, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    // The pages the source describes must be locked before a partial MDL is
    // built from it.
    if ((SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        Report(rule::MDL_NOT_LOCKED, site, "IoBuildPartialMdl from an MDL whose pages are not locked");
        return;
    }
    char *sourceVa = static_cast<char *>(MmGetMdlVirtualAddress(SourceMdl));
    char *va = static_cast<char *>(VirtualAddress);
    uint64_t offset = static_cast<uint64_t>(va - sourceVa);
    if (va < sourceVa || offset > SourceMdl->ByteCount) {
        Report(rule::MDL_PARTIAL_OUT_OF_RANGE, site,
               "IoBuildPartialMdl at an address outside the source MDL");
        return;
    }
    if (Length == 0) Length = static_cast<ULONG>(SourceMdl->ByteCount - offset);
    if (offset + Length > SourceMdl->ByteCount) {
        Report(rule::MDL_PARTIAL_OUT_OF_RANGE, site,
               "IoBuildPartialMdl of " + std::to_string(Length) + " bytes at offset " +
                   std::to_string(offset) + " of a " + std::to_string(SourceMdl->ByteCount) +
                   "-byte MDL");
        return;
    }
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, Length);
    size_t room = (static_cast<size_t>(TargetMdl->Size) - sizeof(MDL)) / sizeof(PFN_NUMBER);
    if (TargetMdl->Size < static_cast<CSHORT>(sizeof(MDL)) || pages > room) {
        Report(rule::MDL_TOO_SMALL, site,
               "IoBuildPartialMdl of " + std::to_string(pages) + " pages into an MDL with room for " +
                   std::to_string(room));
        return;
    }
    // A target mapped before loses that mapping (MmPrepareMdlForReuse).
    MdlUnmapSystemView(TargetMdl);
    TargetMdl->MdlFlags &= MDL_ALLOCATED_FIXED_SIZE;
    TargetMdl->MdlFlags |= (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) | MDL_PARTIAL;
    TargetMdl->StartVa = PAGE_ALIGN(va);
    TargetMdl->ByteOffset = BYTE_OFFSET(va);
    TargetMdl->ByteCount = Length;
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MappedSystemVa = nullptr;
    if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        TargetMdl->MappedSystemVa = static_cast<char *>(SourceMdl->MappedSystemVa) + offset;
    }
}

namespace {

PVOID MapLockedPages(PMDL mdl, bool bugCheckOnFailure, const char *routine,
                     const std::string &site) {
    CheckIrqlAtMost(DISPATCH_LEVEL, routine, site);
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        Report(rule::MDL_ALREADY_MAPPED, site, std::string(routine) + " of an MDL already mapped");
        return mdl->MappedSystemVa;
    }
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        Report(rule::MDL_NOT_LOCKED, site,
               std::string(routine) + " of an MDL that describes no locked pages");
    }
    if (AllocationShouldFail(site)) {
        // No system address space left for the mapping.
        if (bugCheckOnFailure) {
            KeBugCheckEx(0x3F /* NO_MORE_SYSTEM_PTES */, 0, MmGetMdlByteCount(mdl), 0, 0);
        }
        return nullptr;
    }
    PVOID va = MmGetMdlVirtualAddress(mdl);
    PVOID system = SystemViewMap(va, MmGetMdlByteCount(mdl));
    mdl->MappedSystemVa = system != nullptr ? system : va;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return mdl->MappedSystemVa;
}

}  // namespace

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                              ULONG CacheType, PVOID RequestedAddress,
                                              ULONG BugCheckOnFailure, ULONG Priority,
                                              SIM_SITE_DECL) {
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(Priority);
    const std::string &site = FormatSite(SimFile, SimLine);
    if (AccessMode != KernelMode) {
        Report(rule::INVALID_PARAMETER, site,
               "MmMapLockedPagesSpecifyCache into user mode: the emulation maps for the kernel only");
    }
    return MapLockedPages(MemoryDescriptorList, BugCheckOnFailure != 0, "MmMapLockedPagesSpecifyCache",
                          site);
}

extern "C" PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                  SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    Report(rule::MDL_MAPPED_UNSAFELY, site,
           "MmMapLockedPages bug-checks when it cannot map; use MmGetSystemAddressForMdlSafe");
    if (AccessMode != KernelMode) {
        Report(rule::INVALID_PARAMETER, site,
               "MmMapLockedPages into user mode: the emulation maps for the kernel only");
    }
    return MapLockedPages(MemoryDescriptorList, true, "MmMapLockedPages", site);
}

extern "C" VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages", site);
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0 || BaseAddress != mdl->MappedSystemVa) {
        Report(rule::INVALID_PARAMETER, site,
               "MmUnmapLockedPages of an address that is not the MDL's system mapping");
        return;
    }
    MdlUnmapSystemView(mdl);
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}
