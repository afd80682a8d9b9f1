// Isochronous block read and write against the reference camera and the bus
// knobs: the record's checks, the round-robin rotation of packets among slots,
// the descriptor area, failing requests and cut-short jobs, and every
// allocation failure.
#include <cstring>

#include "iso_support.h"

namespace drvtest {
namespace {

class IsoBlockTest : public IsoCameraTest {};

TEST_F(IsoBlockTest, PacketsRotateAmongSlotsAndDescriptorsFollowThePayload) {
    // 32 packets, 8 per request, 2 slots: slot 0 carries 0-7 then 16-23.
    const uint32_t size = 1024, total = 32;
    std::vector<uint8_t> out(total * (size + 12) + 7, 0xEE);
    IsoReadRecord record = {kIsoInPipe, size, total, 8, 2};
    sim::IoResult r = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);

    auto descriptors = Descriptors(out.data() + total * size, total);
    std::vector<bool> late(total / 8, false);
    for (uint32_t k = 0; k < total; k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(descriptors[k].Offset, (k % 8) * size);  // relative to its own request
        // A loaded machine may resubmit after the bus has passed a request's
        // frames: those packets say so and carry nothing.
        if (descriptors[k].Status == USBD_STATUS_ISO_NOT_ACCESSED_LATE) {
            EXPECT_EQ(descriptors[k].Length, 0u);
            late[k / 8] = true;
            continue;
        }
        EXPECT_EQ(descriptors[k].Length, size);
        EXPECT_EQ(descriptors[k].Status, USBD_STATUS_SUCCESS);
        ExpectReferencePacket(out.data() + k * size, size);
    }
    // Bytes past the descriptor area are left alone.
    for (size_t i = total * (size + 12); i < out.size(); i++) EXPECT_EQ(out[i], 0xEE);

    // Four requests on the wire, with the IN flags; the sequence numbers of
    // the packets follow the order in which the requests reached the bus.
    auto wire = IsoWire();
    ASSERT_EQ(wire.size(), 4u);
    std::vector<uint32_t> firstSeq;
    for (uint32_t k = 0; k < total; k += 8) firstSeq.push_back(Sequence(out.data() + k * size));
    // Slot 0's second request (packets 16-23) follows slot 1's first (8-15).
    if (!late[0] && !late[1]) EXPECT_LT(firstSeq[0], firstSeq[1]);
    if (!late[1] && !late[2]) EXPECT_LT(firstSeq[1], firstSeq[2]);
    if (!late[2] && !late[3]) EXPECT_LT(firstSeq[2], firstSeq[3]);
}

TEST_F(IsoBlockTest, DirectionFollowsTheEndpointNotTheCode) {
    const uint32_t size = 64, total = 8;
    std::vector<uint8_t> out(total * (size + 12));
    IsoReadRecord in = {kIsoInPipe, size, total, 8, 1};
    IsoReadRecord outPipe = {kIsoOutPipe, size, total, 8, 1};
    for (ULONG code : {IOCTL_USBCAM_ISO_READ, IOCTL_USBCAM_ISO_WRITE}) {
        sim::usb::WireLogClear();
        ASSERT_EQ(Call(code, &in, sizeof(in), out.data(), (ULONG)out.size()).Status, STATUS_SUCCESS);
        ASSERT_EQ(Call(code, &outPipe, sizeof(outPipe), out.data(), (ULONG)out.size()).Status,
                  STATUS_SUCCESS);
        auto wire = IsoWire();
        ASSERT_EQ(wire.size(), 2u);
        EXPECT_TRUE(wire[0].In);
        EXPECT_EQ(wire[0].Endpoint, 0x84);
        EXPECT_FALSE(wire[1].In);
        EXPECT_EQ(wire[1].Endpoint, 0x05);
    }
}

TEST_F(IsoBlockTest, RecordChecksRefuseBeforeAnythingIsSent) {
    const uint32_t size = 100, total = 16;
    std::vector<uint8_t> out(2048 * 16);
    const ULONG exact = total * (size + 12);
    struct Case {
        IsoReadRecord Record;
        ULONG InLength, OutLength;
        NTSTATUS Expected;
    } cases[] = {
        {{kIsoInPipe, size, total, 8, 2}, 19, exact, STATUS_INVALID_PARAMETER},              // short input
        {{kPipeCount, size, total, 8, 2}, 20, exact, STATUS_INVALID_PARAMETER},              // index = count
        {{kBulkPipe, size, total, 8, 2}, 20, exact, STATUS_INVALID_PARAMETER},               // bulk pipe
        {{kIsoInPipe, size, 24, 8, 2}, 20, 24 * 112, STATUS_INVALID_PARAMETER},              // not a multiple
        {{kIsoInPipe, 0, total, 8, 2}, 20, exact, STATUS_INVALID_PARAMETER},                 // zero size
        {{kIsoInPipe, size, 0, 8, 2}, 20, exact, STATUS_INVALID_PARAMETER},                  // zero total
        {{kIsoInPipe, size, total, 0, 2}, 20, exact, STATUS_INVALID_PARAMETER},              // zero per request
        {{kIsoInPipe, size, total, 8, 0}, 20, exact, STATUS_INVALID_PARAMETER},              // zero slots
        {{kIsoInPipe, size, total, 0x10000, 0x10000}, 20, exact, STATUS_INVALID_PARAMETER},  // wraps
        {{kIsoInPipe, size, total, 4, 4}, 20, exact, STATUS_INVALID_PARAMETER},              // half a frame
        {{kIsoInPipe, 4, 2048, 2048, 1}, 20, 2048 * 16, STATUS_INVALID_PARAMETER},           // > 1024 packets
        {{kIsoInPipe, size, total, 8, 2}, 20, exact - 1, STATUS_UNSUCCESSFUL},               // one byte short
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.Record.PacketSize << "/" << c.Record.TotalPackets << "/"
                                        << c.Record.PacketsPerRequest << "/" << c.Record.SlotCount
                                        << " in " << c.InLength << " out " << c.OutLength);
        sim::IoResult r = Call(IOCTL_USBCAM_ISO_READ, &c.Record, c.InLength, out.data(), c.OutLength);
        EXPECT_EQ(r.Status, c.Expected);
        EXPECT_EQ(r.Information, 0u);
    }
    EXPECT_TRUE(IsoWire().empty());
    EXPECT_EQ(OurBlocks(), baselineBlocks_);
}

TEST_F(IsoBlockTest, AFailedRequestFinishesTheJobWithItsDescriptors) {
    const uint32_t size = 1024, total = 32;
    std::vector<uint8_t> out(total * (size + 12));
    // The second request to reach the endpoint fails.
    sim::usb::FailAfter(camera_.Port, 0x84, 1, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    IsoReadRecord record = {kIsoInPipe, size, total, 8, 2};
    sim::IoResult r = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    auto descriptors = Descriptors(out.data() + total * size, total);
    int failed = 0;
    for (auto &d : descriptors) {
        if (USBD_ERROR(d.Status)) {
            failed++;
            EXPECT_EQ(d.Length, 0u) << std::hex << d.Status;  // a failed packet never claims data
        }
    }
    // The failed request's packets, and those of any request the halted pipe
    // refused after it (or that came too late on a loaded machine).
    EXPECT_GE(failed, 8);
}

TEST_F(IsoBlockTest, EveryAllocationFailureUnwinds) {
    const uint32_t size = 64, total = 16;
    std::vector<uint8_t> out(total * (size + 12));
    IsoReadRecord record = {kIsoInPipe, size, total, 8, 2};
    sim::IoResult r{};
    int unmapped = 0;
    int passes = WalkAllocations(
        [&] { r = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size()); },
        [&](bool injected) {
            // A pool shortage, or the client buffer that could not be mapped.
            if (r.Status == STATUS_INSUFFICIENT_RESOURCES) unmapped++;
            else EXPECT_EQ(r.Status, injected ? STATUS_NO_MEMORY : STATUS_SUCCESS);
            EXPECT_EQ(OurBlocks(), baselineBlocks_);
        });
    EXPECT_EQ(unmapped, 1);  // the client buffer's mapping is one of the failures
    EXPECT_GE(passes, 6);    // context, slots, two URBs and two IRPs
}

TEST_F(IsoBlockTest, AReadOnlyBufferIsRefusedBeforeAnythingIsSent) {
    // IOCTL_USBCAM_ISO_WRITE hands the buffer over for reading only; the job
    // would write into it (an IN pipe's payload, and the descriptors whatever
    // the direction).
    const uint32_t size = 64, total = 8;
    std::vector<uint8_t> out(total * (size + 12), 0x33);
    sim::ClientBufferOptions readOnly;
    readOnly.OutputReadOnly = true;
    for (uint32_t pipe : {kIsoInPipe, kIsoOutPipe}) {
        IsoReadRecord record = {pipe, size, total, 8, 1};
        sim::IoResult r = sim::ClientDeviceIoControlEx(handle_, IOCTL_USBCAM_ISO_WRITE, &record,
                                                       sizeof(record), out.data(), (ULONG)out.size(),
                                                       readOnly);
        EXPECT_EQ(r.Status, STATUS_ACCESS_VIOLATION) << pipe;
    }
    EXPECT_TRUE(IsoWire().empty());
    for (uint8_t b : out) ASSERT_EQ(b, 0x33);
    EXPECT_EQ(OurBlocks(), baselineBlocks_);
    // The same buffer, writable: the job runs.
    IsoReadRecord record = {kIsoInPipe, size, total, 8, 1};
    EXPECT_EQ(Call(IOCTL_USBCAM_ISO_WRITE, &record, sizeof(record), out.data(), (ULONG)out.size()).Status,
              STATUS_SUCCESS);
}

}  // namespace
}  // namespace drvtest
