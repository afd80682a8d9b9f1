// The client's address space and the kernel's: a direct buffer's system
// mapping is a second mapping that ends with the request, read-only client
// pages, MmSecureVirtualMemory, mapping failures, and MDLs that outlive
// their IRP.
#include <gtest/gtest.h>

#include <string.h>

#include <thread>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

constexpr ULONG Code(ULONG function, ULONG method) { return CTL_CODE(0x22, function, method, 0); }

class AddressSpaceTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver = kt::LoadTestDriver("spaces");
        device = kt::CreateDevice(driver, "\\Device\\Spaces");
        kt::WideName link("\\DosDevices\\Spaces");
        kt::WideName target("\\Device\\Spaces");
        ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
        ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\\\.\\Spaces", &handle));
    }
    void TearDown() override {
        if (device != nullptr) {
            kt::SetHandler(device, nullptr);
            sim::ClientClose(handle);
            kt::WideName link("\\DosDevices\\Spaces");
            IoDeleteSymbolicLink(&link.Unicode);
            kt::DeleteDevice(device);
            sim::UnloadDriver(driver);
        }
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    sim::ClientHandle handle = 0;
};

TEST_F(AddressSpaceTest, SystemMappingOfADirectBufferFaultsOnceTheRequestCompleted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    volatile char *system = nullptr;
    volatile char *client = nullptr;
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        client = static_cast<char *>(MmGetMdlVirtualAddress(irp->MdlAddress));
        system = static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        system[0] = 'k';  // the same memory: the client sees it at once
        EXPECT_EQ('k', client[0]);
        return kt::CompleteWith(irp, STATUS_SUCCESS, 1);
    });
    char data[100] = {};
    ASSERT_EQ(STATUS_SUCCESS,
              sim::ClientDeviceIoControl(handle, Code(0x800, METHOD_OUT_DIRECT), nullptr, 0, data,
                                         sizeof data)
                  .Status);
    EXPECT_EQ('k', data[0]);
    ASSERT_NE(nullptr, system);
    // A segment still writing after its request completed dies at once.
    EXPECT_DEATH(system[1] = 'x', "");
    EXPECT_DEATH(client[1] = 'x', "");
}

TEST_F(AddressSpaceTest, ReadOnlyInDirectBufferCanBeSecuredForReadingOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Seen {
        HANDLE ReadWrite = nullptr, ReadOnly = nullptr, OtherThread = nullptr;
    } seen;
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        PMDL mdl = irp->MdlAddress;
        char *va = static_cast<char *>(MmGetMdlVirtualAddress(mdl));
        const ULONG n = MmGetMdlByteCount(mdl);
        seen.ReadWrite = MmSecureVirtualMemory(va, n, PAGE_READWRITE);
        seen.ReadOnly = MmSecureVirtualMemory(va, n, PAGE_READONLY);
        // Another thread is not in the client's process.
        sim::RunOnKernelThread(PASSIVE_LEVEL, [&] {
            seen.OtherThread = MmSecureVirtualMemory(va, n, PAGE_READONLY);
        });
        if (seen.ReadWrite != nullptr) MmUnsecureVirtualMemory(seen.ReadWrite);
        if (seen.ReadOnly != nullptr) MmUnsecureVirtualMemory(seen.ReadOnly);
        // The kernel's mapping is writable whatever the client's pages are.
        char *system = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        system[0] = 'w';
        return kt::CompleteWith(irp, STATUS_SUCCESS, 0);
    });
    char data[64] = {};
    sim::ClientBufferOptions readOnly;
    readOnly.OutputReadOnly = true;
    ASSERT_EQ(STATUS_SUCCESS, sim::ClientDeviceIoControlEx(handle, Code(0x801, METHOD_IN_DIRECT),
                                                           nullptr, 0, data, sizeof data, readOnly)
                                  .Status);
    EXPECT_EQ(nullptr, seen.ReadWrite);
    EXPECT_NE(nullptr, seen.ReadOnly);
    EXPECT_EQ(nullptr, seen.OtherThread);
    EXPECT_EQ('w', data[0]);

    // Writable pages can be secured for writing.
    ASSERT_EQ(STATUS_SUCCESS, sim::ClientDeviceIoControl(handle, Code(0x801, METHOD_IN_DIRECT),
                                                         nullptr, 0, data, sizeof data)
                                  .Status);
    EXPECT_NE(nullptr, seen.ReadWrite);

    // The client's own read-only pages fault when written through its address.
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_DEATH(static_cast<volatile char *>(MmGetMdlVirtualAddress(irp->MdlAddress))[0] = 1,
                     "");
        return kt::CompleteWith(irp, STATUS_SUCCESS, 0);
    });
    sim::ClientDeviceIoControlEx(handle, Code(0x801, METHOD_IN_DIRECT), nullptr, 0, data,
                                 sizeof data, readOnly);

    // A buffer the driver writes to cannot be read-only: the probe fails it.
    int reached = 0;
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        ++reached;
        return kt::CompleteWith(irp, STATUS_SUCCESS, 0);
    });
    EXPECT_EQ(STATUS_ACCESS_VIOLATION,
              sim::ClientDeviceIoControlEx(handle, Code(0x802, METHOD_OUT_DIRECT), nullptr, 0, data,
                                           sizeof data, readOnly)
                  .Status);
    EXPECT_EQ(0, reached);
}

// A client that owns its pages (ClientAlloc) hands a buffer in them over
// where it lies: the MDL describes the client's own address, the kernel's
// mapping is another address that ends with the request, and the memory stays
// the client's. A buffer handed over by a thread that does not own it is
// copied for the request as any other. (A buffer running past the block's end
// is not tried here: the copy would read past the client's own memory.)
TEST_F(AddressSpaceTest, ClientOwnedPagesAreLockedWhereTheyLieWithoutACopy) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    volatile char *system = nullptr;
    void *described = nullptr;
    HANDLE secured = nullptr;
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        described = MmGetMdlVirtualAddress(irp->MdlAddress);
        system = static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        system[0] = 'k';
        secured = MmSecureVirtualMemory(described, MmGetMdlByteCount(irp->MdlAddress), PAGE_READWRITE);
        if (secured != nullptr) MmUnsecureVirtualMemory(secured);
        return kt::CompleteWith(irp, STATUS_SUCCESS, 1);
    });
    auto send = [&](char *buffer, ULONG length) {
        return sim::ClientDeviceIoControl(handle, Code(0x803, METHOD_OUT_DIRECT), nullptr, 0, buffer,
                                          length)
            .Status;
    };
    char *block = static_cast<char *>(sim::ClientAlloc(3 * PAGE_SIZE));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0, block[0]);
    char *buffer = block + 100;
    ASSERT_EQ(STATUS_SUCCESS, send(buffer, 2 * PAGE_SIZE));
    EXPECT_EQ(static_cast<void *>(buffer), described);
    EXPECT_NE(static_cast<volatile char *>(buffer), system);
    EXPECT_EQ('k', buffer[0]);
    EXPECT_NE(nullptr, secured);
    EXPECT_EQ(static_cast<void *>(buffer), sim::ClientAddressOf(buffer));
    EXPECT_DEATH(system[1] = 'x', "");
    buffer[1] = 'c';  // still the client's own memory
    EXPECT_EQ('c', buffer[1]);

    // Another thread is another client: its request is a copy too.
    NTSTATUS other = STATUS_UNSUCCESSFUL;
    std::thread([&] { other = send(buffer + 10, 64); }).join();
    EXPECT_EQ(STATUS_SUCCESS, other);
    EXPECT_NE(static_cast<void *>(buffer + 10), described);
    EXPECT_EQ('k', buffer[10]);
    sim::ClientFree(block);
}

TEST_F(AddressSpaceTest, MappingAnMdlFailsUnderFaultInjectionLikeAnAllocation) {
    char buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    mdl->MdlFlags &= ~MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    const uint64_t before = sim::AllocationCount();
    sim::FaultFailNthAllocation(1);
    EXPECT_EQ(nullptr, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    EXPECT_EQ(0, mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(before + 1, sim::AllocationCount());
    const int line = __LINE__ + 2;
    sim::FaultFailSite("address_space_test.cpp:" + std::to_string(line));
    EXPECT_EQ(nullptr, MmMapLockedPagesSpecifyCache(mdl, KernelMode, 1, nullptr, FALSE, NormalPagePriority));
    sim::FaultClear();
    EXPECT_EQ(static_cast<PVOID>(buffer), MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    EXPECT_EQ(2u, sim::FaultInjectedCount());
    IoFreeMdl(mdl);
}

TEST_F(AddressSpaceTest, IoFreeIrpLeavesTheMdlsAndAnMdlLeftAtUnloadIsALeak) {
    static char buffer[128];
    PMDL kept = nullptr;
    sim::RunOnKernelThread(PASSIVE_LEVEL, [&] {
        sim::DriverThreadScope scope(driver);
        PIRP irp = IoAllocateIrp(1, FALSE);
        PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, irp);
        ASSERT_EQ(mdl, irp->MdlAddress);
        IoFreeIrp(irp);
        IoFreeMdl(mdl);  // still the driver's: no double free
        kept = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    });
    EXPECT_EQ(0u, sim::VerifierViolationCount());
    kt::SetHandler(device, nullptr);
    sim::ClientClose(handle);
    handle = 0;
    kt::WideName link("\\DosDevices\\Spaces");
    IoDeleteSymbolicLink(&link.Unicode);
    kt::DeleteDevice(device);  // the driver's last device object: its leak check
    EXPECT_EQ(1u, TakeViolations("MDL_LEAK"));
    sim::UnloadDriver(driver);  // reported once only
    EXPECT_EQ(0u, TakeViolations("MDL_LEAK"));
    IoFreeMdl(kept);
    ExpectViolation("MDL_LEAK");
    device = nullptr;
    driver = nullptr;
}

}  // namespace
