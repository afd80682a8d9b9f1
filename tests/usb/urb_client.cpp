#include "urb_client.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace usbtest {

namespace {

std::atomic<uint64_t> g_completionOrder{0};

NTSTATUS OnAsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    AsyncUrb *a = static_cast<AsyncUrb *>(context);
    a->Status = irp->IoStatus.Status;
    a->Order = ++g_completionOrder;
    KeSetEvent(&a->Done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

template <typename T>
UrbBuffer Make(USHORT function, size_t size = sizeof(T)) {
    UrbBuffer b;
    b.Bytes.assign(size, 0);
    b.Urb()->UrbHeader.Length = (USHORT)size;
    b.Urb()->UrbHeader.Function = function;
    return b;
}

}  // namespace

NTSTATUS PortRequest(PDEVICE_OBJECT target, ULONG code, PVOID argument1) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS status = IofCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS SubmitSync(PDEVICE_OBJECT target, PURB urb) {
    return PortRequest(target, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

void StartAsync(AsyncUrb *a, PDEVICE_OBJECT target, PURB urb) {
    StartAsyncRequest(a, target, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

void StartAsyncRequest(AsyncUrb *a, PDEVICE_OBJECT target, ULONG code, PVOID argument1) {
    KeInitializeEvent(&a->Done, NotificationEvent, FALSE);
    a->Status = STATUS_PENDING;
    a->Irp = IoAllocateIrp(target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(a->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument1;
    IoSetCompletionRoutine(a->Irp, OnAsyncDone, a, TRUE, TRUE, TRUE);
    a->Returned = IofCallDriver(target, a->Irp);
}

bool WaitAsync(AsyncUrb *a, int ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * ms;
    return KeWaitForSingleObject(&a->Done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
}

void FreeAsync(AsyncUrb *a) {
    if (a->Irp != nullptr) IoFreeIrp(a->Irp);
    a->Irp = nullptr;
}

UrbBuffer DescriptorRequest(uint8_t type, uint8_t index, uint16_t language, void *buffer, ULONG length,
                            USHORT function) {
    UrbBuffer b = Make<struct _URB_CONTROL_DESCRIPTOR_REQUEST>(function);
    auto &d = b.Urb()->UrbControlDescriptorRequest;
    d.DescriptorType = type;
    d.Index = index;
    d.LanguageId = language;
    d.TransferBuffer = buffer;
    d.TransferBufferLength = length;
    return b;
}

UrbBuffer VendorClassRequest(USHORT function, bool in, uint8_t request, uint16_t value, uint16_t index,
                             void *buffer, ULONG length) {
    UrbBuffer b = Make<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST>(function);
    auto &v = b.Urb()->UrbControlVendorClassRequest;
    v.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
    v.Request = request;
    v.Value = value;
    v.Index = index;
    v.TransferBuffer = buffer;
    v.TransferBufferLength = length;
    return b;
}

UrbBuffer FeatureRequest(USHORT function, uint16_t selector, uint16_t index) {
    UrbBuffer b = Make<struct _URB_CONTROL_FEATURE_REQUEST>(function);
    b.Urb()->UrbControlFeatureRequest.FeatureSelector = selector;
    b.Urb()->UrbControlFeatureRequest.Index = index;
    return b;
}

UrbBuffer PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USHORT length) {
    UrbBuffer b = Make<struct _URB_PIPE_REQUEST>(function);
    b.Urb()->UrbHeader.Length = length;
    b.Urb()->UrbPipeRequest.PipeHandle = pipe;
    return b;
}

UrbBuffer BulkTransfer(USBD_PIPE_HANDLE pipe, bool in, void *buffer, ULONG length, PMDL mdl) {
    UrbBuffer b = Make<struct _URB_BULK_OR_INTERRUPT_TRANSFER>(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    auto &t = b.Urb()->UrbBulkOrInterruptTransfer;
    t.PipeHandle = pipe;
    t.TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    t.TransferBuffer = mdl == nullptr ? buffer : nullptr;
    t.TransferBufferMDL = mdl;
    t.TransferBufferLength = length;
    return b;
}

UrbBuffer IsoTransfer(USBD_PIPE_HANDLE pipe, bool in, void *buffer, ULONG packets, ULONG packetSize, bool asap,
                      ULONG startFrame) {
    // The driver's own layout: room for one descriptor more than it uses.
    size_t size = sizeof(struct _URB_ISOCH_TRANSFER) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    UrbBuffer b = Make<struct _URB_ISOCH_TRANSFER>(URB_FUNCTION_ISOCH_TRANSFER, size);
    auto &t = b.Urb()->UrbIsochronousTransfer;
    t.PipeHandle = pipe;
    t.TransferFlags = USBD_SHORT_TRANSFER_OK | (asap ? USBD_START_ISO_TRANSFER_ASAP : 0) |
                      (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    t.StartFrame = startFrame;
    t.TransferBuffer = buffer;
    t.TransferBufferLength = packets * packetSize;
    t.NumberOfPackets = packets;
    for (ULONG j = 0; j < packets; ++j) {
        t.IsoPacket[j].Offset = j * packetSize;
        t.IsoPacket[j].Length = packetSize;
    }
    return b;
}

UrbBuffer FrameNumberRequest() {
    return Make<struct _URB_GET_CURRENT_FRAME_NUMBER>(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
}

Selection Configure(PDEVICE_OBJECT pdo, ULONG maxTransfer) {
    Selection s{};
    std::vector<uint8_t> config(512);
    UrbBuffer d = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), (ULONG)config.size());
    s.Status = SubmitSync(pdo, d.Urb());
    if (!NT_SUCCESS(s.Status)) return s;
    auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{id, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    if (urb == nullptr) {
        s.Status = STATUS_NO_MEMORY;
        return s;
    }
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i)
        list[0].Interface->Pipes[i].MaximumTransferSize = maxTransfer;
    s.Status = SubmitSync(pdo, urb);
    s.Configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    s.Interface = *list[0].Interface;
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) s.Pipes.push_back(list[0].Interface->Pipes[i]);
    ExFreePool(urb);
    return s;
}

Selection SelectAlternate(PDEVICE_OBJECT pdo, USBD_CONFIGURATION_HANDLE config, uint8_t alternate, uint8_t pipes,
                          ULONG maxTransfer) {
    Selection s{};
    size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    UrbBuffer b = Make<struct _URB_SELECT_INTERFACE>(URB_FUNCTION_SELECT_INTERFACE,
                                                     std::max(size, sizeof(struct _URB_SELECT_INTERFACE)));
    b.Urb()->UrbHeader.Length = (USHORT)size;
    auto &u = b.Urb()->UrbSelectInterface;
    u.ConfigurationHandle = config;
    u.Interface.Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes);
    u.Interface.InterfaceNumber = 0;
    u.Interface.AlternateSetting = alternate;
    for (uint8_t i = 0; i < pipes; ++i) u.Interface.Pipes[i].MaximumTransferSize = maxTransfer;
    s.Status = SubmitSync(pdo, b.Urb());
    s.Configuration = config;
    s.Interface = u.Interface;
    for (ULONG i = 0; NT_SUCCESS(s.Status) && i < u.Interface.NumberOfPipes; ++i) s.Pipes.push_back(u.Interface.Pipes[i]);
    return s;
}

void BusTest::SetUp() {
    KernelTest::SetUp();
    ASSERT_EQ(STATUS_SUCCESS, sim::usb::BusStart());
    sim::usb::PlugResult r = sim::usb::PlugReferenceCamera();
    ASSERT_EQ(STATUS_SUCCESS, r.Status) << r.Error;
    Port = r.Port;
    Pdo = r.Pdo;
}

void BusTest::TearDown() {
    sim::usb::BusStop();
    KernelTest::TearDown();
}

bool BusTest::WaitQueued(int endpoint, uint32_t n) {
    for (int i = 0; i < 5000; ++i) {
        if (sim::usb::QueuedTransfers(Port, endpoint) >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace usbtest
