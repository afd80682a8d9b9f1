// A configurable driver for the kernel's own tests.
//
// Every device object created here dispatches every major function to a
// handler the test installs for that device (a std::function: this driver is
// host code, not kernel-mode code). Without a handler a request completes
// with STATUS_SUCCESS. Several drivers may be loaded with TestDriverEntry, so
// a test can build a stack of three devices of three drivers.
#pragma once

#include <functional>

#include "sim/kernel.h"
#include "platform/platform.h"

namespace kt {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Loads a driver with TestDriverEntry; fails the test if it does not load.
PDRIVER_OBJECT LoadTestDriver(const char *name);

// Creates a device object of driver (named when name is not null), clears
// DO_DEVICE_INITIALIZING and, when lower is set, attaches it above lower.
PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const char *name = nullptr,
                            PDEVICE_OBJECT lower = nullptr, ULONG extensionSize = 0);
void SetHandler(PDEVICE_OBJECT device, Handler handler);
// Detaches (when attached) and deletes the device, forgetting its handler.
void DeleteDevice(PDEVICE_OBJECT device);

// Handler helpers.
NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Passes the request down unchanged to lower.
NTSTATUS SkipTo(PDEVICE_OBJECT lower, PIRP irp);

// The AddDevice of the test driver: creates an unnamed device above the PDO
// and remembers it (LastAddedDevice).
PDEVICE_OBJECT LastAddedDevice();
// Whether AddDevice clears DO_DEVICE_INITIALIZING (it does unless told not to).
void SetAddDeviceClearsInitializing(bool clears);

// Wide-string helper for names.
struct WideName {
    explicit WideName(const char *s);
    std::u16string Text;
    UNICODE_STRING Unicode;
};

}  // namespace kt
