// IRP stack processing: completion order, STATUS_MORE_PROCESSING_REQUIRED,
// SL_INVOKE_* masks, skip versus copy, pending propagation, requests built by
// IoBuildDeviceIoControlRequest and completions on other threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

constexpr ULONG kInternalCode = CTL_CODE(0x22, 0x0, METHOD_NEITHER, 0);

struct Trace {
    std::vector<std::string> Events;
};

class CompletionTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        topDriver = kt::LoadTestDriver("top");
        midDriver = kt::LoadTestDriver("mid");
        bottomDriver = kt::LoadTestDriver("bottom");
        bottom = kt::CreateDevice(bottomDriver);
        mid = kt::CreateDevice(midDriver, nullptr, bottom);
        top = kt::CreateDevice(topDriver, "\\Device\\Stack", mid);
        kt::WideName link("\\DosDevices\\Stack");
        kt::WideName target("\\Device\\Stack");
        ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
        ASSERT_EQ(3, top->StackSize);
    }
    void TearDown() override {
        kt::WideName link("\\DosDevices\\Stack");
        IoDeleteSymbolicLink(&link.Unicode);
        kt::DeleteDevice(top);
        kt::DeleteDevice(mid);
        kt::DeleteDevice(bottom);
        sim::UnloadDriver(topDriver);
        sim::UnloadDriver(midDriver);
        sim::UnloadDriver(bottomDriver);
        KernelTest::TearDown();
    }

    // Sends a driver-allocated IRP from the test (as a driver would) to top.
    PIRP NewIrp() {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = kInternalCode;
        return irp;
    }

    PDRIVER_OBJECT topDriver = nullptr, midDriver = nullptr, bottomDriver = nullptr;
    PDEVICE_OBJECT top = nullptr, mid = nullptr, bottom = nullptr;
};

struct RoutineContext {
    Trace *T;
    const char *Name;
    NTSTATUS Return;
    PDEVICE_OBJECT Device;
    BOOLEAN PendingReturned;
    KEVENT *Event;
};

NTSTATUS RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto *c = static_cast<RoutineContext *>(context);
    c->T->Events.push_back(c->Name);
    c->Device = device;
    c->PendingReturned = irp->PendingReturned;
    if (c->Event != nullptr) KeSetEvent(c->Event, IO_NO_INCREMENT, FALSE);
    return c->Return;
}

TEST_F(CompletionTest, RoutinesRunBottomUpAndStopAtMoreProcessingRequired) {
    Trace t;
    RoutineContext midCtx{&t, "mid", STATUS_MORE_PROCESSING_REQUIRED, nullptr, 0, nullptr};
    RoutineContext topCtx{&t, "top", STATUS_SUCCESS, nullptr, 0, nullptr};
    RoutineContext senderCtx{&t, "sender", STATUS_MORE_PROCESSING_REQUIRED, nullptr, 0, nullptr};
    PIRP held = nullptr;
    kt::SetHandler(top, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, &topCtx, TRUE, TRUE, TRUE);
        return IoCallDriver(mid, irp);
    });
    kt::SetHandler(mid, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, &midCtx, TRUE, TRUE, TRUE);
        return IoCallDriver(bottom, irp);
    });
    kt::SetHandler(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        t.Events.push_back("bottom completes");
        held = irp;
        return kt::CompleteWith(irp, STATUS_SUCCESS, 7);
    });

    PIRP irp = NewIrp();
    IoSetCompletionRoutine(irp, RecordingRoutine, &senderCtx, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(top, irp));
    // The walk stopped at mid's routine: top's and the sender's have not run.
    ASSERT_EQ((std::vector<std::string>{"bottom completes", "mid"}), t.Events);
    EXPECT_EQ(mid, midCtx.Device);
    // Mid owns the IRP again and finishes the completion later.
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_EQ((std::vector<std::string>{"bottom completes", "mid", "top", "sender"}), t.Events);
    EXPECT_EQ(top, topCtx.Device);
    EXPECT_EQ(nullptr, senderCtx.Device);  // above the top location
    EXPECT_EQ(7u, irp->IoStatus.Information);
    // The sender's routine stopped the walk above the top location.
    EXPECT_EQ(irp->StackCount + 1, irp->CurrentLocation);
    IoFreeIrp(irp);
}

TEST_F(CompletionTest, InvokeMaskSelectsRoutinesBySuccessErrorAndCancel) {
    struct Case {
        NTSTATUS Status;
        bool Cancel;
        BOOLEAN OnSuccess, OnError, OnCancel;
        bool Runs;
    } cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, false, FALSE, FALSE, TRUE, false},
    };
    for (const Case &c : cases) {
        Trace t;
        RoutineContext midCtx{&t, "mid", STATUS_SUCCESS, nullptr, 0, nullptr};
        RoutineContext senderCtx{&t, "sender", STATUS_MORE_PROCESSING_REQUIRED, nullptr, 0,
                                 nullptr};
        kt::SetHandler(top, [&](PDEVICE_OBJECT, PIRP irp) { return kt::SkipTo(mid, irp); });
        kt::SetHandler(mid, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, RecordingRoutine, &midCtx, c.OnSuccess, c.OnError,
                                   c.OnCancel);
            return IoCallDriver(bottom, irp);
        });
        kt::SetHandler(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.Cancel;
            return kt::CompleteWith(irp, c.Status);
        });
        PIRP irp = NewIrp();
        IoSetCompletionRoutine(irp, RecordingRoutine, &senderCtx, TRUE, TRUE, TRUE);
        IoCallDriver(top, irp);
        std::vector<std::string> expected;
        if (c.Runs) expected.push_back("mid");
        expected.push_back("sender");
        EXPECT_EQ(expected, t.Events) << "status " << std::hex << c.Status << " cancel " << c.Cancel;
        IoFreeIrp(irp);
    }
}

TEST_F(CompletionTest, SkipReusesTheLocationAndCopyGivesTheLowerItsOwn) {
    PIO_STACK_LOCATION topLocation = nullptr, bottomLocation = nullptr;
    ULONG seenCode = 0;
    PDEVICE_OBJECT seenDevice = nullptr;
    bool skip = true;
    kt::SetHandler(top, [&](PDEVICE_OBJECT, PIRP irp) { return kt::SkipTo(mid, irp); });
    kt::SetHandler(mid, [&](PDEVICE_OBJECT, PIRP irp) {
        topLocation = IoGetCurrentIrpStackLocation(irp);
        if (skip) return kt::SkipTo(bottom, irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(bottom, irp);
    });
    kt::SetHandler(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        bottomLocation = IoGetCurrentIrpStackLocation(irp);
        seenCode = bottomLocation->Parameters.DeviceIoControl.IoControlCode;
        seenDevice = bottomLocation->DeviceObject;
        return kt::CompleteWith(irp, STATUS_SUCCESS);
    });
    RoutineContext ctx{nullptr, "", STATUS_MORE_PROCESSING_REQUIRED, nullptr, 0, nullptr};
    Trace t;
    ctx.T = &t;

    for (bool s : {true, false}) {
        skip = s;
        PIRP irp = NewIrp();
        IoSetCompletionRoutine(irp, RecordingRoutine, &ctx, TRUE, TRUE, TRUE);
        PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
        IoCallDriver(top, irp);
        EXPECT_EQ(kInternalCode, seenCode);
        EXPECT_EQ(bottom, seenDevice);
        if (s) {
            // Two skips: every driver used the sender's one location.
            EXPECT_EQ(first, topLocation);
            EXPECT_EQ(first, bottomLocation);
        } else {
            EXPECT_EQ(first, topLocation);
            EXPECT_EQ(first - 1, bottomLocation);
        }
        IoFreeIrp(irp);
    }
}

TEST_F(CompletionTest, PendingFromAnotherThreadPropagatesToTheTop) {
    // Bottom pends and completes on another thread at DISPATCH_LEVEL, before
    // its own dispatch routine has returned.
    Trace t;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RoutineContext senderCtx{&t, "sender", STATUS_MORE_PROCESSING_REQUIRED, nullptr, 0, &done};
    KIRQL routineIrql = PASSIVE_LEVEL;
    RoutineContext midCtx{&t, "mid", STATUS_SUCCESS, nullptr, 0, nullptr};
    kt::SetHandler(top, [&](PDEVICE_OBJECT, PIRP irp) { return kt::SkipTo(mid, irp); });
    kt::SetHandler(mid, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT d, PIRP i, PVOID c) -> NTSTATUS {
                auto *ctx = static_cast<RoutineContext *>(c);
                ctx->Return = KeGetCurrentIrql();  // smuggle the IRQL out
                // A routine that returns anything but MPR must propagate the
                // pending mark itself.
                if (i->PendingReturned) IoMarkIrpPending(i);
                return RecordingRoutine(d, i, c);
            },
            &midCtx, TRUE, TRUE, TRUE);
        return IoCallDriver(bottom, irp);
    });
    kt::SetHandler(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        std::thread completer([irp] {
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            kt::CompleteWith(irp, STATUS_SUCCESS, 3);
            KeLowerIrql(old);
        });
        completer.join();
        return STATUS_PENDING;
    });
    PIRP irp = NewIrp();
    IoSetCompletionRoutine(irp, RecordingRoutine, &senderCtx, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(top, irp));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr));
    routineIrql = static_cast<KIRQL>(midCtx.Return);
    EXPECT_EQ(DISPATCH_LEVEL, routineIrql);
    EXPECT_TRUE(midCtx.PendingReturned);
    EXPECT_TRUE(senderCtx.PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(CompletionTest, BuiltRequestSignalsEventWritesStatusBlockAndIsFreed) {
    constexpr ULONG kBuffered = CTL_CODE(0x22, 0x801, METHOD_BUFFERED, 0);
    PVOID seenArgument = nullptr;
    kt::SetHandler(top, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->Parameters.DeviceIoControl.IoControlCode == kBuffered) {
            EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, s->MajorFunction);
            char *buf = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ('i', buf[0]);
            memcpy(buf, "out", 3);
            return kt::CompleteWith(irp, STATUS_SUCCESS, 3);
        }
        EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, s->MajorFunction);
        seenArgument = s->Parameters.Others.Argument1;
        IoMarkIrpPending(irp);
        std::thread([irp] {
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            kt::CompleteWith(irp, STATUS_UNSUCCESSFUL, 5);
            KeLowerIrql(old);
        }).detach();
        return STATUS_PENDING;
    });

    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kInternalCode, top, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_NE(nullptr, irp);
    int urb = 0;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    NTSTATUS st = IoCallDriver(top, irp);
    EXPECT_EQ(STATUS_PENDING, st);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, iosb.Status);
    EXPECT_EQ(5u, iosb.Information);
    EXPECT_EQ(&urb, seenArgument);
    // The I/O manager freed it: touching it now is a use after free.
    ExpectViolation("IRP_USED_AFTER_FREE");
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(1u, TakeViolations("IRP_USED_AFTER_FREE"));

    // Buffered: the output comes back through the system buffer.
    char in[8] = "in", out[8] = "-------";
    KeClearEvent(&event);
    irp = IoBuildDeviceIoControlRequest(kBuffered, top, in, 3, out, 7, FALSE, &event, &iosb);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(top, irp));
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(3u, iosb.Information);
    EXPECT_EQ(std::string("out----"), std::string(out));
}

}  // namespace
