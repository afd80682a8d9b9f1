// User-mode clients: open, close and device-control requests, with the
// I/O manager's buffer handling.
//
// A Win32 device path "\\.\NAME" names the link "\DosDevices\NAME", which leads
// to a device object; every request through the handle goes to the top of that
// device's stack, in the calling thread at PASSIVE_LEVEL, as a client IRP with
// RequestorMode UserMode and the handle's file object. The name lookup
// references the device object it finds, and an open of one that is deleted
// (delete-pending) or still initializing fails STATUS_NO_SUCH_DEVICE without
// a create request; a create already on its way when the driver deletes the
// device object reaches the driver. The handle keeps the lookup's reference,
// so requests still reach its driver after IoDeleteDevice; the driver
// decides what to do with them.
//
// Device-control buffers, as NtDeviceIoControlFile handles them:
//   METHOD_BUFFERED    one system buffer of max(input, output) bytes holding
//                      the input (the rest poisoned); after completion the
//                      first Information bytes go back to the output buffer
//                      unless the status is an error (never more than the
//                      output length: more is a violation).
//   METHOD_IN_DIRECT,  the input in a system buffer; the output buffer locked
//   METHOD_OUT_DIRECT  and described by MdlAddress (no MDL when its length is 0)
//                      by its address in the client's pages (client_pages.cpp:
//                      the kernel's mapping of it is another address, gone at
//                      completion; a buffer in the client's own pages,
//                      ClientAlloc, is not copied). A test client may hand a METHOD_IN_DIRECT
//                      buffer over read-only; any other read-only output
//                      buffer fails the probe with STATUS_ACCESS_VIOLATION.
//   METHOD_NEITHER     the client's addresses in Type3InputBuffer and UserBuffer.
#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>

#include "irp_table.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

struct HandleRecord {
    PDEVICE_OBJECT Device;
    PFILE_OBJECT File;
    std::string Path;
    PDEVICE_OBJECT Pdo;  // bottom of the device's stack when opened
};

std::mutex g_mutex;
std::map<ClientHandle, HandleRecord> g_handles;
ClientHandle g_nextHandle = 4;

const std::string kClientSite = "(client request)";

bool LookupHandle(ClientHandle h, HandleRecord *out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_handles.find(h);
    if (it == g_handles.end()) return false;
    *out = it->second;
    return true;
}

// Builds a client IRP for device's stack with its next location prepared.
PIRP NewClientIrp(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major,
                  std::shared_ptr<RequestWaiter> *waiter) {
    PIRP irp = IrpCreate(top->StackSize, IrpKind::Client, kClientSite);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = &CurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    *waiter = std::make_shared<RequestWaiter>();
    IrpAttachWaiter(irp, *waiter);
    return irp;
}

IoResult Send(PDEVICE_OBJECT top, PIRP irp, const std::shared_ptr<RequestWaiter> &waiter,
              const std::string &what) {
    ThreadState &t = CurrentThread();
    if (t.Irql != PASSIVE_LEVEL) {
        Report(rule::IRQL_TOO_HIGH, kClientSite,
               "client request issued at IRQL " + std::to_string(t.Irql));
    }
    NTSTATUS status = CallDriver(top, irp, kClientSite, false);
    return AwaitRequest(irp, status, waiter, rule::CLIENT_REQUEST_NEVER_COMPLETED,
                        rule::CLIENT_REQUEST_NOT_COMPLETED, what);
}

// The device a handle's requests go to, or nullptr when its driver is gone.
PDEVICE_OBJECT TargetOf(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT top = TopOfStack(device);
    if (top == nullptr || !IsDriverLoaded(top->DriverObject)) return nullptr;
    return top;
}

}  // namespace

void ClientReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto &kv : g_handles) KernelFree(kv.second.File);
    g_handles.clear();
    g_nextHandle = 4;
}

size_t ClientHandlesOnStack(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t n = 0;
    for (auto &kv : g_handles) n += kv.second.Pdo == pdo;
    return n;
}

void ClientReportLeftovers() {
    std::vector<std::string> open;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto &kv : g_handles) open.push_back(kv.second.Path);
    }
    for (auto &p : open) Report(rule::HANDLE_NOT_CLOSED, "(client)", "handle to " + p + " still open");
}

}  // namespace kernel

using namespace kernel;

NTSTATUS ClientOpen(const char *win32Path, ClientHandle *handle) {
    std::string path = win32Path != nullptr ? win32Path : "";
    std::string ntName;
    if (path.rfind("\\\\.\\", 0) == 0) {
        ntName = "\\DosDevices\\" + path.substr(4);
    } else if (!path.empty() && path[0] == '\\') {
        ntName = path;
    } else {
        return STATUS_OBJECT_NAME_INVALID;
    }
    // The lookup references the device object it finds; that reference
    // becomes the handle's, or goes when the open fails.
    PDEVICE_OBJECT device = NameResolveReferenced(ntName);
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS refused = OpenCheckDevice(device);
    PDEVICE_OBJECT top = NT_SUCCESS(refused) ? TargetOf(device) : nullptr;
    if (top == nullptr) {
        DereferenceDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    PFILE_OBJECT file = static_cast<PFILE_OBJECT>(KernelAlloc(128));
    memset(file, 0, 128);
    std::shared_ptr<RequestWaiter> waiter;
    PIRP irp = NewClientIrp(top, file, IRP_MJ_CREATE, &waiter);
    IoResult r = Send(top, irp, waiter, "IRP_MJ_CREATE from a client");
    if (!NT_SUCCESS(r.Status)) {
        KernelFree(file);
        DereferenceDevice(device);
        return r.Status;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    ClientHandle h = g_nextHandle;
    g_nextHandle += 4;
    g_handles[h] = HandleRecord{device, file, path, BottomOfStack(device)};
    *handle = h;
    return r.Status;
}

NTSTATUS ClientClose(ClientHandle handle) {
    HandleRecord rec;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_handles.find(handle);
        if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
        rec = it->second;
        g_handles.erase(it);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (PDEVICE_OBJECT top = TargetOf(rec.Device)) {
        // The last handle goes (cleanup, whose status nobody sees), then the
        // file object's last reference (close).
        std::shared_ptr<RequestWaiter> waiter;
        PIRP irp = NewClientIrp(top, rec.File, IRP_MJ_CLEANUP, &waiter);
        Send(top, irp, waiter, "IRP_MJ_CLEANUP from a client");
        irp = NewClientIrp(top, rec.File, IRP_MJ_CLOSE, &waiter);
        status = Send(top, irp, waiter, "IRP_MJ_CLOSE from a client").Status;
    }
    DereferenceDevice(rec.Device);
    KernelFree(rec.File);
    // A device that is gone is removed once its last handle is closed.
    if (ClientHandlesOnStack(rec.Pdo) == 0) PnpLastHandleClosed(rec.Pdo);
    return status;
}

IoResult ClientDeviceIoControl(ClientHandle handle, ULONG ioControlCode, const void *input,
                               ULONG inputLength, void *output, ULONG outputLength) {
    return ClientDeviceIoControlEx(handle, ioControlCode, input, inputLength, output, outputLength,
                                   ClientBufferOptions());
}

IoResult ClientDeviceIoControlEx(ClientHandle handle, ULONG ioControlCode, const void *input,
                                 ULONG inputLength, void *output, ULONG outputLength,
                                 const ClientBufferOptions &options) {
    HandleRecord rec;
    if (!LookupHandle(handle, &rec)) return IoResult{STATUS_INVALID_HANDLE, 0};
    PDEVICE_OBJECT top = TargetOf(rec.Device);
    if (top == nullptr) return IoResult{STATUS_NO_SUCH_DEVICE, 0};
    if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0)) {
        return IoResult{STATUS_INVALID_PARAMETER, 0};
    }
    const ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    // The I/O manager probes an output buffer for writing unless the code
    // only reads it (METHOD_IN_DIRECT).
    if (options.OutputReadOnly && outputLength != 0 && method != METHOD_IN_DIRECT) {
        return IoResult{STATUS_ACCESS_VIOLATION, 0};
    }

    std::shared_ptr<RequestWaiter> waiter;
    PIRP irp = NewClientIrp(top, rec.File, IRP_MJ_DEVICE_CONTROL, &waiter);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    void *systemBuffer = nullptr;
    bool copyBack = false;
    ClientPages *pages = nullptr;
    switch (method) {
        case METHOD_BUFFERED: {
            ULONG n = inputLength > outputLength ? inputLength : outputLength;
            if (n != 0) {
                systemBuffer = KernelAlloc(n);
                memset(systemBuffer, 0xBB, n);
                if (inputLength != 0) memcpy(systemBuffer, input, inputLength);
            }
            irp->AssociatedIrp.SystemBuffer = systemBuffer;
            irp->UserBuffer = output;
            copyBack = outputLength != 0;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inputLength != 0) {
                systemBuffer = KernelAlloc(inputLength);
                memcpy(systemBuffer, input, inputLength);
                irp->AssociatedIrp.SystemBuffer = systemBuffer;
            }
            if (outputLength != 0) {
                PVOID clientVa = output;
                // A buffer in the client's own pages (ClientAlloc) is locked
                // where it lies; any other is copied into client pages.
                if (options.OutputReadOnly || !ClientPagesOwned(output, outputLength))
                    pages = ClientPagesCreate(output, outputLength, options.OutputReadOnly, &clientVa);
                irp->MdlAddress = MdlCreate(clientVa, outputLength);
                irp->MdlAddress->MdlFlags |= MDL_PAGES_LOCKED;
                if (method == METHOD_OUT_DIRECT) {
                    irp->MdlAddress->MdlFlags |= MDL_WRITE_OPERATION;
                }
            }
            irp->UserBuffer = irp->MdlAddress != nullptr ? MmGetMdlVirtualAddress(irp->MdlAddress)
                                                         : output;
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(input);
            irp->UserBuffer = output;
            break;
    }
    IrpSetBuffers(irp, systemBuffer, output, outputLength, copyBack, pages);
    char what[96];
    snprintf(what, sizeof what, "IRP_MJ_DEVICE_CONTROL 0x%08X from a client", ioControlCode);
    return Send(top, irp, waiter, what);
}

}  // namespace sim
