// Replacements for kernel routines Wine 8's ntoskrnl.exe lacks or gets wrong,
// and the patching of a driver image's import slots that points it at them.
#include "import_patches.h"

#include <ntimage.h>

// This image runs in winedevice.exe's process, where kernel32 is at hand.
extern "C" __declspec(dllimport) int __stdcall VirtualProtect(void *address, SIZE_T size, ULONG protect,
                                                              ULONG *old);
#define PAGE_READWRITE 0x04

namespace testbus {
namespace {

// Wine maps a client's buffer into winedevice.exe's address space and builds
// the MDL around that address, so the MDL's own virtual address is the
// mapping a driver asks for.
PVOID NTAPI ReplacementMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE mode, MEMORY_CACHING_TYPE cache,
                                                  PVOID base, ULONG bugCheck, ULONG priority) {
    (void)mode;
    (void)cache;
    (void)base;
    (void)bugCheck;
    (void)priority;
    if (mdl == nullptr) return nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
    PVOID va = MmGetMdlVirtualAddress(mdl);
    mdl->MappedSystemVa = va;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return va;
}

// A partial MDL describing [va, va + length) of the source MDL's buffer; a
// length of 0 means the rest of the source buffer.
VOID NTAPI ReplacementBuildPartialMdl(PMDL source, PMDL target, PVOID va, ULONG length) {
    const ULONG_PTR start = (ULONG_PTR)MmGetMdlVirtualAddress(source);
    const ULONG_PTR offset = (ULONG_PTR)va - start;
    if (length == 0) length = MmGetMdlByteCount(source) - (ULONG)offset;
    target->StartVa = (PVOID)((ULONG_PTR)va & ~(ULONG_PTR)(PAGE_SIZE - 1));
    target->ByteOffset = (ULONG)((ULONG_PTR)va & (PAGE_SIZE - 1));
    target->ByteCount = length;
    target->MdlFlags = (CSHORT)((source->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_IO_PAGE_READ)) |
                                MDL_PARTIAL);
    target->MappedSystemVa = nullptr;
    target->Process = source->Process;
}

// Wine has no working set to secure: the pages of winedevice.exe's copy of
// the buffer stay mapped until the request completes. A non-null handle
// says the range is secured, as on Windows.
HANDLE NTAPI ReplacementSecureVirtualMemory(PVOID address, SIZE_T size, ULONG probe) {
    (void)probe;
    if (address == nullptr || size == 0) return nullptr;
    return (HANDLE)(ULONG_PTR)1;
}

VOID NTAPI ReplacementUnsecureVirtualMemory(HANDLE handle) { (void)handle; }

struct ImportPatch {
    const char *Module;
    const char *Name;
    PVOID Replacement;
    const char *Reason;
};

// The one list of what the harness supplies in place of Wine's own routine.
const ImportPatch kPatches[] = {
    {"ntoskrnl.exe", "MmMapLockedPagesSpecifyCache", (PVOID)ReplacementMapLockedPagesSpecifyCache,
     "Wine's is a stub returning the MDL's MappedSystemVa, which nothing set"},
    {"ntoskrnl.exe", "IoBuildPartialMdl", (PVOID)ReplacementBuildPartialMdl,
     "an unimplemented stub in Wine"},
    {"ntoskrnl.exe", "MmSecureVirtualMemory", (PVOID)ReplacementSecureVirtualMemory,
     "a stub in Wine"},
    {"ntoskrnl.exe", "MmUnsecureVirtualMemory", (PVOID)ReplacementUnsecureVirtualMemory,
     "a stub in Wine, paired with MmSecureVirtualMemory"},
};

bool SameName(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? (char)(*b + 32) : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

}  // namespace

int PatchImports(PVOID base) {
    if (base == nullptr) return -1;
    PUCHAR image = static_cast<PUCHAR>(base);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return -1;
    const IMAGE_NT_HEADERS64 *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return 0;
    int patched = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR *d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(image + dir.VirtualAddress);
         d->Name != 0; ++d) {
        const char *module = reinterpret_cast<const char *>(image + d->Name);
        const IMAGE_THUNK_DATA64 *names = reinterpret_cast<const IMAGE_THUNK_DATA64 *>(
            image + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        IMAGE_THUNK_DATA64 *slots = reinterpret_cast<IMAGE_THUNK_DATA64 *>(image + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
            const char *name = reinterpret_cast<const char *>(
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(image + names->u1.AddressOfData)->Name);
            for (const ImportPatch &p : kPatches) {
                if (!SameName(p.Module, module) || !SameName(p.Name, name)) continue;
                ULONG old = 0;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) return -1;
                slots->u1.Function = (ULONGLONG)(ULONG_PTR)p.Replacement;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
                ++patched;
            }
        }
    }
    return patched;
}

}  // namespace testbus
