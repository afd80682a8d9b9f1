// Driver entry: fills the dispatch table.
#include "platform/platform.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

static DRIVER_UNLOAD DriverUnload;

// The driver keeps no state that outlives its device objects; unloading has
// nothing to undo.
static VOID DriverUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
