// Requests and objects as strict as the platform: the last stage of a built
// request in its own thread, completion routines that nest calls down,
// deleted device objects, events re-initialised under a waiter.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

constexpr ULONG kInternalCode = CTL_CODE(0x22, 0x1, METHOD_NEITHER, 0);

class StrictRequestsTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver = kt::LoadTestDriver("strict");
        bottom = kt::CreateDevice(driver);
    }
    void TearDown() override {
        if (bottom != nullptr) {
            kt::SetHandler(bottom, nullptr);
            kt::DeleteDevice(bottom);
        }
        sim::UnloadDriver(driver);
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT bottom = nullptr;
};

TEST_F(StrictRequestsTest, BuiltRequestFinishesInItsOwnThreadOnceBelowApcLevel) {
    PIRP held = nullptr;
    kt::SetHandler(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    auto completeElsewhere = [&] {
        sim::RunOnKernelThread(DISPATCH_LEVEL, [&] { kt::CompleteWith(held, STATUS_DEVICE_NOT_CONNECTED, 7); });
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb;

    // Completed on another processor while the builder waits: the wait runs
    // the last stage and then sees the event.
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(kInternalCode, bottom, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(bottom, irp));
    completeElsewhere();
    EXPECT_EQ(STATUS_PENDING, iosb.Status) << "the status block is written in the building thread";
    EXPECT_EQ(0, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, iosb.Status);
    EXPECT_EQ(7u, iosb.Information);

    // A builder at APC_LEVEL gets it when it lowers its IRQL, not before.
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    iosb.Status = STATUS_PENDING;
    irp = IoBuildDeviceIoControlRequest(kInternalCode, bottom, nullptr, 0, nullptr, 0, TRUE, &event,
                                        &iosb);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(bottom, irp));
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    completeElsewhere();
    EXPECT_EQ(STATUS_PENDING, iosb.Status);
    KeLowerIrql(old);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, iosb.Status);
    EXPECT_EQ(1, KeReadStateEvent(&event));

    // Completed inline in the builder's thread at PASSIVE_LEVEL: at once.
    kt::SetHandler(bottom, [&](PDEVICE_OBJECT, PIRP r) { return kt::CompleteWith(r, STATUS_SUCCESS, 3); });
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(kInternalCode, bottom, nullptr, 0, nullptr, 0, TRUE, &event,
                                        &iosb);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(bottom, irp));
    EXPECT_EQ(3u, iosb.Information);
    EXPECT_EQ(1, KeReadStateEvent(&event));
}

struct Resubmit {
    PDEVICE_OBJECT Target;
    int Left;
    int Calls;
};

void SendDown(PIRP irp, Resubmit *r);

NTSTATUS ResubmitOnError(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *r = static_cast<Resubmit *>(context);
    if (r->Left-- > 0) SendDown(irp, r);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

int g_sendLine;
void SendDown(PIRP irp, Resubmit *r) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kInternalCode;
    IoSetCompletionRoutine(irp, ResubmitOnError, r, TRUE, TRUE, TRUE);
    ++r->Calls;
    g_sendLine = __LINE__ + 1;
    IoCallDriver(r->Target, irp);
}

TEST_F(StrictRequestsTest, CompletionRoutineResubmittingIntoInlineFailuresNestsTooDeep) {
    // The lower driver fails every request inside IofCallDriver.
    kt::SetHandler(bottom, [&](PDEVICE_OBJECT, PIRP irp) { return kt::CompleteWith(irp, STATUS_UNSUCCESSFUL); });
    PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
    for (int resubmissions : {4, 12}) {
        Resubmit r{bottom, resubmissions, 0};
        sim::RunOnKernelThread(DISPATCH_LEVEL, [&] {
            sim::DriverThreadScope scope(driver);
            SendDown(irp, &r);
        });
        EXPECT_EQ(resubmissions + 1, r.Calls);
    }
    // Four nested routines calling down pass; beyond, one report per chain.
    std::vector<sim::Violation> v = Violations();
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ("CALL_NESTED_IN_COMPLETION", v[0].Rule);
    EXPECT_EQ("tests/kernel/strict_requests_test.cpp:" + std::to_string(g_sendLine), v[0].Site);
    TakeViolations("CALL_NESTED_IN_COMPLETION");
    ExpectViolation("CALL_NESTED_IN_COMPLETION");
    IoFreeIrp(irp);
}

struct Extension {
    KEVENT Event;
    KSPIN_LOCK Lock;
};

TEST_F(StrictRequestsTest, DeletedDeviceObjectIsPoisonedOnceNoHandleRefersToIt) {
    PDEVICE_OBJECT named = kt::CreateDevice(driver, "\\Device\\Gone", nullptr, sizeof(Extension));
    auto *x = static_cast<Extension *>(named->DeviceExtension);
    KeInitializeEvent(&x->Event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&x->Lock);
    kt::WideName link("\\DosDevices\\Gone"), target("\\Device\\Gone");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
    sim::ClientHandle handle;
    ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\\\.\\Gone", &handle));
    IoDeleteSymbolicLink(&link.Unicode);
    IoDeleteDevice(named);

    // A handle still refers to it: the object and its extension live on.
    char out[4];
    EXPECT_EQ(STATUS_SUCCESS, sim::ClientDeviceIoControl(handle, CTL_CODE(0x22, 0x800, METHOD_BUFFERED, 0),
                                                         nullptr, 0, out, 0)
                                  .Status);
    KeSetEvent(&x->Event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(0u, sim::VerifierViolationCount());

    ASSERT_EQ(STATUS_SUCCESS, sim::ClientClose(handle));
    EXPECT_EQ(0xDFDFu, static_cast<unsigned>(static_cast<USHORT>(named->Type)));
    const int line = __LINE__ + 1;
    KeSetEvent(&x->Event, IO_NO_INCREMENT, FALSE);
    KIRQL old;
    KeAcquireSpinLock(&x->Lock, &old);
    KeReleaseSpinLock(&x->Lock, old);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoCallDriver(named, irp));
    IoDeleteDevice(named);
    EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(named, bottom));

    std::vector<sim::Violation> v = Violations();
    ASSERT_EQ(6u, v.size());
    for (const auto &violation : v) EXPECT_EQ("DEVICE_OBJECT_DELETED_USED", violation.Rule);
    EXPECT_EQ("tests/kernel/strict_requests_test.cpp:" + std::to_string(line), v[0].Site);
    EXPECT_NE(std::string::npos, v[0].Detail.find("\\Device\\Gone")) << v[0].Detail;
    TakeViolations("DEVICE_OBJECT_DELETED_USED");
    ExpectViolation("DEVICE_OBJECT_DELETED_USED");
    IoFreeIrp(irp);
}

TEST_F(StrictRequestsTest, InitializingAnEventAThreadWaitsOnIsReportedAndRefused) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread waiter([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    // Until the waiter waits, re-initialising is harmless; then it is refused.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim::VerifierViolationCount() == 0 && std::chrono::steady_clock::now() < give_up) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        std::this_thread::yield();
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(1u, TakeViolations("EVENT_REINITIALIZED_WHILE_WAITED"));
    ExpectViolation("EVENT_REINITIALIZED_WHILE_WAITED");
}

}  // namespace
