#include "libusb_bus.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <libusb.h>

#include "device_profile.h"
#include "sim/kernel.h"
#include "sim/pdo_capabilities.h"
#include "sim/usb.h"
#include "sim/urb_answer.h"
#include "sim/urb_setup.h"
#include "sim/usbdi_interface.h"

namespace sim {
namespace libusbbus {

namespace {

using usb::ConfigurationInfo;
using usb::DeviceProfile;
using usb::InterfaceSetting;

constexpr ULONG kPdoMagic = 0x4C425355;  // 'USBL'
constexpr ULONG kPipeRequestLengthOld = 36;

struct PdoExtension {
    ULONG Magic;
};

struct Pipe {
    uint8_t Endpoint;
    uint8_t Interface;
    uint8_t Type;
    uint16_t MaxPacket;
};

// One URB in flight on the host's stack.
struct Xfer {
    PIRP Irp;
    PURB Urb;
    libusb_transfer *Transfer;
    uint8_t Endpoint;      // 0 for the default pipe
    uint8_t *ControlDest;  // control IN: where the data stage goes
};

struct Bus {
    libusb_context *Context = nullptr;
    libusb_device_handle *Handle = nullptr;
    libusb_hotplug_callback_handle Hotplug = 0;
    bool HotplugRegistered = false;
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    std::thread Events, GoneReporter;
    std::atomic<bool> Stopping{false};
    std::atomic<bool> Gone{false};
    bool GoneReported = false;
    std::mutex Lock;
    std::condition_variable Changed;
    std::map<PIRP, Xfer *> InFlight;
    std::map<uintptr_t, Pipe> Pipes;
    uint64_t NextHandle = 0;
    PVOID ConfigurationHandle = nullptr;
    DeviceProfile Profile;
    std::vector<uint8_t> Claimed;
    uint16_t Vendor = 0, Product = 0;
    std::chrono::steady_clock::time_point Start;
};

Bus *g_bus = nullptr;

using urbanswer::StatusForUsbd;

USBD_STATUS UsbdForLibusb(int status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return USBD_STATUS_SUCCESS;
        case LIBUSB_TRANSFER_STALL: return USBD_STATUS_STALL_PID;
        case LIBUSB_TRANSFER_CANCELLED: return USBD_STATUS_CANCELED;
        case LIBUSB_TRANSFER_NO_DEVICE: return USBD_STATUS_DEVICE_GONE;
        case LIBUSB_TRANSFER_TIMED_OUT: return USBD_STATUS_TIMEOUT;
        case LIBUSB_TRANSFER_OVERFLOW: return USBD_STATUS_DATA_OVERRUN;
        default: return USBD_STATUS_XACT_ERROR;
    }
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteUrb(PIRP irp, PURB urb, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    return CompleteNow(irp, StatusForUsbd(status));
}

PVOID NewHandle(Bus &bus) {
    return reinterpret_cast<PVOID>((uintptr_t)(0xFFFFC98000000000ull + (++bus.NextHandle << 4)));
}

uint32_t FrameNow(Bus &bus) {
    return (uint32_t)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                           bus.Start)
        .count();
}

// The system address of a transfer buffer given by pointer or MDL.
bool TransferBufferOf(PVOID buffer, PMDL mdl, ULONG length, uint8_t **out) {
    *out = nullptr;
    if (length == 0) return true;
    if (buffer != nullptr) {
        *out = static_cast<uint8_t *>(buffer);
        return true;
    }
    if (mdl == nullptr || MmGetMdlByteCount(mdl) < length) return false;
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        sim::VerifierReportAtCaller("MDL_NOT_LOCKED", "a transfer buffer MDL that describes no locked pages");
        return false;
    }
    *out = static_cast<uint8_t *>((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                                      ? mdl->MappedSystemVa
                                      : MmGetMdlVirtualAddress(mdl));
    return *out != nullptr;
}

// The setup packet and data buffer of a control URB; a status other than
// success refuses it.
USBD_STATUS DecodeControl(PURB urb, uint8_t setup[8], uint8_t **buffer, ULONG *length) {
    const USHORT f = urb->UrbHeader.Function;
    struct _URB_CONTROL_TRANSFER &c = urb->UrbControlTransfer;
    ULONG n = c.TransferBufferLength;
    if (f == URB_FUNCTION_CONTROL_TRANSFER) {
        memcpy(setup, c.SetupPacket, 8);
        const ULONG wLength = (ULONG)(setup[6] | (setup[7] << 8));
        if (wLength > n) return USBD_STATUS_INVALID_PARAMETER;
        n = wLength;
    } else {
        const urbsetup::Shape *shape = urbsetup::Find(f);
        if (shape == nullptr) return USBD_STATUS_INVALID_URB_FUNCTION;
        if (urbsetup::IsFeature(*shape)) {
            urbsetup::Build(*shape, *urb, 0, setup);
            *buffer = nullptr;
            *length = 0;
            return USBD_STATUS_SUCCESS;
        }
        if (n > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
        urbsetup::Build(*shape, *urb, (USHORT)n, setup);
    }
    if (!TransferBufferOf(c.TransferBuffer, c.TransferBufferMDL, n, buffer)) return USBD_STATUS_INVALID_PARAMETER;
    *length = n;
    return USBD_STATUS_SUCCESS;
}

size_t FixedUrbLength(USHORT function) {
    if (const urbsetup::Shape *shape = urbsetup::Find(function)) return urbsetup::UrbLength(*shape);
    switch (function) {
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(struct _URB_CONTROL_TRANSFER);
        default: return 0;
    }
}

void ReportGoneLater(Bus &bus) {
    std::lock_guard<std::mutex> g(bus.Lock);
    bus.Gone = true;
    bus.Changed.notify_all();
}

// --- completion ------------------------------------------------------------

void LIBUSB_CALL TransferDone(libusb_transfer *t) {
    Xfer *x = static_cast<Xfer *>(t->user_data);
    Bus &bus = *g_bus;
    {
        std::lock_guard<std::mutex> g(bus.Lock);
        bus.InFlight.erase(x->Irp);
    }
    // A cancel routine that runs from here on finds nothing in flight.
    IoSetCancelRoutine(x->Irp, nullptr);
    PURB urb = x->Urb;
    USBD_STATUS status = UsbdForLibusb(t->status);
    if (t->status == LIBUSB_TRANSFER_NO_DEVICE) ReportGoneLater(bus);
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_ISOCH_TRANSFER: {
            struct _URB_ISOCH_TRANSFER &u = urb->UrbIsochronousTransfer;
            const bool in = (x->Endpoint & 0x80) != 0;
            ULONG failed = 0, moved = 0;
            for (int i = 0; i < t->num_iso_packets; ++i) {
                const libusb_iso_packet_descriptor &d = t->iso_packet_desc[i];
                USBD_STATUS s = t->status == LIBUSB_TRANSFER_COMPLETED ? UsbdForLibusb(d.status) : status;
                u.IsoPacket[i].Status = s;
                // The OUT packets' lengths are not reported back, as on the platform.
                u.IsoPacket[i].Length = in && USBD_SUCCESS(s) ? d.actual_length : 0;
                moved += u.IsoPacket[i].Length;
                if (!USBD_SUCCESS(s)) ++failed;
            }
            u.ErrorCount = failed;
            u.StartFrame = FrameNow(bus);
            if (t->status == LIBUSB_TRANSFER_COMPLETED && failed == (ULONG)t->num_iso_packets && failed != 0)
                status = USBD_STATUS_ISOCH_REQUEST_FAILED;
            // An IN request's length is the bytes that arrived, as the
            // emulated bus counts them; an OUT request's is what was sent.
            u.TransferBufferLength = in ? moved : (ULONG)t->length;
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = (ULONG)t->actual_length;
            break;
        default:  // control
            if (x->ControlDest != nullptr && t->actual_length > 0)
                memcpy(x->ControlDest, libusb_control_transfer_get_data(t), (size_t)t->actual_length);
            urb->UrbControlTransfer.TransferBufferLength = (ULONG)t->actual_length;
            break;
    }
    urb->UrbHeader.Status = status;
    PIRP irp = x->Irp;
    irp->IoStatus.Status = StatusForUsbd(status);
    irp->IoStatus.Information = 0;
    libusb_free_transfer(t);
    delete x;
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
    std::lock_guard<std::mutex> g(bus.Lock);
    bus.Changed.notify_all();
}

void CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Bus *bus = g_bus;
    if (bus == nullptr) return;
    std::lock_guard<std::mutex> g(bus->Lock);
    auto it = bus->InFlight.find(Irp);
    if (it != bus->InFlight.end()) libusb_cancel_transfer(it->second->Transfer);
}

// Hands a filled transfer to libusb; the IRP pends until TransferDone. The
// bus lock is held from the registration to the submission, so neither the
// completion (which takes it first) nor the cancel routine (which cancels
// only what is registered) can run in between.
NTSTATUS Submit(Bus &bus, Xfer *x) {
    PIRP irp = x->Irp;
    PURB urb = x->Urb;
    IoMarkIrpPending(irp);
    x->Transfer->user_data = x;
    x->Transfer->callback = TransferDone;
    int r;
    {
        std::lock_guard<std::mutex> g(bus.Lock);
        bus.InFlight[irp] = x;
        IoSetCancelRoutine(irp, CancelRoutine);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            r = LIBUSB_ERROR_INTERRUPTED;  // cancelled before it was sent
        } else {
            r = bus.Gone ? LIBUSB_ERROR_NO_DEVICE : libusb_submit_transfer(x->Transfer);
            if (r != 0) IoSetCancelRoutine(irp, nullptr);
        }
        if (r != 0) bus.InFlight.erase(irp);
    }
    if (r == 0) return STATUS_PENDING;
    // Not sent: completed in the submitter's call.
    libusb_free_transfer(x->Transfer);
    delete x;
    const USBD_STATUS s = r == LIBUSB_ERROR_INTERRUPTED ? USBD_STATUS_CANCELED
                          : r == LIBUSB_ERROR_NO_DEVICE ? USBD_STATUS_DEVICE_GONE
                          : r == LIBUSB_ERROR_NO_MEM    ? USBD_STATUS_INSUFFICIENT_RESOURCES
                                                        : USBD_STATUS_INVALID_PARAMETER;
    urb->UrbHeader.Status = s;
    irp->IoStatus.Status = StatusForUsbd(s);
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

// --- configuration ---------------------------------------------------------

const Pipe *FindPipe(Bus &bus, USBD_PIPE_HANDLE handle) {
    auto it = bus.Pipes.find((uintptr_t)handle);
    return it == bus.Pipes.end() ? nullptr : &it->second;
}

bool EndpointBusy(Bus &bus, int interfaceNumber, int endpoint) {
    for (const auto &f : bus.InFlight) {
        const uint8_t ep = f.second->Endpoint;
        if (ep == 0) continue;
        if (endpoint >= 0 && ep == endpoint) return true;
        if (endpoint < 0) {
            if (interfaceNumber < 0) return true;
            for (const auto &p : bus.Pipes)
                if (p.second.Endpoint == ep && p.second.Interface == interfaceNumber) return true;
        }
    }
    return false;
}

void ClosePipes(Bus &bus, int interfaceNumber) {
    for (auto it = bus.Pipes.begin(); it != bus.Pipes.end();) {
        if (interfaceNumber < 0 || it->second.Interface == interfaceNumber) it = bus.Pipes.erase(it);
        else ++it;
    }
}

void OpenPipes(Bus &bus, const InterfaceSetting &s, PUSBD_INTERFACE_INFORMATION info) {
    info->Class = s.Class;
    info->SubClass = s.SubClass;
    info->Protocol = s.Protocol;
    info->Reserved = 0;
    info->InterfaceHandle = NewHandle(bus);
    info->NumberOfPipes = (ULONG)s.Endpoints.size();
    for (size_t i = 0; i < s.Endpoints.size(); ++i) {
        const usb::EndpointInfo &e = s.Endpoints[i];
        USBD_PIPE_INFORMATION &p = info->Pipes[i];
        p.MaximumPacketSize = (USHORT)e.PayloadPerInterval();
        p.EndpointAddress = e.Address;
        p.Interval = e.Interval;
        p.PipeType = (USBD_PIPE_TYPE)e.Type();
        p.PipeHandle = NewHandle(bus);
        bus.Pipes[(uintptr_t)p.PipeHandle] = Pipe{e.Address, s.InterfaceNumber, e.Type(), p.MaximumPacketSize};
    }
}

USBD_STATUS SelectConfiguration(Bus &bus, PURB urb) {
    struct _URB_SELECT_CONFIGURATION &u = urb->UrbSelectConfiguration;
    std::unique_lock<std::mutex> g(bus.Lock);
    if (EndpointBusy(bus, -1, -1)) return USBD_STATUS_ERROR_BUSY;
    const uint8_t *config = reinterpret_cast<const uint8_t *>(u.ConfigurationDescriptor);
    if (config == nullptr) {
        // The host's USB core keeps the device configured for the interfaces
        // this bus holds: the pipes close, nothing goes on the wire.
        ClosePipes(bus, -1);
        bus.ConfigurationHandle = nullptr;
        u.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    const ConfigurationInfo *configuration = bus.Profile.ConfigurationByValue(config[5]);
    if (configuration == nullptr || config[4] == 0) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    // Every interface record checked before anything changes.
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceSetting *>> selected;
    size_t offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (uint8_t i = 0; i < config[4] && offset + GET_USBD_INTERFACE_SIZE(0) <= urb->UrbHeader.Length; ++i) {
        PUSBD_INTERFACE_INFORMATION info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t *>(urb) + offset);
        if (info->Length == 0) break;
        const InterfaceSetting *s = configuration->FindSetting(info->InterfaceNumber, info->AlternateSetting);
        if (s == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
        if (info->Length < GET_USBD_INTERFACE_SIZE(s->Endpoints.size()) ||
            offset + info->Length > urb->UrbHeader.Length)
            return USBD_STATUS_INVALID_PARAMETER;
        selected.push_back({info, s});
        offset += info->Length;
    }
    if (selected.size() != configuration->InterfaceCount) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    g.unlock();
    int active = 0;
    libusb_get_configuration(bus.Handle, &active);
    if (active != configuration->Value) {
        for (uint8_t i : bus.Claimed) libusb_release_interface(bus.Handle, i);
        const int r = libusb_set_configuration(bus.Handle, configuration->Value);
        for (uint8_t i : bus.Claimed) libusb_claim_interface(bus.Handle, i);
        if (r != 0) return r == LIBUSB_ERROR_NO_DEVICE ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_STALL_PID;
    }
    for (auto &sel : selected) {
        const int r = libusb_set_interface_alt_setting(bus.Handle, sel.second->InterfaceNumber,
                                                       sel.second->AlternateSetting);
        if (r != 0) return r == LIBUSB_ERROR_NO_DEVICE ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_STALL_PID;
    }
    g.lock();
    ClosePipes(bus, -1);
    for (auto &sel : selected) OpenPipes(bus, *sel.second, sel.first);
    bus.ConfigurationHandle = NewHandle(bus);
    u.ConfigurationHandle = bus.ConfigurationHandle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Bus &bus, PURB urb) {
    struct _URB_SELECT_INTERFACE &u = urb->UrbSelectInterface;
    PUSBD_INTERFACE_INFORMATION info = &u.Interface;
    std::unique_lock<std::mutex> g(bus.Lock);
    if (bus.ConfigurationHandle == nullptr || u.ConfigurationHandle != bus.ConfigurationHandle)
        return USBD_STATUS_INVALID_PARAMETER;
    int active = 0;
    libusb_get_configuration(bus.Handle, &active);
    const ConfigurationInfo *configuration = bus.Profile.ConfigurationByValue((uint8_t)active);
    const InterfaceSetting *s =
        configuration == nullptr ? nullptr : configuration->FindSetting(info->InterfaceNumber, info->AlternateSetting);
    if (s == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (EndpointBusy(bus, info->InterfaceNumber, -1)) return USBD_STATUS_ERROR_BUSY;
    if (info->Length < GET_USBD_INTERFACE_SIZE(s->Endpoints.size()) ||
        FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) + info->Length > urb->UrbHeader.Length)
        return USBD_STATUS_INVALID_PARAMETER;
    g.unlock();
    const int r = libusb_set_interface_alt_setting(bus.Handle, s->InterfaceNumber, s->AlternateSetting);
    if (r != 0) return r == LIBUSB_ERROR_NO_DEVICE ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_STALL_PID;
    g.lock();
    ClosePipes(bus, s->InterfaceNumber);
    OpenPipes(bus, *s, info);
    return USBD_STATUS_SUCCESS;
}

// --- dispatch --------------------------------------------------------------

NTSTATUS SubmitUrb(Bus &bus, PIRP irp, PURB urb) {
    if (urb == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    const USHORT function = urb->UrbHeader.Function;
    const USHORT length = urb->UrbHeader.Length;
    if (bus.Gone) return CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    switch (function) {
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            // The host's stack does not tell user space the controller's frame.
            return CompleteUrb(irp, urb, USBD_STATUS_NOT_SUPPORTED);
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface))
                return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            return CompleteUrb(irp, urb, SelectConfiguration(bus, urb));
        case URB_FUNCTION_SELECT_INTERFACE:
            if (length < GET_SELECT_INTERFACE_REQUEST_SIZE(0)) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            return CompleteUrb(irp, urb, SelectInterface(bus, urb));
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL: {
            if (length != kPipeRequestLengthOld && length != sizeof(struct _URB_PIPE_REQUEST))
                return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            std::unique_lock<std::mutex> g(bus.Lock);
            const Pipe *pipe = FindPipe(bus, urb->UrbPipeRequest.PipeHandle);
            if (pipe == nullptr) {
                g.unlock();
                return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
            }
            const uint8_t endpoint = pipe->Endpoint, type = pipe->Type;
            if (function == URB_FUNCTION_ABORT_PIPE) {
                // The abort completes at once; the transfers it cancels complete
                // cancelled afterwards, as the platform allows.
                for (auto &f : bus.InFlight)
                    if (f.second->Endpoint == endpoint) libusb_cancel_transfer(f.second->Transfer);
                g.unlock();
                return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS);
            }
            if (EndpointBusy(bus, -1, endpoint)) {
                g.unlock();
                return CompleteUrb(irp, urb, USBD_STATUS_ERROR_BUSY);
            }
            g.unlock();
            int r = 0;
            if (type != USB_ENDPOINT_TYPE_ISOCHRONOUS) r = libusb_clear_halt(bus.Handle, endpoint);
            return CompleteUrb(irp, urb, r == 0 ? USBD_STATUS_SUCCESS : r == LIBUSB_ERROR_NO_DEVICE ? USBD_STATUS_DEVICE_GONE
                                                                                                    : USBD_STATUS_STALL_PID);
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        case URB_FUNCTION_ISOCH_TRANSFER: {
            const bool iso = function == URB_FUNCTION_ISOCH_TRANSFER;
            struct _URB_BULK_OR_INTERRUPT_TRANSFER &b = urb->UrbBulkOrInterruptTransfer;
            if ((!iso && length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) ||
                (iso && length < FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket)))
                return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            Pipe pipe;
            {
                std::lock_guard<std::mutex> g(bus.Lock);
                const Pipe *p = FindPipe(bus, b.PipeHandle);
                if (p == nullptr || p->MaxPacket == 0) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
                pipe = *p;
            }
            const bool in = (pipe.Endpoint & 0x80) != 0;
            if ((pipe.Type == USB_ENDPOINT_TYPE_ISOCHRONOUS) != iso ||
                ((b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != in)
                return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            uint8_t *buffer;
            if (!TransferBufferOf(b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength, &buffer))
                return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            Xfer *x = new Xfer{irp, urb, nullptr, pipe.Endpoint, nullptr};
            if (!iso) {
                x->Transfer = libusb_alloc_transfer(0);
                if (pipe.Type == USB_ENDPOINT_TYPE_INTERRUPT)
                    libusb_fill_interrupt_transfer(x->Transfer, bus.Handle, pipe.Endpoint, buffer,
                                                   (int)b.TransferBufferLength, TransferDone, x, 0);
                else
                    libusb_fill_bulk_transfer(x->Transfer, bus.Handle, pipe.Endpoint, buffer,
                                              (int)b.TransferBufferLength, TransferDone, x, 0);
                return Submit(bus, x);
            }
            struct _URB_ISOCH_TRANSFER &u = urb->UrbIsochronousTransfer;
            const ULONG n = u.NumberOfPackets;
            bool ok = n != 0 && n <= 1024 &&
                      length >= FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
            for (ULONG j = 0; ok && j < n; ++j) {
                const ULONG end = j + 1 < n ? u.IsoPacket[j + 1].Offset : u.TransferBufferLength;
                ok = u.IsoPacket[j].Offset <= end && end <= u.TransferBufferLength && (j != 0 || u.IsoPacket[0].Offset == 0);
            }
            if (!ok) {
                delete x;
                return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            u.ErrorCount = 0;
            x->Transfer = libusb_alloc_transfer((int)n);
            libusb_fill_iso_transfer(x->Transfer, bus.Handle, pipe.Endpoint, buffer, (int)u.TransferBufferLength, (int)n,
                                     TransferDone, x, 0);
            // The packets lie back to back from offset 0, so the URB's offsets
            // and libusb's lengths describe the same layout.
            for (ULONG j = 0; j < n; ++j) {
                const ULONG end = j + 1 < n ? u.IsoPacket[j + 1].Offset : u.TransferBufferLength;
                x->Transfer->iso_packet_desc[j].length = end - u.IsoPacket[j].Offset;
            }
            return Submit(bus, x);
        }
        default: {
            const size_t expected = FixedUrbLength(function);
            if (expected == 0) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
            if (length != expected) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            if (function == URB_FUNCTION_CONTROL_TRANSFER) {
                struct _URB_CONTROL_TRANSFER &c = urb->UrbControlTransfer;
                if (c.PipeHandle != nullptr && !(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
                    return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
            }
            uint8_t setup[8];
            uint8_t *buffer = nullptr;
            ULONG n = 0;
            const USBD_STATUS decoded = DecodeControl(urb, setup, &buffer, &n);
            if (decoded != USBD_STATUS_SUCCESS) return CompleteUrb(irp, urb, decoded);
            const bool in = (setup[0] & 0x80) != 0;
            Xfer *x = new Xfer{irp, urb, libusb_alloc_transfer(0), 0, in ? buffer : nullptr};
            uint8_t *block = static_cast<uint8_t *>(malloc(LIBUSB_CONTROL_SETUP_SIZE + n));
            memcpy(block, setup, 8);
            if (!in && n != 0) memcpy(block + 8, buffer, n);
            libusb_fill_control_transfer(x->Transfer, bus.Handle, block, TransferDone, x, 0);
            x->Transfer->flags |= LIBUSB_TRANSFER_FREE_BUFFER;
            return Submit(bus, x);
        }
    }
}

NTSTATUS PortRequest(Bus &bus, PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        PULONG word = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (word == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        *word = bus.Gone ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    if (bus.Gone) return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
    // The host's reset restores the configuration and alternate settings, so
    // pipe handles stay valid, as after the hub driver's reset.
    const int r = libusb_reset_device(bus.Handle);
    if (r == LIBUSB_ERROR_NOT_FOUND || r == LIBUSB_ERROR_NO_DEVICE) {
        ReportGoneLater(bus);
        return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    return CompleteNow(irp, r == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Bus *bus = g_bus;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (bus == nullptr) return CompleteNow(Irp, STATUS_DEVICE_NOT_CONNECTED);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(*bus, Irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            return PortRequest(*bus, Irp, stack->Parameters.DeviceIoControl.IoControlCode);
        default:
            return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

void CancelAllAndWait(Bus &bus) {
    std::unique_lock<std::mutex> g(bus.Lock);
    for (auto &f : bus.InFlight) libusb_cancel_transfer(f.second->Transfer);
    bus.Changed.wait_for(g, std::chrono::seconds(10), [&] { return bus.InFlight.empty(); });
}

// The USB bus driver's interface, version 1 (IRP_MN_QUERY_INTERFACE), as a
// hub's PDO answers it: the speed is the one libusb reports for the device.
// References are counted; one still held when the bus closes is a fault of
// the driver above, reported by the verifier's rule for it.
std::atomic<int> g_interfaceReferences{0};
VOID InterfaceReference(PVOID) { ++g_interfaceReferences; }
VOID InterfaceDereference(PVOID) {
    if (--g_interfaceReferences < 0) {
        ++g_interfaceReferences;
        sim::VerifierReportAtCaller("BUS_INTERFACE_REFERENCE", "InterfaceDereference without a reference held");
    }
}
VOID InterfaceGetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
    if (version != nullptr) USBD_GetUSBDIVersion(version);
    if (capabilities != nullptr) *capabilities = 0;
}
// libusb cannot read the bus's frame number.
NTSTATUS InterfaceQueryBusTime(PVOID, PULONG frame) {
    if (frame != nullptr) *frame = 0;
    return STATUS_NOT_SUPPORTED;
}
BOOLEAN InterfaceIsDeviceHighSpeed(PVOID context) {
    Bus *bus = static_cast<Bus *>(context);
    return bus != nullptr && bus->Profile.HighSpeed;
}

NTSTATUS QueryBusInterface(Bus *bus, PIO_STACK_LOCATION stack, NTSTATUS asIs) {
    const GUID *type = stack->Parameters.QueryInterface.InterfaceType;
    if (bus == nullptr || type == nullptr || !IsEqualGUID(type, &USB_BUS_INTERFACE_USBDI_GUID)) return asIs;
    static const usbdi::BusRoutines routines = {InterfaceReference, InterfaceDereference,
                                                InterfaceGetUsbdiVersion, InterfaceQueryBusTime,
                                                InterfaceIsDeviceHighSpeed};
    return usbdi::Fill(stack, bus, routines);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Bus *bus = g_bus;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_INTERFACE:
            status = QueryBusInterface(bus, stack, status);
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (!usbpdo::CapabilitiesUsable(caps)) {
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            usbpdo::FillCapabilities(caps, 1, false);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            // Nothing of the driver above may stay in flight.
            if (bus != nullptr) {
                CancelAllAndWait(*bus);
                if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
                    std::lock_guard<std::mutex> g(bus->Lock);
                    ClosePipes(*bus, -1);
                    bus->ConfigurationHandle = nullptr;
                }
            }
            status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    return CompleteNow(Irp, status, status == Irp->IoStatus.Status ? Irp->IoStatus.Information : 0);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    else if (stack->MinorFunction == IRP_MN_WAIT_WAKE)
        status = STATUS_NOT_SUPPORTED;
    PoStartNextPowerIrp(Irp);
    return CompleteNow(Irp, status);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

VOID BusUnload(PDRIVER_OBJECT DriverObject) { (void)DriverObject; }

NTSTATUS BusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = DispatchUnsupported;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

int LIBUSB_CALL HotplugLeft(libusb_context *, libusb_device *device, libusb_hotplug_event, void *) {
    Bus *bus = g_bus;
    if (bus != nullptr && bus->Handle != nullptr && libusb_get_device(bus->Handle) == device) ReportGoneLater(*bus);
    return 0;
}

// Reads the device's descriptors as bytes into a profile.
bool ReadProfile(libusb_device_handle *h, DeviceProfile *profile, std::string *error) {
    uint8_t device[18];
    int r = libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, device, sizeof device);
    if (r != (int)sizeof device) {
        *error = std::string("cannot read the device descriptor: ") + libusb_error_name(r);
        return false;
    }
    profile->DeviceDescriptor.assign(device, device + sizeof device);
    profile->Configurations.clear();
    for (uint8_t i = 0; i < device[17]; ++i) {
        uint8_t head[9];
        r = libusb_get_descriptor(h, LIBUSB_DT_CONFIG, i, head, sizeof head);
        if (r != (int)sizeof head) {
            *error = "cannot read configuration descriptor " + std::to_string(i);
            return false;
        }
        std::vector<uint8_t> bytes((size_t)(head[2] | (head[3] << 8)));
        r = libusb_get_descriptor(h, LIBUSB_DT_CONFIG, i, bytes.data(), (int)bytes.size());
        if (r != (int)bytes.size()) {
            *error = "cannot read configuration " + std::to_string(i);
            return false;
        }
        ConfigurationInfo c;
        c.Descriptor = bytes;
        if (!usb::DeriveSettings(*profile, &c, error)) return false;
        profile->Configurations.push_back(c);
    }
    if (profile->Configurations.empty()) {
        *error = "the device has no configuration";
        return false;
    }
    return true;
}

libusb_device_handle *OpenSelected(libusb_context *ctx, const std::string &selector, std::string *error) {
    unsigned a = 0, b = 0;
    const bool byId = selector.empty() || sscanf(selector.c_str(), "%x:%x", &a, &b) == 2;
    const bool byAddress = !byId && sscanf(selector.c_str(), "%u/%u", &a, &b) == 2;
    if (selector.empty()) a = 0x1209, b = 0x0001;
    if (!byId && !byAddress) {
        *error = "--usb takes VID:PID (hex) or BUS/ADDRESS (decimal), not \"" + selector + "\"";
        return nullptr;
    }
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle *h = nullptr;
    int lastError = 0;
    bool found = false;
    for (ssize_t i = 0; i < n && h == nullptr; ++i) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
        const bool match = byId ? (d.idVendor == a && d.idProduct == b)
                                : (libusb_get_bus_number(list[i]) == a && libusb_get_device_address(list[i]) == b);
        if (!match) continue;
        found = true;
        lastError = libusb_open(list[i], &h);
        if (lastError != 0) h = nullptr;
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    if (h == nullptr) {
        char what[64];
        snprintf(what, sizeof what, byId ? "%04x:%04x" : "bus %u address %u", a, b);
        *error = found ? std::string("cannot open USB device ") + what + ": " + libusb_error_name(lastError) +
                             " (permissions of /dev/bus/usb?)"
                       : std::string("no USB device ") + what;
    }
    return h;
}

void Teardown(Bus *bus) {
    bus->Stopping = true;
    {
        std::lock_guard<std::mutex> g(bus->Lock);
        bus->Changed.notify_all();
    }
    if (bus->GoneReporter.joinable()) bus->GoneReporter.join();
    if (bus->Handle != nullptr) {
        for (uint8_t i : bus->Claimed) libusb_release_interface(bus->Handle, i);
        libusb_close(bus->Handle);
        bus->Handle = nullptr;
    }
    if (bus->HotplugRegistered) libusb_hotplug_deregister_callback(bus->Context, bus->Hotplug);
    if (bus->Events.joinable()) bus->Events.join();
    if (bus->Pdo != nullptr) IoDeleteDevice(bus->Pdo);
    if (bus->Driver != nullptr) sim::UnloadDriver(bus->Driver);
    if (bus->Context != nullptr) libusb_exit(bus->Context);
    g_bus = nullptr;
    delete bus;
}

}  // namespace

OpenResult Open(const std::string &selector) {
    OpenResult result;
    if (g_bus != nullptr) {
        result.Status = STATUS_OBJECT_NAME_COLLISION;
        result.Error = "a USB device is already open";
        return result;
    }
    Bus *bus = new Bus;
    g_bus = bus;
    bus->Start = std::chrono::steady_clock::now();
    if (libusb_init(&bus->Context) != 0) {
        result.Error = "libusb did not start";
        Teardown(bus);
        return result;
    }
    bus->Handle = OpenSelected(bus->Context, selector, &result.Error);
    if (bus->Handle == nullptr || !ReadProfile(bus->Handle, &bus->Profile, &result.Error)) {
        result.Status = STATUS_NO_SUCH_DEVICE;
        Teardown(bus);
        return result;
    }
    libusb_device *device = libusb_get_device(bus->Handle);
    const int speed = libusb_get_device_speed(device);
    bus->Profile.HighSpeed = speed >= LIBUSB_SPEED_HIGH;
    const std::vector<uint8_t> &d = bus->Profile.DeviceDescriptor;
    bus->Vendor = (uint16_t)(d[8] | (d[9] << 8));
    bus->Product = (uint16_t)(d[10] | (d[11] << 8));
    // Every interface of the active configuration is ours, as the function
    // driver of a whole device owns them (the host's drivers are detached).
    libusb_set_auto_detach_kernel_driver(bus->Handle, 1);
    int active = 0;
    libusb_get_configuration(bus->Handle, &active);
    if (active == 0) {
        libusb_set_configuration(bus->Handle, bus->Profile.First().Value);
        libusb_get_configuration(bus->Handle, &active);
    }
    const ConfigurationInfo *c = bus->Profile.ConfigurationByValue((uint8_t)active);
    for (uint8_t i = 0; c != nullptr && i < c->InterfaceCount; ++i) {
        const int r = libusb_claim_interface(bus->Handle, i);
        if (r != 0) {
            result.Status = STATUS_DEVICE_BUSY;
            result.Error = "cannot claim interface " + std::to_string(i) + ": " + libusb_error_name(r);
            Teardown(bus);
            return result;
        }
        bus->Claimed.push_back(i);
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
        libusb_hotplug_register_callback(bus->Context, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                                         bus->Vendor, bus->Product, LIBUSB_HOTPLUG_MATCH_ANY, HotplugLeft, nullptr,
                                         &bus->Hotplug) == 0)
        bus->HotplugRegistered = true;
    bus->Events = std::thread([bus] {
        while (!bus->Stopping) {
            timeval tv{0, 50000};
            libusb_handle_events_timeout_completed(bus->Context, &tv, nullptr);
        }
    });

    NTSTATUS status;
    bus->Driver = sim::LoadDriver("usblibusb", BusDriverEntry, &status);
    if (bus->Driver == nullptr) {
        result.Status = status;
        result.Error = "the libusb bus driver did not load";
        Teardown(bus);
        return result;
    }
    static const char16_t kName[] = u"\\Device\\USBPDO-L1";
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR *>(kName));
    name.Length = (USHORT)(sizeof kName - sizeof(char16_t));
    name.MaximumLength = (USHORT)sizeof kName;
    status = IoCreateDevice(bus->Driver, sizeof(PdoExtension), &name, FILE_DEVICE_USB,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &bus->Pdo);
    if (!NT_SUCCESS(status)) {
        bus->Pdo = nullptr;
        result.Status = status;
        result.Error = "cannot create the PDO";
        Teardown(bus);
        return result;
    }
    static_cast<PdoExtension *>(bus->Pdo->DeviceExtension)->Magic = kPdoMagic;
    bus->Pdo->Flags |= DO_POWER_PAGABLE;
    bus->Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    // An unplug reaches the driver as the Plug and Play manager's surprise
    // removal and removal, from a thread of its own (never the event thread,
    // which completes the requests those wait for).
    bus->GoneReporter = std::thread([bus] {
        std::unique_lock<std::mutex> g(bus->Lock);
        bus->Changed.wait(g, [bus] { return bus->Gone || bus->Stopping; });
        if (bus->Stopping && !bus->Gone) return;
        bus->GoneReported = true;
        g.unlock();
        sim::PnpDeviceGone(bus->Pdo);
    });
    char text[128];
    snprintf(text, sizeof text, "bus %u address %u, %04x:%04x, %s speed", libusb_get_bus_number(device),
             libusb_get_device_address(device), bus->Vendor, bus->Product,
             speed >= LIBUSB_SPEED_SUPER ? "super" : speed == LIBUSB_SPEED_HIGH ? "high"
                                                                                : "full");
    result.Description = text;
    result.Status = STATUS_SUCCESS;
    result.Pdo = bus->Pdo;
    return result;
}

bool DeviceGone() { return g_bus != nullptr && g_bus->Gone; }

void Close() {
    if (g_bus != nullptr) Teardown(g_bus);
}

}  // namespace libusbbus
}  // namespace sim
