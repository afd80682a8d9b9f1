#include "redir_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <usbredirparser.h>

namespace sim {
namespace redir {

namespace {

constexpr uint8_t kNoType = usb_redir_type_invalid;
// Isochronous IN packets pushed in one tick at most when the device's clock
// was held up: a longer gap is lost, as a device whose host was not listening.
constexpr uint64_t kMaxCatchUpMicroframes = 64;

int EndpointIndex(uint8_t endpoint) { return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F); }

RedirDevice *Self(void *priv) { return static_cast<RedirDevice *>(priv); }

void LogCallback(void *priv, int level, const char *msg) {
    if (level <= usbredirparser_warning) Self(priv)->Log("usbredir: %s", msg);
}

int ReadCallback(void *priv, uint8_t *data, int count) {
    ssize_t n = read(Self(priv)->Fd(), data, (size_t)count);
    if (n > 0) return (int)n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;  // closed or broken
}

int WriteCallback(void *priv, uint8_t *data, int count) {
    ssize_t n = send(Self(priv)->Fd(), data, (size_t)count, MSG_NOSIGNAL);
    if (n >= 0) return (int)n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}

void HelloCb(void *priv, usb_redir_hello_header *) { Self(priv)->OnHello(); }
void ResetCb(void *priv) { Self(priv)->OnReset(); }
void SetConfigurationCb(void *priv, uint64_t id, usb_redir_set_configuration_header *h) {
    Self(priv)->OnSetConfiguration(id, h->configuration);
}
void GetConfigurationCb(void *priv, uint64_t id) { Self(priv)->OnGetConfiguration(id); }
void SetAltCb(void *priv, uint64_t id, usb_redir_set_alt_setting_header *h) {
    Self(priv)->OnSetAltSetting(id, h->interface, h->alt);
}
void GetAltCb(void *priv, uint64_t id, usb_redir_get_alt_setting_header *h) {
    Self(priv)->OnGetAltSetting(id, h->interface);
}
void StartIsoCb(void *priv, uint64_t id, usb_redir_start_iso_stream_header *h) {
    Self(priv)->OnStartIso(id, h->endpoint, h->pkts_per_urb, h->no_urbs);
}
void StopIsoCb(void *priv, uint64_t id, usb_redir_stop_iso_stream_header *h) { Self(priv)->OnStopIso(id, h->endpoint); }
void StartInterruptCb(void *priv, uint64_t id, usb_redir_start_interrupt_receiving_header *h) {
    Self(priv)->OnStartInterrupt(id, h->endpoint);
}
void StopInterruptCb(void *priv, uint64_t id, usb_redir_stop_interrupt_receiving_header *h) {
    Self(priv)->OnStopInterrupt(id, h->endpoint);
}
void AllocStreamsCb(void *priv, uint64_t id, usb_redir_alloc_bulk_streams_header *h) {
    Self(priv)->OnBulkStreams(id, h->endpoints, true);
}
void FreeStreamsCb(void *priv, uint64_t id, usb_redir_free_bulk_streams_header *h) {
    Self(priv)->OnBulkStreams(id, h->endpoints, false);
}
void CancelCb(void *priv, uint64_t id) { Self(priv)->OnCancel(id); }
void DisconnectAckCb(void *priv) { Self(priv)->OnDisconnectAck(); }
void FilterFilterCb(void *, usbredirfilter_rule *rules, int) { free(rules); }
void FilterRejectCb(void *) {}

// Data packets hand their buffer over; the parser is needed to free it.
struct Owned {
    usbredirparser *Parser;
    uint8_t *Data;
    ~Owned() {
        if (Data != nullptr) usbredirparser_free_packet_data(Parser, Data);
    }
};
usbredirparser *ParserOf(void *priv);

void ControlCb(void *priv, uint64_t id, usb_redir_control_packet_header *h, uint8_t *data, int length) {
    Owned owned{ParserOf(priv), data};
    uint8_t setup[8] = {h->requesttype, h->request, (uint8_t)h->value, (uint8_t)(h->value >> 8),
                        (uint8_t)h->index, (uint8_t)(h->index >> 8), (uint8_t)h->length,
                        (uint8_t)(h->length >> 8)};
    Self(priv)->OnControl(id, setup, data, length);
}
void BulkCb(void *priv, uint64_t id, usb_redir_bulk_packet_header *h, uint8_t *data, int length) {
    Owned owned{ParserOf(priv), data};
    Self(priv)->OnBulk(id, h->endpoint, (uint32_t)h->length | ((uint32_t)h->length_high << 16), data, length);
}
void IsoCb(void *priv, uint64_t id, usb_redir_iso_packet_header *h, uint8_t *data, int length) {
    Owned owned{ParserOf(priv), data};
    Self(priv)->OnIso(id, h->endpoint, data, length);
}
void InterruptCb(void *priv, uint64_t id, usb_redir_interrupt_packet_header *h, uint8_t *data, int length) {
    Owned owned{ParserOf(priv), data};
    Self(priv)->OnInterrupt(id, h->endpoint, data, length);
}
void BufferedBulkCb(void *priv, uint64_t, usb_redir_buffered_bulk_packet_header *, uint8_t *data, int) {
    Owned owned{ParserOf(priv), data};
}

// The parser of each device, for the data callbacks (priv is the device).
std::map<void *, usbredirparser *> &Parsers() {
    static std::map<void *, usbredirparser *> table;
    return table;
}
usbredirparser *ParserOf(void *priv) { return Parsers()[priv]; }

uint64_t MonotonicMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

}  // namespace

RedirDevice::RedirDevice(const usb::DeviceProfile &profile, int fd, const DeviceOptions &options)
    : profile_(profile), model_(profile), fd_(fd), options_(options) {
    parser_ = usbredirparser_create();
    parser_->priv = this;
    Parsers()[this] = parser_;
    parser_->log_func = LogCallback;
    parser_->read_func = ReadCallback;
    parser_->write_func = WriteCallback;
    parser_->hello_func = HelloCb;
    parser_->reset_func = ResetCb;
    parser_->set_configuration_func = SetConfigurationCb;
    parser_->get_configuration_func = GetConfigurationCb;
    parser_->set_alt_setting_func = SetAltCb;
    parser_->get_alt_setting_func = GetAltCb;
    parser_->start_iso_stream_func = StartIsoCb;
    parser_->stop_iso_stream_func = StopIsoCb;
    parser_->start_interrupt_receiving_func = StartInterruptCb;
    parser_->stop_interrupt_receiving_func = StopInterruptCb;
    parser_->alloc_bulk_streams_func = AllocStreamsCb;
    parser_->free_bulk_streams_func = FreeStreamsCb;
    parser_->cancel_data_packet_func = CancelCb;
    parser_->control_packet_func = ControlCb;
    parser_->bulk_packet_func = BulkCb;
    parser_->iso_packet_func = IsoCb;
    parser_->interrupt_packet_func = InterruptCb;
    parser_->device_disconnect_ack_func = DisconnectAckCb;
    parser_->filter_filter_func = FilterFilterCb;
    parser_->filter_reject_func = FilterRejectCb;
    parser_->buffered_bulk_packet_func = BufferedBulkCb;
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {0};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_init(parser_, "usbcam-device", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
}

RedirDevice::~RedirDevice() {
    usbredirparser_destroy(parser_);
    Parsers().erase(this);
}

void RedirDevice::Log(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "usbcam-device: ");
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

bool RedirDevice::ReadInput() {
    if (readFailed_) return false;
    int r = usbredirparser_do_read(parser_);
    if (r == usbredirparser_read_io_error) {
        readFailed_ = true;
        return false;
    }
    if (r == usbredirparser_read_parse_error) {
        Log("the peer sent a message that does not parse");
        readFailed_ = true;
        return false;
    }
    return true;
}

bool RedirDevice::Flush() {
    while (usbredirparser_has_data_to_write(parser_)) {
        if (usbredirparser_do_write(parser_) != 0) return false;
        // do_write returns 0 also when the socket would block.
        pollfd p{fd_, POLLOUT, 0};
        if (usbredirparser_has_data_to_write(parser_) && poll(&p, 1, 0) <= 0) break;
    }
    return true;
}

bool RedirDevice::WantsWrite() const { return usbredirparser_has_data_to_write(parser_) != 0; }

uint32_t RedirDevice::PeriodMicroframes(const usb::EndpointInfo &e) const {
    uint32_t interval = std::max<uint32_t>(1, e.Interval);
    if (profile_.HighSpeed) {
        if (e.Type() == 3 /* interrupt */ || e.Type() == 1)
            return 1u << std::min<uint32_t>(interval - 1, 15);
        return 1;
    }
    // Full speed: isochronous every 2^(bInterval-1) frames, interrupt every
    // bInterval frames.
    if (e.Type() == 1) return 8u << std::min<uint32_t>(interval - 1, 15);
    return 8u * interval;
}

void RedirDevice::SendInterfaceAndEndpointInfo() {
    usb_redir_interface_info_header info{};
    usb_redir_ep_info_header ep{};
    memset(ep.type, kNoType, sizeof ep.type);
    const uint8_t ep0 = profile_.DeviceDescriptor.size() > 7 ? profile_.DeviceDescriptor[7] : 64;
    ep.type[0] = ep.type[16] = usb_redir_type_control;
    ep.max_packet_size[0] = ep.max_packet_size[16] = ep0;
    const usb::ConfigurationInfo *active = model_.ActiveConfiguration();
    if (active != nullptr) {
        for (const auto &s : active->Settings) {
            auto it = model_.AltSetting.find(s.InterfaceNumber);
            const uint8_t alt = it == model_.AltSetting.end() ? 0 : it->second;
            if (s.AlternateSetting != alt || info.interface_count >= 32) continue;
            const uint32_t n = info.interface_count++;
            info.interface[n] = s.InterfaceNumber;
            info.interface_class[n] = s.Class;
            info.interface_subclass[n] = s.SubClass;
            info.interface_protocol[n] = s.Protocol;
            for (const auto &e : s.Endpoints) {
                const int i = EndpointIndex(e.Address);
                ep.type[i] = e.Type();
                ep.interval[i] = e.Interval;
                ep.interface[i] = s.InterfaceNumber;
                ep.max_packet_size[i] = e.RawMaxPacket;
            }
        }
    }
    usbredirparser_send_interface_info(parser_, &info);
    usbredirparser_send_ep_info(parser_, &ep);
}

void RedirDevice::SendConnect() {
    const std::vector<uint8_t> &d = profile_.DeviceDescriptor;
    SendInterfaceAndEndpointInfo();
    usb_redir_device_connect_header c{};
    c.speed = profile_.HighSpeed ? usb_redir_speed_high : usb_redir_speed_full;
    c.device_class = d[4];
    c.device_subclass = d[5];
    c.device_protocol = d[6];
    c.vendor_id = (uint16_t)(d[8] | (d[9] << 8));
    c.product_id = (uint16_t)(d[10] | (d[11] << 8));
    c.device_version_bcd = (uint16_t)(d[12] | (d[13] << 8));
    usbredirparser_send_device_connect(parser_, &c);
    connected_ = true;
    ++stats_.Connects;
    if (options_.Verbose) Log("connected %04x:%04x at %s speed", c.vendor_id, c.product_id,
                              profile_.HighSpeed ? "high" : "full");
}

void RedirDevice::OnHello() {
    helloSeen_ = true;
    if (wantConnected_) SendConnect();
}

void RedirDevice::Plug() {
    wantConnected_ = true;
    if (connected_ || !helloSeen_) return;
    // A new device: the default state, as after power-on.
    model_ = usb::CameraModel(profile_);
    SendConnect();
}

void RedirDevice::Unplug() {
    wantConnected_ = false;
    if (!connected_) return;
    EndAllRequests(usb_redir_ioerror);
    streams_.clear();
    usbredirparser_send_device_disconnect(parser_);
    connected_ = false;
    disconnectAcked_ = false;
    ++stats_.Disconnects;
    if (options_.Verbose) Log("disconnected");
}

void RedirDevice::SetHalt(uint8_t endpoint, bool halted) { model_.Halted[endpoint] = halted; }

void RedirDevice::OnReset() {
    ++stats_.Resets;
    if (options_.Verbose) Log("reset");
    // As the host's reset of a real device: the device returns to the default
    // state, and the host's USB core puts back its configuration and
    // alternate settings, so the peer sees the same interfaces afterwards.
    EndAllRequests(usb_redir_cancelled);
    model_.BusReset();
}

void RedirDevice::EndAllRequests(uint8_t status) {
    while (!bulkIn_.empty()) {
        FinishBulkIn(bulkIn_.front(), status);
        bulkIn_.pop_front();
    }
}

void RedirDevice::StopStreamsNotInSetting() {
    for (auto it = streams_.begin(); it != streams_.end();) {
        if (model_.ActiveEndpoint(it->first) == nullptr) it = streams_.erase(it);
        else ++it;
    }
    for (auto it = bulkIn_.begin(); it != bulkIn_.end();) {
        if (model_.ActiveEndpoint(it->Endpoint) == nullptr) {
            FinishBulkIn(*it, usb_redir_cancelled);
            it = bulkIn_.erase(it);
        } else {
            ++it;
        }
    }
}

void RedirDevice::OnSetConfiguration(uint64_t id, uint8_t configuration) {
    ++stats_.SetConfigurations;
    const uint8_t setup[8] = {0x00, 0x09, configuration, 0, 0, 0, 0, 0};
    const usb::ControlOutcome o = model_.Control(setup, nullptr, now_);
    if (options_.Verbose) Log("set configuration %u: %s", configuration, o.Stall ? "stall" : "ok");
    streams_.clear();
    EndAllRequests(usb_redir_cancelled);
    usb_redir_configuration_status_header s{(uint8_t)(o.Stall ? usb_redir_stall : usb_redir_success),
                                            model_.Configuration};
    usbredirparser_send_configuration_status(parser_, id, &s);
    SendInterfaceAndEndpointInfo();
}

void RedirDevice::OnGetConfiguration(uint64_t id) {
    usb_redir_configuration_status_header s{usb_redir_success, model_.Configuration};
    usbredirparser_send_configuration_status(parser_, id, &s);
}

void RedirDevice::OnSetAltSetting(uint64_t id, uint8_t interface, uint8_t alt) {
    ++stats_.SetAltSettings;
    const uint8_t setup[8] = {0x01, 0x0B, alt, 0, interface, 0, 0, 0};
    const usb::ControlOutcome o = model_.Control(setup, nullptr, now_);
    if (options_.Verbose) Log("set interface %u alternate %u: %s", interface, alt, o.Stall ? "stall" : "ok");
    StopStreamsNotInSetting();
    auto it = model_.AltSetting.find(interface);
    usb_redir_alt_setting_status_header s{(uint8_t)(o.Stall ? usb_redir_stall : usb_redir_success), interface,
                                          (uint8_t)(it == model_.AltSetting.end() ? 0 : it->second)};
    usbredirparser_send_alt_setting_status(parser_, id, &s);
    SendInterfaceAndEndpointInfo();
}

void RedirDevice::OnGetAltSetting(uint64_t id, uint8_t interface) {
    const usb::ConfigurationInfo *active = model_.ActiveConfiguration();
    auto it = model_.AltSetting.find(interface);
    const bool known = active != nullptr && active->HasInterface(interface);
    usb_redir_alt_setting_status_header s{(uint8_t)(known ? usb_redir_success : usb_redir_inval), interface,
                                          (uint8_t)(it == model_.AltSetting.end() ? 0 : it->second)};
    usbredirparser_send_alt_setting_status(parser_, id, &s);
}

void RedirDevice::OnStartIso(uint64_t id, uint8_t endpoint, uint8_t packetsPerUrb, uint8_t urbs) {
    const usb::EndpointInfo *e = model_.ActiveEndpoint(endpoint);
    const bool ok = connected_ && e != nullptr && e->Type() == 1;
    if (options_.Verbose)
        Log("start isochronous stream 0x%02x (%u packets x %u): %s", endpoint, packetsPerUrb, urbs, ok ? "ok" : "inval");
    if (ok) {
        Stream s;
        s.Iso = true;
        s.NextMicroframe = now_ / 125 + 1;
        streams_[endpoint] = s;
    }
    usb_redir_iso_stream_status_header st{(uint8_t)(ok ? usb_redir_success : usb_redir_inval), endpoint};
    usbredirparser_send_iso_stream_status(parser_, id, &st);
}

void RedirDevice::OnStopIso(uint64_t id, uint8_t endpoint) {
    if (options_.Verbose) Log("stop isochronous stream 0x%02x", endpoint);
    streams_.erase(endpoint);
    usb_redir_iso_stream_status_header st{usb_redir_success, endpoint};
    usbredirparser_send_iso_stream_status(parser_, id, &st);
}

void RedirDevice::OnStartInterrupt(uint64_t id, uint8_t endpoint) {
    const usb::EndpointInfo *e = model_.ActiveEndpoint(endpoint);
    const bool ok = connected_ && e != nullptr && e->Type() == 3 && e->In();
    if (ok) {
        Stream s;
        s.NextMicroframe = now_ / 125 + 1;
        streams_[endpoint] = s;
    }
    usb_redir_interrupt_receiving_status_header st{(uint8_t)(ok ? usb_redir_success : usb_redir_inval), endpoint};
    usbredirparser_send_interrupt_receiving_status(parser_, id, &st);
}

void RedirDevice::OnStopInterrupt(uint64_t id, uint8_t endpoint) {
    streams_.erase(endpoint);
    usb_redir_interrupt_receiving_status_header st{usb_redir_success, endpoint};
    usbredirparser_send_interrupt_receiving_status(parser_, id, &st);
}

void RedirDevice::OnBulkStreams(uint64_t id, uint32_t endpoints, bool alloc) {
    // A high-speed device has no bulk streams.
    usb_redir_bulk_streams_status_header st{endpoints, 0, usb_redir_inval};
    (void)alloc;
    usbredirparser_send_bulk_streams_status(parser_, id, &st);
}

void RedirDevice::OnCancel(uint64_t id) {
    for (auto it = bulkIn_.begin(); it != bulkIn_.end(); ++it) {
        if (it->Id != id) continue;
        ++stats_.Cancelled;
        FinishBulkIn(*it, usb_redir_cancelled);
        bulkIn_.erase(it);
        return;
    }
    // Everything else was answered at once; a cancel that comes later finds
    // nothing, as on the wire.
}

void RedirDevice::OnControl(uint64_t id, const uint8_t setup[8], const uint8_t *data, int length) {
    ++stats_.ControlRequests;
    const bool in = (setup[0] & 0x80) != 0;
    const uint16_t wLength = (uint16_t)(setup[6] | (setup[7] << 8));
    std::vector<uint8_t> buffer(wLength);
    if (!in && data != nullptr) memcpy(buffer.data(), data, std::min<size_t>(wLength, (size_t)length));
    usb::ControlOutcome o{true, 0};
    if (connected_ && (in || (size_t)length == wLength)) o = model_.Control(setup, wLength ? buffer.data() : nullptr, now_);
    if (o.Stall) ++stats_.ControlStalls;
    if (options_.Verbose)
        Log("control %02x %02x %04x %04x %u: %s %u", setup[0], setup[1], setup[2] | (setup[3] << 8),
            setup[4] | (setup[5] << 8), wLength, o.Stall ? "stall" : "ok", o.Actual);
    usb_redir_control_packet_header h{};
    h.endpoint = in ? 0x80 : 0x00;
    h.requesttype = setup[0];
    h.request = setup[1];
    h.value = (uint16_t)(setup[2] | (setup[3] << 8));
    h.index = (uint16_t)(setup[4] | (setup[5] << 8));
    h.length = (uint16_t)o.Actual;
    h.status = connected_ ? (o.Stall ? usb_redir_stall : usb_redir_success) : usb_redir_ioerror;
    usbredirparser_send_control_packet(parser_, id, &h, in && o.Actual ? buffer.data() : nullptr,
                                       in ? (int)o.Actual : 0);
}

void RedirDevice::FinishBulkIn(BulkIn &r, uint8_t status) {
    usb_redir_bulk_packet_header h{};
    h.endpoint = r.Endpoint;
    h.status = status;
    h.length = (uint16_t)r.Data.size();
    h.length_high = (uint16_t)(r.Data.size() >> 16);
    stats_.BulkInBytes += r.Data.size();
    usbredirparser_send_bulk_packet(parser_, r.Id, &h, r.Data.empty() ? nullptr : r.Data.data(), (int)r.Data.size());
}

void RedirDevice::OnBulk(uint64_t id, uint8_t endpoint, uint32_t length, const uint8_t *data, int dataLength) {
    const usb::EndpointInfo *e = model_.ActiveEndpoint(endpoint);
    usb_redir_bulk_packet_header h{};
    h.endpoint = endpoint;
    if (!connected_ || e == nullptr || e->Type() != 2) {
        h.status = connected_ ? usb_redir_inval : usb_redir_ioerror;
        usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
        return;
    }
    if (e->In()) {
        ++stats_.BulkInRequests;
        bulkIn_.push_back(BulkIn{id, endpoint, length, {}});
        ServeBulkIn(now_);
        return;
    }
    ++stats_.BulkOutRequests;
    if (model_.Halted[endpoint]) {
        ++stats_.BulkStalls;
        h.status = usb_redir_stall;
        usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
        return;
    }
    const uint32_t n = std::min<uint32_t>(length, (uint32_t)std::max(dataLength, 0));
    for (uint32_t off = 0; off < n || (n == 0 && off == 0);) {
        const uint32_t chunk = std::min<uint32_t>(e->MaxPacket, n - off);
        model_.OutPacket(endpoint, data + off, chunk, now_);
        if (chunk == 0) break;
        off += chunk;
    }
    stats_.BulkOutBytes += n;
    h.status = usb_redir_success;
    h.length = (uint16_t)n;
    h.length_high = (uint16_t)(n >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0);
}

void RedirDevice::OnInterrupt(uint64_t id, uint8_t endpoint, const uint8_t *data, int length) {
    const usb::EndpointInfo *e = model_.ActiveEndpoint(endpoint);
    usb_redir_interrupt_packet_header h{};
    h.endpoint = endpoint;
    if (!connected_ || e == nullptr || e->Type() != 3 || e->In()) {
        h.status = connected_ ? usb_redir_inval : usb_redir_ioerror;
    } else if (model_.Halted[endpoint]) {
        ++stats_.BulkStalls;
        h.status = usb_redir_stall;
    } else {
        ++stats_.InterruptOutPackets;
        model_.OutPacket(endpoint, data, (uint32_t)std::max(length, 0), now_);
        h.status = usb_redir_success;
        h.length = (uint16_t)std::max(length, 0);
    }
    usbredirparser_send_interrupt_packet(parser_, id, &h, nullptr, 0);
}

void RedirDevice::OnIso(uint64_t, uint8_t endpoint, const uint8_t *data, int length) {
    // Isochronous OUT: the peer sends once it has started the stream; no answer.
    if (!connected_ || streams_.find(endpoint) == streams_.end()) return;
    ++stats_.IsoOutPackets;
    model_.IsoOutPacket(endpoint, data, (uint32_t)std::max(length, 0));
}

void RedirDevice::ServeBulkIn(uint64_t nowMicros) {
    // Each endpoint serves its oldest request first, as a host controller
    // does; a request ends on a short packet or a full buffer.
    std::map<uint8_t, bool> blocked;
    for (auto it = bulkIn_.begin(); it != bulkIn_.end();) {
        BulkIn &r = *it;
        if (blocked[r.Endpoint]) {
            ++it;
            continue;
        }
        const usb::EndpointInfo *e = model_.ActiveEndpoint(r.Endpoint);
        uint8_t status = 0xFF;
        if (e == nullptr) {
            status = usb_redir_inval;
        } else if (model_.Halted[r.Endpoint]) {
            ++stats_.BulkStalls;
            status = usb_redir_stall;
        } else {
            std::vector<uint8_t> packet;
            while (r.Data.size() < r.Length && model_.InPacket(r.Endpoint, &packet, nowMicros)) {
                const size_t room = r.Length - r.Data.size();
                if (packet.size() > room) {
                    r.Data.insert(r.Data.end(), packet.begin(), packet.begin() + room);
                    status = usb_redir_babble;
                    break;
                }
                r.Data.insert(r.Data.end(), packet.begin(), packet.end());
                if (packet.size() < e->MaxPacket) {
                    status = usb_redir_success;
                    break;
                }
            }
            if (status == 0xFF && r.Data.size() >= r.Length) status = usb_redir_success;
        }
        if (status == 0xFF) {  // waiting for the device's data (NAK)
            blocked[r.Endpoint] = true;
            ++it;
            continue;
        }
        FinishBulkIn(r, status);
        it = bulkIn_.erase(it);
        CheckUnplugConditions();
        if (!connected_) return;
    }
}

void RedirDevice::PushStreams(uint64_t nowMicros) {
    const uint64_t microframe = nowMicros / 125;
    for (auto &entry : streams_) {
        const uint8_t endpoint = entry.first;
        Stream &s = entry.second;
        const usb::EndpointInfo *e = model_.ActiveEndpoint(endpoint);
        if (e == nullptr || !e->In()) continue;
        const uint32_t period = PeriodMicroframes(*e);
        if (s.NextMicroframe + kMaxCatchUpMicroframes * period < microframe) {
            // Held up too long: the microframes that passed are gone.
            const uint64_t skipped = (microframe - s.NextMicroframe) / period - kMaxCatchUpMicroframes;
            if (s.Iso) stats_.IsoInDropped += skipped;
            s.NextMicroframe += skipped * period;
        }
        for (; s.NextMicroframe <= microframe; s.NextMicroframe += period) {
            if (s.Iso) {
                if (usbredirparser_get_bufferered_output_size(parser_) > options_.MaxBufferedOutput) {
                    ++stats_.IsoInDropped;
                    continue;
                }
                std::vector<uint8_t> packet = model_.IsoInPacket(endpoint, (uint32_t)s.NextMicroframe);
                usb_redir_iso_packet_header h{endpoint, usb_redir_success, (uint16_t)packet.size()};
                usbredirparser_send_iso_packet(parser_, 0, &h, packet.empty() ? nullptr : packet.data(),
                                               (int)packet.size());
                ++stats_.IsoInPackets;
                stats_.IsoInBytes += packet.size();
                if (options_.UnplugAfterIsoPackets != 0 && stats_.IsoInPackets >= options_.UnplugAfterIsoPackets) {
                    Unplug();
                    return;
                }
            } else {
                std::vector<uint8_t> packet;
                if (model_.Halted[endpoint] || !model_.InPacket(endpoint, &packet, nowMicros)) continue;
                usb_redir_interrupt_packet_header h{endpoint, usb_redir_success, (uint16_t)packet.size()};
                usbredirparser_send_interrupt_packet(parser_, 0, &h, packet.empty() ? nullptr : packet.data(),
                                                     (int)packet.size());
                ++stats_.InterruptInPackets;
            }
        }
    }
}

void RedirDevice::CheckUnplugConditions() {
    if (options_.UnplugAfterBulkInBytes != 0 && stats_.BulkInBytes >= options_.UnplugAfterBulkInBytes &&
        connected_) {
        options_.UnplugAfterBulkInBytes = 0;
        Unplug();
    }
}

void RedirDevice::Tick(uint64_t nowMicros) {
    now_ = std::max(now_, nowMicros);
    if (!connected_) return;
    ServeBulkIn(now_);
    if (connected_) PushStreams(now_);
}

std::string RedirDevice::StatsJson() const {
    const DeviceStats &s = stats_;
    const usb::CameraState m = model_.State();
    std::ostringstream o;
    o << "{\"control\":" << s.ControlRequests << ",\"control_stalls\":" << s.ControlStalls
      << ",\"bulk_in_requests\":" << s.BulkInRequests << ",\"bulk_in_bytes\":" << s.BulkInBytes
      << ",\"bulk_out_requests\":" << s.BulkOutRequests << ",\"bulk_out_bytes\":" << s.BulkOutBytes
      << ",\"bulk_stalls\":" << s.BulkStalls << ",\"cancelled\":" << s.Cancelled << ",\"resets\":" << s.Resets
      << ",\"interrupt_in\":" << s.InterruptInPackets << ",\"interrupt_out\":" << s.InterruptOutPackets
      << ",\"iso_in_packets\":" << s.IsoInPackets << ",\"iso_in_bytes\":" << s.IsoInBytes
      << ",\"iso_in_dropped\":" << s.IsoInDropped << ",\"iso_out_packets\":" << s.IsoOutPackets
      << ",\"iso_out_bad\":" << m.IsoOutBadPackets << ",\"iso_out_gaps\":" << m.IsoOutSequenceGaps
      << ",\"set_configuration\":" << s.SetConfigurations << ",\"set_interface\":" << s.SetAltSettings
      << ",\"frames_delivered\":" << m.FramesDelivered << ",\"connects\":" << s.Connects
      << ",\"disconnects\":" << s.Disconnects << "}";
    return o.str();
}

int RedirDevice::Run(volatile int *stop, int commandFd) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const uint64_t start = MonotonicMicros();
    std::string pending;
    while (stop == nullptr || !*stop) {
        pollfd p[2] = {{fd_, (short)(POLLIN | (WantsWrite() ? POLLOUT : 0)), 0}, {commandFd, POLLIN, 0}};
        // Wake every 125 us worth of stream at most once a millisecond: the
        // streams catch up on the microframes that passed.
        int r = poll(p, commandFd >= 0 ? 2 : 1, 1);
        if (r < 0 && errno != EINTR) return 1;
        if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!ReadInput()) {
                Flush();
                return 0;
            }
        }
        if (commandFd >= 0 && r > 0 && (p[1].revents & (POLLIN | POLLHUP))) {
            char buf[256];
            ssize_t n = read(commandFd, buf, sizeof buf);
            if (n <= 0) {
                commandFd = -1;
            } else {
                pending.append(buf, (size_t)n);
                size_t nl;
                while ((nl = pending.find('\n')) != std::string::npos) {
                    std::string line = pending.substr(0, nl);
                    pending.erase(0, nl + 1);
                    char word[32] = {0};
                    unsigned ep = 0;
                    int fields = sscanf(line.c_str(), "%31s %x", word, &ep);
                    std::string w = fields >= 1 ? word : "";
                    if (w == "unplug") Unplug();
                    else if (w == "plug") Plug();
                    else if (w == "stall" && fields == 2) SetHalt((uint8_t)ep, true);
                    else if (w == "unstall" && fields == 2) SetHalt((uint8_t)ep, false);
                    else if (w == "stats") fprintf(stderr, "%s\n", StatsJson().c_str());
                    else if (w == "quit") {
                        Unplug();
                        Flush();
                        return 0;
                    } else if (!w.empty()) Log("unknown command: %s", line.c_str());
                }
            }
        }
        Tick(MonotonicMicros() - start);
        if (!Flush()) return 0;  // the peer went away
    }
    Unplug();
    Flush();
    return 0;
}

}  // namespace redir
}  // namespace sim
