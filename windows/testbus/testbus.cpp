// tavrinoscope-testbus.sys: a USB bus driver for Wine's kernel emulation only,
// which plugs the reference camera (the host emulation's camera model) so the
// real driver image can be run end to end in a second, independent kernel.
//
// DriverEntry creates the bus device and the camera's PDO and reports the PDO
// in the bus relations; Wine's Plug and Play manager then asks the PDO for its
// IDs, finds the installed driver package by hardware ID, loads the function
// driver's service and calls its AddDevice with this PDO. The PDO answers the
// Plug and Play and power requests a USB hub's PDO answers, and serves
// IOCTL_INTERNAL_USB_SUBMIT_URB, IOCTL_INTERNAL_USB_GET_PORT_STATUS and
// IOCTL_INTERNAL_USB_RESET_PORT. Transfers are queued per endpoint with a
// cancel routine and completed by the bus's clock thread, one pass a
// millisecond (a USB frame), as a host controller's completion DPC would
// complete them, with the IRQL raised to DISPATCH_LEVEL around the
// completions (Wine emulates the IRQL register and checks nothing), outside
// the bus's spin lock.
//
// The function driver is loaded after this one; when its START_DEVICE request
// reaches the PDO, the bus points the driver's import slots for the routines
// Wine lacks at the harness's own (import_patches.h), before any client
// request can reach the driver.
//
// Built with mingw-w64 and the C++ run time linked in statically: this image
// never ships, and is loaded only by Wine (which binds its msvcrt imports).
// The interface GUIDs the DDK headers declare are defined in this file.
#define INITGUID
#include "ddk.h"

#include <stdio.h>
#include <wchar.h>

#include "camera_port.h"
#include "sim/urb_answer.h"
#include "sim/urb_setup.h"
#include "sim/usbdi_interface.h"
#include "import_patches.h"

extern "C" {
extern char __ImageBase;
void __main(void);
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Without the start files there is no atexit; the run time's exit-time
// clean-ups are not needed in an image that is only ever unloaded with its
// process.
int atexit(void (*function)(void)) {
    (void)function;
    return 0;
}
}

namespace {

const ULONG kTag = 'BtsT';
const ULONG kMaxQueued = 4096;

struct Transfer {
    LIST_ENTRY Link;
    PIRP Irp;
    PURB Urb;
    UCHAR Endpoint;      // queue: 0 for the default pipe and pipe requests
    UCHAR PipeEndpoint;  // the data pipe's endpoint, for data transfers
    UCHAR PipeType;
    ULONG MaxPacket;
    ULONG Interval;
    PUCHAR Buffer;
    ULONG Length;
    ULONG Done;
    ULONG64 DueFrame;
    ULONG64 IsoStart;  // first microframe
    ULONG IsoPeriod;   // microframes per packet
};

struct Pipe {
    bool Open;
    UCHAR Endpoint;
    UCHAR Type;
    UCHAR Interface;
    UCHAR Interval;
    ULONG MaxPacket;
    ULONG MaxTransfer;
};

const ULONG kMaxPipeHandles = 64;

struct Bus {
    PDEVICE_OBJECT BusDevice;
    PDEVICE_OBJECT Pdo;
    testbus::Camera *Camera;
    KSPIN_LOCK Lock;   // guards everything below and the camera
    LIST_ENTRY Queue;  // every queued transfer, in submission order
    ULONG Queued;
    Pipe Pipes[kMaxPipeHandles];  // a pipe handle is 1 + its index, with a generation
    ULONG Generation;
    PVOID ConfigurationHandle;
    ULONG64 NextIsoMicroframe[256];
    bool Halted[256];  // a bulk or interrupt pipe stopped by an error until it is reset
    LARGE_INTEGER Start;
    LARGE_INTEGER Frequency;
    HANDLE Thread;
    PKTHREAD ThreadObject;
    KEVENT Stop;
    volatile LONG Stopping;
    bool PdoRemoved;
};

Bus *g_bus;  // set before the first request can arrive

ULONG64 NowMicros(Bus *bus) {
    LARGE_INTEGER now = KeQueryPerformanceCounter(nullptr);
    return (ULONG64)(now.QuadPart - bus->Start.QuadPart) * 1000000ull / (ULONG64)bus->Frequency.QuadPart;
}

ULONG64 FrameOf(ULONG64 micros) { return micros / 1000; }

using urbanswer::StatusForUsbd;

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AnswerUrb(PIRP irp, PURB urb, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    return CompleteNow(irp, StatusForUsbd(status));
}

// The buffer of a transfer: the MDL's pages (Wine maps client buffers into
// this process, so the MDL's virtual address is usable as it is) or the
// buffer pointer.
PUCHAR BufferOf(PVOID buffer, PMDL mdl) {
    if (mdl != nullptr) return static_cast<PUCHAR>(MmGetMdlVirtualAddress(mdl));
    return static_cast<PUCHAR>(buffer);
}

// --- pipes ---

USBD_PIPE_HANDLE HandleOf(Bus *bus, ULONG index) {
    return reinterpret_cast<USBD_PIPE_HANDLE>((ULONG_PTR)(((ULONG64)bus->Generation << 16) | (index + 1)));
}

Pipe *FindPipe(Bus *bus, USBD_PIPE_HANDLE handle) {
    const ULONG64 v = (ULONG64)(ULONG_PTR)handle;
    const ULONG index = (ULONG)(v & 0xFFFF);
    if (index == 0 || index > kMaxPipeHandles || (v >> 16) != bus->Generation) return nullptr;
    Pipe *p = &bus->Pipes[index - 1];
    return p->Open ? p : nullptr;
}

void FlushEndpoint(Bus *bus, UCHAR endpoint, USBD_STATUS status, LIST_ENTRY *done);

void ClosePipes(Bus *bus, int interfaceNumber, LIST_ENTRY *done) {
    for (ULONG i = 0; i < kMaxPipeHandles; ++i) {
        Pipe &p = bus->Pipes[i];
        if (!p.Open || (interfaceNumber >= 0 && p.Interface != interfaceNumber)) continue;
        FlushEndpoint(bus, p.Endpoint, USBD_STATUS_CANCELED, done);
        p.Open = false;
    }
}

bool OpenPipes(Bus *bus, UCHAR interfaceNumber, const testbus::SettingLayout &s,
               PUSBD_INTERFACE_INFORMATION info) {
    info->Class = s.Class;
    info->SubClass = s.SubClass;
    info->Protocol = s.Protocol;
    info->Reserved = 0;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>((ULONG_PTR)(0x1000 + interfaceNumber));
    info->NumberOfPipes = s.PipeCount;
    for (ULONG i = 0; i < s.PipeCount; ++i) {
        ULONG slot = 0;
        while (slot < kMaxPipeHandles && bus->Pipes[slot].Open) ++slot;
        if (slot == kMaxPipeHandles) return false;
        const testbus::PipeSpec &e = s.Pipes[i];
        USBD_PIPE_INFORMATION &p = info->Pipes[i];
        p.MaximumPacketSize = (USHORT)e.MaxPacket;
        p.EndpointAddress = e.Address;
        p.Interval = e.Interval;
        p.PipeType = (USBD_PIPE_TYPE)e.Type;
        p.PipeHandle = HandleOf(bus, slot);
        bus->Pipes[slot] = Pipe{true, e.Address, e.Type, interfaceNumber, e.Interval, e.MaxPacket,
                                p.MaximumTransferSize};
        bus->NextIsoMicroframe[e.Address] = 0;
        bus->Halted[e.Address] = false;
    }
    return true;
}

bool DeviceRequest(Bus *bus, UCHAR type, UCHAR request, USHORT value, USHORT index) {
    UCHAR setup[8] = {type, request, (UCHAR)value, (UCHAR)(value >> 8), (UCHAR)index, (UCHAR)(index >> 8), 0, 0};
    ULONG actual = 0;
    return testbus::CameraControl(bus->Camera, setup, nullptr, (uint32_t *)&actual, NowMicros(bus));
}

USBD_STATUS SelectConfiguration(Bus *bus, PURB urb, LIST_ENTRY *done) {
    struct _URB_SELECT_CONFIGURATION &u = urb->UrbSelectConfiguration;
    const UCHAR *config = reinterpret_cast<const UCHAR *>(u.ConfigurationDescriptor);
    if (config == nullptr) {
        if (!DeviceRequest(bus, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0)) return USBD_STATUS_STALL_PID;
        ClosePipes(bus, -1, done);
        bus->ConfigurationHandle = nullptr;
        u.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    const UCHAR value = config[5], interfaces = config[4];
    if (interfaces == 0 || testbus::CameraInterfaceCount(bus->Camera, value) != interfaces)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    // Check every interface record before the device is touched.
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    PUSBD_INTERFACE_INFORMATION info = &u.Interface;
    static testbus::SettingLayout layout;  // under the bus lock
    for (UCHAR i = 0; i < interfaces; ++i) {
        if (reinterpret_cast<PUCHAR>(info) + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) > end)
            return USBD_STATUS_INVALID_PARAMETER;
        if (!testbus::CameraSetting(bus->Camera, value, info->InterfaceNumber, info->AlternateSetting, &layout))
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        if (info->Length < GET_USBD_INTERFACE_SIZE(layout.PipeCount) ||
            reinterpret_cast<PUCHAR>(info) + info->Length > end)
            return USBD_STATUS_INVALID_PARAMETER;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    if (!DeviceRequest(bus, 0x00, USB_REQUEST_SET_CONFIGURATION, value, 0)) return USBD_STATUS_STALL_PID;
    ClosePipes(bus, -1, done);
    ++bus->Generation;
    info = &u.Interface;
    for (UCHAR i = 0; i < interfaces; ++i) {
        testbus::CameraSetting(bus->Camera, value, info->InterfaceNumber, info->AlternateSetting, &layout);
        if (info->AlternateSetting != 0 &&
            !DeviceRequest(bus, 0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber))
            return USBD_STATUS_STALL_PID;
        if (!OpenPipes(bus, info->InterfaceNumber, layout, info)) return USBD_STATUS_INSUFFICIENT_RESOURCES;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    bus->ConfigurationHandle = reinterpret_cast<PVOID>((ULONG_PTR)(0x2000 + bus->Generation));
    u.ConfigurationHandle = bus->ConfigurationHandle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Bus *bus, PURB urb, LIST_ENTRY *done) {
    struct _URB_SELECT_INTERFACE &u = urb->UrbSelectInterface;
    PUSBD_INTERFACE_INFORMATION info = &u.Interface;
    if (bus->ConfigurationHandle == nullptr || u.ConfigurationHandle != bus->ConfigurationHandle)
        return USBD_STATUS_INVALID_PARAMETER;
    static testbus::SettingLayout layout;  // under the bus lock
    if (!testbus::CameraSetting(bus->Camera, 0, info->InterfaceNumber, info->AlternateSetting, &layout))
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    const ULONG head = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
    if (info->Length < GET_USBD_INTERFACE_SIZE(layout.PipeCount) || head + info->Length > urb->UrbHeader.Length)
        return USBD_STATUS_INVALID_PARAMETER;
    if (!DeviceRequest(bus, 0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber))
        return USBD_STATUS_STALL_PID;
    ClosePipes(bus, info->InterfaceNumber, done);
    if (!OpenPipes(bus, info->InterfaceNumber, layout, info)) return USBD_STATUS_INSUFFICIENT_RESOURCES;
    return USBD_STATUS_SUCCESS;
}

// --- control requests ---

// The setup packet of a control URB; false for a URB this bus refuses.
bool DecodeControl(PURB urb, UCHAR setup[8], bool *feature, USBD_STATUS *refusal) {
    const urbsetup::Shape *shape = urbsetup::Find(urb->UrbHeader.Function);
    *refusal = USBD_STATUS_INVALID_URB_FUNCTION;
    if (shape == nullptr) return false;
    *refusal = USBD_STATUS_INVALID_PARAMETER;
    if (urb->UrbHeader.Length != urbsetup::UrbLength(*shape)) return false;
    struct _URB_CONTROL_TRANSFER &c = urb->UrbControlTransfer;
    *feature = urbsetup::IsFeature(*shape);
    USHORT length = 0;
    if (!*feature) {
        if (c.TransferBufferLength > 0xFFFF) return false;
        length = (USHORT)c.TransferBufferLength;
        if (length != 0 && BufferOf(c.TransferBuffer, c.TransferBufferMDL) == nullptr) return false;
    }
    urbsetup::Build(*shape, *urb, length, setup);
    return true;
}

USBD_STATUS RunControl(Bus *bus, Transfer *t) {
    UCHAR setup[8];
    bool feature = false;
    USBD_STATUS refusal;
    if (!DecodeControl(t->Urb, setup, &feature, &refusal)) return refusal;
    struct _URB_CONTROL_TRANSFER &c = t->Urb->UrbControlTransfer;
    const ULONG wLength = setup[6] | (setup[7] << 8);
    PUCHAR buffer = feature ? nullptr : BufferOf(c.TransferBuffer, c.TransferBufferMDL);
    PUCHAR stage = nullptr;
    if (wLength != 0) {
        stage = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, wLength, kTag));
        if (stage == nullptr) return USBD_STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(stage, wLength);
        if (!(setup[0] & 0x80)) RtlCopyMemory(stage, buffer, wLength);
    }
    ULONG actual = 0;
    const bool ok = testbus::CameraControl(bus->Camera, setup, stage, (uint32_t *)&actual, NowMicros(bus));
    if (ok) {
        t->Done = actual < wLength ? actual : wLength;
        if ((setup[0] & 0x80) && t->Done != 0) RtlCopyMemory(buffer, stage, t->Done);
        if (!feature) c.TransferBufferLength = t->Done;
    }
    if (stage != nullptr) ExFreePoolWithTag(stage, kTag);
    return ok ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
}

// --- data transfers ---

bool RunData(Bus *bus, Transfer *t, USBD_STATUS *status) {
    if (testbus::CameraHalted(bus->Camera, t->PipeEndpoint)) {
        *status = USBD_STATUS_STALL_PID;
        return true;
    }
    const ULONG64 now = NowMicros(bus);
    if (!(t->PipeEndpoint & 0x80)) {
        ULONG offset = 0;
        do {
            ULONG n = t->Length - offset < t->MaxPacket ? t->Length - offset : t->MaxPacket;
            testbus::CameraOutPacket(bus->Camera, t->PipeEndpoint, t->Buffer + offset, n, now);
            offset += n;
            if (n < t->MaxPacket) break;
        } while (offset < t->Length);
        t->Done = t->Length;
        *status = USBD_STATUS_SUCCESS;
        return true;
    }
    static UCHAR packet[3 * 1024 + 64];  // under the bus lock
    uint32_t length = 0;
    while (testbus::CameraInPacket(bus->Camera, t->PipeEndpoint, packet, sizeof packet, &length, now)) {
        const ULONG room = t->Length - t->Done;
        if (length > room) {
            if (room != 0) RtlCopyMemory(t->Buffer + t->Done, packet, room);
            t->Done += room;
            *status = USBD_STATUS_DATA_OVERRUN;
            return true;
        }
        if (length != 0) RtlCopyMemory(t->Buffer + t->Done, packet, length);
        t->Done += length;
        if (length < t->MaxPacket || t->Done == t->Length) {
            *status = USBD_STATUS_SUCCESS;
            return true;
        }
    }
    return false;
}

bool RunIsochronous(Bus *bus, Transfer *t, USBD_STATUS *status) {
    struct _URB_ISOCH_TRANSFER &u = t->Urb->UrbIsochronousTransfer;
    const ULONG n = u.NumberOfPackets;
    const ULONG64 nowMicroframe = NowMicros(bus) / 125;
    if (nowMicroframe < t->IsoStart + (ULONG64)n * t->IsoPeriod) return false;
    ULONG errors = 0, moved = 0;
    for (ULONG j = 0; j < n; ++j) {
        USBD_ISO_PACKET_DESCRIPTOR &p = u.IsoPacket[j];
        const ULONG end = j + 1 < n ? u.IsoPacket[j + 1].Offset : t->Length;
        const ULONG room = end - p.Offset;
        const ULONG seq = (ULONG)(t->IsoStart + (ULONG64)j * t->IsoPeriod);
        p.Status = USBD_STATUS_SUCCESS;
        if (t->PipeEndpoint & 0x80) {
            uint32_t copied = 0;
            bool overrun = false;
            testbus::CameraIsoInPacket(bus->Camera, t->PipeEndpoint, seq, t->Buffer + p.Offset, room, &copied,
                                       &overrun);
            p.Length = copied;
            if (overrun) p.Status = USBD_STATUS_DATA_OVERRUN;
        } else {
            testbus::CameraIsoOutPacket(bus->Camera, t->PipeEndpoint, t->Buffer + p.Offset, room);
            p.Length = room;
        }
        moved += p.Length;
        if (!USBD_SUCCESS(p.Status)) ++errors;
    }
    u.ErrorCount = errors;
    t->Done = (t->PipeEndpoint & 0x80) ? moved : t->Length;
    *status = errors == n ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
    return true;
}

// --- the queue ---

// An error other than a cancellation or a departure stops a bulk or
// interrupt pipe until the client resets it, as the host bus does.
bool HaltsPipe(USBD_STATUS status) {
    return ((ULONG)status >> 30) == 3 && status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE;
}

void Finish(Transfer *t, USBD_STATUS status, LIST_ENTRY *done) {
    if (t->Urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && HaltsPipe(status) && g_bus != nullptr)
        g_bus->Halted[t->PipeEndpoint] = true;
    PURB urb = t->Urb;
    urb->UrbHeader.Status = status;
    const USHORT f = urb->UrbHeader.Function;
    if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->Done;
    } else if (f == URB_FUNCTION_ISOCH_TRANSFER) {
        struct _URB_ISOCH_TRANSFER &u = urb->UrbIsochronousTransfer;
        u.TransferBufferLength = t->Done;
        if (status == USBD_STATUS_CANCELED || status == USBD_STATUS_DEVICE_GONE) {
            u.ErrorCount = u.NumberOfPackets;
            for (ULONG j = 0; j < u.NumberOfPackets; ++j) {
                u.IsoPacket[j].Length = 0;
                u.IsoPacket[j].Status = status;
            }
        }
    }
    t->Irp->IoStatus.Status = StatusForUsbd(status);
    t->Irp->IoStatus.Information = 0;
    InsertTailList(done, &t->Link);
}

void CompleteList(LIST_ENTRY *done) {
    while (!IsListEmpty(done)) {
        Transfer *t = CONTAINING_RECORD(RemoveHeadList(done), Transfer, Link);
        PIRP irp = t->Irp;
        ExFreePoolWithTag(t, kTag);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void FlushEndpoint(Bus *bus, UCHAR endpoint, USBD_STATUS status, LIST_ENTRY *done) {
    for (PLIST_ENTRY e = bus->Queue.Flink; e != &bus->Queue;) {
        Transfer *t = CONTAINING_RECORD(e, Transfer, Link);
        e = e->Flink;
        if (t->Endpoint != endpoint) continue;
        if (IoSetCancelRoutine(t->Irp, nullptr) == nullptr) continue;  // its cancel routine has it
        RemoveEntryList(&t->Link);
        --bus->Queued;
        Finish(t, status, done);
    }
    bus->NextIsoMicroframe[endpoint] = 0;
}

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus *bus = g_bus;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    for (PLIST_ENTRY e = bus->Queue.Flink; e != &bus->Queue; e = e->Flink) {
        Transfer *t = CONTAINING_RECORD(e, Transfer, Link);
        if (t->Irp != irp) continue;
        RemoveEntryList(&t->Link);
        --bus->Queued;
        Finish(t, USBD_STATUS_CANCELED, &done);
        break;
    }
    KeReleaseSpinLock(&bus->Lock, old);
    CompleteList(&done);
}

bool EndpointBusy(Bus *bus, UCHAR endpoint) {
    for (PLIST_ENTRY e = bus->Queue.Flink; e != &bus->Queue; e = e->Flink)
        if (CONTAINING_RECORD(e, Transfer, Link)->Endpoint == endpoint) return true;
    return false;
}

// Runs one transfer; false while it must wait (a NAK, its frame not due).
bool Step(Bus *bus, Transfer *t, USBD_STATUS *status, LIST_ENTRY *done) {
    if (FrameOf(NowMicros(bus)) < t->DueFrame) return false;
    switch (t->Urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            *status = SelectConfiguration(bus, t->Urb, done);
            return true;
        case URB_FUNCTION_SELECT_INTERFACE:
            *status = SelectInterface(bus, t->Urb, done);
            return true;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            // A pipe with transfers still queued (being cancelled included) is busy.
            if (EndpointBusy(bus, t->PipeEndpoint)) {
                *status = USBD_STATUS_ERROR_BUSY;
                return true;
            }
            bus->NextIsoMicroframe[t->PipeEndpoint] = 0;
            if (t->Urb->UrbHeader.Function != URB_FUNCTION_SYNC_CLEAR_STALL) bus->Halted[t->PipeEndpoint] = false;
            if (t->PipeType == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
                *status = USBD_STATUS_SUCCESS;
            } else {
                *status = DeviceRequest(bus, 0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, t->PipeEndpoint)
                              ? USBD_STATUS_SUCCESS
                              : USBD_STATUS_STALL_PID;
            }
            return true;
        case URB_FUNCTION_SYNC_RESET_PIPE:
            if (EndpointBusy(bus, t->PipeEndpoint)) {
                *status = USBD_STATUS_ERROR_BUSY;
                return true;
            }
            bus->NextIsoMicroframe[t->PipeEndpoint] = 0;
            bus->Halted[t->PipeEndpoint] = false;
            *status = USBD_STATUS_SUCCESS;
            return true;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return RunData(bus, t, status);
        case URB_FUNCTION_ISOCH_TRANSFER:
            return RunIsochronous(bus, t, status);
        default:
            *status = RunControl(bus, t);
            return true;
    }
}

// One pass over the queue: the endpoints in the order of their addresses,
// as the host bus serves them, each its transfers in submission order.
void ServeQueue(Bus *bus, LIST_ENTRY *done) {
    bool present[256] = {};
    for (PLIST_ENTRY e = bus->Queue.Flink; e != &bus->Queue; e = e->Flink)
        present[CONTAINING_RECORD(e, Transfer, Link)->Endpoint] = true;
    for (ULONG endpoint = 0; endpoint < 256; ++endpoint) {
        if (!present[endpoint] || bus->Halted[endpoint]) continue;  // a halted pipe waits for its reset
        for (PLIST_ENTRY e = bus->Queue.Flink; e != &bus->Queue;) {
            Transfer *t = CONTAINING_RECORD(e, Transfer, Link);
            e = e->Flink;
            if (t->Endpoint != endpoint) continue;
            if (IoSetCancelRoutine(t->Irp, nullptr) == nullptr) break;  // being cancelled; its routine takes it out
            USBD_STATUS status = USBD_STATUS_SUCCESS;
            if (Step(bus, t, &status, done)) {
                RemoveEntryList(&t->Link);
                --bus->Queued;
                Finish(t, status, done);
                continue;
            }
            (void)IoSetCancelRoutine(t->Irp, CancelRoutine);
            if (t->Irp->Cancel && IoSetCancelRoutine(t->Irp, nullptr) != nullptr) {
                RemoveEntryList(&t->Link);
                --bus->Queued;
                Finish(t, USBD_STATUS_CANCELED, done);
                continue;
            }
            break;  // the endpoint waits for this one
        }
    }
}

// The bus clock: a pass over the queue every frame. Completions happen
// here, outside the bus lock, as a completion DPC would run them.
VOID ClockThread(PVOID context) {
    Bus *bus = static_cast<Bus *>(context);
    LARGE_INTEGER frame;
    frame.QuadPart = -10000;  // 1 ms
    for (;;) {
        if (KeWaitForSingleObject(&bus->Stop, Executive, KernelMode, FALSE, &frame) == STATUS_SUCCESS) break;
        LIST_ENTRY done;
        InitializeListHead(&done);
        KIRQL old;
        KeAcquireSpinLock(&bus->Lock, &old);
        ServeQueue(bus, &done);
        KeReleaseSpinLock(&bus->Lock, old);
        if (IsListEmpty(&done)) continue;
        // Wine emulates the IRQL register writes (and tracks nothing).
        KIRQL dpc;
        KeRaiseIrql(DISPATCH_LEVEL, &dpc);
        CompleteList(&done);
        KeLowerIrql(dpc);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS Queue(Bus *bus, PIRP irp, PURB urb, Transfer *t) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    if (bus->Queued >= kMaxQueued) {
        KeReleaseSpinLock(&bus->Lock, old);
        ExFreePoolWithTag(t, kTag);
        return AnswerUrb(irp, urb, USBD_STATUS_INSUFFICIENT_RESOURCES);
    }
    t->DueFrame = FrameOf(NowMicros(bus)) + 1;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    (void)IoSetCancelRoutine(irp, CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Finish(t, USBD_STATUS_CANCELED, &done);
    } else {
        InsertTailList(&bus->Queue, &t->Link);
        ++bus->Queued;
    }
    KeReleaseSpinLock(&bus->Lock, old);
    CompleteList(&done);
    return STATUS_PENDING;
}

NTSTATUS SubmitUrb(Bus *bus, PIRP irp, PURB urb) {
    if (urb == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    if (bus->PdoRemoved) return AnswerUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
        urb->UrbGetCurrentFrameNumber.FrameNumber = (ULONG)FrameOf(NowMicros(bus));
        return AnswerUrb(irp, urb, USBD_STATUS_SUCCESS);
    }
    Transfer *t = static_cast<Transfer *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Transfer), kTag));
    if (t == nullptr) return AnswerUrb(irp, urb, USBD_STATUS_INSUFFICIENT_RESOURCES);
    RtlZeroMemory(t, sizeof *t);
    t->Irp = irp;
    t->Urb = urb;
    USBD_STATUS refusal = USBD_STATUS_SUCCESS;
    KIRQL old;
    switch (function) {
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL: {
            KeAcquireSpinLock(&bus->Lock, &old);
            const Pipe *pipe = FindPipe(bus, urb->UrbPipeRequest.PipeHandle);
            if (pipe == nullptr) {
                refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
            } else if (pipe->MaxPacket == 0) {
                refusal = USBD_STATUS_SUCCESS;  // a zero-bandwidth pipe: nothing to do
            } else if (function == URB_FUNCTION_ABORT_PIPE) {
                LIST_ENTRY done;
                InitializeListHead(&done);
                FlushEndpoint(bus, pipe->Endpoint, USBD_STATUS_CANCELED, &done);
                KeReleaseSpinLock(&bus->Lock, old);
                CompleteList(&done);
                ExFreePoolWithTag(t, kTag);
                return AnswerUrb(irp, urb, USBD_STATUS_SUCCESS);
            } else {
                t->PipeEndpoint = pipe->Endpoint;
                t->PipeType = pipe->Type;
                KeReleaseSpinLock(&bus->Lock, old);
                return Queue(bus, irp, urb, t);
            }
            KeReleaseSpinLock(&bus->Lock, old);
            ExFreePoolWithTag(t, kTag);
            return AnswerUrb(irp, urb, refusal);
        }
        case URB_FUNCTION_SELECT_CONFIGURATION:
        case URB_FUNCTION_SELECT_INTERFACE:
            return Queue(bus, irp, urb, t);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        case URB_FUNCTION_ISOCH_TRANSFER: {
            const bool iso = function == URB_FUNCTION_ISOCH_TRANSFER;
            struct _URB_BULK_OR_INTERRUPT_TRANSFER &b = urb->UrbBulkOrInterruptTransfer;
            KeAcquireSpinLock(&bus->Lock, &old);
            const Pipe *pipe = FindPipe(bus, b.PipeHandle);
            if (pipe == nullptr || pipe->MaxPacket == 0) {
                refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
            } else if ((pipe->Type == USB_ENDPOINT_TYPE_ISOCHRONOUS) != iso ||
                       ((b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != ((pipe->Endpoint & 0x80) != 0)) {
                // MaximumTransferSize is not looked at: unused since USBDI version 0x500.
                refusal = USBD_STATUS_INVALID_PARAMETER;
            } else {
                t->Endpoint = t->PipeEndpoint = pipe->Endpoint;
                t->PipeType = pipe->Type;
                t->MaxPacket = pipe->MaxPacket;
                t->Length = b.TransferBufferLength;
                t->Buffer = BufferOf(b.TransferBuffer, b.TransferBufferMDL);
                if (t->Length != 0 && t->Buffer == nullptr) refusal = USBD_STATUS_INVALID_PARAMETER;
            }
            if (refusal == USBD_STATUS_SUCCESS && iso) {
                struct _URB_ISOCH_TRANSFER &u = urb->UrbIsochronousTransfer;
                const ULONG n = u.NumberOfPackets;
                // High speed: at most 1024 packets, and whole frames of them.
                const ULONG interval = pipe->Interval == 0 ? 1 : (pipe->Interval > 4 ? 4 : pipe->Interval);
                const ULONG perFrame = 8 / (1u << (interval - 1));
                bool ok = n != 0 && n <= 1024 && n % perFrame == 0 &&
                          urb->UrbHeader.Length >= FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket) +
                                                       n * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
                for (ULONG j = 0; ok && j < n; ++j) {
                    const ULONG end = j + 1 < n ? u.IsoPacket[j + 1].Offset : t->Length;
                    ok = u.IsoPacket[j].Offset <= end && end <= t->Length && (j != 0 || u.IsoPacket[0].Offset == 0);
                }
                if (!ok) {
                    refusal = USBD_STATUS_INVALID_PARAMETER;
                } else {
                    u.ErrorCount = 0;
                    t->IsoPeriod = 1u << (interval - 1);
                    const ULONG64 now = NowMicros(bus);
                    const ULONG64 nextFrameStart = (now / 1000 + 1) * 8;
                    ULONG64 start;
                    if (u.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
                        start = bus->NextIsoMicroframe[t->Endpoint] > nextFrameStart ? bus->NextIsoMicroframe[t->Endpoint]
                                                                                     : nextFrameStart;
                    } else {
                        const ULONG frame = (ULONG)FrameOf(now);
                        if ((LONG)(u.StartFrame - frame) <= 0 || (u.StartFrame - frame) > USBD_ISO_START_FRAME_RANGE)
                            refusal = USBD_STATUS_BAD_START_FRAME;
                        start = (ULONG64)u.StartFrame * 8;
                    }
                    if (refusal == USBD_STATUS_SUCCESS) {
                        t->IsoStart = start;
                        bus->NextIsoMicroframe[t->Endpoint] = start + (ULONG64)n * t->IsoPeriod;
                        u.StartFrame = (ULONG)(start / 8);
                    }
                }
            }
            KeReleaseSpinLock(&bus->Lock, old);
            if (refusal != USBD_STATUS_SUCCESS) {
                ExFreePoolWithTag(t, kTag);
                return AnswerUrb(irp, urb, refusal);
            }
            return Queue(bus, irp, urb, t);
        }
        default: {
            UCHAR setup[8];
            bool feature;
            if (!DecodeControl(urb, setup, &feature, &refusal)) {
                ExFreePoolWithTag(t, kTag);
                return AnswerUrb(irp, urb, refusal);
            }
            return Queue(bus, irp, urb, t);
        }
    }
}

NTSTATUS PortRequest(Bus *bus, PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        PULONG word = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (word == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        *word = bus->PdoRemoved ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    if (bus->PdoRemoved) return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    testbus::CameraPortReset(bus->Camera, NowMicros(bus));
    for (ULONG i = 0; i < 256; ++i) bus->NextIsoMicroframe[i] = 0;
    KeReleaseSpinLock(&bus->Lock, old);
    return CompleteNow(irp, STATUS_SUCCESS);
}

// --- Plug and Play and power ---

PWCHAR MultiString(const wchar_t *const *strings, ULONG count) {
    SIZE_T chars = 1;
    for (ULONG i = 0; i < count; ++i) chars += wcslen(strings[i]) + 1;
    PWCHAR out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kTag));
    if (out == nullptr) return nullptr;
    PWCHAR p = out;
    for (ULONG i = 0; i < count; ++i) {
        SIZE_T n = wcslen(strings[i]) + 1;
        RtlCopyMemory(p, strings[i], n * sizeof(WCHAR));
        p += n;
    }
    *p = 0;
    return out;
}

NTSTATUS QueryId(Bus *bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    uint16_t vid = 0, pid = 0, rev = 0;
    testbus::CameraIdentity(bus->Camera, &vid, &pid, &rev);
    wchar_t device[64], hardware[64], compatible[64];
    swprintf(device, 64, L"USB\\VID_%04X&PID_%04X", vid, pid);
    swprintf(hardware, 64, L"USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev);
    swprintf(compatible, 64, L"USB\\Class_FF&SubClass_00&Prot_00");
    PWCHAR id = nullptr;
    switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: {
            const wchar_t *list[] = {device};
            id = MultiString(list, 1);
            break;
        }
        case BusQueryHardwareIDs: {
            const wchar_t *list[] = {hardware, device};
            id = MultiString(list, 2);
            break;
        }
        case BusQueryCompatibleIDs: {
            const wchar_t *list[] = {compatible, L"USB\\Class_FF"};
            id = MultiString(list, 2);
            break;
        }
        case BusQueryInstanceID: {
            const wchar_t *list[] = {L"TESTBUS0001"};
            id = MultiString(list, 1);
            break;
        }
        default:
            return CompleteNow(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    if (id == nullptr) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
    return CompleteNow(irp, STATUS_SUCCESS, (ULONG_PTR)id);
}

// The USB bus interface, version 1 (IRP_MN_QUERY_INTERFACE). BusContext is
// the bus; the references are counted, and one still held when the bus goes
// is printed.
volatile LONG g_interfaceReferences;

VOID InterfaceReference(PVOID context) {
    (void)context;
    InterlockedIncrement(&g_interfaceReferences);
}
VOID InterfaceDereference(PVOID context) {
    (void)context;
    InterlockedDecrement(&g_interfaceReferences);
}
VOID USB_BUSIFFN GetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
    (void)context;
    if (version != nullptr) {
        version->USBDI_Version = 0x600;
        version->Supported_USB_Version = 0x200;
    }
    if (capabilities != nullptr) *capabilities = 0;
}
NTSTATUS USB_BUSIFFN QueryBusTime(PVOID context, PULONG frame) {
    Bus *bus = static_cast<Bus *>(context);
    if (frame == nullptr) return STATUS_INVALID_PARAMETER;
    *frame = (ULONG)(NowMicros(bus) / 1000);
    return STATUS_SUCCESS;
}
BOOLEAN USB_BUSIFFN IsDeviceHighSpeed(PVOID context) {
    Bus *bus = static_cast<Bus *>(context);
    KIRQL old;
    KeAcquireSpinLock(&bus->Lock, &old);
    const bool high = testbus::CameraHighSpeed(bus->Camera);
    KeReleaseSpinLock(&bus->Lock, old);
    return high ? TRUE : FALSE;
}

NTSTATUS QueryInterface(Bus *bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const GUID *type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == nullptr || !IsEqualGUID(*type, USB_BUS_INTERFACE_USBDI_GUID))
        return CompleteNow(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    static const usbdi::BusRoutines routines = {InterfaceReference, InterfaceDereference, GetUsbdiVersion,
                                                QueryBusTime, IsDeviceHighSpeed};
    return CompleteNow(irp, usbdi::Fill(stack, bus, routines));
}

NTSTATUS PdoPnp(Bus *bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID:
            return QueryId(bus, irp);
        case IRP_MN_QUERY_INTERFACE:
            return QueryInterface(bus, irp);
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->DeviceD1 = 0;
            caps->DeviceD2 = 0;
            caps->LockSupported = 0;
            caps->EjectSupported = 0;
            caps->Removable = 1;
            caps->DockDevice = 0;
            caps->UniqueID = 0;
            caps->SilentInstall = 0;
            caps->RawDeviceOK = 0;
            caps->SurpriseRemovalOK = 0;
            caps->Address = 1;
            caps->UINumber = 1;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
            caps->SystemWake = PowerSystemUnspecified;
            caps->DeviceWake = PowerDeviceUnspecified;
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
                return CompleteNow(irp, irp->IoStatus.Status, irp->IoStatus.Information);
            PDEVICE_RELATIONS r = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
            if (r == nullptr) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
            r->Count = 1;
            r->Objects[0] = bus->Pdo;
            ObReferenceObject(bus->Pdo);
            return CompleteNow(irp, STATUS_SUCCESS, (ULONG_PTR)r);
        }
        case IRP_MN_START_DEVICE: {
            PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bus->Pdo);
            const int patched = top != bus->Pdo ? testbus::PatchImports(top->DriverObject->DriverStart) : 0;
            ObDereferenceObject(top);
            if (patched < 0) return CompleteNow(irp, STATUS_DRIVER_UNABLE_TO_LOAD);
            return CompleteNow(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return CompleteNow(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            // The PDO stays while the camera is plugged: the bus deletes it at unload.
            return CompleteNow(irp, STATUS_SUCCESS);
        default:
            return CompleteNow(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

NTSTATUS BusPnp(Bus *bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        PDEVICE_RELATIONS r = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTag));
        if (r == nullptr) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
        r->Count = bus->PdoRemoved ? 0 : 1;
        if (r->Count != 0) {
            r->Objects[0] = bus->Pdo;
            ObReferenceObject(bus->Pdo);
        }
        return CompleteNow(irp, STATUS_SUCCESS, (ULONG_PTR)r);
    }
    return CompleteNow(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    Bus *bus = g_bus;
    return device == bus->Pdo ? PdoPnp(bus, irp) : BusPnp(bus, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    return CompleteNow(irp, status, irp->IoStatus.Information);
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    Bus *bus = g_bus;
    if (device != bus->Pdo) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (code) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(bus, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            return PortRequest(bus, irp, code);
        default:
            return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
}

VOID Unload(PDRIVER_OBJECT driver) {
    (void)driver;
    Bus *bus = g_bus;
    KeSetEvent(&bus->Stop, IO_NO_INCREMENT, FALSE);
    if (bus->ThreadObject != nullptr) {
        KeWaitForSingleObject(bus->ThreadObject, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(bus->ThreadObject);
    }
    ZwClose(bus->Thread);
    if (g_interfaceReferences != 0)
        fprintf(stderr, "testbus: %ld reference(s) on the USB bus interface still held at unload\n",
                (long)g_interfaceReferences);
    testbus::CameraDestroy(bus->Camera);
    IoDeleteDevice(bus->Pdo);
    IoDeleteDevice(bus->BusDevice);
    ExFreePoolWithTag(bus, kTag);
    g_bus = nullptr;
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    // Wine's loader takes an image that imports from kernel32.dll (this one
    // does, through the C++ run time) for a DLL and first calls its entry
    // point as DllMain(image, reason, reserved): answer TRUE and wait for the
    // real DriverEntry call.
    if (reinterpret_cast<PVOID>(driver) == reinterpret_cast<PVOID>(&__ImageBase)) return TRUE;
    (void)registryPath;
    // No start files: run the static constructors here.
    __main();

    NTSTATUS status = testbus::InstallImportPatches();
    if (!NT_SUCCESS(status)) return status;

    Bus *bus = static_cast<Bus *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Bus), kTag));
    if (bus == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(bus, sizeof *bus);
    KeInitializeSpinLock(&bus->Lock);
    InitializeListHead(&bus->Queue);
    KeInitializeEvent(&bus->Stop, NotificationEvent, FALSE);
    bus->Generation = 1;
    bus->Start = KeQueryPerformanceCounter(&bus->Frequency);
    bus->Camera = testbus::CameraCreate();
    if (bus->Camera == nullptr) {
        ExFreePoolWithTag(bus, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    driver->DriverUnload = Unload;

    UNICODE_STRING busName, pdoName;
    RtlInitUnicodeString(&busName, L"\\Device\\TavrinoscopeTestBus");
    RtlInitUnicodeString(&pdoName, L"\\Device\\TavrinoscopeTestBusPort1");
    status = IoCreateDevice(driver, 0, &busName, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus->BusDevice);
    if (NT_SUCCESS(status))
        status = IoCreateDevice(driver, 0, &pdoName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &bus->Pdo);
    if (!NT_SUCCESS(status)) {
        if (bus->BusDevice != nullptr) IoDeleteDevice(bus->BusDevice);
        testbus::CameraDestroy(bus->Camera);
        ExFreePoolWithTag(bus, kTag);
        return status;
    }
    bus->Pdo->StackSize = 1;
    bus->BusDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    bus->Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    g_bus = bus;

    status = PsCreateSystemThread(&bus->Thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ClockThread, bus);
    if (NT_SUCCESS(status))
        status = ObReferenceObjectByHandle(bus->Thread, SYNCHRONIZE, nullptr, KernelMode,
                                           reinterpret_cast<PVOID *>(&bus->ThreadObject), nullptr);
    if (!NT_SUCCESS(status)) return status;

    IoInvalidateDeviceRelations(bus->BusDevice, BusRelations);
    return STATUS_SUCCESS;
}
