// Routines Wine's kernel emulation lacks or gets wrong, supplied by the test
// harness: the function driver's import slots for them are pointed at the
// replacements in import_patches.cpp, in memory, once the image is loaded.
// The image on disk is never changed. The table in import_patches.cpp is the
// one list of them, with the reason for each; windows/wine-import-lint.sh
// fails on an import of the image that Wine binds to a stub and the table
// does not cover.
#pragma once

#include "ddk.h"

namespace testbus {

// Sets up the per-thread IRQL the patched spin-lock routines keep and the
// handler that answers a driver's CR8 reads and writes from it.
NTSTATUS InstallImportPatches();

// Rewrites the import slots of the driver whose image starts at base (once
// per image). Returns the number of slots patched, or -1 when the image's
// import table cannot be read or made writable.
int PatchImports(PVOID base);

}  // namespace testbus
