#include "scripted_bus.h"

#include <chrono>
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

NTSTATUS ScriptedPnp(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: return Complete(irp, g_bus.StartStatus);
        case IRP_MN_QUERY_CAPABILITIES: return Complete(irp, g_bus.CapabilitiesStatus);
        default: return Complete(irp, STATUS_SUCCESS);
    }
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
    PendPower = false;
    PendingPower.clear();
    InternalCodes.clear();
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

}  // namespace drvtest
