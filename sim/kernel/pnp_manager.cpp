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
//
// The manager's order, as on the platform: a stop or an orderly removal is
// preceded by its query (IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE);
// when a driver fails the query, or a test vetoes it after the stack agreed
// (PnpVetoNextQuery: another component of the system saying no), the stack
// gets IRP_MN_CANCEL_STOP_DEVICE or IRP_MN_CANCEL_REMOVE_DEVICE and the stop or
// removal does not happen. A device that is gone (PnpDeviceGone) gets
// IRP_MN_SURPRISE_REMOVAL at once and IRP_MN_REMOVE_DEVICE only when the last
// client handle to its stack has been closed; until then requests keep
// arriving on the open handles. A removal after a surprise removal has no query.
#include <string.h>

#include <map>
#include <set>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "irp_table.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

struct DeviceNode {
    std::shared_ptr<std::mutex> Serial = std::make_shared<std::mutex>();
    bool SurpriseRemoved = false;
    bool RemovePending = false;  // gone; removal waits for the last handle
    std::set<UCHAR> Vetoes;      // queries a test vetoes once
};

std::mutex g_mutex;
std::map<PDEVICE_OBJECT, DeviceNode> g_nodes;

std::shared_ptr<std::mutex> SerialFor(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_nodes[pdo].Serial;
}

void Forget(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nodes.erase(pdo);
}

bool TakeVeto(PDEVICE_OBJECT pdo, UCHAR query) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_nodes.find(pdo);
    return it != g_nodes.end() && it->second.Vetoes.erase(query) != 0;
}

// Manager threads: each runs one request at a time and then waits for the
// next, as starting a thread for every request costs more than the request
// (a fuzz input sends several). A thread that finishes a request leaves it as
// a thread that ends would: at PASSIVE_LEVEL, its APCs delivered, later ones
// running where they are queued.
struct ManagerJob {
    const std::function<void()> *Fn;
    bool Done = false;
};

struct ManagerThreads {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::deque<ManagerJob *> Jobs;
    unsigned Idle = 0;
};

// Never destroyed: its threads live as long as the process.
ManagerThreads &Managers() {
    static ManagerThreads *managers = new ManagerThreads;
    return *managers;
}

void ManagerThreadMain() {
    ManagerThreads &m = Managers();
    std::unique_lock<std::mutex> lock(m.Mutex);
    for (;;) {
        ++m.Idle;
        m.Changed.wait(lock, [&] { return !m.Jobs.empty(); });
        --m.Idle;
        ManagerJob *job = m.Jobs.front();
        m.Jobs.pop_front();
        lock.unlock();
        (*job->Fn)();
        ThreadState &t = CurrentThread();
        t.Irql = PASSIVE_LEVEL;
        DeliverApcs();
        {
            std::lock_guard<std::mutex> apc(t.Apc->Mutex);
            t.Apc->Alive = false;
        }
        t.Apc = std::make_shared<ApcQueue>();
        t.Drivers.clear();
        t.Locks.clear();
        t.CompletionDepth = 0;
        t.NestingReported = false;
        lock.lock();
        job->Done = true;
        m.Changed.notify_all();
    }
}

// Runs fn on a manager thread at PASSIVE_LEVEL, one at a time per PDO.
void OnManagerThread(PDEVICE_OBJECT pdo, const std::function<void()> &fn) {
    std::shared_ptr<std::mutex> serial = SerialFor(pdo);
    LentTime lent;  // the caller's share of virtual time goes with the request
    const std::function<void()> work = [&] {
        lent.Adopt();
        {
            std::lock_guard<std::mutex> one(*serial);
            fn();
        }
        lent.GiveBack();
    };
    ManagerJob job{&work};
    ManagerThreads &m = Managers();
    std::unique_lock<std::mutex> lock(m.Mutex);
    m.Jobs.push_back(&job);
    if (m.Idle < m.Jobs.size()) std::thread(ManagerThreadMain).detach();
    m.Changed.notify_all();
    m.Changed.wait(lock, [&] { return job.Done; });
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

// A query, then the request itself, or the cancel when the query failed or
// was vetoed.
NTSTATUS QueryThenSend(PDEVICE_OBJECT pdo, UCHAR query, const char *queryName, UCHAR cancel,
                       const char *cancelName, UCHAR minor, const char *name) {
    NTSTATUS status = SendPnp(pdo, query, queryName);
    if (NT_SUCCESS(status) && TakeVeto(pdo, query)) status = STATUS_PLUGPLAY_QUERY_VETOED;
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, cancel, cancelName);
        return status;
    }
    return SendPnp(pdo, minor, name);
}

NTSTATUS SendRemove(PDEVICE_OBJECT pdo) {
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

}  // namespace

void PnpReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nodes.clear();
}

NTSTATUS PnpLastHandleClosed(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_nodes.find(pdo);
        if (it == g_nodes.end() || !it->second.RemovePending) return STATUS_PENDING;
        it->second.RemovePending = false;  // whoever clears it sends the removal
    }
    return SendRemove(pdo);
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
    return QueryThenSend(pdo, IRP_MN_QUERY_STOP_DEVICE, "IRP_MN_QUERY_STOP_DEVICE",
                         IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE", IRP_MN_STOP_DEVICE,
                         "IRP_MN_STOP_DEVICE");
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
    NTSTATUS status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, "IRP_MN_SURPRISE_REMOVAL");
    if (status != STATUS_NO_SUCH_DEVICE) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_nodes[pdo].SurpriseRemoved = true;
    }
    return status;
}

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo) {
    if (pdo == nullptr || !IsLiveDevice(pdo)) return STATUS_NO_SUCH_DEVICE;
    bool surprised;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        DeviceNode &node = g_nodes[pdo];
        surprised = node.SurpriseRemoved;
        node.RemovePending = false;
    }
    if (surprised) return SendRemove(pdo);
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE, "IRP_MN_QUERY_REMOVE_DEVICE");
    if (NT_SUCCESS(status) && TakeVeto(pdo, IRP_MN_QUERY_REMOVE_DEVICE)) {
        status = STATUS_PLUGPLAY_QUERY_VETOED;
    }
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE");
        return status;
    }
    return SendRemove(pdo);
}

NTSTATUS PnpDeviceGone(PDEVICE_OBJECT pdo) {
    if (pdo == nullptr || !IsLiveDevice(pdo)) return STATUS_NO_SUCH_DEVICE;
    bool surprised;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        surprised = g_nodes[pdo].SurpriseRemoved;
    }
    // A stack with a function driver above the PDO hears of it first.
    PDEVICE_OBJECT top = TopOfStack(pdo);
    if (!surprised && top != nullptr && top != pdo) PnpSurpriseRemoval(pdo);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_nodes[pdo].RemovePending = true;
    }
    // Pending while a handle is open: its close sends the removal.
    if (ClientHandlesOnStack(pdo) != 0) return STATUS_PENDING;
    return PnpLastHandleClosed(pdo);
}

void PnpVetoNextQuery(PDEVICE_OBJECT pdo, UCHAR queryMinor) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nodes[pdo].Vetoes.insert(queryMinor);
}

NTSTATUS PnpSendMinor(PDEVICE_OBJECT pdo, UCHAR minor) {
    return SendPnp(pdo, minor, "IRP_MJ_PNP minor request");
}

NTSTATUS PoSendPowerRequest(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state) {
    if (pdo == nullptr || !IsLiveDevice(pdo)) return STATUS_NO_SUCH_DEVICE;
    return SendStackRequest(
        pdo, IrpKind::Power, IRP_MJ_POWER, minor,
        [&](PIO_STACK_LOCATION next) {
            next->Parameters.Power.Type = type;
            next->Parameters.Power.State = state;
            next->Parameters.Power.ShutdownType = PowerActionNone;
        },
        "IRP_MJ_POWER");
}

}  // namespace sim
