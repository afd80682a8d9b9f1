// The emulated bus driver: a driver object of its own inside the emulated
// kernel that owns one PDO per plugged camera and serves the PDO's internal
// device-control requests (URBs, port reset, port status), Plug and Play and
// power requests.
//
// Dispatch routines run at PASSIVE_LEVEL or, for URBs resubmitted from
// completion routines, at DISPATCH_LEVEL; none of them waits at DISPATCH_LEVEL.
// Each request is completed exactly once: at once by the dispatch routine, or
// later by the transfer engine (bus_engine.cpp) or the cancel routine.
#include <string.h>

#include <algorithm>

#include "bus_internal.h"
#include "descriptor_walk.h"
#include "sim/kernel.h"
#include "sim/pdo_capabilities.h"
#include "sim/urb_setup.h"
#include "sim/usbdi_interface.h"

namespace sim {
namespace usb {

namespace {

constexpr ULONG kPipeRequestLengthOld = 36;  // clients of USBDI versions below 0x101

Port *PortOfPdo(Bus &bus, PDEVICE_OBJECT pdo) {
    PdoExtension *x = static_cast<PdoExtension *>(pdo->DeviceExtension);
    if (x == nullptr || x->Magic != kPdoMagic) return nullptr;
    auto it = bus.Ports.find(x->Port);
    return it == bus.Ports.end() ? nullptr : it->second.get();
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
    return reinterpret_cast<PVOID>((uintptr_t)(0xFFFFC90000000000ull + (++bus.NextHandle << 4)));
}

// The system address of a transfer buffer given by pointer or MDL, checked to
// hold length bytes.
bool TransferBufferOf(PVOID buffer, PMDL mdl, ULONG length, uint8_t **out) {
    *out = nullptr;
    if (length == 0) return true;
    if (buffer != nullptr) {
        *out = static_cast<uint8_t *>(buffer);
        return true;
    }
    if (mdl == nullptr || MmGetMdlByteCount(mdl) < length) return false;
    // The controller moves data to the pages the MDL names: an MDL whose
    // page array nobody filled (IoAllocateMdl alone: no probe and lock, no
    // partial of a locked MDL, not built for non-paged pool) names whatever
    // its array held.
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        sim::VerifierReportAtCaller("MDL_NOT_LOCKED",
                                    "a transfer buffer MDL that describes no locked pages");
        return false;
    }
    *out = static_cast<uint8_t *>((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                                      ? mdl->MappedSystemVa
                                      : MmGetMdlVirtualAddress(mdl));
    return *out != nullptr;
}

void SetSetup(WireRecord &r, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    r.HasSetup = true;
    r.Setup[0] = type;
    r.Setup[1] = request;
    r.Setup[2] = (uint8_t)value;
    r.Setup[3] = (uint8_t)(value >> 8);
    r.Setup[4] = (uint8_t)index;
    r.Setup[5] = (uint8_t)(index >> 8);
    r.Setup[6] = (uint8_t)length;
    r.Setup[7] = (uint8_t)(length >> 8);
    r.In = (type & 0x80) != 0;
}

Transfer *NewTransfer(PIRP irp, PURB urb, Port &port, TransferKind kind, uint8_t endpoint) {
    Transfer *t = new Transfer{};
    t->Irp = irp;
    t->Urb = urb;
    t->Port = port.Number;
    t->Kind = kind;
    t->Endpoint = endpoint;
    t->QueueEndpoint = kind == TransferKind::Data || kind == TransferKind::Isochronous ? endpoint : 0;
    t->Record.UrbFunction = urb->UrbHeader.Function;
    t->Record.Type = TransferType::Control;
    t->IsoPeriod = 1;
    return t;
}

// Builds the setup packet of a control URB function. Returns the USBD status
// that refuses it, or success with *t filled.
USBD_STATUS DecodeControl(PURB urb, Transfer *t) {
    const USHORT f = urb->UrbHeader.Function;
    // Every control URB has the transfer fields where the control transfer has them.
    struct _URB_CONTROL_TRANSFER &c = urb->UrbControlTransfer;
    WireRecord &r = t->Record;
    ULONG length = c.TransferBufferLength;
    if (f == URB_FUNCTION_CONTROL_TRANSFER) {
        memcpy(r.Setup, c.SetupPacket, 8);
        r.HasSetup = true;
        r.In = (c.SetupPacket[0] & 0x80) != 0;
        if (r.SetupLength() > length) return USBD_STATUS_INVALID_PARAMETER;
        length = r.SetupLength();
    } else {
        const urbsetup::Shape *shape = urbsetup::Find(f);
        if (shape == nullptr) return USBD_STATUS_INVALID_URB_FUNCTION;
        if (urbsetup::IsFeature(*shape)) {
            urbsetup::Build(*shape, *urb, 0, r.Setup);
            r.HasSetup = true;
            r.In = false;
            t->Buffer = nullptr;
            t->Length = 0;
            return USBD_STATUS_SUCCESS;
        }
        if (length > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
        urbsetup::Build(*shape, *urb, (USHORT)length, r.Setup);
        r.HasSetup = true;
        r.In = (r.Setup[0] & 0x80) != 0;
    }
    if (!TransferBufferOf(c.TransferBuffer, c.TransferBufferMDL, length, &t->Buffer))
        return USBD_STATUS_INVALID_PARAMETER;
    t->Length = length;
    return USBD_STATUS_SUCCESS;
}

const Pipe *FindPipe(Bus &bus, Port &port, USBD_PIPE_HANDLE handle) {
    auto it = bus.Pipes.find((uintptr_t)handle);
    if (it == bus.Pipes.end() || it->second.Port != port.Number) return nullptr;
    return &it->second;
}

size_t FixedUrbLength(USHORT function) {
    if (const urbsetup::Shape *shape = urbsetup::Find(function)) return urbsetup::UrbLength(*shape);
    switch (function) {
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(struct _URB_CONTROL_TRANSFER);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
        default: return 0;
    }
}

// Aborts a pipe. The abort completes at once; the transfers it takes complete
// with USBD_STATUS_CANCELED from the bus clock a frame or more later, as the
// platform allows (a driver must not free what they use when the abort returns).
NTSTATUS AbortPipe(Bus &bus, PIRP irp, PURB urb, int portNumber, uint8_t endpoint) {
    {
        std::lock_guard<std::mutex> g(bus.Lock);
        AbortQueue(bus, *bus.Ports.at(portNumber), endpoint);
    }
    return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS);
}

// Pipe requests and selections are served at PASSIVE_LEVEL only.
void CheckPassive(USHORT function) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql == PASSIVE_LEVEL) return;
    const char *name = function == URB_FUNCTION_ABORT_PIPE                        ? "URB_FUNCTION_ABORT_PIPE"
                       : function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ? "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL"
                       : function == URB_FUNCTION_SYNC_RESET_PIPE                 ? "URB_FUNCTION_SYNC_RESET_PIPE"
                       : function == URB_FUNCTION_SYNC_CLEAR_STALL                ? "URB_FUNCTION_SYNC_CLEAR_STALL"
                       : function == URB_FUNCTION_SELECT_CONFIGURATION            ? "URB_FUNCTION_SELECT_CONFIGURATION"
                                                                                  : "URB_FUNCTION_SELECT_INTERFACE";
    sim::VerifierReportAtCaller("IRQL_TOO_HIGH", std::string(name) + " sent at IRQL " + std::to_string(irql) +
                                                     "; the bus driver takes it at PASSIVE_LEVEL only");
}

// Requests of a composite device's child PDO that the composite parent
// answers itself, without traffic: the device descriptor and the function's
// configuration descriptor (from what it read at enumeration). True with
// *answer when answered or refused; false to go on as for any PDO. Lock held.
bool AnswerForChild(Port &port, PURB urb, USBD_STATUS *answer) {
    if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return false;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST &d = urb->UrbControlDescriptorRequest;
    const DeviceProfile &profile = port.Camera->Profile;
    std::vector<uint8_t> bytes;
    if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        bytes = profile.DeviceDescriptor;
    } else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && d.Index == 0) {
        bytes = profile.First().FunctionDescriptor(profile.First().Functions[(size_t)port.Function]);
    } else {
        return false;
    }
    uint8_t *buffer;
    if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ||
        !TransferBufferOf(d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, &buffer)) {
        *answer = USBD_STATUS_INVALID_PARAMETER;
        return true;
    }
    const ULONG n = std::min<ULONG>(d.TransferBufferLength, (ULONG)bytes.size());
    if (n != 0) memcpy(buffer, bytes.data(), n);
    d.TransferBufferLength = n;
    *answer = USBD_STATUS_SUCCESS;
    return true;
}

NTSTATUS SubmitUrb(Bus &bus, PDEVICE_OBJECT pdo, PIRP irp, PURB urb) {
    if (urb == nullptr) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    const USHORT function = urb->UrbHeader.Function;
    const USHORT length = urb->UrbHeader.Length;
    Transfer *t = nullptr;
    int portNumber = 0;
    int abortEndpoint = -1;
    USBD_STATUS answer = USBD_STATUS_SUCCESS;  // for URBs completed at once (answer_now)
    NTSTATUS irpAnswer = STATUS_SUCCESS;       // ... with an IRP status of a knob's (answer_irp)
    switch (function) {
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
        case URB_FUNCTION_SELECT_CONFIGURATION:
        case URB_FUNCTION_SELECT_INTERFACE:
            CheckPassive(function);
            break;
        default:
            break;
    }
    {
        std::lock_guard<std::mutex> g(bus.Lock);
        Port *port = PortOfPdo(bus, pdo);
        if (port == nullptr || !port->Connected || port->PdoRemoved) {
            answer = USBD_STATUS_DEVICE_GONE;
            goto answer_now;
        }
        portNumber = port->Number;
        urb->UrbHeader.Status = USBD_STATUS_PENDING;
        if (port->Function >= 0 && AnswerForChild(*port, urb, &answer)) goto answer_now;
        switch (function) {
            case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
                if (length != sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                urb->UrbGetCurrentFrameNumber.FrameNumber = FrameOf(BusMicros(bus));
                answer = USBD_STATUS_SUCCESS;
                goto answer_now;
            case URB_FUNCTION_ABORT_PIPE:
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL: {
                if (length != kPipeRequestLengthOld && length != sizeof(struct _URB_PIPE_REQUEST)) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                const Pipe *pipe = FindPipe(bus, *port, urb->UrbPipeRequest.PipeHandle);
                if (pipe == nullptr) {
                    answer = USBD_STATUS_INVALID_PIPE_HANDLE;
                    goto answer_now;
                }
                if (pipe->MaxPacket == 0) {
                    answer = USBD_STATUS_SUCCESS;  // a zero-bandwidth pipe: nothing to abort or reset
                    goto answer_now;
                }
                if (function == URB_FUNCTION_ABORT_PIPE) {
                    // A knob may fail the abort itself; otherwise it runs at once.
                    Knobs how;
                    if (TakeFailNext(*port, pipe->Endpoint, &how)) {
                        urb->UrbHeader.Status = how.FailStatus;
                        irpAnswer = how.FailIrp ? how.FailIrpStatus : StatusForUsbd(how.FailStatus);
                        goto answer_irp;
                    }
                    abortEndpoint = pipe->Endpoint;  // aborted below, outside the lock
                    break;
                }
                t = NewTransfer(irp, urb, *port, TransferKind::ResetPipe, pipe->Endpoint);
                t->QueueEndpoint = 0;
                t->ClearHalt = function != URB_FUNCTION_SYNC_RESET_PIPE &&
                               pipe->Type != USB_ENDPOINT_TYPE_ISOCHRONOUS;
                break;
            }
            case URB_FUNCTION_SELECT_CONFIGURATION:
                if (length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface)) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                t = NewTransfer(irp, urb, *port, TransferKind::SelectConfiguration, 0);
                break;
            case URB_FUNCTION_SELECT_INTERFACE:
                if (length < GET_SELECT_INTERFACE_REQUEST_SIZE(0)) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                t = NewTransfer(irp, urb, *port, TransferKind::SelectInterface, 0);
                break;
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            case URB_FUNCTION_ISOCH_TRANSFER: {
                const bool iso = function == URB_FUNCTION_ISOCH_TRANSFER;
                struct _URB_BULK_OR_INTERRUPT_TRANSFER &b = urb->UrbBulkOrInterruptTransfer;
                if (!iso && length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                if (iso && length < FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket)) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                const Pipe *pipe = FindPipe(bus, *port, b.PipeHandle);
                if (pipe == nullptr || pipe->MaxPacket == 0) {
                    // A zero-bandwidth pipe (wMaxPacketSize 0) has no endpoint to
                    // move data with: its handle is refused like an unknown one.
                    answer = USBD_STATUS_INVALID_PIPE_HANDLE;
                    goto answer_now;
                }
                const bool pipeIso = pipe->Type == USB_ENDPOINT_TYPE_ISOCHRONOUS;
                const bool in = (pipe->Endpoint & 0x80) != 0;
                // MaximumTransferSize is not looked at: unused since USBDI version 0x500.
                if (pipeIso != iso || ((b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != in) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                t = NewTransfer(irp, urb, *port, iso ? TransferKind::Isochronous : TransferKind::Data, pipe->Endpoint);
                t->Record.Type = (TransferType)pipe->Type;
                t->Record.In = in;
                t->MaxPacket = pipe->MaxPacket;
                t->Length = b.TransferBufferLength;
                t->Record.RequestedLength = t->Length;
                if (pipe->Type == USB_ENDPOINT_TYPE_INTERRUPT) {
                    // Polled every 2^(bInterval-1) microframes at high speed,
                    // every bInterval frames (at most 32) at full speed.
                    const uint8_t interval = std::max<uint8_t>(1, pipe->Interval);
                    t->PollPeriod = port->Camera->Profile.HighSpeed ? 1u << (std::min<uint8_t>(interval, 16) - 1)
                                                                    : 8u * std::min<uint8_t>(interval, 32);
                }
                if (!TransferBufferOf(b.TransferBuffer, b.TransferBufferMDL, t->Length, &t->Buffer)) {
                    delete t;
                    t = nullptr;
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                if (iso) {
                    struct _URB_ISOCH_TRANSFER &u = urb->UrbIsochronousTransfer;
                    const ULONG n = u.NumberOfPackets;
                    const bool high = port->Camera->Profile.HighSpeed;
                    const uint8_t interval = std::max<uint8_t>(1, std::min<uint8_t>(pipe->Interval, 4));
                    t->IsoPeriod = high ? (1u << (interval - 1)) : 8;
                    // At most 255 packets (frames) at full speed, 1024 at high
                    // speed, and there whole frames: a multiple of the packets per frame.
                    const ULONG perFrame = high ? 8 / t->IsoPeriod : 1;
                    bool ok = n != 0 && n <= (high ? 1024u : 255u) && n % perFrame == 0 &&
                              length >= FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket) +
                                            n * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
                    for (ULONG j = 0; ok && j < n; ++j) {
                        ULONG end = j + 1 < n ? u.IsoPacket[j + 1].Offset : t->Length;
                        ok = u.IsoPacket[j].Offset <= end && end <= t->Length &&
                             (j != 0 || u.IsoPacket[0].Offset == 0);
                    }
                    if (!ok) {
                        delete t;
                        t = nullptr;
                        answer = USBD_STATUS_INVALID_PARAMETER;
                        goto answer_now;
                    }
                    u.ErrorCount = 0;
                }
                break;
            }
            default: {
                size_t expected = FixedUrbLength(function);
                if (expected == 0) {
                    answer = USBD_STATUS_INVALID_URB_FUNCTION;
                    goto answer_now;
                }
                if (length != expected) {
                    answer = USBD_STATUS_INVALID_PARAMETER;
                    goto answer_now;
                }
                t = NewTransfer(irp, urb, *port, TransferKind::Control, 0);
                if (function == URB_FUNCTION_CONTROL_TRANSFER) {
                    struct _URB_CONTROL_TRANSFER &c = urb->UrbControlTransfer;
                    if (c.PipeHandle != nullptr && !(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) {
                        delete t;
                        t = nullptr;
                        answer = USBD_STATUS_INVALID_PIPE_HANDLE;  // the camera has no other control pipe
                        goto answer_now;
                    }
                }
                answer = DecodeControl(urb, t);
                if (answer != USBD_STATUS_SUCCESS) {
                    delete t;
                    t = nullptr;
                    goto answer_now;
                }
                t->Record.RequestedLength = t->Length;
                break;
            }
        }
    }
    if (t != nullptr) return StartTransfer(bus, t);
    if (abortEndpoint >= 0) return AbortPipe(bus, irp, urb, portNumber, (uint8_t)abortEndpoint);
    return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS);

answer_now:
    return CompleteUrb(irp, urb, answer);
answer_irp:
    return CompleteNow(irp, irpAnswer);
}

NTSTATUS PortRequest(Bus &bus, PDEVICE_OBJECT pdo, PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    // Both port requests are sent at PASSIVE_LEVEL only.
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        sim::VerifierReportAtCaller(
            "IRQL_TOO_HIGH", std::string(code == IOCTL_INTERNAL_USB_GET_PORT_STATUS
                                             ? "IOCTL_INTERNAL_USB_GET_PORT_STATUS"
                                             : "IOCTL_INTERNAL_USB_RESET_PORT") +
                                 " sent at IRQL " + std::to_string(irql) +
                                 "; the bus driver takes it at PASSIVE_LEVEL only");
    }
    {
        std::lock_guard<std::mutex> g(bus.Lock);
        Port *port = PortOfPdo(bus, pdo);
        if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            PULONG word = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (word == nullptr) {
                status = STATUS_INVALID_PARAMETER;
            } else if (port != nullptr && port->FailStatusCount != 0) {
                --port->FailStatusCount;
                status = port->FailStatusStatus;
            } else {
                *word = port != nullptr && port->Connected ? port->PortStatus : 0;
                status = STATUS_SUCCESS;
            }
        } else if (port == nullptr || !port->Connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            ++port->ResetCount;
            if (port->FailResetCount != 0) {
                --port->FailResetCount;
                status = port->FailResetStatus;
            } else {
                // The device sees a bus reset; the hub driver then restores its
                // address and configuration, so pipe handles stay valid.
                port->Camera->BusReset();
                port->Camera->Address = port->Address;
                port->PortStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
                // Drivers are to cancel their requests before a reset; those
                // still queued were addressed to a device in reset and fail
                // as unanswered (isochronous ones once their frames pass), so
                // no microframe is served twice.
                for (auto &e : port->Endpoints) {
                    for (Transfer *t : e.second.Queue) {
                        if (t->Aborted || t->Forced) continue;
                        t->Forced = true;
                        t->ForcedStatus = USBD_STATUS_DEV_NOT_RESPONDING;
                        t->ForcedIrp = false;
                    }
                    e.second.NextIsoMicroframe = 0;
                }
                status = STATUS_SUCCESS;
            }
        }
    }
    return CompleteNow(irp, status);
}

NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Bus *bus = g_bus;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (bus == nullptr) return CompleteNow(Irp, STATUS_DEVICE_NOT_CONNECTED);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(*bus, DeviceObject, Irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
            return PortRequest(*bus, DeviceObject, Irp, stack->Parameters.DeviceIoControl.IoControlCode);
        default:
            return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}


// ---------------------------------------------------------------------------
// The bus interface (USB_BUS_INTERFACE_USBDI_GUID, version 1). BusContext is
// the PDO; every routine runs at any IRQL up to DISPATCH_LEVEL and looks its
// port up under the bus lock. The references a function driver takes must be
// given back before its PDO goes: one still held then is reported.

Port *PortOfContext(Bus &bus, PVOID context) {
    return PortOfPdo(bus, static_cast<PDEVICE_OBJECT>(context));
}

VOID BusInterfaceReference(PVOID context) {
    Bus *bus = g_bus;
    std::lock_guard<std::mutex> g(bus->Lock);
    if (Port *port = PortOfContext(*bus, context)) ++port->InterfaceReferences;
}

VOID BusInterfaceDereference(PVOID context) {
    Bus *bus = g_bus;
    bool under = false;
    {
        std::lock_guard<std::mutex> g(bus->Lock);
        Port *port = PortOfContext(*bus, context);
        if (port == nullptr) return;
        if (port->InterfaceReferences == 0) under = true;
        else --port->InterfaceReferences;
    }
    if (under)
        sim::VerifierReportAtCaller("BUS_INTERFACE_REFERENCE",
                                    "InterfaceDereference without a reference held");
}

VOID BusInterfaceGetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
    (void)context;
    if (version != nullptr) USBD_GetUSBDIVersion(version);
    if (capabilities != nullptr) *capabilities = 0;
}

NTSTATUS BusInterfaceQueryBusTime(PVOID context, PULONG frame) {
    Bus *bus = g_bus;
    std::lock_guard<std::mutex> g(bus->Lock);
    if (PortOfContext(*bus, context) == nullptr || frame == nullptr) return STATUS_INVALID_PARAMETER;
    *frame = FrameOf(BusMicros(*bus));
    return STATUS_SUCCESS;
}

// The port's speed: the speed the plugged device runs at.
BOOLEAN BusInterfaceIsDeviceHighSpeed(PVOID context) {
    Bus *bus = g_bus;
    std::lock_guard<std::mutex> g(bus->Lock);
    Port *port = PortOfContext(*bus, context);
    return port != nullptr && port->Connected && port->Camera->Profile.HighSpeed;
}

// IRP_MN_QUERY_INTERFACE: the USBDI interface, version 1 or later asked for
// with room for version 1, is filled and referenced once; any other
// interface is not this bus's to answer.
NTSTATUS QueryBusInterface(PDEVICE_OBJECT pdo, PIO_STACK_LOCATION stack, NTSTATUS asIs) {
    const GUID *type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == nullptr || !IsEqualGUID(type, &USB_BUS_INTERFACE_USBDI_GUID)) return asIs;
    static const usbdi::BusRoutines routines = {BusInterfaceReference, BusInterfaceDereference,
                                                BusInterfaceGetUsbdiVersion, BusInterfaceQueryBusTime,
                                                BusInterfaceIsDeviceHighSpeed};
    return usbdi::Fill(stack, pdo, routines);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Bus *bus = g_bus;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (bus == nullptr) return CompleteNow(Irp, status, Irp->IoStatus.Information);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            if (stack->MinorFunction == IRP_MN_START_DEVICE) {
                std::lock_guard<std::mutex> g(bus->Lock);
                Port *port = PortOfPdo(*bus, DeviceObject);
                if (port != nullptr) port->PdoRemoved = false;
            }
            break;
        case IRP_MN_QUERY_INTERFACE:
            status = QueryBusInterface(DeviceObject, stack, status);
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (!usbpdo::CapabilitiesUsable(caps)) {
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            int port = 0;
            {
                std::lock_guard<std::mutex> g(bus->Lock);
                Port *p = PortOfPdo(*bus, DeviceObject);
                if (p != nullptr) port = p->Number;
            }
            usbpdo::FillCapabilities(caps, (ULONG)port, true);
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE: {
            // The function driver above is going: nothing of its own may stay
            // queued, and the device goes back to its unconfigured state until the
            // next enumeration.
            const bool remove = stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
            std::vector<Completion> done;
            bool deletePdo = false;
            {
                std::lock_guard<std::mutex> g(bus->Lock);
                Port *port = PortOfPdo(*bus, DeviceObject);
                if (port != nullptr) {
                    FlushAllQueues(*bus, *port, port->Connected ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE,
                                   &done);
                    // The device is gone for the stack above: its periodic
                    // bandwidth goes back to the bus (a composite parent keeps
                    // the device's configuration for its other functions).
                    if (port->Function < 0) ReleaseInterface(*port, -1);
                    if (remove && port->Function >= 0) {
                        // A child of a composite device: the parent keeps the
                        // device configured, its pipes open, for the next driver.
                        port->PdoRemoved = true;
                        deletePdo = !port->Connected;
                    } else if (remove) {
                        port->PdoRemoved = true;
                        ClosePipes(*bus, *port, -1, &done);
                        port->ConfigurationHandle = nullptr;
                        port->InterfaceHandles.clear();
                        port->InterfaceInfos.clear();
                        if (port->Connected) {
                            port->Camera->Configuration = 0;
                            port->Camera->AltSetting.clear();
                        }
                        deletePdo = !port->Connected;
                    }
                }
            }
            CompleteAll(*bus, done, false);
            if (deletePdo) {
                // Wait for completions of this port still running on bus threads
                // (delayed ones may wait for virtual time).
                sim::TimeWaitScope outside;
                std::unique_lock<std::mutex> lock(bus->Lock);
                bus->Changed.wait_for(lock, std::chrono::seconds(10), [&] {
                    Port *port = PortOfPdo(*bus, DeviceObject);
                    if (port == nullptr) return true;
                    for (auto &e : port->Endpoints)
                        if (e.second.Completing != 0 || !e.second.Queue.empty()) return false;
                    return true;
                });
                PdoExtension *x = static_cast<PdoExtension *>(DeviceObject->DeviceExtension);
                Port *port = PortOfPdo(*bus, DeviceObject);
                if (port != nullptr && port->InterfaceReferences != 0)
                    sim::VerifierReportAtCaller("BUS_INTERFACE_REFERENCE",
                                                std::to_string(port->InterfaceReferences) +
                                                    " reference(s) on the bus interface still held when the PDO goes");
                bus->Ports.erase(x->Port);
                x->Magic = 0;
            }
            status = STATUS_SUCCESS;
            Irp->IoStatus.Status = status;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            if (deletePdo) IoDeleteDevice(DeviceObject);
            return status;
        }
        default:
            break;  // not ours to answer: the status stays as it came
    }
    return CompleteNow(Irp, status, status == Irp->IoStatus.Status ? Irp->IoStatus.Information : 0);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (stack->MinorFunction) {
        case IRP_MN_SET_POWER:
        case IRP_MN_QUERY_POWER:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_WAIT_WAKE:
            status = STATUS_NOT_SUPPORTED;
            break;
        default:
            break;
    }
    PoStartNextPowerIrp(Irp);
    return CompleteNow(Irp, status);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

VOID BusUnload(PDRIVER_OBJECT DriverObject) { (void)DriverObject; }

// Opens the pipes of one interface setting into info (whose Length the caller
// has checked) and records their handles.
void OpenPipes(Bus &bus, Port &port, const InterfaceSetting &s, PUSBD_INTERFACE_INFORMATION info) {
    PVOID handle = NewHandle(bus);
    port.InterfaceHandles[s.InterfaceNumber] = handle;
    info->Class = s.Class;
    info->SubClass = s.SubClass;
    info->Protocol = s.Protocol;
    info->Reserved = 0;
    info->InterfaceHandle = handle;
    info->NumberOfPipes = (ULONG)s.Endpoints.size();
    for (size_t i = 0; i < s.Endpoints.size(); ++i) {
        const EndpointInfo &e = s.Endpoints[i];
        USBD_PIPE_INFORMATION &p = info->Pipes[i];
        // The payload per service interval: a high-bandwidth endpoint's
        // wMaxPacketSize 0x1400 reports 3 x 1024 = 3072 bytes.
        p.MaximumPacketSize = (USHORT)e.PayloadPerInterval();
        p.EndpointAddress = e.Address;
        p.Interval = e.Interval;
        p.PipeType = (USBD_PIPE_TYPE)e.Type();
        p.PipeHandle = NewHandle(bus);
        bus.Pipes[(uintptr_t)p.PipeHandle] = Pipe{port.Number, e.Address, s.InterfaceNumber, e.Type(), e.Interval,
                                                  p.MaximumPacketSize, p.MaximumTransferSize};
        EndpointQueue &q = port.Endpoints[e.Address];
        q.NextIsoMicroframe = 0;
        q.NextPollMicroframe = 0;
        q.Halted = false;
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(info);
    std::vector<uint8_t> &copy = port.InterfaceInfos[s.InterfaceNumber];
    copy.assign(bytes, bytes + GET_USBD_INTERFACE_SIZE(s.Endpoints.size()));
    reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(copy.data())->Length = (USHORT)copy.size();
}

// A standard request that the bus itself puts on the wire while serving a
// configuration URB, logged as its own record.
bool BusControl(Bus &bus, Port &port, Transfer *parent, uint8_t request, uint16_t value, uint16_t index,
                uint8_t type, uint64_t now) {
    WireRecord r{};
    r.Sequence = ++bus.NextSequence;
    r.Port = port.Number;
    r.Endpoint = 0;
    r.Type = TransferType::Control;
    r.UrbFunction = parent->Record.UrbFunction;
    SetSetup(r, type, request, value, index, 0);
    bool ok = !MergedKnobs(port, 0).ControlStall;
    if (ok) ok = !port.Camera->Control(r.Setup, nullptr, now).Stall;
    r.Status = ok ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    r.SubmitMicros = r.CompleteMicros = now;
    if (bus.Pcap.IsOpen()) {
        bus.Pcap.Event('S', r, port.Address, nullptr, 0, 0, bus.EpochMicros + now);
        bus.Pcap.Event('C', r, port.Address, nullptr, 0, 0, bus.EpochMicros + now);
    }
    LogRecord(r);
    return ok;
}

// The interface records of a select-configuration URB, checked against the
// configuration the client's descriptor names. Records are read while they
// fit the URB, up to the descriptor's bNumInterfaces; a record of Length 0
// ends them (the padding of a URB built for a setting without endpoints).
USBD_STATUS InterfaceRecords(PURB urb, const ConfigurationInfo &configuration, uint8_t interfaces,
                             std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceSetting *>> *selected) {
    const size_t urbLength = urb->UrbHeader.Length;
    size_t offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (uint8_t i = 0; i < interfaces && offset + GET_USBD_INTERFACE_SIZE(0) <= urbLength; ++i) {
        PUSBD_INTERFACE_INFORMATION info =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t *>(urb) + offset);
        if (info->Length == 0) break;
        const InterfaceSetting *s = configuration.FindSetting(info->InterfaceNumber, info->AlternateSetting);
        if (s == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
        if (info->Length < GET_USBD_INTERFACE_SIZE(s->Endpoints.size()) || offset + info->Length > urbLength)
            return USBD_STATUS_INVALID_PARAMETER;
        for (const auto &earlier : *selected)
            if (earlier.second->InterfaceNumber == s->InterfaceNumber) return USBD_STATUS_INVALID_PARAMETER;
        selected->push_back({info, s});
        offset += info->Length;
    }
    return selected->empty() ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS;
}

// A child's select-configuration, answered by the composite parent: the
// device stays in the configuration the parent selected (no SET_CONFIGURATION);
// each named interface of the function whose alternate setting differs from the
// device's is switched with SET_INTERFACE and gets new pipes, the others get
// the parent's interface information (same handles) with the child's
// MaximumTransferSize. Interfaces of other functions are refused; interfaces of
// the function left out stay as they are. An unconfigure request succeeds
// without traffic: the parent keeps the device configured for its other
// functions.
USBD_STATUS SelectFunctionConfiguration(Bus &bus, Port &port, Transfer *t, uint64_t now,
                                        std::vector<Completion> *out) {
    struct _URB_SELECT_CONFIGURATION &u = t->Urb->UrbSelectConfiguration;
    const uint8_t *config = reinterpret_cast<const uint8_t *>(u.ConfigurationDescriptor);
    const ConfigurationInfo &configuration = port.Camera->Profile.First();
    const FunctionInfo &function = configuration.Functions[(size_t)port.Function];
    if (config == nullptr) {
        u.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    size_t total = (size_t)config[2] | ((size_t)config[3] << 8), extent;
    if (ConfigurationExtent(config, total, &extent) != WalkError::None || config[5] != configuration.Value)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceSetting *>> selected;
    USBD_STATUS checked = InterfaceRecords(t->Urb, configuration, function.InterfaceCount, &selected);
    if (!USBD_SUCCESS(checked)) return checked;
    for (auto &sel : selected)
        if (!function.Contains(sel.second->InterfaceNumber)) return USBD_STATUS_INVALID_PARAMETER;
    // The interfaces that change setting must fit in what the bus has left,
    // their current settings' reservations given back first.
    PeriodicLoad load = BusLoad(bus, port.BusNumber);
    std::vector<PeriodicReservation> placed;
    std::vector<uint8_t> changing;
    for (auto &sel : selected) {
        auto current = port.Camera->AltSetting.find(sel.second->InterfaceNumber);
        const uint8_t alternate = current == port.Camera->AltSetting.end() ? 0 : current->second;
        if (alternate == sel.second->AlternateSetting &&
            port.InterfaceInfos.count(sel.second->InterfaceNumber) != 0)
            continue;
        changing.push_back(sel.second->InterfaceNumber);
        for (const PeriodicReservation &r : port.Periodic)
            if (r.InterfaceNumber == sel.second->InterfaceNumber) Release(&load, r);
    }
    for (auto &sel : selected) {
        bool changes = false;
        for (uint8_t n : changing) changes = changes || n == sel.second->InterfaceNumber;
        if (!changes) continue;
        for (const EndpointInfo &e : sel.second->Endpoints) {
            PeriodicReservation r;
            if (!Place(&load, port.Camera->Profile.HighSpeed, sel.second->InterfaceNumber, e, &r))
                return USBD_STATUS_NO_BANDWIDTH;
            if (r.Ps != 0) placed.push_back(r);
        }
    }
    for (auto &sel : selected) {
        PUSBD_INTERFACE_INFORMATION info = sel.first;
        const InterfaceSetting &setting = *sel.second;
        auto current = port.Camera->AltSetting.find(setting.InterfaceNumber);
        const uint8_t alternate = current == port.Camera->AltSetting.end() ? 0 : current->second;
        auto kept = port.InterfaceInfos.find(setting.InterfaceNumber);
        if (alternate == setting.AlternateSetting && kept != port.InterfaceInfos.end()) {
            ULONG sizes[32];
            for (size_t i = 0; i < setting.Endpoints.size(); ++i) sizes[i] = info->Pipes[i].MaximumTransferSize;
            const USHORT length = info->Length;
            memcpy(info, kept->second.data(), kept->second.size());
            info->Length = length;
            for (size_t i = 0; i < setting.Endpoints.size(); ++i) {
                info->Pipes[i].MaximumTransferSize = sizes[i];
                auto pipe = bus.Pipes.find((uintptr_t)info->Pipes[i].PipeHandle);
                if (pipe != bus.Pipes.end()) pipe->second.MaxTransfer = sizes[i];
            }
            continue;
        }
        if (!BusControl(bus, port, t, USB_REQUEST_SET_INTERFACE, setting.AlternateSetting, setting.InterfaceNumber,
                        0x01, now))
            return USBD_STATUS_STALL_PID;
        ClosePipes(bus, port, setting.InterfaceNumber, out);
        OpenPipes(bus, port, setting, info);
        ReserveInterface(port, placed, setting.InterfaceNumber);
    }
    u.ConfigurationHandle = port.ConfigurationHandle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(Bus &bus, Port &port, Transfer *t, uint64_t now, std::vector<Completion> *out) {
    // Refused while transfers are queued on any pipe it would close.
    for (auto &e : port.Endpoints)
        if (e.first != 0 && !e.second.Queue.empty()) return USBD_STATUS_ERROR_BUSY;
    if (port.Function >= 0) return SelectFunctionConfiguration(bus, port, t, now, out);
    struct _URB_SELECT_CONFIGURATION &u = t->Urb->UrbSelectConfiguration;
    const uint8_t *config = reinterpret_cast<const uint8_t *>(u.ConfigurationDescriptor);
    if (config == nullptr) {
        SetSetup(t->Record, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0);
        ClosePipes(bus, port, -1, out);
        port.ConfigurationHandle = nullptr;
        port.InterfaceHandles.clear();
        port.InterfaceInfos.clear();
        u.ConfigurationHandle = nullptr;
        t->Refused = false;
        return port.Camera->Control(t->Record.Setup, nullptr, now).Stall ? USBD_STATUS_STALL_PID
                                                                         : USBD_STATUS_SUCCESS;
    }
    // The client's descriptor is read only within its own wTotalLength.
    size_t total = (size_t)config[2] | ((size_t)config[3] << 8), extent;
    if (ConfigurationExtent(config, total, &extent) != WalkError::None)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    const uint8_t value = config[5], interfaces = config[4];
    SetSetup(t->Record, 0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0);
    if (interfaces == 0) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    // The settings are those of the device's configuration with that value
    // (a value the device does not have stalls on the wire below).
    const ConfigurationInfo *configuration = port.Camera->Profile.ConfigurationByValue(value);
    if (configuration == nullptr) configuration = &port.Camera->Profile.First();

    // Check every interface record before anything changes. The request must
    // name every interface of the configuration, as the platform's bus driver
    // requires (a device whose interfaces are meant for separate drivers is
    // plugged through a composite parent instead).
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceSetting *>> selected;
    USBD_STATUS checked = InterfaceRecords(t->Urb, *configuration, interfaces, &selected);
    if (!USBD_SUCCESS(checked)) return checked;
    if (selected.size() != interfaces || interfaces != configuration->InterfaceCount)
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    // The host controller reserves the periodic bandwidth of every selected
    // setting before the device hears of it; the old configuration's
    // reservations count as given back.
    std::vector<const InterfaceSetting *> settings;
    for (auto &sel : selected) settings.push_back(sel.second);
    std::vector<PeriodicReservation> placed;
    if (!FitSettings(bus, port, -1, settings, &placed)) return USBD_STATUS_NO_BANDWIDTH;

    t->Refused = false;
    if (port.Camera->Control(t->Record.Setup, nullptr, now).Stall) return USBD_STATUS_STALL_PID;
    ClosePipes(bus, port, -1, out);
    port.InterfaceHandles.clear();
    port.InterfaceInfos.clear();
    for (auto &sel : selected) {
        if (sel.second->AlternateSetting != 0 &&
            !BusControl(bus, port, t, USB_REQUEST_SET_INTERFACE, sel.second->AlternateSetting,
                        sel.second->InterfaceNumber, 0x01, now))
            return USBD_STATUS_STALL_PID;
        OpenPipes(bus, port, *sel.second, sel.first);
        ReserveInterface(port, placed, sel.second->InterfaceNumber);
    }
    port.ConfigurationHandle = NewHandle(bus);
    u.ConfigurationHandle = port.ConfigurationHandle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Bus &bus, Port &port, Transfer *t, uint64_t now, std::vector<Completion> *out) {
    struct _URB_SELECT_INTERFACE &u = t->Urb->UrbSelectInterface;
    PUSBD_INTERFACE_INFORMATION info = &u.Interface;
    SetSetup(t->Record, 0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting, info->InterfaceNumber, 0);
    if (port.ConfigurationHandle == nullptr || u.ConfigurationHandle != port.ConfigurationHandle)
        return USBD_STATUS_INVALID_PARAMETER;
    const ConfigurationInfo *active = port.Camera->ActiveConfiguration();
    const InterfaceSetting *s =
        active == nullptr ? nullptr : active->FindSetting(info->InterfaceNumber, info->AlternateSetting);
    if (s == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
    // A child of a composite device selects only its own function's interfaces.
    if (port.Function >= 0 && !active->Functions[(size_t)port.Function].Contains(s->InterfaceNumber))
        return USBD_STATUS_INVALID_PARAMETER;
    // Refused while transfers are queued on a pipe of the interface.
    for (const auto &p : bus.Pipes)
        if (p.second.Port == port.Number && p.second.InterfaceNumber == info->InterfaceNumber &&
            EndpointBusy(port, p.second.Endpoint))
            return USBD_STATUS_ERROR_BUSY;
    const size_t head = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
    if (info->Length < GET_USBD_INTERFACE_SIZE(s->Endpoints.size()) ||
        head + info->Length > t->Urb->UrbHeader.Length)
        return USBD_STATUS_INVALID_PARAMETER;
    // The new setting's periodic endpoints must fit in what the other devices
    // of the bus (and the device's other interfaces) hold; refused, the old
    // setting keeps its pipes and its reservation.
    std::vector<PeriodicReservation> placed;
    if (!FitSettings(bus, port, info->InterfaceNumber, {s}, &placed)) return USBD_STATUS_NO_BANDWIDTH;
    t->Refused = false;
    if (port.Camera->Control(t->Record.Setup, nullptr, now).Stall) return USBD_STATUS_STALL_PID;
    ClosePipes(bus, port, info->InterfaceNumber, out);
    OpenPipes(bus, port, *s, info);
    ReserveInterface(port, placed, s->InterfaceNumber);
    return USBD_STATUS_SUCCESS;
}

}  // namespace


USBD_STATUS RunConfigurationTransfer(Bus &bus, Port &port, Transfer *t, uint64_t now, std::vector<Completion> *out) {
    switch (t->Kind) {
        case TransferKind::SelectConfiguration:
        case TransferKind::SelectInterface: {
            // A selection that fails its checks never reaches the wire.
            t->Refused = true;
            return t->Kind == TransferKind::SelectConfiguration ? SelectConfiguration(bus, port, t, now, out)
                                                                : SelectInterface(bus, port, t, now, out);
        }
        case TransferKind::ResetPipe: {
            // Refused while transfers are queued on the pipe (aborted ones still
            // being cancelled included).
            if (EndpointBusy(port, t->Endpoint)) {
                t->Refused = true;
                return USBD_STATUS_ERROR_BUSY;
            }
            // Host side: the pipe starts afresh (a clear-stall alone leaves the
            // host side halted). Device side: CLEAR_FEATURE(ENDPOINT_HALT).
            EndpointQueue &q = port.Endpoints[t->Endpoint];
            q.NextIsoMicroframe = 0;
            q.NextPollMicroframe = 0;
            if (t->Record.UrbFunction != URB_FUNCTION_SYNC_CLEAR_STALL) q.Halted = false;
            if (!t->ClearHalt) return USBD_STATUS_SUCCESS;
            SetSetup(t->Record, 0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, t->Endpoint, 0);
            t->Record.Endpoint = 0;
            if (MergedKnobs(port, 0).ControlStall) return USBD_STATUS_STALL_PID;
            return port.Camera->Control(t->Record.Setup, nullptr, now).Stall ? USBD_STATUS_STALL_PID
                                                                             : USBD_STATUS_SUCCESS;
        }
        default:
            return USBD_STATUS_INVALID_PARAMETER;
    }
}

USBD_STATUS CompositeParentConfigure(Bus &bus, Port &port) {
    const ConfigurationInfo &configuration = port.Camera->Profile.First();
    const uint64_t now = BusMicros(bus);
    Transfer parent{};
    parent.Record.UrbFunction = URB_FUNCTION_SELECT_CONFIGURATION;
    if (!BusControl(bus, port, &parent, USB_REQUEST_SET_CONFIGURATION, configuration.Value, 0, 0x00, now))
        return USBD_STATUS_STALL_PID;
    port.InterfaceHandles.clear();
    port.InterfaceInfos.clear();
    std::vector<const InterfaceSetting *> settings;
    for (const InterfaceSetting &s : configuration.Settings)
        if (s.AlternateSetting == 0) settings.push_back(&s);
    std::vector<PeriodicReservation> placed;
    if (!FitSettings(bus, port, -1, settings, &placed)) return USBD_STATUS_NO_BANDWIDTH;
    port.Periodic = placed;
    for (const InterfaceSetting &s : configuration.Settings) {
        if (s.AlternateSetting != 0) continue;
        std::vector<uint8_t> record(GET_USBD_INTERFACE_SIZE(s.Endpoints.size()), 0);
        PUSBD_INTERFACE_INFORMATION info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record.data());
        info->Length = (USHORT)record.size();
        info->InterfaceNumber = s.InterfaceNumber;
        info->AlternateSetting = 0;
        for (size_t i = 0; i < s.Endpoints.size(); ++i)
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        OpenPipes(bus, port, s, info);
    }
    port.ConfigurationHandle = NewHandle(bus);
    return USBD_STATUS_SUCCESS;
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = DispatchUnsupported;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = BusUnload;
    return STATUS_SUCCESS;
}

}  // namespace usb
}  // namespace sim
