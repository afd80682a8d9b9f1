// Shared setting of the isochronous suites: a started reference camera with
// its isochronous alternate setting selected and an open handle, and helpers
// to read descriptors and check the camera's packets.
#pragma once

#include <functional>
#include <vector>

#include "driver_fixture.h"

namespace drvtest {

// Pipes of interface 0, alternate setting 1: 0x01 bulk OUT, 0x81 bulk IN,
// 0x84 isochronous IN, 0x05 isochronous OUT.
constexpr uint32_t kBulkPipe = 0;
constexpr uint32_t kIsoInPipe = 2;
constexpr uint32_t kIsoOutPipe = 3;
constexpr uint32_t kPipeCount = 4;

class IsoCameraTest : public OpenCameraTest {
protected:
    void SetUp() override;

    // The descriptors of count packets starting at area.
    static std::vector<IsoPacketDescriptor> Descriptors(const uint8_t *area, size_t count);
    // The sequence number a reference packet carries.
    static uint32_t Sequence(const uint8_t *packet);
    // Checks a packet against the reference camera's pattern.
    static void ExpectReferencePacket(const uint8_t *packet, uint32_t length);
    // Isochronous records of the wire log of our camera.
    std::vector<sim::usb::WireRecord> IsoWire();
    // Runs run once per allocation the scenario makes, failing the n-th
    // allocation of our driver on pass n, until a pass needs no fault.
    int WalkAllocations(const std::function<void()> &run, const std::function<void(bool)> &check);

    // Stream requests.
    sim::IoResult StartStream(uint32_t pipe, uint32_t size, uint32_t ringPackets, uint32_t perRequest,
                              uint32_t slots);
    sim::IoResult StopStream();
    // IOCTL_USBCAM_READ_STREAM of count packets of size bytes into out (resized
    // to count * (size + 12)).
    sim::IoResult ReadStream(uint32_t size, uint32_t count, std::vector<uint8_t> *out);
    // Waits (hang guard: 10 s) until the stream's last slot has stopped:
    // ReadStream fails and our pool is back to the baseline.
    bool WaitStreamGone();
    // Closes the test's handle before a removal.
    void CloseHandle();

    int baselineBlocks_ = 0;
};

}  // namespace drvtest
