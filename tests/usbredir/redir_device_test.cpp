// usbcam-device's device side against a usbredir peer in the role QEMU plays
// (a usbredirparser without the usb-host flag), over a socket pair, in one
// thread: the test moves the device's clock by hand, so every count is exact.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <usbredirparser.h>

#include "descriptor_check.h"
#include "device_profile.h"
#include "redir_device.h"
#include "sim/usbbus.h"

namespace {

using sim::redir::DeviceOptions;
using sim::redir::RedirDevice;

struct DataPacket {
    uint64_t Id;
    uint8_t Endpoint;
    uint8_t Status;
    uint32_t Length;  // from the header
    std::vector<uint8_t> Data;
};

// The peer: what QEMU's usb-redir device is to usbcam-device.
struct Peer {
    usbredirparser *Parser = nullptr;
    int Fd = -1;
    bool HelloSeen = false;
    int Connects = 0, Disconnects = 0;
    usb_redir_device_connect_header Connect{};
    usb_redir_interface_info_header Interfaces{};
    usb_redir_ep_info_header Endpoints{};
    std::map<uint64_t, usb_redir_configuration_status_header> ConfigurationStatus;
    std::map<uint64_t, usb_redir_alt_setting_status_header> AltStatus;
    std::map<uint64_t, usb_redir_iso_stream_status_header> IsoStatus;
    std::map<uint64_t, usb_redir_interrupt_receiving_status_header> InterruptStatus;
    std::map<uint64_t, DataPacket> Controls, Bulks, InterruptReplies;
    std::vector<DataPacket> IsoPackets, InterruptPackets;

    static Peer *Of(void *priv) { return static_cast<Peer *>(priv); }
    static DataPacket Packet(void *priv, uint64_t id, uint8_t ep, uint8_t status, uint32_t length, uint8_t *data,
                             int n) {
        DataPacket p{id, ep, status, length, std::vector<uint8_t>(data, data + (n > 0 ? n : 0))};
        if (data != nullptr) usbredirparser_free_packet_data(Of(priv)->Parser, data);
        return p;
    }

    explicit Peer(int fd) : Fd(fd) {
        Parser = usbredirparser_create();
        Parser->priv = this;
        Parser->log_func = [](void *, int level, const char *msg) {
            if (level <= usbredirparser_warning) ADD_FAILURE() << "peer's parser: " << msg;
        };
        Parser->read_func = [](void *priv, uint8_t *data, int count) -> int {
            ssize_t n = read(Of(priv)->Fd, data, (size_t)count);
            return n > 0 ? (int)n : (n < 0 && errno == EAGAIN ? 0 : -1);
        };
        Parser->write_func = [](void *priv, uint8_t *data, int count) -> int {
            ssize_t n = write(Of(priv)->Fd, data, (size_t)count);
            return n >= 0 ? (int)n : (errno == EAGAIN ? 0 : -1);
        };
        Parser->hello_func = [](void *priv, usb_redir_hello_header *) { Of(priv)->HelloSeen = true; };
        Parser->device_connect_func = [](void *priv, usb_redir_device_connect_header *h) {
            Of(priv)->Connect = *h;
            ++Of(priv)->Connects;
        };
        Parser->device_disconnect_func = [](void *priv) { ++Of(priv)->Disconnects; };
        Parser->interface_info_func = [](void *priv, usb_redir_interface_info_header *h) { Of(priv)->Interfaces = *h; };
        Parser->ep_info_func = [](void *priv, usb_redir_ep_info_header *h) { Of(priv)->Endpoints = *h; };
        Parser->configuration_status_func = [](void *priv, uint64_t id, usb_redir_configuration_status_header *h) {
            Of(priv)->ConfigurationStatus[id] = *h;
        };
        Parser->alt_setting_status_func = [](void *priv, uint64_t id, usb_redir_alt_setting_status_header *h) {
            Of(priv)->AltStatus[id] = *h;
        };
        Parser->iso_stream_status_func = [](void *priv, uint64_t id, usb_redir_iso_stream_status_header *h) {
            Of(priv)->IsoStatus[id] = *h;
        };
        Parser->interrupt_receiving_status_func = [](void *priv, uint64_t id,
                                                     usb_redir_interrupt_receiving_status_header *h) {
            Of(priv)->InterruptStatus[id] = *h;
        };
        Parser->control_packet_func = [](void *priv, uint64_t id, usb_redir_control_packet_header *h, uint8_t *d,
                                         int n) {
            Of(priv)->Controls[id] = Packet(priv, id, h->endpoint, h->status, h->length, d, n);
        };
        Parser->bulk_packet_func = [](void *priv, uint64_t id, usb_redir_bulk_packet_header *h, uint8_t *d, int n) {
            Of(priv)->Bulks[id] =
                Packet(priv, id, h->endpoint, h->status, (uint32_t)h->length | ((uint32_t)h->length_high << 16), d, n);
        };
        Parser->iso_packet_func = [](void *priv, uint64_t id, usb_redir_iso_packet_header *h, uint8_t *d, int n) {
            Of(priv)->IsoPackets.push_back(Packet(priv, id, h->endpoint, h->status, h->length, d, n));
        };
        Parser->interrupt_packet_func = [](void *priv, uint64_t id, usb_redir_interrupt_packet_header *h, uint8_t *d,
                                           int n) {
            DataPacket p = Packet(priv, id, h->endpoint, h->status, h->length, d, n);
            if (h->endpoint & 0x80) Of(priv)->InterruptPackets.push_back(p);
            else Of(priv)->InterruptReplies[id] = p;
        };
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {0};
        usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
        usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
        usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
        usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
        usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
        usbredirparser_init(Parser, "test peer", caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~Peer() { usbredirparser_destroy(Parser); }
};

class RedirDeviceTest : public ::testing::Test {
protected:
    void Start(const sim::usb::DeviceProfile &profile, const DeviceOptions &options = DeviceOptions()) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        for (int fd : fds) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        int size = 8 << 20;
        for (int fd : fds) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        deviceFd_ = fds[0];
        peerFd_ = fds[1];
        device_.reset(new RedirDevice(profile, deviceFd_, options));
        peer_.reset(new Peer(peerFd_));
        Pump();
    }
    void TearDown() override {
        device_.reset();
        peer_.reset();
        if (deviceFd_ >= 0) close(deviceFd_);
        if (peerFd_ >= 0) close(peerFd_);
    }
    // Moves everything both sides have to say across, a few rounds.
    void Pump() {
        for (int round = 0; round < 8; ++round) {
            while (usbredirparser_has_data_to_write(peer_->Parser)) usbredirparser_do_write(peer_->Parser);
            ASSERT_TRUE(device_->ReadInput());
            ASSERT_TRUE(device_->Flush());
            usbredirparser_do_read(peer_->Parser);
        }
    }
    void Tick(uint64_t micros) {
        now_ += micros;
        device_->Tick(now_);
        Pump();
    }
    uint64_t Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                     const std::vector<uint8_t> &out = {}) {
        usb_redir_control_packet_header h{};
        h.endpoint = type & 0x80;
        h.requesttype = type;
        h.request = request;
        h.value = value;
        h.index = index;
        h.length = length;
        const uint64_t id = nextId_++;
        usbredirparser_send_control_packet(peer_->Parser, id, &h, out.empty() ? nullptr : (uint8_t *)out.data(),
                                           (int)out.size());
        Pump();
        return id;
    }
    uint64_t Bulk(uint8_t endpoint, uint32_t length, const std::vector<uint8_t> &out = {}) {
        usb_redir_bulk_packet_header h{};
        h.endpoint = endpoint;
        h.length = (uint16_t)length;
        h.length_high = (uint16_t)(length >> 16);
        const uint64_t id = nextId_++;
        usbredirparser_send_bulk_packet(peer_->Parser, id, &h, out.empty() ? nullptr : (uint8_t *)out.data(),
                                        (int)out.size());
        Pump();
        return id;
    }
    void SetConfiguration(uint8_t value) {
        usb_redir_set_configuration_header h{value};
        const uint64_t id = nextId_++;
        usbredirparser_send_set_configuration(peer_->Parser, id, &h);
        Pump();
        ASSERT_EQ(peer_->ConfigurationStatus.count(id), 1u);
        ASSERT_EQ(peer_->ConfigurationStatus[id].status, usb_redir_success);
    }
    uint8_t SetAlt(uint8_t interface, uint8_t alt) {
        usb_redir_set_alt_setting_header h{interface, alt};
        const uint64_t id = nextId_++;
        usbredirparser_send_set_alt_setting(peer_->Parser, id, &h);
        Pump();
        return peer_->AltStatus.count(id) ? peer_->AltStatus[id].status : 0xEE;
    }
    uint8_t StartIso(uint8_t endpoint) {
        usb_redir_start_iso_stream_header h{endpoint, 8, 4};
        const uint64_t id = nextId_++;
        usbredirparser_send_start_iso_stream(peer_->Parser, id, &h);
        Pump();
        return peer_->IsoStatus.count(id) ? peer_->IsoStatus[id].status : 0xEE;
    }
    void SendCommand(uint8_t code) {
        std::vector<uint8_t> c(64, 0);
        c[0] = code;
        const uint64_t id = Bulk(0x01, 64, c);
        ASSERT_EQ(peer_->Bulks[id].Status, usb_redir_success);
    }

    int deviceFd_ = -1, peerFd_ = -1;
    std::unique_ptr<RedirDevice> device_;
    std::unique_ptr<Peer> peer_;
    uint64_t now_ = 0;
    uint64_t nextId_ = 1;
};

int Index(uint8_t endpoint) { return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F); }

TEST_F(RedirDeviceTest, ConnectsAtTheProfilesSpeedAndReportsEachSettingsEndpoints) {
    Start(sim::usb::ReferenceProfile());
    ASSERT_TRUE(peer_->HelloSeen);
    ASSERT_EQ(peer_->Connects, 1);
    EXPECT_EQ(peer_->Connect.speed, usb_redir_speed_high);
    EXPECT_EQ(peer_->Connect.vendor_id, 0x1209);
    EXPECT_EQ(peer_->Connect.product_id, 0x0001);
    EXPECT_EQ(peer_->Connect.device_class, 0xFF);
    EXPECT_EQ(peer_->Connect.device_version_bcd, 0x0100);
    // Unconfigured: the default pipe only.
    EXPECT_EQ(peer_->Interfaces.interface_count, 0u);
    EXPECT_EQ(peer_->Endpoints.type[0], usb_redir_type_control);
    EXPECT_EQ(peer_->Endpoints.type[Index(0x82)], usb_redir_type_invalid);

    SetConfiguration(1);
    EXPECT_EQ(peer_->Interfaces.interface_count, 1u);
    EXPECT_EQ(peer_->Interfaces.interface_class[0], 0xFF);
    EXPECT_EQ(peer_->Endpoints.type[Index(0x82)], usb_redir_type_bulk);
    EXPECT_EQ(peer_->Endpoints.max_packet_size[Index(0x82)], 512);
    EXPECT_EQ(peer_->Endpoints.type[Index(0x83)], usb_redir_type_interrupt);
    EXPECT_EQ(peer_->Endpoints.interval[Index(0x83)], 4);
    EXPECT_EQ(peer_->Endpoints.type[Index(0x01)], usb_redir_type_bulk);

    // The high-bandwidth setting: the raw wMaxPacketSize with its multiplier.
    EXPECT_EQ(SetAlt(0, 3), usb_redir_success);
    EXPECT_EQ(peer_->Endpoints.type[Index(0x82)], usb_redir_type_invalid);
    EXPECT_EQ(peer_->Endpoints.type[Index(0x86)], usb_redir_type_iso);
    EXPECT_EQ(peer_->Endpoints.max_packet_size[Index(0x86)], 0x1400);
    // A setting the camera does not have stalls and changes nothing.
    EXPECT_EQ(SetAlt(0, 9), usb_redir_stall);
    EXPECT_EQ(peer_->Endpoints.type[Index(0x86)], usb_redir_type_iso);
}

TEST_F(RedirDeviceTest, FullSpeedProfileConnectsAtFullSpeed) {
    sim::usb::DeviceProfile profile = sim::usb::ReferenceProfile();
    profile.HighSpeed = false;
    Start(profile);
    EXPECT_EQ(peer_->Connect.speed, usb_redir_speed_full);
}

TEST_F(RedirDeviceTest, AnswersStandardAndVendorRequestsThroughTheCameraModel) {
    const sim::usb::DeviceProfile profile = sim::usb::ReferenceProfile();
    Start(profile);
    uint64_t id = Control(0x80, 6, 0x0100, 0, 64);
    EXPECT_EQ(peer_->Controls[id].Status, usb_redir_success);
    EXPECT_EQ(peer_->Controls[id].Data, profile.DeviceDescriptor);
    id = Control(0x80, 6, 0x0200, 0, 0xFFFF);
    EXPECT_EQ(peer_->Controls[id].Data, profile.First().Descriptor);
    // Memory load with vendor request 0xA0 and reading it back.
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    id = Control(0x40, 0xA0, 0x1230, 0, (uint16_t)bytes.size(), bytes);
    EXPECT_EQ(peer_->Controls[id].Status, usb_redir_success);
    EXPECT_EQ(peer_->Controls[id].Length, bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(device_->Model().Memory.begin() + 0x1230, device_->Model().Memory.begin() + 0x1239),
              bytes);
    id = Control(0xC0, 0xA0, 0x1230, 0, 9);
    EXPECT_EQ(peer_->Controls[id].Data, bytes);
    // What the camera does not know stalls.
    id = Control(0x80, 6, 0x2100, 0, 9);  // no class descriptor
    EXPECT_EQ(peer_->Controls[id].Status, usb_redir_stall);
    EXPECT_EQ(device_->Stats().ControlStalls, 1u);
}

TEST_F(RedirDeviceTest, HaltedBulkEndpointStallsUntilClearFeature) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    uint64_t id = Bulk(0x81, 64);
    EXPECT_EQ(peer_->Bulks[id].Status, usb_redir_success);
    EXPECT_EQ(peer_->Bulks[id].Data.size(), 16u);  // the status record
    EXPECT_EQ(peer_->Bulks[id].Data[0], 'S');

    Control(0x02, 3 /* SET_FEATURE */, 0 /* ENDPOINT_HALT */, 0x81, 0);
    id = Bulk(0x81, 64);
    EXPECT_EQ(peer_->Bulks[id].Status, usb_redir_stall);
    // The operator's stall on an OUT endpoint.
    device_->SetHalt(0x01, true);
    id = Bulk(0x01, 64, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(peer_->Bulks[id].Status, usb_redir_stall);

    Control(0x02, 1 /* CLEAR_FEATURE */, 0, 0x81, 0);
    Control(0x02, 1, 0, 0x01, 0);
    id = Bulk(0x81, 64);
    EXPECT_EQ(peer_->Bulks[id].Status, usb_redir_success);
    id = Bulk(0x01, 64, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(peer_->Bulks[id].Status, usb_redir_success);
    EXPECT_EQ(device_->Stats().BulkStalls, 2u);
}

TEST_F(RedirDeviceTest, CapturedFrameArrivesOverBulkInAndAWaitingReadCanBeCancelled) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    // Nothing armed: the frame pipe has no data and the request waits.
    uint64_t waiting = Bulk(0x82, 4096);
    Tick(5000);
    EXPECT_EQ(peer_->Bulks.count(waiting), 0u);
    usbredirparser_send_cancel_data_packet(peer_->Parser, waiting);
    Pump();
    ASSERT_EQ(peer_->Bulks.count(waiting), 1u);
    EXPECT_EQ(peer_->Bulks[waiting].Status, usb_redir_cancelled);
    EXPECT_TRUE(peer_->Bulks[waiting].Data.empty());

    SendCommand(2);
    SendCommand(3);
    const uint32_t size = 640 * 480;
    uint64_t id = Bulk(0x82, size);
    Tick(1000);
    ASSERT_EQ(peer_->Bulks.count(id), 1u);
    EXPECT_EQ(peer_->Bulks[id].Status, usb_redir_success);
    EXPECT_EQ(peer_->Bulks[id].Length, size);
    EXPECT_EQ(peer_->Bulks[id].Data, sim::usb::ReferenceFrame(0, 640, 480));
    // The frame of whole packets ends with a zero-length packet.
    id = Bulk(0x82, 512);
    Tick(1000);
    EXPECT_EQ(peer_->Bulks[id].Status, usb_redir_success);
    EXPECT_EQ(peer_->Bulks[id].Length, 0u);
}

TEST_F(RedirDeviceTest, IsochronousInPushesOnePacketPerMicroframeUntilStopped) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    EXPECT_EQ(StartIso(0x86), usb_redir_inval);  // not in setting 0
    ASSERT_EQ(SetAlt(0, 3), usb_redir_success);
    ASSERT_EQ(StartIso(0x86), usb_redir_success);
    for (int ms = 0; ms < 10; ++ms) Tick(1000);  // 80 microframes
    ASSERT_EQ(peer_->IsoPackets.size(), 80u);
    sim::usb::ReferenceIsoCounter counter;
    for (const auto &p : peer_->IsoPackets) {
        EXPECT_EQ(p.Endpoint, 0x86);
        EXPECT_EQ(p.Status, usb_redir_success);
        EXPECT_EQ(p.Data.size(), 3072u);
        counter.Add(p.Data.data(), (uint32_t)p.Data.size());
    }
    EXPECT_EQ(counter.Bad(), 0u);
    EXPECT_EQ(counter.Lost(), 0u);
    EXPECT_EQ(counter.Good(), peer_->IsoPackets.size());

    // A device held up for a second loses what it could not send, visibly.
    const size_t before = peer_->IsoPackets.size();
    Tick(1000000);
    EXPECT_LE(peer_->IsoPackets.size() - before, 65u);
    EXPECT_GT(device_->Stats().IsoInDropped, 7000u);

    usb_redir_stop_iso_stream_header stop{0x86};
    usbredirparser_send_stop_iso_stream(peer_->Parser, nextId_++, &stop);
    Pump();
    const size_t stopped = peer_->IsoPackets.size();
    Tick(10000);
    EXPECT_EQ(peer_->IsoPackets.size(), stopped);
}

// A new alternate setting ends what ran on endpoints it does not have: a
// waiting bulk IN request comes back cancelled, isochronous and interrupt
// streams push nothing more; a stream on an endpoint the new setting keeps
// goes on.
TEST_F(RedirDeviceTest, ANewSettingEndsTheTransfersOfEndpointsItLacks) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    const uint64_t waiting = Bulk(0x82, 4096);  // nothing armed: it waits
    usb_redir_start_interrupt_receiving_header events{0x83};
    const uint64_t eventsId = nextId_++;
    usbredirparser_send_start_interrupt_receiving(peer_->Parser, eventsId, &events);
    Pump();
    ASSERT_EQ(peer_->InterruptStatus[eventsId].status, usb_redir_success);
    Tick(1000);
    ASSERT_EQ(peer_->Bulks.count(waiting), 0u);

    ASSERT_EQ(SetAlt(0, 3), usb_redir_success);  // 0x86 only
    ASSERT_EQ(peer_->Bulks.count(waiting), 1u);
    EXPECT_EQ(peer_->Bulks[waiting].Status, usb_redir_cancelled);
    EXPECT_TRUE(peer_->Bulks[waiting].Data.empty());
    ASSERT_EQ(StartIso(0x86), usb_redir_success);
    Tick(1000);
    EXPECT_EQ(peer_->IsoPackets.size(), 8u);
    EXPECT_TRUE(peer_->InterruptPackets.empty());

    // Setting 1 has no 0x86: its stream ends; 0x84 streams in its place.
    ASSERT_EQ(SetAlt(0, 1), usb_redir_success);
    const size_t before = peer_->IsoPackets.size();
    Tick(2000);
    EXPECT_EQ(peer_->IsoPackets.size(), before);
    ASSERT_EQ(StartIso(0x84), usb_redir_success);
    Tick(1000);
    EXPECT_EQ(peer_->IsoPackets.size(), before + 8);
    for (size_t i = before; i < peer_->IsoPackets.size(); ++i) EXPECT_EQ(peer_->IsoPackets[i].Endpoint, 0x84);

    // A refused selection changes nothing: the 0x84 stream goes on.
    EXPECT_EQ(SetAlt(0, 9), usb_redir_stall);
    Tick(1000);
    EXPECT_EQ(peer_->IsoPackets.size(), before + 16);

    // Back in setting 0 the events endpoint is there again, but its stream
    // ended with setting 3: a frame's event is not pushed until the peer
    // starts receiving again.
    ASSERT_EQ(SetAlt(0, 0), usb_redir_success);
    SendCommand(2);
    SendCommand(3);
    Tick(10000);
    EXPECT_TRUE(peer_->InterruptPackets.empty());
    EXPECT_EQ(peer_->IsoPackets.size(), before + 16);
}

TEST_F(RedirDeviceTest, IsochronousOutReachesTheCameraWhichCountsGaps) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    ASSERT_EQ(SetAlt(0, 1), usb_redir_success);
    ASSERT_EQ(StartIso(0x05), usb_redir_success);
    for (uint32_t seq : {10u, 11u, 12u, 14u}) {
        std::vector<uint8_t> p = sim::usb::ReferenceIsoPacket(seq, 1024);
        usb_redir_iso_packet_header h{0x05, usb_redir_success, (uint16_t)p.size()};
        usbredirparser_send_iso_packet(peer_->Parser, nextId_++, &h, p.data(), (int)p.size());
    }
    Pump();
    const sim::usb::CameraState s = device_->Model().State();
    EXPECT_EQ(s.IsoOutPackets, 4u);
    EXPECT_EQ(s.IsoOutBadPackets, 0u);
    EXPECT_EQ(s.IsoOutSequenceGaps, 1u);
}

TEST_F(RedirDeviceTest, InterruptEventsArePushedOnceReceivingStarted) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    usb_redir_start_interrupt_receiving_header h{0x83};
    const uint64_t id = nextId_++;
    usbredirparser_send_start_interrupt_receiving(peer_->Parser, id, &h);
    Pump();
    ASSERT_EQ(peer_->InterruptStatus[id].status, usb_redir_success);
    Tick(10000);
    EXPECT_TRUE(peer_->InterruptPackets.empty());  // no events yet
    SendCommand(2);
    SendCommand(3);  // frame started: event 1
    Tick(10000);
    ASSERT_EQ(peer_->InterruptPackets.size(), 1u);
    EXPECT_EQ(peer_->InterruptPackets[0].Endpoint, 0x83);
    ASSERT_EQ(peer_->InterruptPackets[0].Data.size(), 8u);
    EXPECT_EQ(peer_->InterruptPackets[0].Data[0], 1);
}

TEST_F(RedirDeviceTest, ResetKeepsTheConfigurationAndEndsWaitingRequests) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    const uint64_t waiting = Bulk(0x82, 512);
    usbredirparser_send_reset(peer_->Parser);
    Pump();
    EXPECT_EQ(device_->Stats().Resets, 1u);
    EXPECT_EQ(peer_->Bulks[waiting].Status, usb_redir_cancelled);
    EXPECT_EQ(device_->Model().Configuration, 1);
    EXPECT_EQ(peer_->Bulks[Bulk(0x81, 64)].Status, usb_redir_success);
}

TEST_F(RedirDeviceTest, UnplugEndsRequestsAndPlugConnectsAFreshDevice) {
    Start(sim::usb::ReferenceProfile());
    SetConfiguration(1);
    Control(0x40, 0xA0, 0, 0, 1, {0x5A});
    const uint64_t waiting = Bulk(0x82, 512);
    device_->Unplug();
    Pump();
    EXPECT_EQ(peer_->Disconnects, 1);
    EXPECT_EQ(peer_->Bulks[waiting].Status, usb_redir_ioerror);
    EXPECT_EQ(peer_->Bulks[Bulk(0x81, 64)].Status, usb_redir_ioerror);
    EXPECT_EQ(peer_->Controls[Control(0x80, 6, 0x0100, 0, 18)].Status, usb_redir_ioerror);

    device_->Plug();
    Pump();
    EXPECT_EQ(peer_->Connects, 2);
    EXPECT_EQ(device_->Model().Configuration, 0);
    EXPECT_EQ(device_->Model().Memory[0], 0);  // powered up afresh
}

TEST_F(RedirDeviceTest, UnplugsOnItsOwnAfterTheGivenIsochronousPacketsOrBulkBytes) {
    DeviceOptions options;
    options.UnplugAfterIsoPackets = 20;
    Start(sim::usb::ReferenceProfile(), options);
    SetConfiguration(1);
    ASSERT_EQ(SetAlt(0, 3), usb_redir_success);
    ASSERT_EQ(StartIso(0x86), usb_redir_success);
    Tick(10000);
    EXPECT_EQ(peer_->IsoPackets.size(), 20u);
    EXPECT_EQ(peer_->Disconnects, 1);
    TearDown();

    options = DeviceOptions();
    options.UnplugAfterBulkInBytes = 1000;
    Start(sim::usb::ReferenceProfile(), options);
    SetConfiguration(1);
    const uint64_t first = Bulk(0x81, 512), second = Bulk(0x81, 512);
    EXPECT_EQ(peer_->Disconnects, 0);
    std::vector<uint64_t> ids;
    for (int i = 0; i < 100 && peer_->Disconnects == 0; ++i) ids.push_back(Bulk(0x81, 512));
    EXPECT_EQ(peer_->Disconnects, 1);
    EXPECT_EQ(peer_->Bulks[first].Status, usb_redir_success);
    EXPECT_EQ(peer_->Bulks[second].Status, usb_redir_success);
    EXPECT_EQ(device_->Stats().BulkInBytes, 16u * (2 + ids.size()));
}

TEST(DescriptorCheck, SysfsViewMatchesOnlyTheExactBytesAndStrings) {
    const sim::usb::DeviceProfile profile = sim::usb::ReferenceProfile();
    char dir[] = "/tmp/usbredir-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    std::string bytes = sim::redir::ExpectedSysfsDescriptors(profile);
    std::ofstream(d + "/descriptors", std::ios::binary) << bytes;
    std::ofstream(d + "/manufacturer") << "Tavrinoscope Developers\n";
    std::ofstream(d + "/product") << "Tavrinoscope\n";
    std::ofstream(d + "/serial") << "TVS-000001\n";
    std::ofstream(d + "/speed") << "480\n";
    EXPECT_EQ(sim::redir::CompareSysfs(profile, d), "");
    bytes[bytes.size() - 1] ^= 1;  // one bit of the last endpoint descriptor
    std::ofstream(d + "/descriptors", std::ios::binary) << bytes;
    EXPECT_NE(sim::redir::CompareSysfs(profile, d).find("descriptors differ"), std::string::npos);
    std::ofstream(d + "/descriptors", std::ios::binary) << sim::redir::ExpectedSysfsDescriptors(profile);
    std::ofstream(d + "/serial") << "TVS-000002\n";
    std::ofstream(d + "/speed") << "12\n";
    const std::string errors = sim::redir::CompareSysfs(profile, d);
    EXPECT_NE(errors.find("serial"), std::string::npos);
    EXPECT_NE(errors.find("speed"), std::string::npos);
    for (const char *f : {"descriptors", "manufacturer", "product", "serial", "speed"}) unlink((d + "/" + f).c_str());
    rmdir(dir);
}

}  // namespace
