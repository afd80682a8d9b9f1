// Plug and Play and power managers: AddDevice, the requests through the
// stack at PASSIVE_LEVEL on the manager's thread, a function driver that
// waits for the lower drivers (the MORE_PROCESSING_REQUIRED pattern),
// capabilities, removal, and power requests through PoCallDriver.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

class PnpTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        busDriver = kt::LoadTestDriver("bus");
        functionDriver = kt::LoadTestDriver("function");
        pdo = kt::CreateDevice(busDriver);
    }
    void TearDown() override {
        kt::SetHandler(pdo, nullptr);
        kt::DeleteDevice(pdo);
        sim::UnloadDriver(functionDriver);
        sim::UnloadDriver(busDriver);
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT busDriver = nullptr, functionDriver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};

NTSTATUS SignalLowerDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(PnpTest, RequestsTravelTheStackOnTheManagerThread) {
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(pdo, functionDriver));
    PDEVICE_OBJECT fdo = kt::LastAddedDevice();
    ASSERT_NE(nullptr, fdo);
    EXPECT_EQ(fdo, pdo->AttachedDevice);
    EXPECT_EQ(2, fdo->StackSize);

    std::thread::id testThread = std::this_thread::get_id();
    std::vector<UCHAR> seenByBus;
    std::vector<NTSTATUS> presetStatus;
    bool wrongThreadOrLevel = false;
    USHORT capsVersion = 0, capsSize = 0;
    kt::SetHandler(pdo, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            return kt::CompleteWith(irp, STATUS_SUCCESS);
        }
        seenByBus.push_back(s->MinorFunction);
        if (s->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
            PDEVICE_CAPABILITIES caps = s->Parameters.DeviceCapabilities.Capabilities;
            capsVersion = caps->Version;
            capsSize = caps->Size;
            caps->Removable = 1;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        }
        if (s->MinorFunction == IRP_MN_STOP_DEVICE) {
            // Pends and completes from another thread at DISPATCH_LEVEL.
            IoMarkIrpPending(irp);
            std::thread([irp] {
                KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
                kt::CompleteWith(irp, STATUS_SUCCESS);
                KeLowerIrql(old);
            }).detach();
            return STATUS_PENDING;
        }
        if (s->MinorFunction == IRP_MN_QUERY_ID + 0x10) {
            // A bus driver leaves requests it does not know as they are.
            NTSTATUS st = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return st;
        }
        return kt::CompleteWith(irp, STATUS_SUCCESS);
    });
    kt::SetHandler(fdo, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (std::this_thread::get_id() == testThread || KeGetCurrentIrql() != PASSIVE_LEVEL) {
            wrongThreadOrLevel = true;
        }
        if (s->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(pdo, irp);
        }
        presetStatus.push_back(irp->IoStatus.Status);
        if (s->MinorFunction == IRP_MN_START_DEVICE || s->MinorFunction == IRP_MN_STOP_DEVICE) {
            // Act after the lower drivers: forward with a routine, wait, finish.
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, SignalLowerDone, &done, TRUE, TRUE, TRUE);
            NTSTATUS st = IoCallDriver(pdo, irp);
            if (st == STATUS_PENDING) {
                KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
                st = irp->IoStatus.Status;
            }
            irp->IoStatus.Status = st;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return st;
        }
        if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS st = IoCallDriver(pdo, irp);
            kt::DeleteDevice(fdo);
            return st;
        }
        return kt::SkipTo(pdo, irp);
    });

    EXPECT_EQ(STATUS_SUCCESS, sim::PnpStartDevice(pdo));
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpQueryCapabilities(pdo, &caps));
    EXPECT_EQ(1, capsVersion);
    EXPECT_EQ(sizeof caps, capsSize);
    EXPECT_EQ(1u, caps.Removable);
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpStopDevice(pdo));
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(STATUS_SUCCESS,
              sim::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, state));
    // A minor code nobody handles keeps the preset status.
    EXPECT_EQ(STATUS_NOT_SUPPORTED, sim::PnpSendMinor(pdo, IRP_MN_QUERY_ID + 0x10));
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpSurpriseRemoval(pdo));
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpRemoveDevice(pdo));
    EXPECT_EQ(nullptr, pdo->AttachedDevice);

    EXPECT_FALSE(wrongThreadOrLevel);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                  IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_QUERY_ID + 0x10,
                                  IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}),
              seenByBus);
    for (NTSTATUS s : presetStatus) EXPECT_EQ(STATUS_NOT_SUPPORTED, s);
}

TEST_F(PnpTest, AttachFailureAndFailingAddDeviceLeaveNothing) {
    sim::FaultFailNextAttach();
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, sim::PnpReportChild(pdo, functionDriver));
    EXPECT_EQ(nullptr, pdo->AttachedDevice);
    EXPECT_EQ(nullptr, functionDriver->DeviceObject);
    // The next attach works again; a device object left initialising is a
    // fault of AddDevice.
    kt::SetAddDeviceClearsInitializing(false);
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(pdo, functionDriver));
    kt::SetAddDeviceClearsInitializing(true);
    EXPECT_EQ(1u, TakeViolations("DEVICE_INITIALIZING_NOT_CLEARED"));
    ExpectViolation("DEVICE_INITIALIZING_NOT_CLEARED");
    PDEVICE_OBJECT fdo = kt::LastAddedDevice();
    EXPECT_EQ(fdo, pdo->AttachedDevice);
    kt::DeleteDevice(fdo);
    EXPECT_EQ(nullptr, pdo->AttachedDevice);
}

TEST_F(PnpTest, RemovalThatLeavesTheFunctionDeviceAttachedIsAFault) {
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(pdo, functionDriver));
    PDEVICE_OBJECT fdo = kt::LastAddedDevice();
    kt::SetHandler(fdo, [&](PDEVICE_OBJECT, PIRP irp) { return kt::SkipTo(pdo, irp); });
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpRemoveDevice(pdo));
    EXPECT_EQ(1u, TakeViolations("REMOVED_DEVICE_STILL_ATTACHED"));
    ExpectViolation("REMOVED_DEVICE_STILL_ATTACHED");
    kt::DeleteDevice(fdo);
}

TEST_F(PnpTest, RequestsForOneDeviceNeverOverlap) {
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(pdo, functionDriver));
    PDEVICE_OBJECT fdo = kt::LastAddedDevice();
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    kt::SetHandler(fdo, [&](PDEVICE_OBJECT, PIRP irp) {
        if (inside++ != 0) overlapped = true;
        LARGE_INTEGER t;
        t.QuadPart = -2 * 10000;  // 2 ms
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        --inside;
        return kt::CompleteWith(irp, STATUS_SUCCESS);
    });
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
        callers.emplace_back([&] {
            for (int j = 0; j < 5; ++j) sim::PnpStartDevice(pdo);
        });
    }
    for (auto &c : callers) c.join();
    EXPECT_FALSE(overlapped);
    kt::DeleteDevice(fdo);
}

// The manager's order: queries before stop and removal, cancels after a
// failed or vetoed query; a device that is gone is surprise-removed at once
// and removed only when the last handle to it is closed.
TEST_F(PnpTest, QueriesComeFirstAndAGoneDeviceIsRemovedAtItsLastClose) {
    // A PDO with a name and a link, so that a client can open the stack.
    PDEVICE_OBJECT named = kt::CreateDevice(busDriver, "\\Device\\GonePdo");
    kt::WideName link("\\DosDevices\\GoneCam"), target("\\Device\\GonePdo");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(named, functionDriver));
    PDEVICE_OBJECT fdo = kt::LastAddedDevice();
    std::vector<UCHAR> seen;
    NTSTATUS queryRemoveAnswer = STATUS_SUCCESS;
    kt::Handler function = [&](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MajorFunction != IRP_MJ_PNP) return kt::CompleteWith(irp, STATUS_SUCCESS);
        seen.push_back(s->MinorFunction);
        if (s->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && !NT_SUCCESS(queryRemoveAnswer)) {
            return kt::CompleteWith(irp, queryRemoveAnswer);
        }
        if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS st = IoCallDriver(named, irp);
            kt::DeleteDevice(device);
            return st;
        }
        return kt::SkipTo(named, irp);
    };
    kt::SetHandler(fdo, function);
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpStartDevice(named));

    // A veto after the stack agreed, then a driver failing the query: each
    // time the stack hears the cancel and stays.
    sim::PnpVetoNextQuery(named, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(STATUS_PLUGPLAY_QUERY_VETOED, sim::PnpStopDevice(named));
    sim::PnpVetoNextQuery(named, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(STATUS_PLUGPLAY_QUERY_VETOED, sim::PnpRemoveDevice(named));
    queryRemoveAnswer = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::PnpRemoveDevice(named));
    EXPECT_EQ(fdo, named->AttachedDevice);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                                  IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                  IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                  IRP_MN_CANCEL_REMOVE_DEVICE}),
              seen);
    seen.clear();

    // Gone while a client has the stack open: requests still arrive, and the
    // removal comes with the close.
    sim::ClientHandle handle;
    ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\\\.\\GoneCam", &handle));
    EXPECT_EQ(STATUS_PENDING, sim::PnpDeviceGone(named));
    EXPECT_EQ(STATUS_SUCCESS,
              sim::ClientDeviceIoControl(handle, CTL_CODE(0x22, 0x800, METHOD_BUFFERED, 0), nullptr,
                                         0, nullptr, 0)
                  .Status);
    EXPECT_EQ(fdo, named->AttachedDevice);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL}), seen);
    EXPECT_EQ(STATUS_SUCCESS, sim::ClientClose(handle));
    EXPECT_EQ(nullptr, named->AttachedDevice);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), seen);

    // With no handle open, the removal follows the surprise removal at once.
    ASSERT_EQ(STATUS_SUCCESS, sim::PnpReportChild(named, functionDriver));
    kt::SetHandler(kt::LastAddedDevice(), function);
    seen.clear();
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpDeviceGone(named));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), seen);
    EXPECT_EQ(nullptr, named->AttachedDevice);
    IoDeleteSymbolicLink(&link.Unicode);
    kt::DeleteDevice(named);
}

}  // namespace
