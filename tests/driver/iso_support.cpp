#include "iso_support.h"

#include "allocation_walk.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace drvtest {

void IsoCameraTest::SetUp() {
    OpenCameraTest::SetUp();
    InterfaceSelection select = {0, 1};
    ASSERT_EQ(Call(IOCTL_USBCAM_SELECT_INTERFACE, &select, sizeof(select), nullptr, 0).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(sim::usb::GetCameraState(camera_.Port).AltSetting.at(0), 1);
    sim::usb::WireLogClear();
    baselineBlocks_ = OurBlocks();
}

std::vector<IsoPacketDescriptor> IsoCameraTest::Descriptors(const uint8_t *area, size_t count) {
    std::vector<IsoPacketDescriptor> out(count);
    if (count != 0) memcpy(out.data(), area, count * sizeof(IsoPacketDescriptor));
    return out;
}

uint32_t IsoCameraTest::Sequence(const uint8_t *packet) {
    uint32_t seq;
    memcpy(&seq, packet, 4);
    return seq;
}

void IsoCameraTest::ExpectReferencePacket(const uint8_t *packet, uint32_t length) {
    std::vector<uint8_t> expected = sim::usb::ReferenceIsoPacket(Sequence(packet), length);
    ASSERT_EQ(memcmp(packet, expected.data(), length), 0);
}

std::vector<sim::usb::WireRecord> IsoCameraTest::IsoWire() {
    std::vector<sim::usb::WireRecord> out;
    for (auto &record : sim::usb::WireLog(camera_.Port)) {
        if (record.Type == sim::usb::TransferType::Isochronous) out.push_back(record);
    }
    return out;
}

int IsoCameraTest::WalkAllocations(const std::function<void()> &run,
                                   const std::function<void(bool)> &check) {
    return sim::test::WalkAllocations(driver_, run, check);
}

sim::IoResult IsoCameraTest::StartStream(uint32_t pipe, uint32_t size, uint32_t ringPackets,
                                         uint32_t perRequest, uint32_t slots) {
    StreamStartRecord record = {pipe, size, ringPackets, perRequest, slots};
    return Call(IOCTL_USBCAM_START_STREAM, &record, sizeof(record), nullptr, 0);
}

sim::IoResult IsoCameraTest::StopStream() {
    return Call(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0);
}

sim::IoResult IsoCameraTest::ReadStream(uint32_t size, uint32_t count, std::vector<uint8_t> *out) {
    StreamReadRecord record = {0, size, count, 0, 0};
    out->assign((size_t)count * (size + 12), 0xEE);
    return Call(IOCTL_USBCAM_READ_STREAM, &record, sizeof(record), out->data(), (ULONG)out->size());
}

bool IsoCameraTest::WaitStreamGone() {
    // Only the pool is watched while the stream may run: a read would take
    // packets from under the test's own readers.
    for (int i = 0; i < 10000 && OurBlocks() != baselineBlocks_; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<uint8_t> out;
    return OurBlocks() == baselineBlocks_ && ReadStream(1, 1, &out).Status == STATUS_UNSUCCESSFUL;
}

void IsoCameraTest::CloseHandle() {
    sim::ClientClose(handle_);
    for (size_t i = 0; i < handles_.size(); i++) {
        if (handles_[i] == handle_) handles_.erase(handles_.begin() + i);
    }
    handle_ = 0;
}

}  // namespace drvtest
