// The dispatcher's buffer rules and outcomes for the codes it answers itself,
// and its refusal of malformed inputs before anything is sent.
#include <string.h>

#include "platform/system_address.h"
#include "transfer/transfer.h"
#include "driver_fixture.h"
#include "usb/interface_snapshot.h"

namespace drvtest {
namespace {

using DispatchTest = OpenCameraTest;

TEST_F(DispatchTest, FixedSizeOutputsAndUnknownCodes) {
    uint8_t out[16];
    memset(out, 0xEE, sizeof(out));
    sim::IoResult r = Call(IOCTL_USBCAM_GET_VERSION, nullptr, 0, out, 6);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 6u);
    const uint8_t version[6] = {0x01, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(memcmp(out, version, 6), 0);
    r = Call(IOCTL_USBCAM_GET_VERSION, nullptr, 0, out, 5);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Information, 0u);

    r = Call(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, out, 4);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 4u);
    EXPECT_EQ(*(int32_t *)out, 0);
    EXPECT_EQ(Call(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, out, 3).Status, STATUS_UNSUCCESSFUL);
    r = Call(IOCTL_USBCAM_GET_FRAME_NUMBER, nullptr, 0, out, 3);
    EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.Information, 0u);

    EXPECT_EQ(Call(IOCTL_USBCAM_NOP, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    for (ULONG code : {0x222010u, 0x222003u, 0x2220ACu, 0x00220000u}) {
        r = Call(code, nullptr, 0, out, sizeof(out));
        EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(r.Information, 0u);
    }
    EXPECT_TRUE(Wire(camera_.Port).empty());
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(Ext(camera_)->IoCount, 1);
}

// Every routine with an IRQL or lock contract opens with its check, which the
// verifier enforces here (and a debug build of the image asserts).
TEST_F(DispatchTest, ARoutineEnteredOutsideItsContractIsReported) {
    auto taken = [](const char *rule, const char *routine) {
        size_t n = 0;
        for (const sim::Violation &v : sim::VerifierTakeViolations()) {
            if (v.Rule == rule && v.Detail.find(routine) != std::string::npos) n++;
        }
        return n;
    };
    // StopStream is a PASSIVE_LEVEL routine of the client's thread.
    AtPassive(driver_, [&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        (void)StopStream(camera_.Fdo);
        KeLowerIrql(old);
    });
    EXPECT_EQ(taken("CONTRACT_IRQL", "StopStream"), 1u);
    AtPassive(driver_, [&] { (void)StopStream(camera_.Fdo); });
    EXPECT_EQ(taken("CONTRACT_IRQL", "StopStream"), 0u);

    // A lock the contract requires, and one it forbids.
    AtPassive(driver_, [&] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        DRV_LOCK_HELD(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        DRV_LOCK_HELD(&lock);
        DRV_LOCK_NOT_HELD(&lock);
        KeReleaseSpinLock(&lock, old);
    });
    std::vector<sim::Violation> v = sim::VerifierTakeViolations();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].Rule, "CONTRACT_LOCK");
    EXPECT_NE(v[0].Detail.find("entered without &lock"), std::string::npos) << v[0].Detail;
    EXPECT_EQ(v[1].Rule, "CONTRACT_LOCK");
    EXPECT_NE(v[1].Detail.find("entered holding &lock"), std::string::npos) << v[1].Detail;
}

TEST_F(DispatchTest, InterfaceInfoNeedsRoomForTheWholeTable) {
    std::vector<uint8_t> out(200, 0xEE);
    sim::IoResult r = Call(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, out.data(), 120);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 120u);
    std::fill(out.begin(), out.end(), 0xEE);
    r = Call(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, out.data(), 119);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(out[0], 0xEE);  // nothing written
}

TEST_F(DispatchTest, TimeoutAndStreamControl) {
    TimeoutRecord other = {2, 500};
    EXPECT_EQ(Call(IOCTL_USBCAM_SET_TIMEOUT, &other, 8, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ((LONGLONG)TransferTimeoutMs, 3000);
    TimeoutRecord minusOne = {1, -1};
    EXPECT_EQ(Call(IOCTL_USBCAM_SET_TIMEOUT, &minusOne, 8, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ((LONGLONG)TransferTimeoutMs, -1);
    TimeoutRecord shortRecord = {1, 100};
    EXPECT_EQ(Call(IOCTL_USBCAM_SET_TIMEOUT, &shortRecord, 7, nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ((LONGLONG)TransferTimeoutMs, -1);
    TimeoutRecord back = {1, 3000};
    Call(IOCTL_USBCAM_SET_TIMEOUT, &back, 8, nullptr, 0);

    // With no stream running a stop still succeeds, twice.
    EXPECT_EQ(Call(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
}

// Stream reads are checked in this order: the record's length, the output
// length against the record, a stream's rings, then the record's sizes.
TEST_F(DispatchTest, StreamReadChecksInOrder) {
    StreamReadRecord read = {0, 100, 4, 0, 0};
    std::vector<uint8_t> out(4 * 112 + 1);
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, &read, 19, out.data(), 448).Status,
              STATUS_INVALID_PARAMETER);
    uint8_t longer[sizeof(read) + 1] = {};  // the record and one byte more
    memcpy(longer, &read, sizeof(read));
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, longer, sizeof(longer), out.data(), 448).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, &read, 20, out.data(), 449).Status,
              STATUS_INVALID_PARAMETER);
    // The product is formed in 64 bits: it cannot wrap to match a small output.
    StreamReadRecord huge = {0, 0xFFFFFFF4u, 0x10000u, 0, 0};
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, &huge, 20, out.data(), 0).Status,
              STATUS_INVALID_PARAMETER);
    // No stream: the rings are missing, whatever the sizes.
    StreamReadRecord zeroSize = {0, 0, 4, 0, 0};
    StreamReadRecord zeroCount = {0, 100, 0, 0, 0};
    for (const auto &c : {std::make_pair(read, 448u), std::make_pair(zeroSize, 48u),
                          std::make_pair(zeroCount, 0u)}) {
        sim::IoResult r = Call(IOCTL_USBCAM_READ_STREAM, &c.first, 20,
                               c.second != 0 ? out.data() : nullptr, c.second);
        EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL) << c.second;
        EXPECT_EQ(r.Information, 0u);
    }
    // With a stream running, zero sizes are refused before its rings are read
    // (driver.StreamReadTest.RefusalsTakeNothing).
}

// Inputs shorter than their record, and pipe codes with no interface selected,
// are refused before anything is sent.
TEST_F(DispatchTest, ShortInputsAndAMissingInterfaceSendNothing) {
    InterfaceSelection alt1 = {0, 1};
    for (ULONG length : {0u, 1u}) {
        sim::IoResult r = Call(IOCTL_USBCAM_SELECT_INTERFACE, &alt1, length, nullptr, 0);
        EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(r.Information, 0u);
    }
    EXPECT_EQ(SelectedInterface(handle_).AlternateSetting, 0);

    // No interface: the table is dropped as a failed selection copy drops it.
    AtPassive(driver_, [&] { ReplaceInterfaceInfo(Ext(camera_), nullptr); });
    PipeIndexRecord pipe0 = {0};
    EXPECT_EQ(Call(IOCTL_USBCAM_ABORT_PIPE, &pipe0, 4, nullptr, 0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Call(IOCTL_USBCAM_RESET_PIPE, &pipe0, 4, nullptr, 0).Status, STATUS_UNSUCCESSFUL);
    uint8_t out[64];
    sim::IoResult r = Call(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, out, sizeof(out));
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_TRUE(Wire(camera_.Port).empty());
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(Ext(camera_)->IoCount, 1);
}

// The system address of a request's data buffer: an MDL that already has one
// (mapped before, or describing non-paged pool) is not mapped again, and a
// second look-up for the same request finds the first mapping.
TEST_F(DispatchTest, DataBufferAddressUsesAnExistingMapping) {
    AtPassive(driver_, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(GetMdlSystemAddress(irp->MdlAddress), nullptr);  // no data buffer

        std::vector<uint8_t> client(100);
        PMDL locked = IoAllocateMdl(client.data(), (ULONG)client.size(), FALSE, FALSE, nullptr);
        ASSERT_NE(locked, nullptr);
        locked->MdlFlags |= MDL_PAGES_LOCKED;  // as the I/O manager leaves a client's buffer
        irp->MdlAddress = locked;
        PVOID first = GetMdlSystemAddress(irp->MdlAddress);
        ASSERT_NE(first, nullptr);
        EXPECT_NE(locked->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
        EXPECT_EQ(GetMdlSystemAddress(irp->MdlAddress), first);
        EXPECT_EQ(locked->MappedSystemVa, first);

        PVOID pool = DrvAllocatePool(64);
        ASSERT_NE(pool, nullptr);
        PMDL nonPaged = IoAllocateMdl(pool, 64, FALSE, FALSE, nullptr);
        ASSERT_NE(nonPaged, nullptr);
        MmBuildMdlForNonPagedPool(nonPaged);
        irp->MdlAddress = nonPaged;
        EXPECT_EQ(GetMdlSystemAddress(irp->MdlAddress), pool);

        irp->MdlAddress = nullptr;
        IoFreeMdl(nonPaged);
        IoFreeMdl(locked);
        DrvFreePool(pool);
        IoFreeIrp(irp);
    });
}

TEST_F(DispatchTest, TransferCodesRefuseShortRecordsBeforeTheEngineRuns) {
    uint8_t in[32] = {};
    uint8_t out[64];
    struct Case {
        ULONG Code;
        ULONG RecordBytes;
    } cases[] = {{IOCTL_USBCAM_READ_PIPE, 4}, {IOCTL_USBCAM_WRITE_PIPE, 4}, {IOCTL_USBCAM_READ_PIPE_LARGE, 4}, {IOCTL_USBCAM_WRITE_PIPE_LARGE, 4}, {IOCTL_USBCAM_ISO_READ, 20}, {IOCTL_USBCAM_ISO_WRITE, 20}, {IOCTL_USBCAM_START_STREAM, 20}};
    for (const Case &c : cases) {
        sim::IoResult r = Call(c.Code, in, c.RecordBytes - 1, out, sizeof(out));
        EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER) << std::hex << c.Code;
        EXPECT_EQ(r.Information, 0u);
    }
    EXPECT_TRUE(Wire(camera_.Port).empty());
    // The gate's count: a leak shows otherwise only as a removal that never ends.
    EXPECT_EQ(Ext(camera_)->IoCount, 1);
}

}  // namespace
}  // namespace drvtest
