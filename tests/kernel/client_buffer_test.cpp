// Client device-control requests: the buffer handling of each method, the
// returned status and Information, and many client threads at once.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

constexpr ULONG Code(ULONG function, ULONG method) { return CTL_CODE(0x22, function, method, 0); }

class ClientBufferTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver = kt::LoadTestDriver("buffers");
        device = kt::CreateDevice(driver, "\\Device\\Buf");
        kt::WideName link("\\DosDevices\\Buf");
        kt::WideName target("\\Device\\Buf");
        ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
        ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\\\.\\Buf", &handle));
    }
    void TearDown() override {
        kt::SetHandler(device, nullptr);  // the test's handler captured its locals
        sim::ClientClose(handle);
        kt::WideName link("\\DosDevices\\Buf");
        IoDeleteSymbolicLink(&link.Unicode);
        kt::DeleteDevice(device);
        sim::UnloadDriver(driver);
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    sim::ClientHandle handle = 0;
};

TEST_F(ClientBufferTest, BufferedUsesOneSystemBufferAndCopiesInformationBytesBack) {
    struct Seen {
        PVOID System = nullptr;
        std::string Input;
        ULONG InLen = 0, OutLen = 0;
        PMDL Mdl = reinterpret_cast<PMDL>(1);
    } seen;
    NTSTATUS reply = STATUS_SUCCESS;
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        seen.System = irp->AssociatedIrp.SystemBuffer;
        seen.InLen = s->Parameters.DeviceIoControl.InputBufferLength;
        seen.OutLen = s->Parameters.DeviceIoControl.OutputBufferLength;
        seen.Mdl = irp->MdlAddress;
        char *b = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
        seen.Input.assign(b, seen.InLen);
        memcpy(b, "ABCDEFGH", 8);
        return kt::CompleteWith(irp, reply, 5);
    });
    char in[4] = {'x', 'y', 'z', 0};
    char out[10];
    memset(out, '.', sizeof out);
    sim::IoResult r = sim::ClientDeviceIoControl(handle, Code(0x800, METHOD_BUFFERED), in, 3, out, 10);
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(5u, r.Information);
    EXPECT_EQ("xyz", seen.Input);
    EXPECT_EQ(3u, seen.InLen);
    EXPECT_EQ(10u, seen.OutLen);
    EXPECT_NE(static_cast<PVOID>(in), seen.System);
    EXPECT_EQ(nullptr, seen.Mdl);
    EXPECT_EQ(0, memcmp(out, "ABCDE.....", 10));  // exactly Information bytes

    // A warning status still copies; an error status copies nothing.
    memset(out, '.', sizeof out);
    reply = static_cast<NTSTATUS>(0x80000005);  // STATUS_BUFFER_OVERFLOW
    r = sim::ClientDeviceIoControl(handle, Code(0x800, METHOD_BUFFERED), in, 3, out, 10);
    EXPECT_EQ(reply, r.Status);
    EXPECT_EQ(0, memcmp(out, "ABCDE.....", 10));
    memset(out, '.', sizeof out);
    reply = STATUS_INVALID_PARAMETER;
    r = sim::ClientDeviceIoControl(handle, Code(0x800, METHOD_BUFFERED), in, 3, out, 10);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.Status);
    EXPECT_EQ(5u, r.Information);
    EXPECT_EQ(0, memcmp(out, "..........", 10));

    // No buffers at all: no system buffer.
    reply = STATUS_SUCCESS;
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        seen.System = irp->AssociatedIrp.SystemBuffer;
        return kt::CompleteWith(irp, STATUS_SUCCESS, 0);
    });
    r = sim::ClientDeviceIoControl(handle, Code(0x800, METHOD_BUFFERED), nullptr, 0, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(nullptr, seen.System);
}

TEST_F(ClientBufferTest, DirectMethodsLockTheSecondBufferInAnMdl) {
    struct Seen {
        PVOID System;
        PMDL Mdl;
        PVOID MdlVa;
        ULONG MdlBytes;
        PVOID Mapped;
        std::string Input;
    } seen{};
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        seen = Seen{};
        seen.System = irp->AssociatedIrp.SystemBuffer;
        if (seen.System) {
            seen.Input.assign(static_cast<char *>(seen.System),
                              s->Parameters.DeviceIoControl.InputBufferLength);
        }
        seen.Mdl = irp->MdlAddress;
        ULONG_PTR info = 0;
        if (seen.Mdl != nullptr) {
            seen.MdlVa = MmGetMdlVirtualAddress(seen.Mdl);
            seen.MdlBytes = MmGetMdlByteCount(seen.Mdl);
            seen.Mapped = MmGetSystemAddressForMdlSafe(seen.Mdl, NormalPagePriority);
            memcpy(seen.Mapped, "direct", 6);
            info = 6;
        }
        return kt::CompleteWith(irp, STATUS_SUCCESS, info);
    });
    for (ULONG method : {METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
        char in[3] = {'a', 'b', 'c'};
        char data[4100];
        memset(data, 0, sizeof data);
        sim::IoResult r = sim::ClientDeviceIoControl(handle, Code(0x810, method), in, 3, data + 3,
                                                     4097);
        EXPECT_EQ(STATUS_SUCCESS, r.Status);
        EXPECT_EQ(6u, r.Information);
        EXPECT_EQ("abc", seen.Input);
        ASSERT_NE(nullptr, seen.Mdl);
        // The MDL describes the client's pages by their client address; the
        // kernel's mapping of them is another address. What was written
        // through it is the client's at completion.
        EXPECT_EQ(BYTE_OFFSET(data + 3), BYTE_OFFSET(seen.MdlVa));
        EXPECT_EQ(4097u, seen.MdlBytes);
        EXPECT_NE(seen.MdlVa, seen.Mapped);
        EXPECT_NE(static_cast<PVOID>(data + 3), seen.Mapped);
        EXPECT_EQ(BYTE_OFFSET(seen.MdlVa), BYTE_OFFSET(seen.Mapped));
        EXPECT_EQ(0, memcmp(data + 3, "direct", 6));

        // No output: no MDL; no input: no system buffer.
        r = sim::ClientDeviceIoControl(handle, Code(0x810, method), nullptr, 0, nullptr, 0);
        EXPECT_EQ(STATUS_SUCCESS, r.Status);
        EXPECT_EQ(nullptr, seen.Mdl);
        EXPECT_EQ(nullptr, seen.System);
    }
}

TEST_F(ClientBufferTest, NeitherPassesTheClientAddresses) {
    PVOID type3 = nullptr, user = nullptr;
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        type3 = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
        user = irp->UserBuffer;
        return kt::CompleteWith(irp, STATUS_SUCCESS, 0);
    });
    char in[2], out[2];
    sim::ClientDeviceIoControl(handle, Code(0x811, METHOD_NEITHER), in, 2, out, 2);
    EXPECT_EQ(static_cast<PVOID>(in), type3);
    EXPECT_EQ(static_cast<PVOID>(out), user);
}

TEST_F(ClientBufferTest, ManyClientThreadsWithPendingRequests) {
    // Every other request is pended and completed from a helper thread.
    std::atomic<int> counter{0};
    kt::SetHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        ULONG value = *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer);
        *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer) = value * 2;
        if (counter++ % 2 == 0) return kt::CompleteWith(irp, STATUS_SUCCESS, sizeof(ULONG));
        IoMarkIrpPending(irp);
        std::thread([irp] {
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            kt::CompleteWith(irp, STATUS_SUCCESS, sizeof(ULONG));
            KeLowerIrql(old);
        }).detach();
        return STATUS_PENDING;
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            for (ULONG i = 0; i < 50; ++i) {
                ULONG v = t * 1000 + i, out = 0;
                sim::IoResult r = sim::ClientDeviceIoControl(handle, Code(0x800, METHOD_BUFFERED),
                                                             &v, sizeof v, &out, sizeof out);
                if (r.Status != STATUS_SUCCESS || r.Information != sizeof out || out != v * 2) ++wrong;
            }
        });
    }
    for (auto &c : clients) c.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(400, counter.load());
}

}  // namespace
