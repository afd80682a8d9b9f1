// Every verifier rule firing on a deliberately faulty driver.
//
// The faulty driver breaks one rule per control code; the test sends each
// code from a fresh client thread (so what a broken case leaves on its thread,
// such as a spin lock still held, cannot spill into the next) and checks that
// exactly the expected rules fired, naming this file as the call site where
// the fault is a driver's call.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <set>
#include <thread>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

enum Fault : ULONG {
    kCompleteTwice = 1,
    kReturnWithoutCompleting,
    kPendForever,
    kFreeInFlight,
    kUseAfterFree,
    kWaitAtDispatch,
    kReleaseNotHeld,
    kAcquireAtPassive,
    kTwoLocks,
    kCompleteHoldingLock,
    kWaitHoldingLock,
    kPoolDoubleFree,
    kPoolNotFromPool,
    kPoolTagMismatch,
    kInformationTooLarge,
    kPendingNotMarked,
    kCompleteWithPending,
    kStatusMismatch,
    kAllocatedIrpNotReclaimed,
    kRaiseBelow,
    kLowerAbove,
    kReturnAtApc,
    kReturnHoldingLock,
    kMapTwice,
    kPartialOutOfRange,
    kMdlDoubleFree,
    kCancelKeepsLock,
    kCompleteWithCancelRoutine,
    kRecursiveAcquire,
    kNoStackLocation,
    kFreeClientIrp,
    kInitializeTooSmall,
    kMapUnlocked,
    kPagedPoolAtDispatch,
    kPassiveRoutineAtDispatch,
    kDeleteAttached,
    kCompleteUnsent,
    kPoolZeroBytes,
    kPoolExecutable,
    kMapUnsafely,
    kInitializeAllocated,
    kReuseClientIrp,
    kCount
};

constexpr ULONG FaultCode(Fault f, ULONG method = METHOD_BUFFERED) {
    return CTL_CODE(0x22, 0x900 + f, method, 0);
}

KSPIN_LOCK g_lockA, g_lockB;
PDEVICE_OBJECT g_sink;  // pends everything it gets, for IRPs "in flight"
PIRP g_sinkIrp;         // the request the sink holds
PIRP g_stashed;         // a client request the faulty driver kept
PIRP g_held;            // a driver IRP returned with MORE_PROCESSING_REQUIRED

NTSTATUS Hold(PDEVICE_OBJECT, PIRP irp, PVOID) {
    g_held = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelKeepingTheLock(PDEVICE_OBJECT, PIRP) {}

PIRP SinkIrp() {
    PIRP irp = IoAllocateIrp(g_sink->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return irp;
}

NTSTATUS FaultyDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    ULONG fault = (s->Parameters.DeviceIoControl.IoControlCode >> 2) & 0xFFF;
    fault -= 0x900;
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    switch (fault) {
        case kCompleteTwice:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        case kReturnWithoutCompleting:
            g_stashed = irp;
            return STATUS_SUCCESS;
        case kPendForever:
            IoMarkIrpPending(irp);
            g_stashed = irp;
            return STATUS_PENDING;
        case kFreeInFlight: {
            PIRP mine = SinkIrp();
            IoSetCompletionRoutine(mine, Hold, nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(g_sink, mine);
            IoFreeIrp(mine);  // the sink still owns it
            // Take it back properly: the sink completes, the routine holds it.
            PIRP sinkIrp = g_sinkIrp;
            g_sinkIrp = nullptr;
            sinkIrp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(sinkIrp, IO_NO_INCREMENT);
            IoFreeIrp(g_held);
            break;
        }
        case kUseAfterFree: {
            PIRP mine = SinkIrp();
            IoFreeIrp(mine);
            IoCallDriver(g_sink, mine);
            break;
        }
        case kWaitAtDispatch: {
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            LARGE_INTEGER t;
            t.QuadPart = -1;
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
            KeLowerIrql(old);
            break;
        }
        case kReleaseNotHeld: {
            KfRaiseIrql(DISPATCH_LEVEL);
            KeReleaseSpinLock(&g_lockA, PASSIVE_LEVEL);
            break;
        }
        case kAcquireAtPassive:
            KeAcquireSpinLockAtDpcLevel(&g_lockA);
            KeReleaseSpinLockFromDpcLevel(&g_lockA);
            break;
        case kTwoLocks: {
            KIRQL old;
            KeAcquireSpinLock(&g_lockA, &old);
            KeAcquireSpinLockAtDpcLevel(&g_lockB);
            KeReleaseSpinLockFromDpcLevel(&g_lockB);
            KeReleaseSpinLock(&g_lockA, old);
            break;
        }
        case kCompleteHoldingLock: {
            KIRQL old;
            KeAcquireSpinLock(&g_lockA, &old);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KeReleaseSpinLock(&g_lockA, old);
            return STATUS_SUCCESS;
        }
        case kWaitHoldingLock: {
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            LARGE_INTEGER t;
            t.QuadPart = -1;
            KIRQL old;
            KeAcquireSpinLock(&g_lockA, &old);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
            KeReleaseSpinLock(&g_lockA, old);
            break;
        }
        case kPoolDoubleFree: {
            PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, DRV_POOL_TAG('F', 'a', 'l', 't'));
            ExFreePoolWithTag(p, DRV_POOL_TAG('F', 'a', 'l', 't'));
            ExFreePoolWithTag(p, DRV_POOL_TAG('F', 'a', 'l', 't'));
            break;
        }
        case kPoolNotFromPool: {
            char local[16];
            ExFreePool(local);
            break;
        }
        case kPoolTagMismatch: {
            PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, DRV_POOL_TAG('F', 'a', 'l', 't'));
            ExFreePoolWithTag(p, DRV_POOL_TAG('W', 'r', 'o', 'g'));
            break;
        }
        case kInformationTooLarge:
            irp->IoStatus.Information = s->Parameters.DeviceIoControl.OutputBufferLength + 10;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        case kPendingNotMarked:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        case kCompleteWithPending:
            irp->IoStatus.Status = STATUS_PENDING;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            break;
        case kStatusMismatch:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        case kAllocatedIrpNotReclaimed: {
            PIRP mine = SinkIrp();
            IoCallDriver(g_sink, mine);
            PIRP sinkIrp = g_sinkIrp;
            g_sinkIrp = nullptr;
            sinkIrp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(sinkIrp, IO_NO_INCREMENT);  // no routine holds it
            IoFreeIrp(mine);
            break;
        }
        case kRaiseBelow: {
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            KfRaiseIrql(APC_LEVEL);
            KeLowerIrql(old);
            break;
        }
        case kLowerAbove:
            KeLowerIrql(DISPATCH_LEVEL);
            break;
        case kReturnAtApc:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KfRaiseIrql(APC_LEVEL);
            return STATUS_SUCCESS;
        case kReturnHoldingLock: {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KIRQL old;
            KeAcquireSpinLock(&g_lockB, &old);
            return STATUS_SUCCESS;
        }
        case kMapTwice:
            MmMapLockedPagesSpecifyCache(irp->MdlAddress, KernelMode, 1, nullptr, FALSE,
                                         NormalPagePriority);
            MmMapLockedPagesSpecifyCache(irp->MdlAddress, KernelMode, 1, nullptr, FALSE,
                                         NormalPagePriority);
            break;
        case kPoolZeroBytes:
            ExFreePool(ExAllocatePool(NonPagedPoolNx, 0));
            break;
        case kPoolExecutable:
            ExFreePool(ExAllocatePool(NonPagedPoolExecute, 8));
            ExFreePool(ExAllocatePool(NonPagedPoolMustSucceed, 8));
            break;
        case kMapUnsafely:
            MmMapLockedPages(irp->MdlAddress, KernelMode);
            break;
        case kPartialOutOfRange: {
            static char buffer[256];
            PMDL source = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(source);
            PMDL part = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
            IoBuildPartialMdl(source, part, buffer + 50, 100);
            IoFreeMdl(part);
            IoFreeMdl(source);
            break;
        }
        case kMdlDoubleFree: {
            static char buffer[16];
            PMDL m = IoAllocateMdl(buffer, 16, FALSE, FALSE, nullptr);
            IoFreeMdl(m);
            IoFreeMdl(m);
            break;
        }
        case kCancelKeepsLock: {
            PIRP mine = SinkIrp();
            IoSetCancelRoutine(mine, CancelKeepingTheLock);
            IoCancelIrp(mine);
            IoFreeIrp(mine);
            break;
        }
        case kCompleteWithCancelRoutine:
            IoSetCancelRoutine(irp, CancelKeepingTheLock);
            break;
        case kRecursiveAcquire: {
            KIRQL old;
            KeAcquireSpinLock(&g_lockA, &old);
            KeAcquireSpinLockAtDpcLevel(&g_lockA);
            KeReleaseSpinLockFromDpcLevel(&g_lockA);
            KeReleaseSpinLock(&g_lockA, old);
            break;
        }
        case kNoStackLocation: {
            PIRP mine = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(mine);  // the driver's own location
            IoCallDriver(g_sink, mine);       // nothing left for the sink
            IoFreeIrp(mine);
            break;
        }
        case kFreeClientIrp:
            IoFreeIrp(irp);  // the I/O manager owns it
            break;
        case kInitializeTooSmall: {
            PIRP mine = IoAllocateIrp(1, FALSE);
            IoInitializeIrp(mine, IoSizeOfIrp(2), 2);  // larger than allocated
            IoFreeIrp(mine);
            break;
        }
        case kInitializeAllocated: {
            PIRP mine = IoAllocateIrp(1, FALSE);
            IoInitializeIrp(mine, IoSizeOfIrp(1), 1);  // IoAllocateIrp did that
            IoFreeIrp(mine);
            break;
        }
        case kReuseClientIrp:
            IoReuseIrp(irp, STATUS_SUCCESS);  // the I/O manager's request
            break;
        case kMapUnlocked: {
            static char buffer[32];
            PMDL m = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
            MmGetSystemAddressForMdlSafe(m, NormalPagePriority);
            IoFreeMdl(m);
            break;
        }
        case kPagedPoolAtDispatch: {
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            PVOID p = ExAllocatePool(PagedPool, 8);
            KeLowerIrql(old);
            ExFreePool(p);
            break;
        }
        case kPassiveRoutineAtDispatch: {
            kt::WideName link("\\DosDevices\\NoSuchLink");
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            IoDeleteSymbolicLink(&link.Unicode);
            KeLowerIrql(old);
            break;
        }
        case kDeleteAttached: {
            PDEVICE_OBJECT lower = nullptr, upper = nullptr;
            IoCreateDevice(g_sink->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
            IoCreateDevice(g_sink->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
            IoAttachDeviceToDeviceStack(upper, lower);
            IoDeleteDevice(upper);  // still attached
            IoDeleteDevice(lower);
            break;
        }
        case kCompleteUnsent: {
            PIRP mine = SinkIrp();
            IoCompleteRequest(mine, IO_NO_INCREMENT);
            IoFreeIrp(mine);
            break;
        }
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

struct Case {
    Fault F;
    ULONG Method;
    std::set<std::string> Rules;
    bool SiteInDriver;  // the first violation names this file
};

class VerifierRulesTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_lockA = g_lockB = 0;
        g_sinkIrp = g_stashed = g_held = nullptr;
        driver = kt::LoadTestDriver("faulty");
        device = kt::CreateDevice(driver, "\\Device\\Faulty");
        kt::SetHandler(device, [](PDEVICE_OBJECT d, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
                return kt::CompleteWith(irp, STATUS_SUCCESS);
            }
            return FaultyDispatch(d, irp);
        });
        g_sink = kt::CreateDevice(driver);
        kt::SetHandler(g_sink, [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            g_sinkIrp = irp;
            return STATUS_PENDING;
        });
        kt::WideName link("\\DosDevices\\Faulty");
        kt::WideName target("\\Device\\Faulty");
        ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
        ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\\\.\\Faulty", &handle));
    }
    void TearDown() override {
        kt::SetHandler(g_sink, nullptr);
        if (driver != nullptr) {
            sim::ClientClose(handle);
            kt::WideName link("\\DosDevices\\Faulty");
            IoDeleteSymbolicLink(&link.Unicode);
            kt::DeleteDevice(device);
            kt::DeleteDevice(g_sink);
            sim::UnloadDriver(driver);
        }
        KernelTest::TearDown();
    }

    sim::IoResult Send(Fault f, ULONG method) {
        sim::IoResult r{};
        std::thread client([&] {
            char in[8] = {}, out[16] = {};
            r = sim::ClientDeviceIoControl(handle, FaultCode(f, method), in, sizeof in, out,
                                           sizeof out);
        });
        client.join();
        return r;
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    sim::ClientHandle handle = 0;
};

TEST_F(VerifierRulesTest, EachFaultIsReportedByItsRule) {
    sim::VerifierSetHangGuardMs(200);
    const Case cases[] = {
        {kCompleteTwice, METHOD_BUFFERED, {"IRP_COMPLETED_TWICE"}, true},
        {kReturnWithoutCompleting, METHOD_BUFFERED, {"CLIENT_REQUEST_NOT_COMPLETED"}, false},
        {kPendForever, METHOD_BUFFERED, {"CLIENT_REQUEST_NEVER_COMPLETED"}, false},
        {kFreeInFlight, METHOD_BUFFERED, {"IRP_FREED_IN_FLIGHT"}, true},
        {kUseAfterFree, METHOD_BUFFERED, {"IRP_USED_AFTER_FREE"}, true},
        {kWaitAtDispatch, METHOD_BUFFERED, {"WAIT_AT_DISPATCH"}, true},
        {kReleaseNotHeld, METHOD_BUFFERED, {"SPINLOCK_NOT_HELD"}, true},
        {kAcquireAtPassive, METHOD_BUFFERED, {"SPINLOCK_WRONG_IRQL"}, true},
        {kTwoLocks, METHOD_BUFFERED, {"TWO_SPINLOCKS_HELD"}, true},
        {kCompleteHoldingLock, METHOD_BUFFERED, {"SPINLOCK_HELD_ACROSS_CALL"}, true},
        {kWaitHoldingLock, METHOD_BUFFERED, {"SPINLOCK_HELD_ACROSS_WAIT", "WAIT_AT_DISPATCH"}, true},
        {kPoolDoubleFree, METHOD_BUFFERED, {"POOL_DOUBLE_FREE"}, true},
        {kPoolNotFromPool, METHOD_BUFFERED, {"POOL_NOT_FROM_POOL"}, true},
        {kPoolTagMismatch, METHOD_BUFFERED, {"POOL_TAG_MISMATCH"}, true},
        {kInformationTooLarge, METHOD_BUFFERED, {"BUFFERED_INFORMATION_TOO_LARGE"}, true},
        {kPendingNotMarked, METHOD_BUFFERED, {"PENDING_NOT_MARKED"}, false},
        {kCompleteWithPending, METHOD_BUFFERED, {"IRP_COMPLETED_WITH_PENDING"}, true},
        {kStatusMismatch, METHOD_BUFFERED, {"DISPATCH_STATUS_MISMATCH"}, false},
        {kAllocatedIrpNotReclaimed, METHOD_BUFFERED, {"ALLOCATED_IRP_NOT_RECLAIMED"}, true},
        {kRaiseBelow, METHOD_BUFFERED, {"IRQL_RAISE_BELOW_CURRENT"}, true},
        {kLowerAbove, METHOD_BUFFERED, {"IRQL_LOWER_ABOVE_CURRENT"}, true},
        {kReturnAtApc, METHOD_BUFFERED, {"IRQL_CHANGED_BY_ROUTINE"}, false},
        {kReturnHoldingLock, METHOD_BUFFERED, {"SPINLOCK_HELD_ON_RETURN", "IRQL_CHANGED_BY_ROUTINE"}, true},
        {kMapTwice, METHOD_OUT_DIRECT, {"MDL_ALREADY_MAPPED"}, true},
        {kPartialOutOfRange, METHOD_BUFFERED, {"MDL_PARTIAL_OUT_OF_RANGE"}, true},
        {kMdlDoubleFree, METHOD_BUFFERED, {"MDL_DOUBLE_FREE"}, true},
        {kCancelKeepsLock, METHOD_BUFFERED, {"CANCEL_LOCK_NOT_RELEASED"}, true},
        {kCompleteWithCancelRoutine, METHOD_BUFFERED, {"IRP_COMPLETED_WITH_CANCEL_ROUTINE"}, true},
        {kRecursiveAcquire, METHOD_BUFFERED, {"SPINLOCK_RECURSIVE_ACQUIRE"}, true},
        {kNoStackLocation, METHOD_BUFFERED, {"IRP_NO_MORE_STACK_LOCATIONS"}, true},
        {kFreeClientIrp, METHOD_BUFFERED, {"IRP_FREED_NOT_ALLOCATED"}, true},
        {kInitializeTooSmall, METHOD_BUFFERED, {"IRP_TOO_SMALL"}, true},
        {kMapUnlocked, METHOD_BUFFERED, {"MDL_NOT_LOCKED"}, true},
        {kPagedPoolAtDispatch, METHOD_BUFFERED, {"PAGED_POOL_AT_DISPATCH"}, true},
        {kPassiveRoutineAtDispatch, METHOD_BUFFERED, {"IRQL_TOO_HIGH"}, true},
        {kDeleteAttached, METHOD_BUFFERED, {"DEVICE_DELETED_ATTACHED"}, true},
        {kCompleteUnsent, METHOD_BUFFERED, {"IRP_NOT_IN_FLIGHT"}, true},
        {kPoolZeroBytes, METHOD_BUFFERED, {"POOL_ZERO_BYTES"}, true},
        {kPoolExecutable, METHOD_BUFFERED, {"POOL_EXECUTABLE"}, true},
        {kMapUnsafely, METHOD_OUT_DIRECT, {"MDL_MAPPED_UNSAFELY"}, true},
        {kInitializeAllocated, METHOD_BUFFERED, {"IRP_REUSE_NOT_ALLOWED"}, true},
        {kReuseClientIrp, METHOD_BUFFERED, {"IRP_REUSE_NOT_ALLOWED"}, true},
    };
    static_assert(sizeof(cases) / sizeof(cases[0]) == kCount - 1, "one case per fault");
    for (const Case &c : cases) {
        SCOPED_TRACE("fault " + std::to_string(c.F));
        g_lockA = g_lockB = 0;
        Send(c.F, c.Method);
        if (g_stashed != nullptr) {  // finish what the driver abandoned
            PIRP stashed = g_stashed;
            g_stashed = nullptr;
            kt::CompleteWith(stashed, STATUS_SUCCESS);
        }
        std::vector<sim::Violation> got = Violations();
        std::set<std::string> rules;
        for (const auto &v : got) rules.insert(v.Rule);
        EXPECT_EQ(c.Rules, rules);
        if (!got.empty() && c.SiteInDriver) {
            EXPECT_NE(std::string::npos, got.front().Site.find("verifier_rules_test.cpp:"))
                << got.front().Site;
        }
        for (const auto &r : rules) {
            ExpectViolation(r);
            TakeViolations(r);
        }
    }
}

TEST_F(VerifierRulesTest, StatusAndBufferOfAFaultyRequestStaySafe) {
    // Information above the output length: the client gets no more bytes than
    // its buffer holds.
    char out[4] = {'.', '.', '.', '.'};
    char guard[4] = {'g', 'g', 'g', 'g'};
    struct {
        char Out[4];
        char Guard[4];
    } buffers;
    memcpy(buffers.Out, out, 4);
    memcpy(buffers.Guard, guard, 4);
    sim::IoResult r{};
    std::thread client([&] {
        r = sim::ClientDeviceIoControl(handle, FaultCode(kInformationTooLarge), nullptr, 0,
                                       buffers.Out, 4);
    });
    client.join();
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(0, memcmp(buffers.Guard, guard, 4));
    ExpectViolation("BUFFERED_INFORMATION_TOO_LARGE");
}

TEST_F(VerifierRulesTest, ShutdownReportsEverythingStillAlive) {
    PVOID pool = ExAllocatePoolWithTag(NonPagedPoolNx, 12, DRV_POOL_TAG('L', 'e', 'f', 't'));
    PIRP irp = IoAllocateIrp(2, FALSE);
    static char buffer[8];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    PDRIVER_OBJECT extra = kt::LoadTestDriver("forgotten");
    PDEVICE_OBJECT dev = kt::CreateDevice(extra, "\\Device\\Forgotten");
    (void)pool, (void)irp, (void)mdl, (void)dev;
    for (const char *rule : {"POOL_LEAK", "IRP_LEAK", "MDL_LEAK", "DRIVER_NOT_UNLOADED",
                             "DEVICE_NOT_DELETED", "HANDLE_NOT_CLOSED"}) {
        ExpectViolation(rule);
    }
    // The fixture's handle stays open and its driver loaded; TearDown of
    // this test shuts the kernel down with all of it.
    handle = 0;
    driver = nullptr;
}

TEST_F(VerifierRulesTest, PendingPnpRequestIsReportedAfterTheHangGuard) {
    sim::VerifierSetHangGuardMs(100);
    PIRP kept = nullptr;
    kt::SetHandler(g_sink, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        kept = irp;
        return STATUS_PENDING;
    });
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::PnpStartDevice(g_sink));
    EXPECT_EQ(1u, TakeViolations("PNP_REQUEST_NEVER_COMPLETED"));
    ExpectViolation("PNP_REQUEST_NEVER_COMPLETED");
    // Completing it late releases it (no leak at shutdown).
    ASSERT_NE(nullptr, kept);
    kt::CompleteWith(kept, STATUS_SUCCESS);
}

TEST_F(VerifierRulesTest, UnloadReportsDevicesAndPoolLeftBehind) {
    PDRIVER_OBJECT other = kt::LoadTestDriver("sloppy");
    PDEVICE_OBJECT dev = kt::CreateDevice(other);
    // Pool allocated on the driver's behalf, from one of its routines.
    kt::SetHandler(dev, [](PDEVICE_OBJECT, PIRP irp) {
        ExAllocatePool(NonPagedPoolNx, 24);
        return kt::CompleteWith(irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpStartDevice(dev));
    sim::UnloadDriver(other);
    EXPECT_EQ(1u, TakeViolations("DEVICE_NOT_DELETED"));
    EXPECT_EQ(1u, TakeViolations("POOL_LEAK"));
    ExpectViolation("DEVICE_NOT_DELETED");
    ExpectViolation("POOL_LEAK");
}

// Polls (bounded) until the verifier has recorded count violations.
bool AwaitViolations(size_t count) {
    for (int i = 0; i < 2000 && sim::VerifierViolationCount() < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return sim::VerifierViolationCount() >= count;
}

TEST_F(VerifierRulesTest, HangGuardsReportStuckWaitsAndSpinLocksAndLetThemGoOn) {
    sim::VerifierSetHangGuardMs(50);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::thread waiter([&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
    ASSERT_TRUE(AwaitViolations(1));
    KeSetEvent(&never, IO_NO_INCREMENT, FALSE);  // the wait still ends normally
    waiter.join();
    EXPECT_EQ(1u, TakeViolations("WAIT_NEVER_SATISFIED"));

    KIRQL old;
    KeAcquireSpinLock(&g_lockA, &old);
    std::thread spinner([] {
        KIRQL o;
        KeAcquireSpinLock(&g_lockA, &o);
        KeReleaseSpinLock(&g_lockA, o);
    });
    ASSERT_TRUE(AwaitViolations(1));
    KeReleaseSpinLock(&g_lockA, old);
    spinner.join();
    std::vector<sim::Violation> got = Violations();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("SPINLOCK_DEADLOCK", got[0].Rule);
    // Names where the holder took the lock.
    EXPECT_NE(std::string::npos, got[0].Detail.find("verifier_rules_test.cpp:")) << got[0].Detail;
    TakeViolations("SPINLOCK_DEADLOCK");
    ExpectViolation("WAIT_NEVER_SATISFIED");
    ExpectViolation("SPINLOCK_DEADLOCK");
}

using VerifierDeathTest = VerifierRulesTest;

TEST_F(VerifierDeathTest, BugCheckStopsTheProcessNamingTheRule) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeBugCheckEx(0x44, 1, 2, 3, 4), "BUGCHECK");
}

// Pool still allocated when a driver's last device object goes away is a
// leak, reported with the allocation's call site once the driver's routine
// has returned.
PDEVICE_OBJECT g_leakyLower;

NTSTATUS LeakyRemove(PDEVICE_OBJECT device, PIRP irp) {
    PVOID kept = ExAllocatePoolWithTag(NonPagedPoolNx, 40, DRV_POOL_TAG('L', 'e', 'a', 'k'));  // leaked on purpose
    PVOID freed = ExAllocatePoolWithTag(NonPagedPoolNx, 8, DRV_POOL_TAG('L', 'e', 'a', 'k'));
    IoDetachDevice(g_leakyLower);
    IoDeleteDevice(device);
    ExFreePoolWithTag(freed, DRV_POOL_TAG('L', 'e', 'a', 'k'));  // after the deletion, still in the routine: fine
    (void)kept;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = LeakyRemove;
    return STATUS_SUCCESS;
}

class PoolLeakTest : public sim::test::KernelTest {};

TEST_F(PoolLeakTest, LastDeviceGoneReportsLeakedBlocksWithTheirSites) {
    NTSTATUS st;
    PDRIVER_OBJECT busDriver = kt::LoadTestDriver("bus");
    PDEVICE_OBJECT pdo = kt::CreateDevice(busDriver);
    PDRIVER_OBJECT leaky = sim::LoadDriver("leaky", LeakyEntry, &st);
    ASSERT_NE(nullptr, leaky);
    PDEVICE_OBJECT fdo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(leaky, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo));
    g_leakyLower = IoAttachDeviceToDeviceStack(fdo, pdo);
    ASSERT_EQ(pdo, g_leakyLower);
    // The removal reaches the leaky driver's device at the top; it does not
    // pass it down.
    EXPECT_EQ(STATUS_SUCCESS, sim::PnpRemoveDevice(pdo));
    std::vector<sim::Violation> got = Violations();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("POOL_LEAK", got[0].Rule);
    EXPECT_NE(std::string::npos, got[0].Site.find("verifier_rules_test.cpp:")) << got[0].Site;
    EXPECT_NE(std::string::npos, got[0].Detail.find("40 bytes")) << got[0].Detail;
    EXPECT_NE(std::string::npos, got[0].Detail.find("Leak")) << got[0].Detail;
    EXPECT_EQ(1u, TakeViolations("POOL_LEAK"));
    ExpectViolation("POOL_LEAK");
    // Reported once: unload and shutdown do not report the block again.
    sim::UnloadDriver(leaky);
    kt::DeleteDevice(pdo);
    sim::UnloadDriver(busDriver);
    EXPECT_EQ(0u, TakeViolations("POOL_LEAK"));
}

}  // namespace
