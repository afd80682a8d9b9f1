// Memory descriptor lists.
//
// The emulation has one address space, so an MDL describes its buffer by the
// buffer's own address: StartVa is the page-aligned address, ByteOffset the
// offset into the first page, and the "system address" of locked pages is
// the buffer's address itself. The platform's flags keep their meaning:
// MmMapLockedPages sets MDL_MAPPED_TO_SYSTEM_VA and MappedSystemVa (mapping an
// MDL twice is a violation), MmBuildMdlForNonPagedPool sets
// MDL_SOURCE_IS_NONPAGED_POOL, and IoBuildPartialMdl checks that the range lies
// inside the source, carries MDL_SOURCE_IS_NONPAGED_POOL over and derives
// MappedSystemVa in that case. Every MDL is tracked so that a double free,
// a stray pointer and a leak are reported.
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
};

std::mutex g_mutex;
std::unordered_map<PMDL, MdlRecord> g_live;
std::unordered_set<PMDL> g_freed;  // freed MDLs whose memory was not released yet
std::deque<PMDL> g_quarantine;     // the same, oldest first
constexpr size_t kQuarantineMdls = 4096;

PMDL NewMdl(PVOID va, ULONG length, const std::string &site) {
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
    g_live[mdl] = MdlRecord{site, pages};
    return mdl;
}

}  // namespace

PMDL MdlCreate(PVOID va, ULONG length) { return NewMdl(va, length, "(I/O manager)"); }

bool MdlIsLive(PMDL mdl) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_live.count(mdl) != 0;
}

void MdlRelease(PMDL mdl) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_live.erase(mdl) == 0) return;
    }
    KernelFree(mdl);
}

void MdlFreeChecked(PMDL mdl, const std::string &site) {
    bool live, freedBefore = false;
    PMDL release = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        live = g_live.erase(mdl) != 0;
        if (live) {
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

void MdlReportLeftovers() {
    std::vector<std::string> sites;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto &kv : g_live) sites.push_back(kv.second.Site);
    }
    for (auto &s : sites) Report(rule::MDL_LEAK, s, "MDL never freed");
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
    std::string site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl", site);
    if (AllocationShouldFail(site)) return nullptr;
    PMDL mdl = NewMdl(VirtualAddress, Length, site);
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
    std::string site = FormatSite(SimFile, SimLine);
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

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                              ULONG CacheType, PVOID RequestedAddress,
                                              ULONG BugCheckOnFailure, ULONG Priority,
                                              SIM_SITE_DECL) {
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    std::string site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPages", site);
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        Report(rule::MDL_ALREADY_MAPPED, site, "MmMapLockedPages of an MDL already mapped");
        return mdl->MappedSystemVa;
    }
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        Report(rule::MDL_NOT_LOCKED, site, "MmMapLockedPages of an MDL that describes no locked pages");
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    return mdl->MappedSystemVa;
}

extern "C" PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                  SIM_SITE_DECL) {
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, 1, nullptr, FALSE,
                                        NormalPagePriority, SimFile, SimLine);
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}
