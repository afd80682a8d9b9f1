#include "scripted_bus.h"

#include "usb/interface_snapshot.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace drvtest {

namespace {

ScriptedBus g_bus;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteLater(PIRP irp, NTSTATUS status) {
    IoMarkIrpPending(irp);
    std::thread([irp, status] {
        sim::RunOnKernelThread(PASSIVE_LEVEL, [irp, status] { Complete(irp, status); });
    }).detach();
    return STATUS_PENDING;
}

NTSTATUS ScriptedPnp(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: status = g_bus.StartStatus; break;
        case IRP_MN_QUERY_CAPABILITIES: status = g_bus.CapabilitiesStatus; break;
        default: return Complete(irp, STATUS_SUCCESS);
    }
    return g_bus.PendPnp ? CompleteLater(irp, status) : Complete(irp, status);
}

NTSTATUS ScriptedPower(PDEVICE_OBJECT, PIRP irp) {
    if (g_bus.PendPower) {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> hold(g_bus.Lock);
        g_bus.PendingPower.push_back(irp);
        return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS ScriptedInternal(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ScriptedBus::Answer answer;
    {
        std::lock_guard<std::mutex> hold(g_bus.Lock);
        g_bus.InternalCodes.push_back(code);
    }
    if (g_bus.OnInternal) answer = g_bus.OnInternal(code, stack);
    if (answer.Hold) {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> hold(g_bus.Lock);
        g_bus.Held.push_back(irp);
        return STATUS_PENDING;
    }
    if (!answer.Pend) return Complete(irp, answer.Status);

    IoMarkIrpPending(irp);
    const NTSTATUS status = answer.Status;
    const uint32_t delayMs = answer.DelayMs;
    std::thread([irp, status, delayMs] {
        if (delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        sim::RunOnKernelThread(DISPATCH_LEVEL, [irp, status] { Complete(irp, status); });
    }).detach();
    return STATUS_PENDING;
}

NTSTATUS ScriptedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = ScriptedPnp;
    driver->MajorFunction[IRP_MJ_POWER] = ScriptedPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ScriptedInternal;
    return STATUS_SUCCESS;
}

}  // namespace

ScriptedBus &Scripted() { return g_bus; }

void ScriptedBus::Load() {
    OnInternal = nullptr;
    StartStatus = STATUS_SUCCESS;
    CapabilitiesStatus = STATUS_SUCCESS;
    PendPnp = false;
    PendPower = false;
    PendingPower.clear();
    InternalCodes.clear();
    Held.clear();
    Pdos.clear();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Driver = sim::LoadDriver("scriptbus", ScriptedEntry, &status);
}

PDEVICE_OBJECT ScriptedBus::CreatePdo() {
    std::string name = "\\Device\\ScriptPdo-" + std::to_string(Pdos.size());
    std::u16string wide(name.begin(), name.end());
    PDEVICE_OBJECT pdo = nullptr;
    sim::RunOnKernelThread(PASSIVE_LEVEL, [&] {
        sim::DriverThreadScope scope(Driver);
        UNICODE_STRING unicodeName;
        RtlInitUnicodeString(&unicodeName, wide.c_str());
        if (IoCreateDevice(Driver, 0, &unicodeName, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo) ==
            STATUS_SUCCESS) {
            pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    });
    if (pdo != nullptr) Pdos.push_back(pdo);
    return pdo;
}

void ScriptedBus::CompletePendingPower() {
    std::vector<PIRP> irps;
    {
        std::lock_guard<std::mutex> hold(Lock);
        irps.swap(PendingPower);
    }
    for (PIRP irp : irps) {
        sim::RunOnKernelThread(PASSIVE_LEVEL, [irp] {
            PoStartNextPowerIrp(irp);
            Complete(irp, STATUS_SUCCESS);
        });
    }
}

void ScriptedBus::CompleteHeld(PIRP irp, NTSTATUS status) {
    {
        std::lock_guard<std::mutex> hold(Lock);
        Held.erase(std::remove(Held.begin(), Held.end(), irp), Held.end());
    }
    sim::RunOnKernelThread(DISPATCH_LEVEL, [irp, status] { Complete(irp, status); });
}

void ScriptedBus::Unload() {
    if (Driver == nullptr) return;
    for (PDEVICE_OBJECT pdo : Pdos) {
        sim::RunOnKernelThread(PASSIVE_LEVEL, [this, pdo] {
            sim::DriverThreadScope scope(Driver);
            IoDeleteDevice(pdo);
        });
    }
    Pdos.clear();
    sim::UnloadDriver(Driver);
    Driver = nullptr;
    OnInternal = nullptr;
}

void ScriptedCamera::Describe(int endpoints) {
    Device = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0xFF, 0, 0, 64, 0x09, 0x12, 0x02, 0x00,
              0x00, 0x01, 0, 0, 0, 1};
    const uint16_t total = (uint16_t)(9 + 9 + 7 * endpoints);
    Configuration = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, (uint8_t)total, (uint8_t)(total >> 8),
                     1, 1, 0, 0x80, 50,
                     9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, (uint8_t)endpoints, 0xFF, 0, 0, 0};
    for (int i = 0; i < endpoints; i++) {
        const uint8_t address = (uint8_t)((i % 2 ? 0x80 : 0x00) | (i + 1));
        const std::vector<uint8_t> endpoint = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address,
                                               USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0};
        Configuration.insert(Configuration.end(), endpoint.begin(), endpoint.end());
    }
}

std::vector<ScriptedCamera::Sent> ScriptedCamera::Urbs() {
    std::lock_guard<std::mutex> hold(lock_);
    return urbs_;
}

size_t ScriptedCamera::Count(USHORT function) {
    std::lock_guard<std::mutex> hold(lock_);
    return (size_t)std::count_if(urbs_.begin(), urbs_.end(),
                                 [function](const Sent &s) { return s.Function == function; });
}

void ScriptedCamera::Clear() {
    std::lock_guard<std::mutex> hold(lock_);
    urbs_.clear();
}

void ScriptedCamera::Install() {
    Scripted().OnInternal = [this](ULONG code, PIO_STACK_LOCATION stack) {
        ScriptedBus::Answer answer;
        if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) return answer;
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        Sent sent;
        sent.Function = urb->UrbHeader.Function;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        switch (sent.Function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
                auto *request = &urb->UrbControlDescriptorRequest;
                sent.DescriptorType = request->DescriptorType;
                sent.Length = request->TransferBufferLength;
                const bool configuration = request->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE;
                if (!configuration && request->DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
                    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
                    request->TransferBufferLength = 0;
                    answer.Status = STATUS_UNSUCCESSFUL;
                    break;
                }
                const std::vector<uint8_t> &bytes = configuration ? Configuration : Device;
                const ULONG n = std::min<ULONG>(request->TransferBufferLength, (ULONG)bytes.size());
                memcpy(request->TransferBuffer, bytes.data(), n);
                request->TransferBufferLength = n;
                int index = -1;
                if (configuration) {
                    std::lock_guard<std::mutex> hold(lock_);
                    index = configurationReads_++;
                }
                if (OnDescriptor) OnDescriptor(request, index);
                break;
            }
            case URB_FUNCTION_SELECT_CONFIGURATION: {
                auto *select = &urb->UrbSelectConfiguration;
                if (select->ConfigurationDescriptor == nullptr) {
                    select->ConfigurationHandle = nullptr;
                    break;
                }
                select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(uintptr_t)0xC0F1;
                PUSBD_INTERFACE_INFORMATION info = &select->Interface;
                info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(uintptr_t)0x1F;
                for (ULONG i = 0; i < info->NumberOfPipes; i++) {
                    info->Pipes[i].PipeHandle = ScriptedPipeHandle(i);
                    info->Pipes[i].EndpointAddress = Configuration[18 + 7 * i + 2];
                    info->Pipes[i].PipeType = UsbdPipeTypeBulk;
                    info->Pipes[i].MaximumPacketSize = 512;
                }
                if (OnSelectConfiguration) OnSelectConfiguration(info);
                break;
            }
            case URB_FUNCTION_ABORT_PIPE:
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
                sent.PipeHandle = urb->UrbPipeRequest.PipeHandle;
                break;
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                sent.PipeHandle = urb->UrbBulkOrInterruptTransfer.PipeHandle;
                sent.Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
                answer.Status = TransferStatus;
                break;
            default:
                break;
        }
        if (OnUrb) OnUrb(urb);
        std::lock_guard<std::mutex> hold(lock_);
        urbs_.push_back(sent);
        return answer;
    };
}

}  // namespace drvtest

namespace drvtest {

void ScriptedDeviceTest::SetUp() {
    DriverTest::SetUp();
    Scripted().Load();
    ASSERT_NE(Scripted().Driver, nullptr);
    if (!reportOne_) return;
    pdo_ = AddScripted();
    ASSERT_NE(pdo_, nullptr);
    fdo_ = pdo_->AttachedDevice;
    ASSERT_NE(fdo_, nullptr);
}

void ScriptedDeviceTest::TearDown() {
    if (handle_ != 0) sim::ClientClose(handle_);
    handle_ = 0;
    RemoveAll();
    Scripted().Unload();
    // Driver-wide settings a test may have changed.
    WriteNoFence64(&TransferTimeoutMs, USBCAM_DEFAULT_TIMEOUT_MS);
    sim::usb::SetUsbdiVersion(0x600);
    DriverTest::TearDown();
}

PDEVICE_OBJECT ScriptedDeviceTest::AddScripted() {
    PDEVICE_OBJECT pdo = Scripted().CreatePdo();
    EXPECT_NE(pdo, nullptr);
    if (pdo == nullptr) return nullptr;
    EXPECT_EQ(sim::PnpReportChild(pdo, driver_), STATUS_SUCCESS);
    return pdo;
}

void ScriptedDeviceTest::RemoveAll() {
    for (PDEVICE_OBJECT pdo : Scripted().Pdos) {
        if (pdo->AttachedDevice != nullptr) sim::PnpRemoveDevice(pdo);
    }
}

namespace {

// The pipe table of a selection, from the test's pipes.
void FillPipes(USBD_INTERFACE_INFORMATION *info, const std::vector<ScriptedPipe> &pipes) {
    for (size_t i = 0; i < pipes.size(); i++) {
        info->Pipes[i].EndpointAddress = pipes[i].Address;
        info->Pipes[i].PipeType = pipes[i].Type;
        info->Pipes[i].PipeHandle = pipes[i].Handle;
        info->Pipes[i].MaximumPacketSize = pipes[i].MaximumPacketSize;
        info->Pipes[i].Interval = pipes[i].Interval;
        info->Pipes[i].MaximumTransferSize = 0x3FFFFF;
    }
}

}  // namespace

void ScriptedDeviceTest::ReplacePipes(const std::vector<ScriptedPipe> &pipes) {
    const ULONG length = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                         (ULONG)pipes.size() * sizeof(USBD_PIPE_INFORMATION);
    std::vector<uint8_t> raw(length, 0);
    auto *info = (USBD_INTERFACE_INFORMATION *)raw.data();
    info->Length = (USHORT)length;
    info->NumberOfPipes = (ULONG)pipes.size();
    FillPipes(info, pipes);
    AtPassive(driver_, [&] {
        NTSTATUS status;
        PUSBD_INTERFACE_INFORMATION copy = CreateInterfaceCopy(info, length, &status);
        ASSERT_NE(copy, nullptr);
        ReplaceInterfaceInfo(Ext(), copy);
    });
}

void ScriptedDeviceTest::StartWithPipes(const std::vector<ScriptedPipe> &pipes) {
    // A real start, served by a scripted camera whose selection hands out
    // exactly these pipes; the test's own handler answers from then on.
    auto handler = Scripted().OnInternal;
    ScriptedCamera camera((int)pipes.size());
    camera.OnSelectConfiguration = [&](PUSBD_INTERFACE_INFORMATION info) {
        ASSERT_EQ(info->NumberOfPipes, (ULONG)pipes.size());
        FillPipes(info, pipes);
    };
    camera.Install();
    const NTSTATUS started = sim::PnpStartDevice(pdo_);
    Scripted().OnInternal = handler;
    ASSERT_EQ(started, STATUS_SUCCESS);
    ASSERT_EQ(sim::ClientOpen(Win32Name(0).c_str(), &handle_), STATUS_SUCCESS);
}

}  // namespace drvtest
