// Driver and device objects: loading and unloading drivers, creating,
// naming, attaching, detaching and deleting device objects.
//
// The kernel owns the memory of both kinds of object. A device object and its
// extension are one zero-filled allocation; the extension follows the object,
// 16-byte aligned. A deleted device object loses its name and leaves its
// driver's list at once; its memory lives on while a reference (a client
// handle) is open, as on the platform, and is freed when the last one goes:
// it is then filled with 0xDF and kept aside, so that any later use of it
// through the kernel (a request sent to it, attaching or detaching it,
// deleting it again, an event or spin lock in its extension) is reported as
// DEVICE_OBJECT_DELETED_USED naming the call site. Major functions a driver
// does not install complete with STATUS_INVALID_DEVICE_REQUEST.
//
// References follow the object manager: the object holds one of its own
// from creation until IoDeleteDevice has taken its name away (so a name
// lookup that finds it can always reference it first, as the lookup does
// under the directory lock); a lookup, a client handle and the Plug and Play
// manager's requests hold one each. A device object deleted but still
// referenced is delete-pending: an open that finds it is refused
// (OpenCheckDevice), while requests on handles already open still reach its
// driver.
//
// When a driver's last device object is deleted, the pool it still holds is
// reported as leaked once the driver's current routine has returned (so that
// a removal routine that deletes its device object and then frees the rest
// is judged on what it leaves behind).
#include <string.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "kernel_internal.h"
#include "verifier.h"

namespace sim {
namespace kernel {

struct DriverRecord {
    DRIVER_OBJECT Object;
    DRIVER_EXTENSION Extension;
    std::u16string NameBuffer;
    std::string Name;
    int Devices = 0;
    bool Unloaded = false;
    bool LeakCheckPending = false;
};

struct DeviceRecord {
    PDEVICE_OBJECT Device = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
    std::string Name;  // empty when unnamed
    PDEVICE_OBJECT Lower = nullptr;
    int References = 1;  // the object's own until its deletion has removed its name
    size_t Bytes = 0;
    bool Deleted = false;
    bool Freed = false;  // deleted and unreferenced: memory poisoned
    std::string DeleteSite;
};

namespace {

std::mutex g_mutex;
std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> g_drivers;
std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> g_devices;
// Freed device memory by start address, for the checks on later uses.
std::map<uintptr_t, DeviceRecord *> g_freedMemory;
std::atomic<size_t> g_freedCount{0};

// Poisons the memory of a deleted device object nobody refers to any more.
void FreeDeviceLocked(DeviceRecord *r) {
    r->Freed = true;
    memset(r->Device, 0xDF, r->Bytes);
    g_freedMemory[reinterpret_cast<uintptr_t>(r->Device)] = r;
    ++g_freedCount;
}

// The freed device whose memory holds p (g_mutex held), or nullptr.
DeviceRecord *FreedMemoryLocked(const void *p) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = g_freedMemory.upper_bound(a);
    if (it == g_freedMemory.begin()) return nullptr;
    --it;
    return a < it->first + it->second->Bytes ? it->second : nullptr;
}

std::string FreedDetail(DeviceRecord *r, const char *routine, const char *what) {
    return std::string(routine) + " on " + what + " device object " +
           (r->Name.empty() ? std::string("(unnamed)") : r->Name) + " deleted at " + r->DeleteSite +
           " and freed when no handle referred to it any more";
}

DeviceRecord *FindDeviceLocked(PDEVICE_OBJECT device) {
    auto it = g_devices.find(device);
    return it == g_devices.end() ? nullptr : it->second.get();
}

DriverRecord *FindDriverLocked(PDRIVER_OBJECT driver) {
    auto it = g_drivers.find(driver);
    return it == g_drivers.end() ? nullptr : it->second.get();
}

constexpr size_t Round16(size_t n) { return (n + 15) & ~size_t(15); }

// The I/O manager's routine for major functions a driver leaves empty.
NTSTATUS DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void RunLeakCheck(PDRIVER_OBJECT driver) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DriverRecord *d = FindDriverLocked(driver);
        if (d == nullptr || !d->LeakCheckPending) return;
        d->LeakCheckPending = false;
        if (d->Devices != 0) return;
    }
    PoolReportLeaks(driver, "when its last device object was deleted");
    MdlReportLeaks(driver, "when its last device object was deleted");
}

bool InFrameOf(PDRIVER_OBJECT driver) {
    for (PDRIVER_OBJECT d : CurrentThread().Drivers) {
        if (d == driver) return true;
    }
    return false;
}

// Marks driver unloaded and reports its device objects still present and
// the pool it still holds.
void MarkUnloadedAndReport(PDRIVER_OBJECT driver, const char *when) {
    std::vector<std::string> leftovers;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DriverRecord *d = FindDriverLocked(driver);
        d->Unloaded = true;
        d->LeakCheckPending = false;
        name = d->Name;
        for (auto &kv : g_devices) {
            if (kv.second->Driver == driver && !kv.second->Deleted) {
                leftovers.push_back(kv.second->Name.empty() ? "(unnamed)" : kv.second->Name);
            }
        }
    }
    for (auto &n : leftovers) {
        Report(rule::DEVICE_NOT_DELETED, name,
               "device object " + n + " of " + name + " still present " + when);
    }
    PoolReportLeaks(driver, when);
    MdlReportLeaks(driver, when);
}

}  // namespace

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    DeviceRecord *r = FindDeviceLocked(device);
    if (r != nullptr && r->Freed) return nullptr;
    while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    DeviceRecord *r = FindDeviceLocked(device);
    while (r != nullptr && r->Lower != nullptr) {
        device = r->Lower;
        r = FindDeviceLocked(device);
    }
    return device;
}

bool CheckDeviceAlive(PDEVICE_OBJECT device, const char *routine, const std::string &site) {
    if (g_freedCount == 0) return true;
    std::string detail;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DeviceRecord *r = FindDeviceLocked(device);
        if (r == nullptr || !r->Freed) return true;
        detail = FreedDetail(r, routine, "a");
    }
    Report(rule::DEVICE_OBJECT_DELETED_USED, site, detail);
    return false;
}

bool CheckDeviceMemoryAlive(const void *p, const char *routine, const std::string &site) {
    if (g_freedCount == 0) return true;
    std::string detail;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DeviceRecord *r = FreedMemoryLocked(p);
        if (r == nullptr) return true;
        detail = FreedDetail(r, routine, "an object in the extension of the");
    }
    Report(rule::DEVICE_OBJECT_DELETED_USED, site, detail);
    return false;
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    DeviceRecord *r = FindDeviceLocked(device);
    return r != nullptr && !r->Deleted;
}

bool IsDriverLoaded(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(g_mutex);
    DriverRecord *d = FindDriverLocked(driver);
    return d != nullptr && !d->Unloaded;
}

void DriverFrameEnded(PDRIVER_OBJECT driver) {
    if (driver == nullptr || InFrameOf(driver)) return;
    RunLeakCheck(driver);
}

void ReferenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (DeviceRecord *r = FindDeviceLocked(device)) ++r->References;
}

void DereferenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    DeviceRecord *r = FindDeviceLocked(device);
    if (r == nullptr) return;
    if (--r->References == 0 && r->Deleted && !r->Freed) FreeDeviceLocked(r);
}

NTSTATUS OpenCheckDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    DeviceRecord *r = FindDeviceLocked(device);
    if (r == nullptr || r->Deleted || (device->Flags & DO_DEVICE_INITIALIZING) != 0) {
        return STATUS_NO_SUCH_DEVICE;
    }
    return STATUS_SUCCESS;
}

std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return "the kernel";
    std::lock_guard<std::mutex> lock(g_mutex);
    DriverRecord *d = FindDriverLocked(driver);
    return d == nullptr ? "(unknown driver)" : d->Name;
}

void ObjectsReportLeftovers() {
    std::vector<std::string> drivers;
    std::vector<std::pair<std::string, std::string>> devices;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto &kv : g_drivers) {
            if (!kv.second->Unloaded) drivers.push_back(kv.second->Name);
        }
        for (auto &kv : g_devices) {
            if (kv.second->Deleted) continue;
            DriverRecord *d = FindDriverLocked(kv.second->Driver);
            devices.emplace_back(d ? d->Name : "?",
                                 kv.second->Name.empty() ? "(unnamed)" : kv.second->Name);
        }
    }
    for (auto &n : drivers) Report(rule::DRIVER_NOT_UNLOADED, n, n + " still loaded at shutdown");
    for (auto &d : devices) {
        Report(rule::DEVICE_NOT_DELETED, d.first,
               "device object " + d.second + " of " + d.first + " still present at shutdown");
    }
}

void ObjectsReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto &kv : g_devices) KernelFree(kv.first);
    g_devices.clear();
    g_drivers.clear();
    g_freedMemory.clear();
    g_freedCount = 0;
}

}  // namespace kernel

using namespace kernel;

PDRIVER_OBJECT LoadDriver(const char *name, PDRIVER_INITIALIZE entry, NTSTATUS *status) {
    auto rec = std::make_unique<DriverRecord>();
    memset(&rec->Object, 0, sizeof(rec->Object));
    memset(&rec->Extension, 0, sizeof(rec->Extension));
    rec->Name = std::string("\\Driver\\") + name;
    rec->NameBuffer.assign(rec->Name.begin(), rec->Name.end());
    PDRIVER_OBJECT obj = &rec->Object;
    obj->Type = IO_TYPE_DRIVER;
    obj->Size = sizeof(DRIVER_OBJECT);
    obj->DriverExtension = &rec->Extension;
    rec->Extension.DriverObject = obj;
    obj->DriverName.Buffer = const_cast<PWSTR>(rec->NameBuffer.c_str());
    obj->DriverName.Length = static_cast<USHORT>(rec->NameBuffer.size() * sizeof(WCHAR));
    obj->DriverName.MaximumLength = obj->DriverName.Length;
    obj->DriverInit = entry;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) obj->MajorFunction[i] = DefaultDispatch;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_drivers[obj] = std::move(rec);
    }

    std::u16string registry = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    for (const char *p = name; *p; ++p) registry += static_cast<char16_t>(*p);
    UNICODE_STRING registryPath;
    registryPath.Buffer = const_cast<PWSTR>(registry.c_str());
    registryPath.Length = static_cast<USHORT>(registry.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;

    ThreadState &t = CurrentThread();
    KIRQL saved = t.Irql;
    t.Irql = PASSIVE_LEVEL;
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    CallIntoDriver(obj, "DriverEntry", [&] { st = entry(obj, &registryPath); });
    t.Irql = saved;
    if (status != nullptr) *status = st;
    if (!NT_SUCCESS(st)) {
        // The object stays in the table, unloaded, so stray pointers to it
        // still resolve to a name in reports. A failing entry must undo
        // what it did.
        MarkUnloadedAndReport(obj, "after a failing DriverEntry");
        return nullptr;
    }
    return obj;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DriverRecord *d = FindDriverLocked(driver);
        if (d == nullptr || d->Unloaded) return;
    }
    if (driver->DriverUnload != nullptr) {
        ThreadState &t = CurrentThread();
        KIRQL saved = t.Irql;
        t.Irql = PASSIVE_LEVEL;
        CallIntoDriver(driver, "unload routine", [&] { driver->DriverUnload(driver); });
        t.Irql = saved;
    }
    MarkUnloadedAndReport(driver, "at unload");
}

}  // namespace sim

using namespace sim::kernel;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                   ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT *DeviceObject, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice", site);
    *DeviceObject = nullptr;
    if (!IsDriverLoaded(DriverObject)) {
        Report(rule::INVALID_PARAMETER, site, "IoCreateDevice with an unknown driver object");
        return STATUS_INVALID_PARAMETER;
    }
    std::string name;
    if (DeviceName != nullptr) {
        name = ToNarrow(DeviceName);
        if (name.empty() || name[0] != '\\') return STATUS_OBJECT_NAME_INVALID;
    }
    if (AllocationShouldFail(site)) return STATUS_INSUFFICIENT_RESOURCES;

    size_t bytes = Round16(sizeof(DEVICE_OBJECT)) + Round16(DeviceExtensionSize);
    PDEVICE_OBJECT dev = static_cast<PDEVICE_OBJECT>(KernelAlloc(bytes));
    memset(dev, 0, bytes);
    if (!name.empty()) {
        NTSTATUS st = NameInsertDevice(name, dev);
        if (!NT_SUCCESS(st)) {
            KernelFree(dev);
            return st;
        }
    }
    auto rec = std::make_unique<DeviceRecord>();
    rec->Device = dev;
    rec->Driver = DriverObject;
    rec->Name = name;
    rec->Bytes = bytes;
    dev->Type = IO_TYPE_DEVICE;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->DeviceExtension =
        DeviceExtensionSize != 0 ? reinterpret_cast<char *>(dev) + Round16(sizeof(DEVICE_OBJECT))
                                 : nullptr;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    dev->StackSize = 1;
    dev->DeviceObjectExtension = rec.get();
    KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DriverRecord *d = FindDriverLocked(DriverObject);
        dev->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = dev;
        ++d->Devices;
        d->LeakCheckPending = false;
        g_devices[dev] = std::move(rec);
    }
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice", site);
    const char *violation = nullptr;
    std::string detail;
    std::string name;
    PDRIVER_OBJECT driver = nullptr;
    bool lastDevice = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DeviceRecord *r = FindDeviceLocked(DeviceObject);
        if (r != nullptr && r->Freed) {
            violation = rule::DEVICE_OBJECT_DELETED_USED;
            detail = FreedDetail(r, "IoDeleteDevice", "a");
        } else if (r == nullptr || r->Deleted) {
            violation = rule::INVALID_PARAMETER;
            detail = r == nullptr ? "IoDeleteDevice of an unknown device object"
                                  : "IoDeleteDevice of a device object already deleted at " +
                                        r->DeleteSite;
        } else {
            if (r->Lower != nullptr) {
                violation = rule::DEVICE_DELETED_ATTACHED;
                detail =
                    "IoDeleteDevice of a device object still attached to a lower one "
                    "(IoDetachDevice first)";
                r->Lower->AttachedDevice = nullptr;
                r->Lower = nullptr;
            }
            r->Deleted = true;
            r->DeleteSite = site;
            name = r->Name;
            driver = r->Driver;
            PDEVICE_OBJECT *link = &driver->DeviceObject;
            while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
            if (*link == DeviceObject) *link = DeviceObject->NextDevice;
            DeviceObject->NextDevice = nullptr;
            DriverRecord *d = FindDriverLocked(driver);
            if (--d->Devices == 0) {
                d->LeakCheckPending = true;
                lastDevice = true;
            }
        }
    }
    if (violation != nullptr) Report(violation, site, detail);
    if (driver != nullptr) {
        // The name goes first, then the object's own reference: a lookup
        // that found the name holds a reference of its own by now.
        if (!name.empty()) NameRemoveDevice(name);
        DereferenceDevice(DeviceObject);
    }
    if (lastDevice) DriverFrameEnded(driver);
}

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                         PUNICODE_STRING DeviceName, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink", site);
    std::string link = ToNarrow(SymbolicLinkName);
    std::string target = ToNarrow(DeviceName);
    if (link.empty() || link[0] != '\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (AllocationShouldFail(site)) return STATUS_INSUFFICIENT_RESOURCES;
    return NameInsertLink(link, target);
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink", site);
    return NameRemoveLink(ToNarrow(SymbolicLinkName));
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                      PDEVICE_OBJECT TargetDevice, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack", site);
    if (!CheckDeviceAlive(SourceDevice, "IoAttachDeviceToDeviceStack", site) ||
        !CheckDeviceAlive(TargetDevice, "IoAttachDeviceToDeviceStack", site)) {
        return nullptr;
    }
    if (AttachShouldFail()) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    DeviceRecord *src = FindDeviceLocked(SourceDevice);
    PDEVICE_OBJECT top = TargetDevice;
    while (top != nullptr && top->AttachedDevice != nullptr) top = top->AttachedDevice;
    DeviceRecord *t = FindDeviceLocked(top);
    if (src == nullptr || t == nullptr || t->Deleted || src->Lower != nullptr) return nullptr;
    top->AttachedDevice = SourceDevice;
    src->Lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice, SIM_SITE_DECL) {
    const std::string &site = FormatSite(SimFile, SimLine);
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice", site);
    if (!CheckDeviceAlive(TargetDevice, "IoDetachDevice", site)) return;
    bool bad = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        PDEVICE_OBJECT upper = TargetDevice != nullptr ? TargetDevice->AttachedDevice : nullptr;
        DeviceRecord *u = FindDeviceLocked(upper);
        if (u == nullptr) {
            bad = true;
        } else {
            u->Lower = nullptr;
            TargetDevice->AttachedDevice = nullptr;
        }
    }
    if (bad) Report(rule::INVALID_PARAMETER, site, "IoDetachDevice of a device with nothing attached");
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    if (!CheckDeviceAlive(DeviceObject, "IoGetAttachedDeviceReference", "(unknown)")) return nullptr;
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ReferenceDevice(top);
    return top;
}

extern "C" VOID ObDereferenceObject(PVOID Object) {
    DereferenceDevice(static_cast<PDEVICE_OBJECT>(Object));
}
