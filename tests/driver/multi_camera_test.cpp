// Several cameras at once, on virtual time: each streams its full 3 x 1024
// bytes per microframe from its own client thread and handle, and nothing of
// one camera (packets, stream state, last USB status) reaches another;
// unplugging, stopping or reselecting one leaves the others' streams whole;
// the periodic bandwidth of a bus is kept: a second stream on one bus is
// refused without disturbing the first, and a stop, a surprise removal or a
// removal gives the first camera's bandwidth back.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "driver_fixture.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace {

using drvtest::DeviceName;
using drvtest::ReferenceProfileWith;
using drvtest::Win32Name;

constexpr uint32_t kStride = 3072;       // the stream's packet size
constexpr uint32_t kRingPackets = 2048;  // 256 ms of packets
constexpr uint32_t kPerRequest = 32;     // 4 ms per request
constexpr uint32_t kSlots = 4;
constexpr uint32_t kReadPackets = 256;

// Each camera's own mark: the bytes its isochronous packets carry (the
// stride stays 3072), and the last USB status it is made to record.
uint32_t PacketLengthOf(int camera) { return kStride - 4 * (uint32_t)camera; }
const USBD_STATUS kOwnStatus[8] = {USBD_STATUS_CRC,
                                   USBD_STATUS_BTSTUFF,
                                   USBD_STATUS_DATA_TOGGLE_MISMATCH,
                                   USBD_STATUS_STALL_PID,
                                   USBD_STATUS_DEV_NOT_RESPONDING,
                                   USBD_STATUS_PID_CHECK_FAILURE,
                                   USBD_STATUS_UNEXPECTED_PID,
                                   USBD_STATUS_DATA_OVERRUN};

void SleepVirtualMs(int ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10000LL * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

struct Camera {
    int Port = 0;
    PDEVICE_OBJECT Pdo = nullptr;
    int Name = -1;  // the N of \\.\Tavrinoscope-N
    uint32_t PacketLength = kStride;
    bool Removed = false;
};

// What one client saw of its camera's stream.
struct StreamSeen {
    NTSTATUS Started = STATUS_PENDING;
    uint64_t Packets = 0;
    uint64_t Lost = 0;     // sequence numbers skipped
    uint64_t Bad = 0;      // payload not the camera's pattern
    uint64_t Foreign = 0;  // a length or status not this camera's
    bool EndedByItself = false;
};

class Client {
public:
    explicit Client(int name) {
        EXPECT_EQ(sim::ClientOpen(Win32Name(name).c_str(), &handle_), STATUS_SUCCESS) << name;
        out_ = static_cast<uint8_t *>(sim::ClientAlloc((size_t)kReadPackets * (kStride + 12)));
    }
    ~Client() {
        Close();
        sim::ClientFree(out_);
    }
    void Close() {
        if (handle_ != 0) sim::ClientClose(handle_);
        handle_ = 0;
    }

    sim::IoResult Call(ULONG code, const void *in, ULONG inLength, void *out = nullptr, ULONG outLength = 0) {
        return sim::ClientDeviceIoControl(handle_, code, in, inLength, out, outLength);
    }
    void Select(uint8_t alternate) {
        InterfaceSelection selection = {0, alternate};
        EXPECT_EQ(Call(IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection)).Status, STATUS_SUCCESS);
    }
    USBD_STATUS LastStatus() {
        USBD_STATUS status = 0;
        Call(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &status, sizeof(status));
        return status;
    }
    UCHAR AlternateSetting() {
        std::vector<uint8_t> info(24 + 24 * 8);
        sim::IoResult r = Call(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, info.data(), (ULONG)info.size());
        return r.Information >= 24 ? reinterpret_cast<USBD_INTERFACE_INFORMATION *>(info.data())->AlternateSetting
                                   : 0xFF;
    }

    // Starts a stream on pipe 0 of the selected setting and reads it until
    // kernel time reaches untilMicros (or the stream ends by itself), then
    // stops it and drains what is left.
    void Stream(uint32_t length, uint64_t untilMicros, StreamSeen *seen) {
        counter_ = sim::usb::ReferenceIsoCounter();
        StreamStartRecord start = {0, kStride, kRingPackets, kPerRequest, kSlots};
        seen->Started = Call(IOCTL_USBCAM_START_STREAM, &start, sizeof(start)).Status;
        if (seen->Started != STATUS_SUCCESS) return;
        while (sim::KernelTimeMicros() < untilMicros) {
            const int64_t got = Read(length, seen);
            if (got < 0) {
                seen->EndedByItself = true;
                return;
            }
            if (got < kReadPackets) SleepVirtualMs(16);  // a sixteenth of the ring
        }
        Call(IOCTL_USBCAM_STOP_STREAM, nullptr, 0);
        for (int i = 0; i < 1000 && Read(length, seen) >= 0; ++i) SleepVirtualMs(1);
    }

private:
    // One READ_STREAM: the packets taken, or -1 when the stream has no rings.
    int64_t Read(uint32_t length, StreamSeen *seen) {
        StreamReadRecord read = {0, kStride, kReadPackets, 0, 0};
        sim::IoResult r = Call(IOCTL_USBCAM_READ_STREAM, &read, sizeof(read), out_,
                               (ULONG)(kReadPackets * (kStride + 12)));
        if (r.Status != STATUS_SUCCESS) return -1;
        const uint64_t got = r.Information / (kStride + 12);
        const uint8_t *descriptors = out_ + got * kStride;
        for (uint64_t j = 0; j < got; ++j) {
            USBD_ISO_PACKET_DESCRIPTOR d;
            memcpy(&d, descriptors + j * 12, sizeof(d));
            if (d.Length != length || !USBD_SUCCESS(d.Status)) seen->Foreign++;
            counter_.Add(out_ + j * kStride, d.Length);
        }
        seen->Packets += got;
        seen->Lost = counter_.Lost();
        seen->Bad = counter_.Bad();
        return (int64_t)got;
    }

    sim::ClientHandle handle_ = 0;
    uint8_t *out_ = nullptr;
    sim::usb::ReferenceIsoCounter counter_;
};

class MultiCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        cameras_.reserve(16);
        sim::KernelBoot();
        sim::SetVirtualTime(true);
        part_.reset(new sim::TimeParticipant);
        ASSERT_EQ(sim::usb::BusStart(), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override {
        for (Camera &camera : cameras_)
            if (!camera.Removed && sim::usb::PortPdo(camera.Port) != nullptr && camera.Pdo->AttachedDevice)
                EXPECT_EQ(sim::PnpRemoveDevice(camera.Pdo), STATUS_SUCCESS);
        sim::usb::BusStop();
        sim::UnloadDriver(driver_);
        part_.reset();
        for (const auto &v : sim::VerifierTakeViolations())
            ADD_FAILURE() << v.Rule << " at " << v.Site << ": " << v.Detail;
        sim::KernelShutdown();
        sim::VerifierTakeViolations();
    }

    // Plugs and starts a reference camera whose packets carry its own length,
    // on the given bus (sim::usb::kNewBus: a bus of its own).
    Camera &Plug(int bus) {
        const int index = (int)cameras_.size();
        Camera camera;
        camera.PacketLength = PacketLengthOf(index);
        std::string profile = ReferenceProfileWith(
            "\"delayMs\": 0 }", "\"delayMs\": 0 }, \"isochronous\": { \"packetSize\": " +
                                    std::to_string(camera.PacketLength) + " }");
        sim::usb::PlugOptions options;
        options.Bus = bus;
        sim::usb::PlugResult plugged = sim::usb::PlugProfileJson(profile, options);
        EXPECT_EQ(plugged.Status, STATUS_SUCCESS) << plugged.Error;
        camera.Port = plugged.Port;
        camera.Pdo = plugged.Pdo;
        EXPECT_EQ(sim::PnpReportChild(camera.Pdo, driver_), STATUS_SUCCESS);
        EXPECT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
        for (int n = 0; n < 32; ++n)
            if (sim::FindDevice(DeviceName(n).c_str()) == camera.Pdo->AttachedDevice) camera.Name = n;
        EXPECT_GE(camera.Name, 0);
        cameras_.push_back(camera);
        return cameras_.back();
    }

    // Runs each function on a thread of its own that takes part in virtual
    // time, and waits for all of them.
    void RunClients(const std::vector<std::function<void()>> &clients) {
        std::atomic<size_t> joined{0};
        std::vector<std::thread> threads;
        for (const auto &fn : clients) {
            threads.emplace_back([&joined, fn] {
                sim::TimeParticipant part;
                joined++;
                fn();
            });
        }
        // Time stands still until every client takes part.
        while (joined.load() != clients.size()) std::this_thread::yield();
        sim::TimeWaitScope waiting;
        for (auto &t : threads) t.join();
    }

    // Gives camera i its own last USB status: a vendor request that fails.
    void MarkLastStatus(Client &client, int i) {
        sim::usb::FailNext(cameras_[i].Port, 0, 1, kOwnStatus[i]);
        VendorRequestRecord read = {0xA0, 0, 0x0000, 0, 4, 1, 0};
        uint8_t buffer[16] = {};
        memcpy(buffer, &read, sizeof(read));
        client.Call(IOCTL_USBCAM_VENDOR_REQUEST, buffer, sizeof(read), buffer, 4);
        EXPECT_EQ(client.LastStatus(), kOwnStatus[i]);
    }

    // Every camera on a bus of its own streams for the same stretch of
    // virtual time from its own thread and handle.
    void StreamAtOnce(int count, uint64_t micros) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < count; ++i) Plug(sim::usb::kNewBus);
        for (int i = 0; i < count; ++i) {
            clients.emplace_back(new Client(cameras_[i].Name));
            MarkLastStatus(*clients[i], i);
        }
        for (int i = 0; i < count; ++i) clients[i]->Select(3);
        std::vector<StreamSeen> seen(count);
        const uint64_t until = sim::KernelTimeMicros() + micros;
        std::vector<std::function<void()>> work;
        for (int i = 0; i < count; ++i)
            work.push_back([&, i] { clients[i]->Stream(cameras_[i].PacketLength, until, &seen[i]); });
        RunClients(work);
        const uint64_t packets = micros / 125;
        for (int i = 0; i < count; ++i) {
            SCOPED_TRACE("camera " + std::to_string(i));
            EXPECT_EQ(seen[i].Started, STATUS_SUCCESS);
            EXPECT_FALSE(seen[i].EndedByItself);
            EXPECT_GE(seen[i].Packets, packets - 2 * kPerRequest * kSlots);
            EXPECT_LE(seen[i].Packets, packets + 2 * kPerRequest * kSlots);
            EXPECT_EQ(seen[i].Lost, 0u);
            EXPECT_EQ(seen[i].Bad, 0u);
            EXPECT_EQ(seen[i].Foreign, 0u);
            EXPECT_EQ(clients[i]->LastStatus(), kOwnStatus[i]);
            EXPECT_EQ(sim::usb::BusPeriodicBandwidth(sim::usb::PortBus(cameras_[i].Port)).HeldPs,
                      3 * (38 * 8 * 2083 + 2083 * 9560 + 5000ull));
        }
    }

    std::unique_ptr<sim::TimeParticipant> part_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<Camera> cameras_;
};

TEST_F(MultiCameraTest, TwoCamerasOnSeparateBusesStreamTheirOwnPacketsWithoutLoss) {
    StreamAtOnce(2, 3000000);
}

TEST_F(MultiCameraTest, EightCamerasOnSeparateBusesStreamTheirOwnPacketsWithoutLoss) {
    StreamAtOnce(8, 2000000);
}

// One camera unplugged mid-stream: its stream ends, its handle sees the
// device gone; the others stream on with nothing lost and their own status.
TEST_F(MultiCameraTest, UnpluggedCameraEndsOnlyItsOwnStream) {
    constexpr int kCount = 3, kGone = 1;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kCount; ++i) Plug(sim::usb::kNewBus);
    for (int i = 0; i < kCount; ++i) {
        clients.emplace_back(new Client(cameras_[i].Name));
        MarkLastStatus(*clients[i], i);
        clients[i]->Select(3);
    }
    std::vector<StreamSeen> seen(kCount);
    const uint64_t start = sim::KernelTimeMicros(), until = start + 2000000;
    std::vector<std::function<void()>> work;
    for (int i = 0; i < kCount; ++i) {
        work.push_back([&, i] {
            clients[i]->Stream(cameras_[i].PacketLength, until, &seen[i]);
            if (i == kGone) clients[i]->Close();  // the removal follows the last handle
        });
    }
    work.push_back([&] {
        while (sim::KernelTimeMicros() < start + 700000) SleepVirtualMs(10);
        // Pending while the client still holds its handle; done at once when
        // the client, seeing its stream end with the unplug, closed it first
        // (host threads race there): either way the removal completes.
        const NTSTATUS removal = sim::usb::SurpriseRemove(cameras_[kGone].Port);
        EXPECT_TRUE(removal == STATUS_PENDING || removal == STATUS_SUCCESS) << std::hex << removal;
    });
    RunClients(work);
    cameras_[kGone].Removed = true;
    EXPECT_TRUE(seen[kGone].EndedByItself);
    EXPECT_EQ(sim::usb::PortPdo(cameras_[kGone].Port), nullptr);
    EXPECT_EQ(sim::usb::BusPeriodicBandwidth(sim::usb::PortBus(cameras_[kGone].Port)).HeldPs, 0u);
    for (int i = 0; i < kCount; ++i) {
        if (i == kGone) continue;
        SCOPED_TRACE("camera " + std::to_string(i));
        EXPECT_FALSE(seen[i].EndedByItself);
        EXPECT_GE(seen[i].Packets, 16000u - 2 * kPerRequest * kSlots);
        EXPECT_EQ(seen[i].Lost + seen[i].Bad + seen[i].Foreign, 0u);
        EXPECT_EQ(clients[i]->LastStatus(), kOwnStatus[i]);
    }
}

// One camera stops, reselects and starts again, over and over, while the
// others stream: theirs go on whole, and each of its own runs is whole too.
TEST_F(MultiCameraTest, StopStartAndSelectOnOneCameraWhileTheOthersStream) {
    constexpr int kCount = 3;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kCount; ++i) Plug(sim::usb::kNewBus);
    for (int i = 0; i < kCount; ++i) {
        clients.emplace_back(new Client(cameras_[i].Name));
        MarkLastStatus(*clients[i], i);
        clients[i]->Select(3);
    }
    std::vector<StreamSeen> seen(kCount);
    std::vector<StreamSeen> runs(5);
    const uint64_t start = sim::KernelTimeMicros(), until = start + 2000000;
    std::vector<std::function<void()>> work;
    work.push_back([&] {
        for (size_t run = 0; run < runs.size(); ++run) {
            clients[0]->Stream(cameras_[0].PacketLength, start + (run + 1) * 300000, &runs[run]);
            clients[0]->Select(run % 2 == 0 ? 0 : 2);
            EXPECT_EQ(clients[0]->AlternateSetting(), run % 2 == 0 ? 0 : 2);
            clients[0]->Select(3);
            EXPECT_EQ(clients[0]->AlternateSetting(), 3);
        }
    });
    for (int i = 1; i < kCount; ++i)
        work.push_back([&, i] { clients[i]->Stream(cameras_[i].PacketLength, until, &seen[i]); });
    RunClients(work);
    for (size_t run = 0; run < runs.size(); ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        EXPECT_EQ(runs[run].Started, STATUS_SUCCESS);
        EXPECT_GE(runs[run].Packets, 2000u);
        EXPECT_EQ(runs[run].Lost + runs[run].Bad + runs[run].Foreign, 0u);
    }
    for (int i = 1; i < kCount; ++i) {
        SCOPED_TRACE("camera " + std::to_string(i));
        EXPECT_FALSE(seen[i].EndedByItself);
        EXPECT_GE(seen[i].Packets, 16000u - 2 * kPerRequest * kSlots);
        EXPECT_EQ(seen[i].Lost + seen[i].Bad + seen[i].Foreign, 0u);
        EXPECT_EQ(clients[i]->LastStatus(), kOwnStatus[i]);
    }
}

// Two cameras on one bus. The second camera's full-rate setting does not fit
// next to the first one's stream: it is refused (the select answers success,
// GET_LAST_STATUS tells USBD_STATUS_NO_BANDWIDTH), so is the smaller
// setting 1, the setting without endpoints is taken, and a retry is refused
// again, all without one packet of the first stream lost. Once the first
// camera stops and selects down, the second one streams.
TEST_F(MultiCameraTest, RefusedSecondStreamOnOneBusNeverDisturbsTheFirst) {
    Camera &first = Plug(1);
    Camera &second = Plug(1);
    (void)first;
    Client a(cameras_[0].Name), b(cameras_[1].Name);
    a.Select(3);
    StreamSeen firstSeen, secondSeen;
    const uint64_t start = sim::KernelTimeMicros();
    std::atomic<bool> refusedDone{false};
    RunClients({[&] {
                    a.Stream(cameras_[0].PacketLength, start + 1500000, &firstSeen);
                    a.Select(2);
                },
                [&] {
                    SleepVirtualMs(200);
                    for (uint8_t alternate : {3, 1, 3}) {
                        b.Select(alternate);
                        EXPECT_EQ(b.LastStatus(), USBD_STATUS_NO_BANDWIDTH) << (int)alternate;
                        EXPECT_EQ(b.AlternateSetting(), 0) << (int)alternate;
                    }
                    b.Select(2);
                    EXPECT_EQ(b.AlternateSetting(), 2);
                    SleepVirtualMs(100);
                    b.Select(3);
                    EXPECT_EQ(b.AlternateSetting(), 2);
                    refusedDone = true;
                    // After the first camera's stream and selection down.
                    while (sim::KernelTimeMicros() < start + 1600000) SleepVirtualMs(10);
                    b.Select(3);
                    EXPECT_EQ(b.AlternateSetting(), 3);
                    b.Stream(second.PacketLength, start + 2500000, &secondSeen);
                }});
    EXPECT_TRUE(refusedDone.load());
    EXPECT_EQ(firstSeen.Started, STATUS_SUCCESS);
    EXPECT_FALSE(firstSeen.EndedByItself);
    EXPECT_GE(firstSeen.Packets, 12000u - 2 * kPerRequest * kSlots);
    EXPECT_EQ(firstSeen.Lost + firstSeen.Bad + firstSeen.Foreign, 0u);
    EXPECT_EQ(secondSeen.Started, STATUS_SUCCESS);
    EXPECT_GE(secondSeen.Packets, 7000u - 2 * kPerRequest * kSlots);
    EXPECT_EQ(secondSeen.Lost + secondSeen.Bad + secondSeen.Foreign, 0u);
}

// The first camera's bandwidth comes back to the bus when it is stopped, when
// it is surprise-removed (before its removal) and when its stack is removed.
TEST_F(MultiCameraTest, StopSurpriseRemovalAndRemovalGiveTheBandwidthBack) {
    Plug(1);
    Plug(1);
    auto fullRate = [&](int i) {
        Client client(cameras_[i].Name);
        client.Select(3);
        return client.AlternateSetting() == 3;
    };
    auto downToNothing = [&](int i) {
        Client client(cameras_[i].Name);
        client.Select(2);
    };
    ASSERT_TRUE(fullRate(0));
    EXPECT_FALSE(fullRate(1));

    // A stop unconfigures the camera; started again, it holds setting 0 only.
    ASSERT_EQ(sim::PnpStopDevice(cameras_[0].Pdo), STATUS_SUCCESS);
    EXPECT_TRUE(fullRate(1));
    ASSERT_EQ(sim::PnpStartDevice(cameras_[0].Pdo), STATUS_SUCCESS);
    EXPECT_FALSE(fullRate(0));
    downToNothing(1);
    ASSERT_TRUE(fullRate(0));

    // Surprise removal, the camera still on the bus: its bandwidth is free
    // before the removal request comes.
    ASSERT_EQ(sim::PnpSurpriseRemoval(cameras_[0].Pdo), STATUS_SUCCESS);
    EXPECT_TRUE(fullRate(1));
    ASSERT_EQ(sim::PnpRemoveDevice(cameras_[0].Pdo), STATUS_SUCCESS);
    downToNothing(1);

    // Enumerated again, then removed: the same.
    ASSERT_EQ(sim::PnpReportChild(cameras_[0].Pdo, driver_), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpStartDevice(cameras_[0].Pdo), STATUS_SUCCESS);
    int name = -1;
    for (int n = 0; n < 32; ++n)
        if (sim::FindDevice(DeviceName(n).c_str()) == cameras_[0].Pdo->AttachedDevice) name = n;
    cameras_[0].Name = name;
    ASSERT_TRUE(fullRate(0));
    EXPECT_FALSE(fullRate(1));
    ASSERT_EQ(sim::PnpRemoveDevice(cameras_[0].Pdo), STATUS_SUCCESS);
    EXPECT_TRUE(fullRate(1));
}

}  // namespace
