// The client's address space and the kernel's second mapping of it.
//
// On the platform a direct-I/O buffer stays in the client's pages; the MDL
// describes them by the client's address, and the kernel reaches them through
// a mapping of its own (MmGetSystemAddressForMdlSafe) at another address,
// which goes away when the I/O manager unlocks the pages at completion.
//
// Here a client's direct buffer lives, for the time of its request, in pages
// of a memory file: one mapping is the client's view (read-only when the test
// client hands the buffer over read-only), and each system mapping is another
// mapping of the same file, writable as kernel mappings are. The caller's
// buffer is copied into the client's view when the request is issued and back
// when it completes (writes through a system mapping show in the client's
// view at once, as on the platform). A system mapping is populated when it
// is made, as the platform fills the page table entries of locked pages when
// it maps them: the driver's first touch of each page is no page fault. At
// completion both views are unmapped, so a late access through either faults
// at once.
//
// A client may also own client pages outright (ClientAlloc), as a process owns
// the memory it allocated: a direct buffer wholly inside such a block, handed
// over by its owner, is locked where it lies; nothing is copied in or back,
// the client's view stays after completion (it is the client's own memory),
// and the kernel's mapping is still another address, gone at completion.
//
// MmSecureVirtualMemory checks a range of the calling thread's client pages:
// with PAGE_READWRITE it fails on read-only pages, with PAGE_READONLY on no
// page; an address that is not the calling client's fails too.
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {

struct ClientPages {
    char *UserBase = nullptr;  // page-aligned client view
    size_t Bytes = 0;          // whole pages
    int Fd = -1;
    bool ReadOnly = false;
    const ThreadState *Owner = nullptr;
    void *Caller = nullptr;  // the caller's buffer, copied back at completion
    size_t Length = 0;
    size_t Offset = 0;   // of the buffer in the first page
    bool Owned = false;  // ClientAlloc's: the client's own, not a request's copy
};

namespace {

struct Secure {
    ClientPages *Pages;
};

std::mutex g_mutex;
std::map<uintptr_t, ClientPages *> g_pages;  // by user base
std::map<uintptr_t, size_t> g_views;         // system view base -> bytes
std::map<uintptr_t, Secure> g_secures;       // handle -> secured pages
uintptr_t g_nextSecure = 0x5ec0000;

size_t RoundPages(size_t n) { return (n + PAGE_SIZE - 1) & ~size_t(PAGE_SIZE - 1); }

// The client pages that hold [va, va + length), or nullptr (g_mutex held).
ClientPages *FindLocked(const void *va, size_t length) {
    uintptr_t a = reinterpret_cast<uintptr_t>(va);
    auto it = g_pages.upper_bound(a);
    if (it == g_pages.begin()) return nullptr;
    --it;
    ClientPages *p = it->second;
    if (a + length > it->first + p->Bytes) return nullptr;
    return p;
}

}  // namespace

ClientPages *ClientPagesCreate(void *caller, size_t length, bool readOnly, PVOID *userVa) {
    auto *p = new ClientPages;
    p->Offset = BYTE_OFFSET(caller);
    p->Bytes = RoundPages(p->Offset + length);
    p->ReadOnly = readOnly;
    p->Owner = &CurrentThread();
    p->Caller = caller;
    p->Length = length;
    p->Fd = memfd_create("client-pages", MFD_CLOEXEC);
    if (p->Fd < 0 || ftruncate(p->Fd, static_cast<off_t>(p->Bytes)) != 0) abort();
    void *base = mmap(nullptr, p->Bytes, PROT_READ | PROT_WRITE, MAP_SHARED, p->Fd, 0);
    if (base == MAP_FAILED) abort();
    p->UserBase = static_cast<char *>(base);
    memcpy(p->UserBase + p->Offset, caller, length);
    if (readOnly && mprotect(base, p->Bytes, PROT_READ) != 0) abort();
    *userVa = p->UserBase + p->Offset;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pages[reinterpret_cast<uintptr_t>(base)] = p;
    return p;
}

void ClientPagesFinish(ClientPages *pages, bool copyBack) {
    if (pages == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_pages.erase(reinterpret_cast<uintptr_t>(pages->UserBase));
        for (auto it = g_secures.begin(); it != g_secures.end();) {
            it = it->second.Pages == pages ? g_secures.erase(it) : std::next(it);
        }
    }
    if (copyBack) memcpy(pages->Caller, pages->UserBase + pages->Offset, pages->Length);
    munmap(pages->UserBase, pages->Bytes);
    close(pages->Fd);
    delete pages;
}

void *SystemViewMap(const void *va, size_t length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ClientPages *p = FindLocked(va, length == 0 ? 1 : length);
    if (p == nullptr) return nullptr;
    uintptr_t a = reinterpret_cast<uintptr_t>(va);
    size_t first = (a & ~uintptr_t(PAGE_SIZE - 1)) - reinterpret_cast<uintptr_t>(p->UserBase);
    size_t bytes = RoundPages(BYTE_OFFSET(va) + (length == 0 ? 1 : length));
    void *view = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, p->Fd,
                      static_cast<off_t>(first));
    if (view == MAP_FAILED) abort();
    g_views[reinterpret_cast<uintptr_t>(view)] = bytes;
    return static_cast<char *>(view) + BYTE_OFFSET(va);
}

bool SystemViewUnmap(const void *systemVa) {
    uintptr_t base = reinterpret_cast<uintptr_t>(systemVa) & ~uintptr_t(PAGE_SIZE - 1);
    size_t bytes;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_views.find(base);
        if (it == g_views.end()) return false;
        bytes = it->second;
        g_views.erase(it);
    }
    munmap(reinterpret_cast<void *>(base), bytes);
    return true;
}

void ClientPagesReset() {
    std::map<uintptr_t, ClientPages *> pages;
    std::map<uintptr_t, size_t> views;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        pages.swap(g_pages);
        views.swap(g_views);
        g_secures.clear();
    }
    for (auto &kv : views) munmap(reinterpret_cast<void *>(kv.first), kv.second);
    for (auto &kv : pages) {
        munmap(kv.second->UserBase, kv.second->Bytes);
        close(kv.second->Fd);
        delete kv.second;
    }
}

bool ClientPagesOwned(const void *va, size_t length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ClientPages *p = FindLocked(va, length == 0 ? 1 : length);
    return p != nullptr && p->Owned && p->Owner == &CurrentThread();
}

}  // namespace kernel

void *ClientAddressOf(const void *callerBuffer) {
    std::lock_guard<std::mutex> lock(kernel::g_mutex);
    for (auto &kv : kernel::g_pages) {
        if (kv.second->Caller == callerBuffer) return kv.second->UserBase + kv.second->Offset;
    }
    // A buffer in the client's own pages is its own client address.
    kernel::ClientPages *p = kernel::FindLocked(callerBuffer, 1);
    if (p != nullptr && p->Owned) return const_cast<void *>(callerBuffer);
    return nullptr;
}

void *ClientAlloc(size_t bytes) {
    using namespace kernel;
    auto *p = new ClientPages;
    p->Bytes = RoundPages(bytes == 0 ? 1 : bytes);
    p->Owned = true;
    p->Owner = &CurrentThread();
    p->Length = bytes;
    p->Fd = memfd_create("client-memory", MFD_CLOEXEC);
    if (p->Fd < 0 || ftruncate(p->Fd, static_cast<off_t>(p->Bytes)) != 0) abort();
    void *base = mmap(nullptr, p->Bytes, PROT_READ | PROT_WRITE, MAP_SHARED, p->Fd, 0);
    if (base == MAP_FAILED) abort();
    p->UserBase = static_cast<char *>(base);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pages[reinterpret_cast<uintptr_t>(base)] = p;
    return base;
}

void ClientFree(void *block) {
    using namespace kernel;
    ClientPages *p = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_pages.find(reinterpret_cast<uintptr_t>(block));
        if (it == g_pages.end() || !it->second->Owned) return;
        p = it->second;
        g_pages.erase(it);
        for (auto s = g_secures.begin(); s != g_secures.end();) {
            s = s->second.Pages == p ? g_secures.erase(s) : std::next(s);
        }
    }
    munmap(p->UserBase, p->Bytes);
    close(p->Fd);
    delete p;
}

}  // namespace sim

using namespace sim::kernel;

extern "C" HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode,
                                        SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(APC_LEVEL, "MmSecureVirtualMemory", site);
    if (ProbeMode != PAGE_READWRITE && ProbeMode != PAGE_READONLY) {
        Report(rule::INVALID_PARAMETER, site,
               "MmSecureVirtualMemory with probe mode " + std::to_string(ProbeMode) +
                   " (PAGE_READWRITE or PAGE_READONLY)");
        return nullptr;
    }
    if (Size == 0) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    ClientPages *p = FindLocked(Address, Size);
    // Only the calling client's own pages: another thread's address means
    // nothing in this thread's process.
    if (p == nullptr || p->Owner != &CurrentThread()) return nullptr;
    if (ProbeMode == PAGE_READWRITE && p->ReadOnly) return nullptr;
    uintptr_t handle = (g_nextSecure += 16);
    g_secures[handle] = Secure{p};
    return reinterpret_cast<HANDLE>(handle);
}

extern "C" VOID MmUnsecureVirtualMemory(HANDLE SecureHandle, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(APC_LEVEL, "MmUnsecureVirtualMemory", site);
    bool known;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        known = g_secures.erase(reinterpret_cast<uintptr_t>(SecureHandle)) != 0;
    }
    if (!known) {
        Report(rule::INVALID_PARAMETER, site,
               "MmUnsecureVirtualMemory of a handle MmSecureVirtualMemory did not return (or "
               "whose client request has completed)");
    }
}
