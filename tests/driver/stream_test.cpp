// The continuous stream against the reference camera: the read layout, a
// running stream's packets and descriptors, full rings, a failing slot, stop
// and second start, many client threads at once, every allocation failure,
// and removal, surprise removal and unplug while streams and block reads run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "iso_support.h"
#include "transfer/iso_job.h"

namespace drvtest {
namespace {

using namespace std::chrono_literals;

class StreamTest : public IsoCameraTest {
protected:
    // Waits (hang guard 10 s) until at least count isochronous requests have
    // completed on the wire.
    bool WaitIsoRequests(size_t count) {
        for (int i = 0; i < 10000; i++) {
            if (IsoWire().size() >= count) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    // Packets and descriptors of one successful read.
    struct Taken {
        std::vector<uint32_t> Sequences;
        std::vector<IsoPacketDescriptor> Descriptors;
    };
    static Taken Split(const std::vector<uint8_t> &out, uint32_t size, ULONG_PTR information) {
        Taken taken;
        const size_t packets = information / (size + 12);
        EXPECT_EQ(information, packets * (size + 12));
        for (size_t k = 0; k < packets; k++) taken.Sequences.push_back(Sequence(&out[k * size]));
        taken.Descriptors = Descriptors(&out[packets * size], packets);
        return taken;
    }
};

// ---------------------------------------------------------------------------
// Reading: layout and refusals, on rings the test fills itself

class StreamReadTest : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        AtPassive(driver_, [&] {
            data_ = RingCreate(10 * 100);
            descriptors_ = RingCreate(10 * 12);
        });
        memset(&stream_, 0, sizeof(stream_));
        stream_.StreamDataRing = data_;
        stream_.StreamDescriptorRing = descriptors_;
        stream_.References = 1;  // the test's own: ReadStream never frees it
        stream_.PacketSize = 100;
        DeviceExtension *ext = Ext(camera_);
        ext->ActiveStream = &stream_;
        ext->DataRing = data_;
        ext->DescriptorRing = descriptors_;
    }
    void TearDown() override {
        DeviceExtension *ext = Ext(camera_);
        ext->ActiveStream = nullptr;
        ext->DataRing = nullptr;
        ext->DescriptorRing = nullptr;
        AtPassive(driver_, [&] {
            RingDestroy(data_);
            RingDestroy(descriptors_);
        });
        StreamTest::TearDown();
    }
    // Appends count packets of 100 bytes (byte value = packet number) with
    // descriptors {j * 100, 100 - number, number}.
    void Store(int count) {
        AtPassive(driver_, [&] {
            for (int i = 0; i < count; i++, next_++) {
                uint8_t payload[100];
                memset(payload, next_, sizeof(payload));
                IsoPacketDescriptor d = {(uint32_t)(i * 100), (uint32_t)(100 - next_), next_};
                ASSERT_EQ(RingWrite(descriptors_, &d, 12), 12u);
                ASSERT_EQ(RingWrite(data_, payload, 100), 100u);
            }
        });
    }
    ByteRing *data_ = nullptr;
    ByteRing *descriptors_ = nullptr;
    StreamContext stream_;
    int next_ = 1;
};

TEST_F(StreamReadTest, WholePacketsThenTheirDescriptorsAndNothingBeyond) {
    std::vector<uint8_t> out;
    Store(2);
    sim::IoResult r = ReadStream(100, 3, &out);  // 336 bytes
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 224u);
    for (int i = 0; i < 200; i++) ASSERT_EQ(out[i], 1 + i / 100) << i;
    auto d = Descriptors(&out[200], 2);
    EXPECT_EQ(d[0].Status, 1);
    EXPECT_EQ(d[1].Status, 2);
    EXPECT_EQ(d[1].Offset, 100u);
    for (size_t i = 224; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE) << i;

    Store(5);  // packets 3..7
    r = ReadStream(100, 3, &out);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 336u);
    for (int i = 0; i < 300; i++) ASSERT_EQ(out[i], 3 + i / 100) << i;
    d = Descriptors(&out[300], 3);
    EXPECT_EQ(d[0].Status, 3);
    EXPECT_EQ(d[2].Status, 5);
    EXPECT_EQ(d[2].Length, 95u);
    // Two packets are left, and come next.
    r = ReadStream(100, 3, &out);
    EXPECT_EQ(r.Information, 224u);
    EXPECT_EQ(out[0], 6);
    EXPECT_EQ(out[199], 7);
    EXPECT_EQ(ReadStream(100, 3, &out).Information, 0u);  // empty: success, nothing
}

TEST_F(StreamReadTest, DescriptorsFollowThePacketsTakenNotThePacketsAsked) {
    // A request's descriptors go into their ring before its payload: a read
    // between the two appends finds a descriptor whose payload is not there
    // yet. It takes descriptors for the whole packets it took only, so the
    // next read still pairs each payload with its own descriptor.
    std::vector<uint8_t> out;
    Store(2);
    AtPassive(driver_, [&] {
        IsoPacketDescriptor d = {0, 100 - 3, 3};
        ASSERT_EQ(RingWrite(descriptors_, &d, 12), 12u);
    });
    sim::IoResult r = ReadStream(100, 3, &out);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 224u);
    auto d = Descriptors(&out[200], 2);
    EXPECT_EQ(d[1].Status, 2);
    // The payload of packet 3 arrives now: read, it comes with descriptor 3.
    AtPassive(driver_, [&] {
        uint8_t payload[100];
        memset(payload, 3, sizeof(payload));
        ASSERT_EQ(RingWrite(data_, payload, 100), 100u);
    });
    r = ReadStream(100, 1, &out);
    ASSERT_EQ(r.Information, 112u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(Descriptors(&out[100], 1)[0].Status, 3);
}

TEST_F(StreamReadTest, AnUnmappableBufferTakesNothing) {
    Store(3);
    StreamReadRecord record = {0, 100, 3, 0, 0};
    std::vector<uint8_t> out(336);
    sim::FaultFailNthAllocation(1, driver_);  // the read's one allocation: the mapping
    sim::IoResult r = Call(IOCTL_USBCAM_READ_STREAM, &record, 20, out.data(), 336);
    sim::FaultClear();
    EXPECT_EQ(r.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.Information, 0u);
    std::vector<uint8_t> all;
    EXPECT_EQ(ReadStream(100, 3, &all).Information, 336u);  // still there
}

TEST_F(StreamReadTest, RefusalsTakeNothing) {
    Store(10);  // full
    std::vector<uint8_t> out(112 * 20);
    StreamReadRecord record = {0, 100, 3, 0, 0};
    uint8_t longer[21] = {};
    memcpy(longer, &record, 20);
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, &record, 19, out.data(), 336).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, longer, 21, out.data(), 336).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, &record, 20, out.data(), 335).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_USBCAM_READ_STREAM, &record, 20, out.data(), 337).Status, STATUS_INVALID_PARAMETER);
    StreamReadRecord zero = {0, 100, 0, 0, 0};
    sim::IoResult r = Call(IOCTL_USBCAM_READ_STREAM, &zero, 20, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
    // Another packet size than the stream's: smaller would take one packet's
    // payload and three descriptors, larger part of a packet.
    for (uint32_t size : {50u, 99u, 101u, 200u}) {
        StreamReadRecord other = {0, size, 6, 0, 0};
        r = Call(IOCTL_USBCAM_READ_STREAM, &other, 20, out.data(), 6 * (size + 12));
        EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER) << size;
        EXPECT_EQ(r.Information, 0u);
    }
    // More packets than the ring holds: success, nothing taken.
    StreamReadRecord many = {0, 100, 11, 0, 0};
    r = Call(IOCTL_USBCAM_READ_STREAM, &many, 20, out.data(), 11 * 112);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    // Exactly the capacity: everything.
    std::vector<uint8_t> all;
    r = ReadStream(100, 10, &all);
    EXPECT_EQ(r.Information, 1120u);
}

TEST_F(StreamReadTest, ARequestGoesIntoBothRingsOrNeither) {
    // A reader has taken a packet's payload but not yet its descriptor: the
    // payload ring has room for one more packet, the descriptor ring none.
    // The next request must not go in by halves, or every later packet would
    // be paired with the wrong descriptor.
    Store(10);
    std::vector<uint8_t> scratch(100 * 12);
    AtPassive(driver_, [&] { ASSERT_EQ(RingRead(data_, scratch.data(), 100), 100u); });

    uint8_t payload[100];
    memset(payload, 0x77, sizeof(payload));
    uint8_t urbBlock[ISO_URB_BASE_BYTES] = {};
    IsoSlot slot = {};
    slot.Urb = (PURB)urbBlock;
    slot.Urb->UrbIsochronousTransfer.IsoPacket[0].Length = 100;
    stream_.PacketsPerRequest = 1;
    stream_.PacketSize = 100;
    stream_.PayloadBuffer = payload;
    AtPassive(driver_, [&] {
        EXPECT_FALSE(StreamAppendRequest(&stream_, &slot));
        EXPECT_EQ(RingFreeBytes(data_), 100u);
        EXPECT_EQ(RingFreeBytes(descriptors_), 0u);
        // The reader takes the descriptor too: now the request fits whole.
        ASSERT_EQ(RingRead(descriptors_, scratch.data(), 12), 12u);
        EXPECT_TRUE(StreamAppendRequest(&stream_, &slot));
        EXPECT_EQ(RingFreeBytes(data_), 0u);
        EXPECT_EQ(RingFreeBytes(descriptors_), 0u);
    });
    // The reverse: descriptor room without payload room.
    AtPassive(driver_, [&] {
        ASSERT_EQ(RingRead(descriptors_, scratch.data(), 12), 12u);
        EXPECT_FALSE(StreamAppendRequest(&stream_, &slot));
        EXPECT_EQ(RingFreeBytes(descriptors_), 12u);
        ASSERT_EQ(RingRead(data_, scratch.data(), 100), 100u);
    });
}

// ---------------------------------------------------------------------------
// Running streams

TEST_F(StreamTest, NoStreamStopStillSucceedsAndReadsFail) {
    std::vector<uint8_t> out;
    EXPECT_EQ(ReadStream(100, 3, &out).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_EQ(ReadStream(100, 3, &out).Status, STATUS_UNSUCCESSFUL);
}

TEST_F(StreamTest, StartChecksRefuseBeforeAnythingIsAllocated) {
    struct Case {
        StreamStartRecord Record;
        ULONG InLength;
    } cases[] = {
        {{kIsoInPipe, 1024, 64, 8, 2}, 19},
        {{kPipeCount, 1024, 64, 8, 2}, 20},
        {{kBulkPipe, 1024, 64, 8, 2}, 20},
        {{kIsoInPipe, 0, 64, 8, 2}, 20},
        {{kIsoInPipe, 1024, 0, 8, 2}, 20},
        {{kIsoInPipe, 1024, 64, 0, 2}, 20},
        {{kIsoInPipe, 1024, 64, 8, 0}, 20},
        {{kIsoInPipe, 0x10000, 0x10000, 8, 2}, 20},  // ring bytes wrap
        {{kIsoInPipe, 0x100000, 64, 1024, 8}, 20},   // payload bytes wrap
        {{kIsoInPipe, 16, 0x20000000, 8, 2}, 20},    // descriptor ring wraps
        {{kIsoInPipe, 1024, 64, 12, 2}, 20},         // not whole frames
        {{kIsoInPipe, 1024, 64, 1032, 2}, 20},       // above 1024 packets
        {{kIsoInPipe, 1024, 7, 8, 2}, 20},           // rings below one request
    };
    for (const Case &c : cases) {
        const StreamStartRecord &rec = c.Record;
        SCOPED_TRACE(testing::Message() << rec.PipeIndex << " " << rec.PacketSize << "/" << rec.RingPackets
                                        << "/" << rec.PacketsPerRequest << "/" << rec.SlotCount);
        sim::IoResult r = Call(IOCTL_USBCAM_START_STREAM, &rec, c.InLength, nullptr, 0);
        EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.Information, 0u);
    }
    EXPECT_EQ(OurBlocks(), baselineBlocks_);
    EXPECT_TRUE(IsoWire().empty());
}

TEST_F(StreamTest, ASelectionRightAfterAStopSelects) {
    // The stopping stream's requests are still on the pipe when the client
    // selects another setting: the selection waits for them rather than be
    // refused by the bus as busy while the old setting stays.
    ASSERT_EQ(StartStream(kIsoInPipe, 1024, 256, 8, 4).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitIsoRequests(4));
    ASSERT_EQ(StopStream().Status, STATUS_SUCCESS);
    InterfaceSelection select = {0, 0};
    ASSERT_EQ(Call(IOCTL_USBCAM_SELECT_INTERFACE, &select, sizeof(select), nullptr, 0).Status,
              STATUS_SUCCESS);
    uint8_t out[1024] = {};
    ASSERT_EQ(Call(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, out, sizeof(out)).Status, STATUS_SUCCESS);
    const auto *info = (const USBD_INTERFACE_INFORMATION *)out;
    EXPECT_EQ(info->AlternateSetting, 0);
    EXPECT_EQ(info->Pipes[2].PipeType, UsbdPipeTypeBulk);
    EXPECT_TRUE(WaitStreamGone());
}

// A USB 2.0 camera with a full-speed bus under it: 64-byte bulk pipes and an
// isochronous IN endpoint of one packet a frame.
const char kFullSpeedCamera[] = R"json({
  "name": "USB 2.0 camera at full speed", "speed": "full",
  "device": { "bcdUSB": "0x0200", "bDeviceClass": "0xFF", "bMaxPacketSize0": 64,
              "idVendor": "0x1209", "idProduct": "0x0003", "bcdDevice": "0x0100" },
  "configuration": { "bConfigurationValue": 1, "bmAttributes": "0x80", "bMaxPower": 100,
    "interfaces": [ { "bInterfaceNumber": 0, "bAlternateSetting": 0, "bInterfaceClass": "0xFF",
      "endpoints": [
        { "bEndpointAddress": "0x01", "type": "bulk", "wMaxPacketSize": 64 },
        { "bEndpointAddress": "0x81", "type": "bulk", "wMaxPacketSize": 64 },
        { "bEndpointAddress": "0x84", "type": "isochronous", "wMaxPacketSize": 1023, "bInterval": 1 } ] } ] },
  "endpoints": { "0x01": "commands", "0x81": "status", "0x84": "isoSource" }
})json";

TEST_F(DriverTest, PacketsPerRequestFollowTheSpeedTheBusReports) {
    // At full speed any count up to 255 packets a request is whole frames;
    // the device descriptor's bcdUSB (0x0200) says nothing of the port.
    Camera camera = Plug(kFullSpeedCamera);
    ASSERT_NE(camera.Fdo, nullptr);
    sim::ClientHandle handle = Open();
    sim::usb::WireLogClear();
    StreamStartRecord ten = {2, 1023, 64, 10, 2};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_START_STREAM, &ten, sizeof(ten), nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    StreamStartRecord tooMany = {2, 1023, 512, 256, 1};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_START_STREAM, &tooMany, sizeof(tooMany), nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    // The speed was known from the start: no descriptor read to guess it.
    for (const auto &r : ControlWire(camera.Port)) EXPECT_NE(r.Request(), USB_REQUEST_GET_DESCRIPTOR);

    // The reference camera runs at high speed: 10 packets are not whole
    // frames of bInterval 1, 16 are.
    Camera high = Plug();
    sim::ClientHandle h = Open(1);
    InterfaceSelection select = {0, 1};
    ASSERT_EQ(Ioctl(h, IOCTL_USBCAM_SELECT_INTERFACE, &select, sizeof(select), nullptr, 0).Status,
              STATUS_SUCCESS);
    StreamStartRecord highTen = {kIsoInPipe, 1024, 64, 10, 2};
    EXPECT_EQ(Ioctl(h, IOCTL_USBCAM_START_STREAM, &highTen, sizeof(highTen), nullptr, 0).Status,
              STATUS_INVALID_PARAMETER);
    StreamStartRecord highSixteen = {kIsoInPipe, 1024, 64, 16, 2};
    EXPECT_EQ(Ioctl(h, IOCTL_USBCAM_START_STREAM, &highSixteen, sizeof(highSixteen), nullptr, 0).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(h, IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
}

TEST_F(StreamTest, ARunningStreamDeliversEveryPacketWithItsDescriptor) {
    const uint32_t size = 1024;
    ASSERT_EQ(StartStream(kIsoInPipe, size, 1024, 8, 4).Status, STATUS_SUCCESS);
    std::vector<uint32_t> sequences;
    std::vector<uint8_t> out;
    for (int guard = 0; guard < 20000 && sequences.size() < 400; guard++) {
        sim::IoResult r = ReadStream(size, 60, &out);
        ASSERT_EQ(r.Status, STATUS_SUCCESS);
        Taken t = Split(out, size, r.Information);
        for (size_t k = 0; k < t.Sequences.size(); k++) {
            // A late packet (the machine was slow to resubmit) says so and
            // carries nothing; its stride is still there.
            if (t.Descriptors[k].Status == USBD_STATUS_ISO_NOT_ACCESSED_LATE) {
                EXPECT_EQ(t.Descriptors[k].Length, 0u);
                continue;
            }
            ExpectReferencePacket(&out[k * size], size);
            EXPECT_EQ(t.Descriptors[k].Length, size);
            EXPECT_EQ(t.Descriptors[k].Status, USBD_STATUS_SUCCESS);
            // Offset within its own request: packets of one request are
            // consecutive microframes.
            const uint32_t place = t.Descriptors[k].Offset / size;
            EXPECT_EQ(t.Descriptors[k].Offset % size, 0u);
            EXPECT_LT(place, 8u);
            if (k > 0 && place > 0) EXPECT_EQ(t.Sequences[k], t.Sequences[k - 1] + 1);
        }
        for (size_t k = 0; k < t.Sequences.size(); k++) {
            if (t.Descriptors[k].Status == USBD_STATUS_SUCCESS) sequences.push_back(t.Sequences[k]);
        }
        if (t.Sequences.empty()) std::this_thread::sleep_for(1ms);
    }
    ASSERT_GE(sequences.size(), 400u);
    // Whole requests in the order the bus served them, though the bus runs
    // their completions on several threads at once.
    EXPECT_TRUE(std::is_sorted(sequences.begin(), sequences.end()));
    // Nothing lost while the client kept up: every packet the camera sent in
    // a request that completed well before the last one read was read. (The
    // bus may leave microframes idle when the machine is slow to resubmit, so
    // the sequence numbers themselves may skip.)
    std::sort(sequences.begin(), sequences.end());
    const uint32_t last = sequences.back();
    size_t checked = 0;
    for (auto &record : IsoWire()) {
        bool whole = record.IsoPackets.size() == 8;
        for (auto &packet : record.IsoPackets) whole = whole && packet.Status == USBD_STATUS_SUCCESS;
        if (!whole || record.Data.size() < 4) continue;
        const uint32_t first = Sequence(record.Data.data());
        if (first + 8 + 64 > last) continue;
        checked++;
        for (uint32_t j = 0; j < 8; j++) {
            EXPECT_TRUE(std::binary_search(sequences.begin(), sequences.end(), first + j)) << first + j;
        }
    }
    EXPECT_GE(checked, 40u);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
    EXPECT_EQ(sim::usb::QueuedTransfers(camera_.Port, 0x84), 0u);
}

// Which requests full rings drop depends on when the completions run; the
// exact drops are checked on the scripted bus (iso_order_test.cpp). Here:
// full rings on the real bus stop nothing, and what arrives is whole requests.
TEST_F(StreamTest, FullRingsDropWholeRequestsWhileTheStreamRunsOn) {
    const uint32_t size = 1024;
    ASSERT_EQ(StartStream(kIsoInPipe, size, 16, 8, 2).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitIsoRequests(6));
    std::vector<uint8_t> out;
    sim::IoResult r = ReadStream(size, 16, &out);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    ASSERT_EQ(Split(out, size, r.Information).Sequences.size(), 16u);  // stored before they filled
    // The stream runs on: the room the read made fills again (hang guard 10 s).
    Taken next;
    for (int guard = 0; guard < 10000 && next.Sequences.empty(); guard++) {
        r = ReadStream(size, 16, &out);
        ASSERT_EQ(r.Status, STATUS_SUCCESS);
        next = Split(out, size, r.Information);
        if (next.Sequences.empty()) std::this_thread::sleep_for(1ms);
    }
    ASSERT_FALSE(next.Sequences.empty());
    EXPECT_EQ(next.Sequences.size() % 8, 0u);  // whole requests
    for (size_t k = 0; k < next.Descriptors.size(); k++) {
        EXPECT_EQ(next.Descriptors[k].Offset, (uint32_t)(k % 8) * size);
    }
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(StreamTest, AFailingSlotStopsAloneAndItsPacketsSayWhy) {
    const uint32_t size = 1024;
    // The fifth request to reach the endpoint fails.
    sim::usb::FailAfter(camera_.Port, 0x84, 4, 1, USBD_STATUS_CANCELED);
    ASSERT_EQ(StartStream(kIsoInPipe, size, 512, 8, 3).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitIsoRequests(12));
    EXPECT_LE(sim::usb::QueuedTransfers(camera_.Port, 0x84), 2u);
    std::vector<uint8_t> out;
    int failed = 0, good = 0;
    // Completions may run a little after the wire shows their requests done:
    // read until the two slots left have delivered (hang guard 10 s).
    for (int guard = 0; guard < 10000 && good < 80; guard++) {
        if (guard > 0) std::this_thread::sleep_for(1ms);
        sim::IoResult r = ReadStream(size, 256, &out);
        ASSERT_EQ(r.Status, STATUS_SUCCESS);  // the rings stay while slots run
        Taken t = Split(out, size, r.Information);
        for (auto &d : t.Descriptors) {
            if (d.Status == USBD_STATUS_CANCELED) {
                failed++;
                EXPECT_EQ(d.Length, 0u);
            } else {
                good++;
            }
        }
    }
    EXPECT_EQ(failed, 8);
    EXPECT_GE(good, 80);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
}

// The whole stride of every packet reaches the client, whatever its length:
// a stride the camera never filled must not carry what the pool held before.
TEST_F(StreamTest, StridesTheCameraDidNotFillCarryZerosNotOldPool) {
    const uint32_t size = 1024;
    // The first request fails before the camera fills any of its packets.
    sim::usb::FailAfter(camera_.Port, 0x84, 0, 1, USBD_STATUS_CANCELED);
    ASSERT_EQ(StartStream(kIsoInPipe, size, 64, 8, 2).Status, STATUS_SUCCESS);
    // The first request's completion may run a little after the wire shows it
    // done (hang guard 10 s).
    std::vector<uint8_t> out;
    Taken t;
    for (int guard = 0; guard < 10000 && t.Descriptors.empty(); guard++) {
        sim::IoResult r = ReadStream(size, 8, &out);
        ASSERT_EQ(r.Status, STATUS_SUCCESS);
        t = Split(out, size, r.Information);
        if (t.Descriptors.empty()) std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(t.Descriptors.size(), 8u);
    for (size_t k = 0; k < 8; k++) {
        EXPECT_EQ(t.Descriptors[k].Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(t.Descriptors[k].Length, 0u);
        const uint8_t *stride = &out[k * size];
        EXPECT_TRUE(std::all_of(stride, stride + size, [](uint8_t b) { return b == 0; }))
            << "packet " << k << " starts with 0x" << std::hex << (int)stride[0];
    }
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(StreamTest, ASecondStartRunsASecondStreamAndOneStopEndsBoth) {
    ASSERT_EQ(StartStream(kIsoInPipe, 1024, 64, 8, 2).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartStream(kIsoInPipe, 1024, 128, 8, 2).Status, STATUS_SUCCESS);
    // ReadStream drains the stream started last: its rings hold 128 packets.
    ASSERT_TRUE(WaitIsoRequests(50));
    std::vector<uint8_t> out;
    sim::IoResult r = ReadStream(1024, 128, &out);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 128u * (1024 + 12));
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());  // both: every block of both streams is back
}

TEST_F(StreamTest, InterfaceSelectionUnderAStreamLeavesItsPipeTableValid) {
    // The stream keeps the table it started with; a new selection either
    // waits for it (the bus refuses while transfers are queued) or ends its
    // requests on handles that died. Either way nothing reads a freed table
    // (the sanitizer build watches), and the stream ends cleanly.
    ASSERT_EQ(StartStream(kIsoInPipe, 1024, 64, 8, 3).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitIsoRequests(6));
    InterfaceSelection again = {0, 1};
    Call(IOCTL_USBCAM_SELECT_INTERFACE, &again, sizeof(again), nullptr, 0);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(StreamTest, ConcurrentReadersNeverShareAPacketOrTearOne) {
    // Four client threads drain one stream at once while it runs and while it
    // stops: every read is whole (each packet intact, as many descriptors as
    // packets), and no packet reaches two readers. The rings run full, so
    // appends meet reads that have freed payload room but not yet descriptor
    // room.
    const uint32_t size = 1024;
    // Small rings that fill up: appends race with reads that free room.
    ASSERT_EQ(StartStream(kIsoInPipe, size, 24, 8, 4).Status, STATUS_SUCCESS);
    std::mutex lock;
    std::vector<uint32_t> all;
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; t++) {
        readers.emplace_back([&] {
            std::vector<uint8_t> out;
            while (!stop.load()) {
                sim::IoResult r = ReadStream(size, 8, &out);
                if (r.Status == STATUS_UNSUCCESSFUL) break;  // the stream has ended
                if (r.Information % (size + 12) != 0) torn++;
                const size_t packets = r.Information / (size + 12);
                std::vector<uint32_t> mine;
                for (size_t k = 0; k < packets; k++) {
                    const uint8_t *packet = &out[k * size];
                    IsoPacketDescriptor d;
                    memcpy(&d, &out[packets * size + k * 12], 12);
                    if (d.Offset % size != 0) torn++;
                    if (d.Status != USBD_STATUS_SUCCESS) {  // late: nothing in its stride
                        if (d.Length != 0) torn++;
                        continue;
                    }
                    auto expected = sim::usb::ReferenceIsoPacket(Sequence(packet), size);
                    if (memcmp(packet, expected.data(), size) != 0) torn++;
                    if (d.Length != size) torn++;
                    mine.push_back(Sequence(packet));
                }
                {
                    std::lock_guard<std::mutex> hold(lock);
                    all.insert(all.end(), mine.begin(), mine.end());
                }
                if (packets == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ASSERT_TRUE(WaitIsoRequests(60));
    EXPECT_EQ(StopStream().Status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitStreamGone());
    stop = true;
    for (auto &reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());  // none read twice
    EXPECT_GE(all.size(), 8u);                                         // at least one whole request arrived in time
}

TEST_F(StreamTest, ManyThreadsStartReadAndStopAtOnce) {
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> out;
            for (int i = 0; i < 40; i++) {
                sim::IoResult r{};
                switch ((t + i) % 3) {
                    case 0:
                        r = StartStream(kIsoInPipe, 512 * (1 + t % 2), 64, 8, 1 + t % 3);
                        if (r.Status != STATUS_SUCCESS) unexpected++;
                        break;
                    case 1:
                        r = ReadStream(512, 8, &out);
                        // No stream, or the stream started last has packets of 1024.
                        if (r.Status != STATUS_SUCCESS && r.Status != STATUS_UNSUCCESSFUL &&
                            r.Status != STATUS_INVALID_PARAMETER) {
                            unexpected++;
                        }
                        break;
                    default: StopStream(); break;
                }
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(unexpected.load(), 0);
    StopStream();
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(StreamTest, EveryAllocationFailureOfStartUnwinds) {
    sim::IoResult r{};
    int passes = WalkAllocations([&] { r = StartStream(kIsoInPipe, 1024, 32, 8, 2); },
                                 [&](bool injected) {
                                     if (injected) {
                                         EXPECT_EQ(r.Status, STATUS_NO_MEMORY);
                                         EXPECT_EQ(OurBlocks(), baselineBlocks_);
                                         std::vector<uint8_t> out;
                                         EXPECT_EQ(ReadStream(1, 1, &out).Status, STATUS_UNSUCCESSFUL);
                                     } else {
                                         EXPECT_EQ(r.Status, STATUS_SUCCESS);
                                         StopStream();
                                         EXPECT_TRUE(WaitStreamGone());
                                     }
                                 });
    EXPECT_GE(passes, 10);  // context, payload, two rings of two blocks, slots, 2 URBs, 2 IRPs
}

// ---------------------------------------------------------------------------
// The slot's request as built

TEST_F(StreamTest, BuiltRequestsCarryTheirStrideAndTheEndpointsDirection) {
    uint8_t payload[600];
    for (UCHAR endpoint : {(UCHAR)0x84, (UCHAR)0x05}) {
        AtPassive(driver_, [&] {
            USBD_PIPE_INFORMATION pipe = {};
            pipe.EndpointAddress = endpoint;
            pipe.PipeHandle = (USBD_PIPE_HANDLE)0x1234;
            IsoSlot slots[2] = {};
            StreamContext context = {};
            context.Operations = &IsoBlockReadOperations;
            context.Device = camera_.Fdo;
            context.PacketSize = 100;
            context.PacketsPerRequest = 3;
            context.SlotCount = 2;
            context.Pipe = &pipe;
            context.PayloadBuffer = payload;
            context.Slots = slots;
            ASSERT_EQ(BuildIsoRequest(&context, 1), STATUS_SUCCESS);
            // A request built and not sent: only its records show what it holds.
            struct _URB_ISOCH_TRANSFER &u = slots[1].Urb->UrbIsochronousTransfer;
            EXPECT_EQ(u.Hdr.Length, 152 + 3 * 12);
            EXPECT_EQ(u.Hdr.Function, URB_FUNCTION_ISOCH_TRANSFER);
            EXPECT_EQ(u.TransferFlags, endpoint & 0x80 ? 7u : 6u);
            EXPECT_EQ(u.PipeHandle, pipe.PipeHandle);
            EXPECT_EQ(u.TransferBuffer, payload + 300);
            EXPECT_EQ(u.TransferBufferLength, 300u);
            EXPECT_EQ(u.TransferBufferMDL, nullptr);
            EXPECT_EQ(u.StartFrame, 0u);
            EXPECT_EQ(u.NumberOfPackets, 3u);
            for (int j = 0; j < 3; j++) {
                EXPECT_EQ(u.IsoPacket[j].Offset, j * 100u);
                EXPECT_EQ(u.IsoPacket[j].Length, 100u);
            }
            EXPECT_EQ(slots[1].StartPacket, 3u);
            EXPECT_EQ(slots[1].Owner, &context);
            PIRP irp = slots[1].Irp;
            EXPECT_EQ(irp->StackCount, camera_.Pdo->StackSize + 1);  // the stack below us is the PDO
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
            EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, IOCTL_INTERNAL_USB_SUBMIT_URB);
            EXPECT_EQ(next->Parameters.Others.Argument1, slots[1].Urb);
            EXPECT_EQ(next->Context, &slots[1]);
            EXPECT_EQ(next->Control, 0xE0);
            IsoFreeSlotRequest(&slots[1]);
        });
    }
}

// ---------------------------------------------------------------------------
// Removal under running jobs

class IsoRemovalTest : public StreamTest {
protected:
    // A block read of many packets in another thread, which closes the handle
    // when it returns.
    void StartLongBlockRead() {
        out_.assign(kTotal * (1024 + 12), 0);
        reader_ = std::thread([this] {
            IsoReadRecord record = {kIsoInPipe, 1024, kTotal, 8, 2};
            result_ = sim::ClientDeviceIoControl(handle_, IOCTL_USBCAM_ISO_READ, &record, sizeof(record),
                                                 out_.data(), (ULONG)out_.size());
        });
        for (int i = 0; i < 10000 && sim::usb::QueuedTransfers(camera_.Port, 0x84) == 0; i++) {
            std::this_thread::sleep_for(1ms);
        }
    }
    void JoinBlockRead() {
        reader_.join();
        CloseHandle();
    }
    // Every packet either arrived or says it never did.
    void ExpectEveryDescriptorAccountedFor() {
        auto d = Descriptors(&out_[kTotal * 1024], kTotal);
        int received = 0;
        for (auto &descriptor : d) {
            if (descriptor.Status == USBD_STATUS_SUCCESS) {
                received++;
                EXPECT_EQ(descriptor.Length, 1024u);  // never an unsent packet left as it was
            } else {
                EXPECT_EQ(descriptor.Length, 0u);
            }
        }
        EXPECT_LT(received, (int)kTotal);
    }
    static constexpr uint32_t kTotal = 8 * 2 * 200;  // 400 ms of packets
    std::vector<uint8_t> out_;
    std::thread reader_;
    sim::IoResult result_{};
};

TEST_F(IsoRemovalTest, RemovalWaitsForTheLastSlotOfAStream) {
    ASSERT_EQ(StartStream(kIsoInPipe, 1024, 64, 8, 4).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitIsoRequests(8));
    CloseHandle();  // the stream runs on without a handle
    EXPECT_EQ(Remove(camera_), STATUS_SUCCESS);
    // Nothing of the stream is left, and nothing is sent any more.
    EXPECT_EQ(OurBlocks(), 0);
    EXPECT_EQ(sim::usb::QueuedTransfers(camera_.Port, 0x84), 0u);
    const size_t sent = IsoWire().size();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(IsoWire().size(), sent);
}

TEST_F(IsoRemovalTest, SurpriseRemovalEndsAStream) {
    ASSERT_EQ(StartStream(kIsoInPipe, 1024, 64, 8, 4).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitIsoRequests(8));
    CloseHandle();
    camera_.Removed = true;
    for (auto &known : cameras_) known.Removed = true;
    EXPECT_EQ(sim::usb::SurpriseRemove(camera_.Port), STATUS_SUCCESS);
    EXPECT_EQ(OurBlocks(), 0);
}

TEST_F(IsoRemovalTest, UnplugEndsAStreamAndItsRingsGo) {
    ASSERT_EQ(StartStream(kIsoInPipe, 1024, 64, 8, 4).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitIsoRequests(8));
    sim::usb::Unplug(camera_.Port);
    EXPECT_TRUE(WaitStreamGone());
}

TEST_F(IsoRemovalTest, RemovalCutsABlockReadShort) {
    StartLongBlockRead();
    EXPECT_EQ(Remove(camera_), STATUS_SUCCESS);
    JoinBlockRead();
    // Cut short, the job itself still succeeded: the descriptors tell.
    EXPECT_EQ(result_.Status, STATUS_SUCCESS);
    ExpectEveryDescriptorAccountedFor();
    EXPECT_EQ(OurBlocks(), 0);
}

TEST_F(IsoRemovalTest, UnplugCutsABlockReadShortThenRemovalFinds) {
    StartLongBlockRead();
    sim::usb::Unplug(camera_.Port);
    JoinBlockRead();
    EXPECT_EQ(result_.Status, STATUS_SUCCESS);
    ExpectEveryDescriptorAccountedFor();
    // A read of one request per slot on the camera that went away answers
    // the same way as one with rounds left: success, and every packet says
    // it was not received.
    handle_ = Open();
    for (uint32_t total : {16u, 64u}) {
        std::vector<uint8_t> out(total * (1024 + 12), 0xEE);
        IsoReadRecord record = {kIsoInPipe, 1024, total, 8, 2};
        sim::IoResult r =
            Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out.data(), (ULONG)out.size());
        EXPECT_EQ(r.Status, STATUS_SUCCESS) << total;
        for (auto &d : Descriptors(&out[total * 1024], total)) {
            EXPECT_NE(d.Status, USBD_STATUS_SUCCESS) << total;
            EXPECT_EQ(d.Length, 0u) << total;
        }
    }
    CloseHandle();
    EXPECT_EQ(Remove(camera_), STATUS_SUCCESS);
    EXPECT_EQ(OurBlocks(), 0);
}

TEST_F(IsoRemovalTest, RequestsFailingInlineEndABlockReadWithoutNesting) {
    sim::usb::SetCompletionMode(camera_.Port, sim::usb::CompletionMode::Inline);
    sim::usb::Unplug(camera_.Port);
    out_.assign(kTotal * (1024 + 12), 0);
    IsoReadRecord record = {kIsoInPipe, 1024, kTotal, 8, 2};
    sim::IoResult r = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out_.data(), (ULONG)out_.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    ExpectEveryDescriptorAccountedFor();
    // One request per slot reached the bus; no slot was sent again.
    EXPECT_LE(IsoWire().size(), 2u);
}

TEST_F(IsoRemovalTest, RequestsRefusedAtSubmissionStopTheirSlots) {
    // Every request fails inside IofCallDriver: each slot stops after its
    // first instead of failing the rest of the job one request at a time, and
    // no completion nests another send.
    sim::usb::SetInlineFailures(camera_.Port, true);
    sim::usb::FailNext(camera_.Port, 0x84, 100000, USBD_STATUS_DEV_NOT_RESPONDING);
    out_.assign(kTotal * (1024 + 12), 0);
    IsoReadRecord record = {kIsoInPipe, 1024, kTotal, 8, 2};
    sim::IoResult r = Call(IOCTL_USBCAM_ISO_READ, &record, sizeof(record), out_.data(), (ULONG)out_.size());
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    ExpectEveryDescriptorAccountedFor();
    EXPECT_LE(IsoWire().size(), 2u);
    sim::usb::ResetKnobs(camera_.Port);
}
}  // namespace
}  // namespace drvtest
