// Replacements for kernel routines Wine 8's ntoskrnl.exe lacks or gets wrong,
// and the patching of a driver image's import slots that points it at them.
#include "import_patches.h"

#include <ntimage.h>

// This image runs in winedevice.exe's process, where kernel32 is at hand.
extern "C" __declspec(dllimport) int __stdcall VirtualProtect(void *address, SIZE_T size, ULONG protect,
                                                              ULONG *old);
#define PAGE_READWRITE 0x04
extern "C" __declspec(dllimport) ULONG __stdcall TlsAlloc(void);
extern "C" __declspec(dllimport) PVOID __stdcall TlsGetValue(ULONG index);
extern "C" __declspec(dllimport) int __stdcall TlsSetValue(ULONG index, PVOID value);
extern "C" __declspec(dllimport) PVOID __stdcall AddVectoredExceptionHandler(ULONG first,
                                                                             LONG(__stdcall *handler)(EXCEPTION_POINTERS *));
#define TLS_OUT_OF_INDEXES 0xFFFFFFFFu
#define EXCEPTION_CONTINUE_EXECUTION_ (-1)
#define EXCEPTION_CONTINUE_SEARCH_ 0

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

// The IRQL of each thread, as Windows would have it. Wine runs every driver
// routine in a user thread: it reads CR8 (KeGetCurrentIrql on x64) as 0 and
// ignores writes, and its spin locks do not raise the IRQL, so a checked
// image's DRV_IRQL_IS(DISPATCH_LEVEL) under a spin lock would fail. The
// harness keeps the IRQL per thread instead: the spin-lock routines below
// raise and lower it, and a vectored handler (first in line, ahead of Wine's
// own emulation) answers the image's reads and writes of CR8 from it.
ULONG gIrqlSlot = TLS_OUT_OF_INDEXES;

KIRQL CurrentIrql() {
    return gIrqlSlot == TLS_OUT_OF_INDEXES ? PASSIVE_LEVEL : (KIRQL)(ULONG_PTR)TlsGetValue(gIrqlSlot);
}

void SetIrql(KIRQL irql) {
    if (gIrqlSlot != TLS_OUT_OF_INDEXES) TlsSetValue(gIrqlSlot, (PVOID)(ULONG_PTR)irql);
}

KIRQL NTAPI ReplacementAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
    const KIRQL old = CurrentIrql();
    (void)KeAcquireSpinLockRaiseToDpc(lock);
    SetIrql(DISPATCH_LEVEL);
    return old;
}

VOID NTAPI ReplacementReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
    KeReleaseSpinLock(lock, PASSIVE_LEVEL);
    SetIrql(newIrql);
}

// mov %cr8,reg (REX 0f 20 /r, ModRM.reg = 0 with REX.R) and mov reg,%cr8
// (REX 0f 22 /r); any other privileged instruction is left to Wine.
LONG __stdcall EmulateCr8(EXCEPTION_POINTERS *info) {
    if (info->ExceptionRecord->ExceptionCode != STATUS_PRIVILEGED_INSTRUCTION) return EXCEPTION_CONTINUE_SEARCH_;
    CONTEXT *context = info->ContextRecord;
    const UCHAR *code = reinterpret_cast<const UCHAR *>(context->Rip);
    ULONG length = 0;
    UCHAR rex = 0;
    if ((code[0] & 0xF0) == 0x40) {
        rex = code[0];
        ++length;
    }
    if (code[length] != 0x0F || (code[length + 1] != 0x20 && code[length + 1] != 0x22))
        return EXCEPTION_CONTINUE_SEARCH_;
    const UCHAR modrm = code[length + 2];
    const ULONG control = ((modrm >> 3) & 7) | ((rex & 0x4) ? 8 : 0);
    if (control != 8 || (modrm >> 6) != 3) return EXCEPTION_CONTINUE_SEARCH_;
    DWORD64 *reg = &context->Rax + ((modrm & 7) | ((rex & 0x1) ? 8 : 0));
    if (code[length + 1] == 0x20)
        *reg = CurrentIrql();
    else
        SetIrql((KIRQL)(*reg & 0xF));
    context->Rip += length + 3;
    return EXCEPTION_CONTINUE_EXECUTION_;
}

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
    {"ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc", (PVOID)ReplacementAcquireSpinLockRaiseToDpc,
     "Wine's does not raise the IRQL (the per-thread IRQL above)"},
    {"ntoskrnl.exe", "KeReleaseSpinLock", (PVOID)ReplacementReleaseSpinLock,
     "Wine's does not lower the IRQL (the per-thread IRQL above)"},
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

NTSTATUS InstallImportPatches() {
    gIrqlSlot = TlsAlloc();
    if (gIrqlSlot == TLS_OUT_OF_INDEXES) return STATUS_INSUFFICIENT_RESOURCES;
    if (AddVectoredExceptionHandler(1, EmulateCr8) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

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
