// Plug and Play and power managers.
//
// A bus driver reports a child's physical device object; the manager calls
// the function driver's AddDevice for it, which attaches the function
// driver's device object above. Every request afterwards is an IRP the manager
// builds (IoStatus.Status preset to STATUS_NOT_SUPPORTED, as the platform
// does), sends to the top of the PDO's stack at PASSIVE_LEVEL from a manager
// thread of its own, and waits for. Requests for one device are serialised;
// requests for different devices may run at once. Power requests are
// IRP_MJ_POWER delivered with PoCallDriver.
#include <string.h>

#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "irp_table.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

std::mutex g_mutex;
std::map<PDEVICE_OBJECT, std::shared_ptr<std::mutex>> g_serial;

std::shared_ptr<std::mutex> SerialFor(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto &m = g_serial[pdo];
    if (!m) m = std::make_shared<std::mutex>();
    return m;
}

void Forget(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_serial.erase(pdo);
}

// Runs fn on a fresh manager thread at PASSIVE_LEVEL, one at a time per PDO.
void OnManagerThread(PDEVICE_OBJECT pdo, const std::function<void()> &fn) {
    std::shared_ptr<std::mutex> serial = SerialFor(pdo);
    std::thread worker([&] {
        std::lock_guard<std::mutex> one(*serial);
        fn();
    });
    worker.join();
}

// Sends one PnP or power IRP to the top of pdo's stack and waits for it.
NTSTATUS SendStackRequest(PDEVICE_OBJECT pdo, IrpKind kind, UCHAR major, UCHAR minor,
                          const std::function<void(PIO_STACK_LOCATION)> &setup,
                          const std::string &what) {
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    // The manager holds the PDO for the time of the request: a bus driver
    // that deletes it while removing it leaves the memory to the manager,
    // which lets it go once the removal has come back.
    ReferenceDevice(pdo);
    OnManagerThread(pdo, [&] {
        PDEVICE_OBJECT top = TopOfStack(pdo);
        const std::string site = "(" + std::string(kind == IrpKind::Power ? "power" : "PnP") +
                                 " manager)";
        PIRP irp = IrpCreate(top->StackSize, kind, site);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->Tail.Overlay.Thread = &CurrentThread();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->MinorFunction = minor;
        if (setup) setup(next);
        auto waiter = std::make_shared<RequestWaiter>();
        IrpAttachWaiter(irp, waiter);
        NTSTATUS status = CallDriver(top, irp, site, kind == IrpKind::Power);
        result = AwaitRequest(irp, status, waiter, rule::PNP_REQUEST_NEVER_COMPLETED,
                              rule::PNP_REQUEST_NEVER_COMPLETED, what)
                     .Status;
    });
    DereferenceDevice(pdo);
    return result;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const char *name,
                 const std::function<void(PIO_STACK_LOCATION)> &setup = nullptr) {
    if (pdo == nullptr || !IsLiveDevice(pdo)) return STATUS_NO_SUCH_DEVICE;
    return SendStackRequest(pdo, IrpKind::Pnp, IRP_MJ_PNP, minor, setup, name);
}

}  // namespace

void PnpReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_serial.clear();
}

}  // namespace kernel

using namespace kernel;

NTSTATUS PnpReportChild(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
    if (pdo == nullptr || !IsLiveDevice(pdo) || !IsDriverLoaded(functionDriver)) {
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension->AddDevice;
    if (addDevice == nullptr) return STATUS_NOT_SUPPORTED;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    OnManagerThread(pdo, [&] {
        CallIntoDriver(functionDriver, "AddDevice",
                       [&] { status = addDevice(functionDriver, pdo); });
    });
    // The function driver must finish initialising the device object it
    // attached before requests can reach it.
    PDEVICE_OBJECT top = TopOfStack(pdo);
    if (NT_SUCCESS(status) && top != pdo && (top->Flags & DO_DEVICE_INITIALIZING)) {
        Report(rule::DEVICE_INITIALIZING_NOT_CLEARED, "(" + DriverName(functionDriver) + " AddDevice)",
               DriverName(functionDriver) +
                   " AddDevice left DO_DEVICE_INITIALIZING set on its device object");
    }
    return status;
}

NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo) {
    return SendPnp(pdo, IRP_MN_START_DEVICE, "IRP_MN_START_DEVICE");
}

NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo) {
    return SendPnp(pdo, IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE");
}

NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *caps) {
    // The request carries the manager's own copy, as the platform's does.
    auto copy = std::make_unique<DEVICE_CAPABILITIES>(*caps);
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, "IRP_MN_QUERY_CAPABILITIES",
                              [&](PIO_STACK_LOCATION next) {
                                  next->Parameters.DeviceCapabilities.Capabilities = copy.get();
                              });
    *caps = *copy;
    return status;
}

NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo) {
    return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL");
}

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE, "IRP_MN_REMOVE_DEVICE");
    // The drivers above the PDO must have detached and deleted their device
    // objects by the time the removal has come back.
    PDEVICE_OBJECT top = TopOfStack(pdo);
    if (top != nullptr && top != pdo) {
        Report(rule::REMOVED_DEVICE_STILL_ATTACHED, "(" + DriverName(top->DriverObject) + ")",
               DriverName(top->DriverObject) +
                   " left its device object attached after IRP_MN_REMOVE_DEVICE");
    }
    Forget(pdo);
    return status;
}

NTSTATUS PnpSendMinor(PDEVICE_OBJECT pdo, UCHAR minor) {
    return SendPnp(pdo, minor, "IRP_MJ_PNP minor request");
}

NTSTATUS PoSendPowerRequest(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state) {
    if (pdo == nullptr || !IsLiveDevice(pdo)) return STATUS_NO_SUCH_DEVICE;
    return SendStackRequest(pdo, IrpKind::Power, IRP_MJ_POWER, minor,
                            [&](PIO_STACK_LOCATION next) {
                                next->Parameters.Power.Type = type;
                                next->Parameters.Power.State = state;
                                next->Parameters.Power.ShutdownType = PowerActionNone;
                            },
                            "IRP_MJ_POWER");
}

}  // namespace sim
