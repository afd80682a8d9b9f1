// Pool, MDLs and fault injection.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

constexpr ULONG kTag = DRV_POOL_TAG('T', 'e', 's', 't');

class PoolTest : public sim::test::KernelTest {};

TEST_F(PoolTest, BlocksArePoisonedAlignedAndRememberTheirSite) {
    const int line = __LINE__ + 1;
    auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 33, kTag));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 16);
    for (int i = 0; i < 33; ++i) EXPECT_NE(0, p[i]) << "pool is not zeroed";
    ASSERT_EQ(1u, sim::PoolBlocksOutstanding());
    sim::PoolBlockInfo info = sim::PoolOutstanding().front();
    EXPECT_EQ(33u, info.Bytes);
    EXPECT_EQ(kTag, info.Tag);
    EXPECT_EQ("tests/kernel/pool_mdl_fault_test.cpp:" + std::to_string(line), info.Site);
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(0u, sim::PoolBlocksOutstanding());

    // A block left at shutdown is a leak.
    ExAllocatePool(NonPagedPoolNx, 8);
    ExpectViolation("POOL_LEAK");
}

// A write into a freed block (a driver, or a bus still holding a freed
// URB's address) changes its poison: seen when the block leaves quarantine.
// Under AddressSanitizer the write itself is caught instead.
TEST_F(PoolTest, AWriteToAFreedBlockIsSeenWhenItLeavesQuarantine) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer catches the write itself";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "AddressSanitizer catches the write itself";
#endif
#endif
    auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
    ExFreePoolWithTag(p, kTag);
    volatile unsigned char *stray = p;
    stray[10] = 1;
    // Enough frees behind it to push it out of quarantine.
    for (int i = 0; i < 5000; i++) ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), kTag);
    EXPECT_EQ(1u, TakeViolations("POOL_WRITTEN_AFTER_FREE"));

    // In a large block the poison is compared a chunk at a time: a write far
    // past the first chunk, and one into the last byte, are seen as well.
    for (size_t offset : {size_t(9000), size_t(12287)}) {
        p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 12288, kTag));
        ExFreePoolWithTag(p, kTag);
        stray = p;
        stray[offset] = 0;
        for (int i = 0; i < 5000; i++) ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), kTag);
        EXPECT_EQ(1u, TakeViolations("POOL_WRITTEN_AFTER_FREE")) << "offset " << offset;
    }

    // One still in quarantine at shutdown.
    p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag));
    ExFreePoolWithTag(p, kTag);
    stray = p;
    stray[0] = 0;
    ExpectViolation("POOL_WRITTEN_AFTER_FREE");
}

TEST_F(PoolTest, NthAllocationFailsForEveryKindOfAllocation) {
    PDRIVER_OBJECT d = kt::LoadTestDriver("faults");
    PDEVICE_OBJECT dev = kt::CreateDevice(d, "\\Device\\F");
    char buffer[64];
    KEVENT e;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    kt::WideName name("\\Device\\F2"), link("\\DosDevices\\F"), target("\\Device\\F");

    uint64_t before = sim::AllocationCount();
    sim::FaultFailNthAllocation(1);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag));
    sim::FaultFailNthAllocation(1);
    EXPECT_EQ(nullptr, IoAllocateIrp(2, FALSE));
    sim::FaultFailNthAllocation(1);
    EXPECT_EQ(nullptr, IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr));
    sim::FaultFailNthAllocation(1);
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(0x220003, dev, nullptr, 0, nullptr, 0, TRUE,
                                                     &e, &iosb));
    sim::FaultFailNthAllocation(1);
    PDEVICE_OBJECT none = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              IoCreateDevice(d, 0, &name.Unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &none));
    EXPECT_FALSE(sim::DeviceNameExists("\\Device\\F2"));
    sim::FaultFailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
    EXPECT_FALSE(sim::SymbolicLinkExists("\\DosDevices\\F"));
    EXPECT_EQ(6u, sim::FaultInjectedCount());
    EXPECT_EQ(before + 6, sim::AllocationCount());

    // The third allocation from now fails; the others succeed.
    sim::FaultFailNthAllocation(3);
    PVOID a = ExAllocatePool(NonPagedPoolNx, 8);
    PVOID b = ExAllocatePool(NonPagedPoolNx, 8);
    PVOID c = ExAllocatePool(NonPagedPoolNx, 8);
    PVOID f = ExAllocatePool(NonPagedPoolNx, 8);
    EXPECT_NE(nullptr, a);
    EXPECT_NE(nullptr, b);
    EXPECT_EQ(nullptr, c);
    EXPECT_NE(nullptr, f);
    ExFreePool(a);
    ExFreePool(b);
    ExFreePool(f);
    kt::DeleteDevice(dev);
    sim::UnloadDriver(d);
}

PVOID AllocateHere() { return ExAllocatePool(NonPagedPoolNx, 16); }
const int kAllocateHereLine = __LINE__ - 1;

TEST_F(PoolTest, SiteFaultsFailEveryAllocationFromThatSiteUntilCleared) {
    sim::FaultFailSite("pool_mdl_fault_test.cpp:" + std::to_string(kAllocateHereLine));
    EXPECT_EQ(nullptr, AllocateHere());
    EXPECT_EQ(nullptr, AllocateHere());
    PVOID elsewhere = ExAllocatePool(NonPagedPoolNx, 16);
    EXPECT_NE(nullptr, elsewhere);
    ExFreePool(elsewhere);
    // A suffix must match whole path components.
    sim::FaultClear();
    sim::FaultFailSite("l_mdl_fault_test.cpp:" + std::to_string(kAllocateHereLine));
    PVOID p = AllocateHere();
    EXPECT_NE(nullptr, p);
    ExFreePool(p);
    sim::FaultClear();
    p = AllocateHere();
    EXPECT_NE(nullptr, p);
    ExFreePool(p);
    EXPECT_EQ(2u, sim::FaultInjectedCount());
}

TEST_F(PoolTest, DriverScopedFaultsCountOnlyThatDriversAllocations) {
    PDRIVER_OBJECT d = kt::LoadTestDriver("scoped");
    PDEVICE_OBJECT dev = kt::CreateDevice(d, "\\Device\\Scoped");
    kt::WideName link("\\DosDevices\\Scoped"), target("\\Device\\Scoped");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
    kt::SetHandler(dev, [](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            return kt::CompleteWith(irp, STATUS_SUCCESS);
        }
        PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
        if (p == nullptr) return kt::CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
        ExFreePoolWithTag(p, kTag);
        return kt::CompleteWith(irp, STATUS_SUCCESS);
    });
    sim::ClientHandle h;
    ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\\\.\\Scoped", &h));
    uint64_t mine = sim::AllocationCount(d);
    sim::FaultFailNthAllocation(2, d);
    PVOID outside = ExAllocatePool(NonPagedPoolNx, 8);  // not the driver's: not counted
    EXPECT_NE(nullptr, outside);
    ExFreePool(outside);
    const ULONG code = CTL_CODE(0x22, 0x800, METHOD_BUFFERED, 0);
    EXPECT_EQ(STATUS_SUCCESS, sim::ClientDeviceIoControl(h, code, nullptr, 0, nullptr, 0).Status);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              sim::ClientDeviceIoControl(h, code, nullptr, 0, nullptr, 0).Status);
    EXPECT_EQ(STATUS_SUCCESS, sim::ClientDeviceIoControl(h, code, nullptr, 0, nullptr, 0).Status);
    EXPECT_EQ(mine + 3, sim::AllocationCount(d));
    sim::ClientClose(h);
    IoDeleteSymbolicLink(&link.Unicode);
    kt::DeleteDevice(dev);
    sim::UnloadDriver(d);
}

TEST_F(PoolTest, ALimitedPoolRefusesWhatWouldExceedItAndTakesFreedBytesBack) {
    sim::SetPoolLimit(1000);
    PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 600, kTag);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 401, kTag));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)0xFFFFFFFFu, kTag));
    PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 400, kTag);
    EXPECT_NE(nullptr, b);
    ExFreePoolWithTag(a, kTag);
    PVOID c = ExAllocatePoolWithTag(NonPagedPoolNx, 600, kTag);
    EXPECT_NE(nullptr, c);
    ExFreePoolWithTag(b, kTag);
    ExFreePoolWithTag(c, kTag);
    // A boot lifts the limit.
    sim::KernelBoot();
    PVOID big = ExAllocatePoolWithTag(NonPagedPoolNx, 4096, kTag);
    EXPECT_NE(nullptr, big);
    ExFreePoolWithTag(big, kTag);
}

class MdlTest : public sim::test::KernelTest {};

TEST_F(MdlTest, AllocateBuildPartialAndMap) {
    alignas(4096) static char buffer[3 * PAGE_SIZE];
    char *base = buffer + 100;

    // An MDL over nonpaged memory: partial MDLs carry the flag and derive
    // their system address; no mapping needed.
    PMDL source = IoAllocateMdl(base, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, source);
    EXPECT_EQ(static_cast<PVOID>(buffer), source->StartVa);
    EXPECT_EQ(100u, source->ByteOffset);
    MmBuildMdlForNonPagedPool(source);
    EXPECT_TRUE(source->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    PMDL part = IoAllocateMdl(base, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, part, base + PAGE_SIZE, 0);  // 0: the rest
    EXPECT_EQ(static_cast<ULONG>(PAGE_SIZE), part->ByteCount);
    EXPECT_EQ(MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL, part->MdlFlags & ~MDL_ALLOCATED_FIXED_SIZE);
    EXPECT_EQ(static_cast<PVOID>(base + PAGE_SIZE), part->MappedSystemVa);
    EXPECT_EQ(static_cast<PVOID>(base + PAGE_SIZE), MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
    IoFreeMdl(part);
    IoFreeMdl(source);

    // An MDL of locked client pages: partial MDLs get mapped on demand.
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL locked = IoAllocateMdl(base, 2 * PAGE_SIZE, FALSE, FALSE, irp);
    EXPECT_EQ(locked, irp->MdlAddress);
    PMDL second = IoAllocateMdl(buffer, 10, TRUE, FALSE, irp);
    EXPECT_EQ(second, irp->MdlAddress->Next);
    locked->MdlFlags |= MDL_PAGES_LOCKED;
    PMDL piece = IoAllocateMdl(base + 10, 20, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(locked, piece, base + 10, 20);
    EXPECT_EQ(nullptr, piece->MappedSystemVa);
    EXPECT_EQ(0, piece->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(static_cast<PVOID>(base + 10), MmGetSystemAddressForMdlSafe(piece, NormalPagePriority));
    EXPECT_TRUE(piece->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    // Mapped now: the macro takes MappedSystemVa without mapping again.
    EXPECT_EQ(static_cast<PVOID>(base + 10), MmGetSystemAddressForMdlSafe(piece, NormalPagePriority));
    IoFreeMdl(piece);
    irp->MdlAddress = nullptr;
    IoFreeMdl(second);
    IoFreeMdl(locked);
    IoFreeIrp(irp);

    // A source whose pages nobody locked: its page array names nothing yet.
    PMDL big = IoAllocateMdl(buffer, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
    PMDL tiny = IoAllocateMdl(buffer, 1, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(big, tiny, buffer, 1);
    EXPECT_EQ(1u, TakeViolations("MDL_NOT_LOCKED"));
    EXPECT_EQ(0, tiny->MdlFlags & MDL_PARTIAL);

    // Too small a target MDL for the range.
    MmBuildMdlForNonPagedPool(big);
    IoBuildPartialMdl(big, tiny, buffer, 2 * PAGE_SIZE);
    EXPECT_EQ(1u, TakeViolations("MDL_TOO_SMALL"));
    ExpectViolation("MDL_TOO_SMALL");
    IoFreeMdl(tiny);
    IoFreeMdl(big);
}

}  // namespace
