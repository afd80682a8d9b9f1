// The kernel tests' configurable driver.
#include "test_driver.h"

#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <mutex>

namespace kt {
namespace {

std::mutex g_mutex;
std::map<PDEVICE_OBJECT, Handler> g_handlers;
std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> g_lower;
PDEVICE_OBJECT g_lastAdded = nullptr;
bool g_clearInitializing = true;

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Handler h;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_handlers.find(device);
        if (it != g_handlers.end()) h = it->second;
    }
    if (h) return h(device, irp);
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT dev = nullptr;
    NTSTATUS st = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    if (!NT_SUCCESS(st)) return st;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(dev, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(dev);
        return STATUS_NO_SUCH_DEVICE;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_clearInitializing) dev->Flags &= ~DO_DEVICE_INITIALIZING;
    g_lower[dev] = lower;
    g_lastAdded = dev;
    return STATUS_SUCCESS;
}

}  // namespace

WideName::WideName(const char *s) : Text(s, s + strlen(s)) {
    RtlInitUnicodeString(&Unicode, Text.c_str());
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT LoadTestDriver(const char *name) {
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT d = sim::LoadDriver(name, TestDriverEntry, &st);
    EXPECT_EQ(STATUS_SUCCESS, st);
    EXPECT_NE(nullptr, d);
    return d;
}

PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const char *name, PDEVICE_OBJECT lower,
                            ULONG extensionSize) {
    PDEVICE_OBJECT dev = nullptr;
    NTSTATUS st;
    if (name != nullptr) {
        WideName n(name);
        st = IoCreateDevice(driver, extensionSize, &n.Unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    } else {
        st = IoCreateDevice(driver, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    }
    EXPECT_EQ(STATUS_SUCCESS, st);
    if (dev == nullptr) return nullptr;
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    if (lower != nullptr) {
        PDEVICE_OBJECT attachedTo = IoAttachDeviceToDeviceStack(dev, lower);
        EXPECT_EQ(lower, attachedTo);
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lower[dev] = attachedTo;
    }
    return dev;
}

void SetHandler(PDEVICE_OBJECT device, Handler handler) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handlers[device] = std::move(handler);
}

void DeleteDevice(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT lower = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_handlers.erase(device);
        auto it = g_lower.find(device);
        if (it != g_lower.end()) {
            lower = it->second;
            g_lower.erase(it);
        }
        if (g_lastAdded == device) g_lastAdded = nullptr;
    }
    if (lower != nullptr) IoDetachDevice(lower);
    IoDeleteDevice(device);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS SkipTo(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

void SetAddDeviceClearsInitializing(bool clears) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_clearInitializing = clears;
}

PDEVICE_OBJECT LastAddedDevice() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lastAdded;
}

}  // namespace kt
