#include "camera_model.h"

#include <string.h>

#include <algorithm>

#include "sim/usb.h"

namespace sim {
namespace usb {

namespace {

constexpr uint8_t kVendorMemoryRequest = 0xA0;
constexpr size_t kMemoryBytes = 65536;
constexpr size_t kRegisterBytes = 256;
constexpr size_t kMaxEvents = 64;
constexpr size_t kStatusRecordBytes = 16;

void Put32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

uint32_t Get32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }

uint32_t Answer(uint8_t *data, uint16_t wLength, const std::vector<uint8_t> &bytes) {
    uint32_t n = (uint32_t)std::min<size_t>(wLength, bytes.size());
    if (n != 0) memcpy(data, bytes.data(), n);
    return n;
}

}  // namespace

void ReferenceFrameBytes(uint32_t counter, uint32_t width, uint32_t height, size_t offset, uint8_t *out,
                         size_t n) {
    const size_t size = (size_t)width * height;
    if (offset >= size) return;
    n = std::min(n, size - offset);
    // A row is a ramp of byte values: copy it from a table of two ramps, at
    // most 256 bytes at a time.
    static const struct Ramp {
        uint8_t Bytes[512];
        Ramp() {
            for (size_t i = 0; i < sizeof Bytes; ++i) Bytes[i] = (uint8_t)i;
        }
    } ramp;
    size_t x = offset % width, y = offset / width;
    for (size_t done = 0; done < n;) {
        const uint8_t first = (uint8_t)(x + 2 * y + counter);
        const size_t row = std::min(n - done, width - x);
        for (size_t k = 0; k < row; k += 256)
            memcpy(out + done + k, ramp.Bytes + first, std::min<size_t>(256, row - k));
        done += row;
        x = 0;
        ++y;
    }
    if (size >= 8 && offset < 8) {
        uint8_t header[8];
        Put32(header, counter);
        header[4] = (uint8_t)width;
        header[5] = (uint8_t)(width >> 8);
        header[6] = (uint8_t)height;
        header[7] = (uint8_t)(height >> 8);
        memcpy(out, header + offset, std::min<size_t>(n, 8 - offset));
    }
}

std::vector<uint8_t> ReferenceFrame(uint32_t counter, uint32_t width, uint32_t height) {
    std::vector<uint8_t> f((size_t)width * height);
    ReferenceFrameBytes(counter, width, height, 0, f.data(), f.size());
    return f;
}

std::vector<uint8_t> ReferenceIsoPacket(uint32_t seq, uint32_t n) {
    // Copied from a ramp 256 bytes at a time: a packet is made for every
    // microframe a stream runs, and a loop per byte was most of a fuzz
    // input's time under the fuzzer's comparison tracing.
    static const std::vector<uint8_t> ramp = [] {
        std::vector<uint8_t> r(512);
        for (size_t i = 0; i < r.size(); ++i) r[i] = (uint8_t)i;
        return r;
    }();
    std::vector<uint8_t> p(n);
    for (uint32_t k = 0; k < n; k += 256)
        memcpy(p.data() + k, ramp.data() + ((seq + k) & 0xFF), std::min<uint32_t>(256, n - k));
    if (n >= 4) Put32(p.data(), seq);
    return p;
}

bool CheckReferenceIsoPacket(const uint8_t *data, uint32_t length, uint32_t *seq) {
    if (length < 4) return false;
    *seq = Get32(data);
    for (uint32_t k = 4; k < length; ++k)
        if (data[k] != (uint8_t)(*seq + k)) return false;
    return true;
}

void ReferenceIsoCounter::Add(const uint8_t *data, uint32_t length) {
    if (length == 0) return;  // nothing received in that interval
    uint32_t seq;
    if (!CheckReferenceIsoPacket(data, length, &seq)) {
        ++bad_;
        return;
    }
    if (seen_ && seq != last_ + 1) lost_ += (uint32_t)(seq - last_ - 1);
    seen_ = true;
    last_ = seq;
    ++good_;
}

CameraModel::CameraModel(const DeviceProfile &profile)
    : Profile(profile), Memory(kMemoryBytes), Registers(kRegisterBytes) {}

const ConfigurationInfo *CameraModel::ActiveConfiguration() const {
    return Configuration == 0 ? nullptr : Profile.ConfigurationByValue(Configuration);
}

const EndpointInfo *CameraModel::ActiveEndpoint(uint8_t address) const {
    const ConfigurationInfo *active = ActiveConfiguration();
    if (active == nullptr) return nullptr;
    for (const auto &s : active->Settings) {
        auto it = AltSetting.find(s.InterfaceNumber);
        uint8_t alt = it == AltSetting.end() ? 0 : it->second;
        if (s.AlternateSetting != alt) continue;
        for (const auto &e : s.Endpoints)
            if (e.Address == address) return &e;
    }
    return nullptr;
}

void CameraModel::BusReset() {
    Address = 0;
    Halted.clear();
}

void CameraModel::PostEvent(uint8_t type, uint32_t counter) {
    std::vector<uint8_t> e(8, 0);
    e[0] = type;
    Put32(&e[4], counter);
    if (Events.size() == kMaxEvents) Events.pop_front();
    Events.push_back(e);
}

std::vector<uint8_t> CameraModel::OtherSpeedConfiguration(uint8_t index) const {
    // The same configuration at full speed: bulk packets of 64 bytes, periodic
    // packets within the full-speed limits, one transaction per frame.
    std::vector<uint8_t> c = Profile.Configurations[index].Descriptor;
    c[1] = USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE;
    for (size_t o = 0; o + 1 < c.size() && c[o] >= 2; o += c[o]) {
        if (c[o + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || o + 7 > c.size()) continue;
        uint16_t mps = (uint16_t)(c[o + 4] | (c[o + 5] << 8)) & 0x7FF;
        uint16_t limit = (c[o + 3] & 3) == USB_ENDPOINT_TYPE_BULK          ? 64
                         : (c[o + 3] & 3) == USB_ENDPOINT_TYPE_ISOCHRONOUS ? 1023
                                                                           : 64;
        mps = std::min(mps, limit);
        c[o + 4] = (uint8_t)mps;
        c[o + 5] = (uint8_t)(mps >> 8);
    }
    return c;
}

bool CameraModel::FixedAnswer(const std::vector<FixedRequest> &table, const uint8_t setup[8],
                              uint8_t *data, uint32_t *actual, bool *found) {
    uint16_t value = (uint16_t)(setup[2] | (setup[3] << 8));
    uint16_t index = (uint16_t)(setup[4] | (setup[5] << 8));
    uint16_t length = (uint16_t)(setup[6] | (setup[7] << 8));
    for (const auto &r : table) {
        if (r.RequestType != setup[0] || r.Request != setup[1]) continue;
        if (r.Value >= 0 && r.Value != value) continue;
        if (r.Index >= 0 && r.Index != index) continue;
        *found = true;
        if (r.Stall) return false;
        *actual = (setup[0] & 0x80) ? Answer(data, length, r.Response) : length;
        return true;
    }
    *found = false;
    return false;
}

bool CameraModel::StandardRequest(const uint8_t setup[8], uint8_t *data, uint32_t *actual) {
    const uint8_t type = setup[0];
    const uint8_t recipient = type & 0x1F;
    const bool in = (type & 0x80) != 0;
    const uint16_t value = (uint16_t)(setup[2] | (setup[3] << 8));
    const uint16_t index = (uint16_t)(setup[4] | (setup[5] << 8));
    const uint16_t length = (uint16_t)(setup[6] | (setup[7] << 8));
    const uint8_t endpoint = (uint8_t)index;
    const bool endpointKnown = (endpoint & 0x7F) == 0 || ActiveEndpoint(endpoint) != nullptr;
    const ConfigurationInfo *active = ActiveConfiguration();
    auto interfaceKnown = [&](uint8_t number) { return active != nullptr && active->HasInterface(number); };
    *actual = 0;

    switch (setup[1]) {
        case USB_REQUEST_GET_STATUS: {
            if (!in || length < 2 || value != 0) return false;
            uint8_t status[2] = {0, 0};
            if (recipient == 0) {
                const uint8_t attributes = (active != nullptr ? *active : Profile.First()).Descriptor[7];
                status[0] = (uint8_t)(((attributes & 0x40) ? 1 : 0) | (RemoteWakeup ? 2 : 0));
            } else if (recipient == 1) {
                if (!interfaceKnown((uint8_t)index)) return false;
            } else if (recipient == 2) {
                if (!endpointKnown) return false;
                status[0] = Halted[endpoint] ? 1 : 0;
            } else {
                return false;
            }
            *actual = Answer(data, length, std::vector<uint8_t>(status, status + 2));
            return true;
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE: {
            const bool set = setup[1] == USB_REQUEST_SET_FEATURE;
            if (in || length != 0) return false;
            if (recipient == 0) {
                if (value == USB_FEATURE_REMOTE_WAKEUP) {
                    RemoteWakeup = set;
                    return true;
                }
                if (value == USB_FEATURE_TEST_MODE && set && (index & 0xFF) == 0) {
                    TestMode = (uint8_t)(index >> 8);
                    return true;
                }
                return false;
            }
            if (recipient == 2 && value == USB_FEATURE_ENDPOINT_STALL && endpointKnown) {
                if ((endpoint & 0x7F) != 0) Halted[endpoint] = set;
                return true;
            }
            return false;  // interfaces have no standard features
        }
        case USB_REQUEST_SET_ADDRESS:
            if (in || recipient != 0 || value > 127 || Configuration != 0) return false;
            Address = (uint8_t)value;
            return true;
        case USB_REQUEST_GET_DESCRIPTOR: {
            if (!in) return false;
            const uint8_t descriptorType = (uint8_t)(value >> 8), descriptorIndex = (uint8_t)value;
            if (recipient != 0) return false;  // no class descriptors on interfaces or endpoints
            switch (descriptorType) {
                case USB_DEVICE_DESCRIPTOR_TYPE:
                    *actual = Answer(data, length, Profile.DeviceDescriptor);
                    return true;
                case USB_CONFIGURATION_DESCRIPTOR_TYPE:
                    if (descriptorIndex >= Profile.Configurations.size()) return false;
                    *actual = Answer(data, length, Profile.Configurations[descriptorIndex].Descriptor);
                    return true;
                case USB_STRING_DESCRIPTOR_TYPE: {
                    // wIndex carries the language (0 for string 0).
                    const std::vector<uint8_t> *string = Profile.StringFor(descriptorIndex, index);
                    if (string == nullptr) return false;
                    *actual = Answer(data, length, *string);
                    return true;
                }
                case USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE:
                    if (Profile.QualifierDescriptor.empty()) return false;
                    *actual = Answer(data, length, Profile.QualifierDescriptor);
                    return true;
                case USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE:
                    if (Profile.QualifierDescriptor.empty() || descriptorIndex >= Profile.Configurations.size()) return false;
                    *actual = Answer(data, length, OtherSpeedConfiguration(descriptorIndex));
                    return true;
                default:
                    return false;
            }
        }
        case USB_REQUEST_GET_CONFIGURATION:
            if (!in || recipient != 0 || length < 1) return false;
            data[0] = Configuration;
            *actual = 1;
            return true;
        case USB_REQUEST_SET_CONFIGURATION: {
            if (in || recipient != 0 || length != 0) return false;
            if (value > 0xFF || (value != 0 && Profile.ConfigurationByValue((uint8_t)value) == nullptr)) return false;
            Configuration = (uint8_t)value;
            AltSetting.clear();
            Halted.clear();
            return true;
        }
        case USB_REQUEST_GET_INTERFACE:
            if (!in || recipient != 1 || length < 1 || !interfaceKnown((uint8_t)index)) return false;
            data[0] = AltSetting[(uint8_t)index];
            *actual = 1;
            return true;
        case USB_REQUEST_SET_INTERFACE:
            if (in || recipient != 1 || length != 0 || active == nullptr) return false;
            if (active->FindSetting((uint8_t)index, (uint8_t)value) == nullptr) return false;
            AltSetting[(uint8_t)index] = (uint8_t)value;
            for (const auto &e : active->FindSetting((uint8_t)index, (uint8_t)value)->Endpoints)
                Halted[e.Address] = false;
            return true;
        default:
            return false;  // SET_DESCRIPTOR, SYNC_FRAME (no synchronising endpoints) and unknown
    }
}

bool CameraModel::VendorRequest(const uint8_t setup[8], uint8_t *data, uint32_t *actual) {
    const bool in = (setup[0] & 0x80) != 0;
    const uint16_t value = (uint16_t)(setup[2] | (setup[3] << 8));
    const uint16_t index = (uint16_t)(setup[4] | (setup[5] << 8));
    const uint16_t length = (uint16_t)(setup[6] | (setup[7] << 8));
    *actual = 0;
    if (setup[1] == kVendorMemoryRequest && (setup[0] & 0x1F) == 0) {
        // Memory load and read back at wValue, wrapping at 64 KiB.
        for (uint32_t i = 0; i < length; ++i) {
            uint8_t &cell = Memory[(value + i) % kMemoryBytes];
            if (in) data[i] = cell;
            else cell = data[i];
        }
        *actual = length;
        return true;
    }
    // The register file: wValue is the first register. A write without a data
    // stage stores the low byte of wIndex; reads stop at the last register.
    if (value >= kRegisterBytes) return false;
    if (in) {
        uint32_t n = std::min<uint32_t>(length, (uint32_t)(kRegisterBytes - value));
        // A read without a data stage has no buffer at all (data may be null).
        if (n != 0) memcpy(data, &Registers[value], n);
        *actual = n;
        return true;
    }
    if (length == 0) {
        Registers[value] = (uint8_t)index;
        return true;
    }
    if (value + length > kRegisterBytes) return false;
    memcpy(&Registers[value], data, length);
    *actual = length;
    return true;
}

ControlOutcome CameraModel::Control(const uint8_t setup[8], uint8_t *data, uint64_t nowMicros) {
    (void)nowMicros;
    uint32_t actual = 0;
    bool found = false, ok = false;
    switch ((setup[0] >> 5) & 3) {
        case 0:
            ok = StandardRequest(setup, data, &actual);
            break;
        case 1:
            ok = FixedAnswer(Profile.ClassRequests, setup, data, &actual, &found);
            break;
        case 2:
            ok = FixedAnswer(Profile.VendorRequests, setup, data, &actual, &found);
            if (!found) ok = VendorRequest(setup, data, &actual);
            break;
        default:
            ok = false;
    }
    if (Script) {
        bool stall = !ok;
        const uint16_t wLength = (uint16_t)(setup[6] | (setup[7] << 8));
        uint32_t scripted = ok ? actual : 0;
        Script->Control(setup, wLength != 0 ? data : nullptr, data != nullptr ? wLength : 0, &stall,
                        &scripted);
        ok = !stall;
        actual = std::min<uint32_t>(scripted, data != nullptr ? wLength : 0);
    }
    return ControlOutcome{!ok, ok ? actual : 0};
}

void CameraModel::OutPacket(uint8_t endpoint, const uint8_t *data, uint32_t length, uint64_t nowMicros) {
    const EndpointInfo *ep = ActiveEndpoint(endpoint);
    if (ep == nullptr || ep->Role != EndpointRole::Commands || length == 0) return;
    ++CommandsReceived;
    if (data[0] == 2) {
        // Arming flushes the zero-length packet of the previous frame when the
        // host read that frame with a buffer of exactly its size.
        if (!Frames.empty() && Frames.front().ZeroLengthPacketDue) Frames.pop_front();
        CaptureArmed = true;
        ++CapturesArmed;
    } else if (data[0] == 3 && CaptureArmed) {
        CaptureArmed = false;
        // The pattern is produced packet by packet as the host reads it.
        PendingFrame f{(uint32_t)FramesStarted, (size_t)Profile.FrameWidth * Profile.FrameHeight, 0,
                       nowMicros + (uint64_t)Profile.FrameDelayMs * 1000, false};
        PostEvent(1, (uint32_t)FramesStarted);
        ++FramesStarted;
        Frames.push_back(std::move(f));
    }
}

bool CameraModel::InPacket(uint8_t endpoint, std::vector<uint8_t> *packet, uint64_t nowMicros) {
    bool has = ModelInPacket(endpoint, packet, nowMicros);
    const EndpointInfo *ep = ActiveEndpoint(endpoint);
    if (Script && ep != nullptr) {
        Script->InPacket(endpoint, ep->MaxPacket, &has, packet);
        if (!has) packet->clear();
    }
    return has;
}

bool CameraModel::ModelInPacket(uint8_t endpoint, std::vector<uint8_t> *packet, uint64_t nowMicros) {
    const EndpointInfo *ep = ActiveEndpoint(endpoint);
    packet->clear();
    if (ep == nullptr) return false;
    switch (ep->Role) {
        case EndpointRole::Status: {
            packet->assign(kStatusRecordBytes, 0);
            uint8_t *p = packet->data();
            p[0] = 'S';
            p[1] = CaptureArmed ? 1 : 0;
            p[2] = (uint8_t)std::min<size_t>(Frames.size(), 255);
            p[3] = Configuration;
            Put32(p + 4, (uint32_t)FramesStarted);
            Put32(p + 8, (uint32_t)FramesDelivered);
            Put32(p + 12, (uint32_t)CommandsReceived);
            if (packet->size() > ep->MaxPacket) packet->resize(ep->MaxPacket);
            return true;
        }
        case EndpointRole::Events:
            if (Events.empty()) return false;
            *packet = Events.front();
            Events.pop_front();
            if (packet->size() > ep->MaxPacket) packet->resize(ep->MaxPacket);
            return true;
        case EndpointRole::Frames: {
            if (Frames.empty() || Frames.front().ReadyMicros > nowMicros) return false;
            PendingFrame &f = Frames.front();
            if (f.ZeroLengthPacketDue) {
                Frames.pop_front();
                return true;  // the zero-length packet that ends a frame of whole packets
            }
            size_t n = std::min<size_t>(ep->MaxPacket, f.Size - f.Offset);
            packet->resize(n);
            ReferenceFrameBytes(f.Counter, Profile.FrameWidth, Profile.FrameHeight, f.Offset, packet->data(), n);
            f.Offset += n;
            if (f.Offset == f.Size) {
                ++FramesDelivered;
                PostEvent(2, f.Counter);
                if (n == ep->MaxPacket && Profile.FrameZeroLengthPacket) f.ZeroLengthPacketDue = true;
                else Frames.pop_front();
            }
            return true;
        }
        default:
            return false;
    }
}

std::vector<uint8_t> CameraModel::IsoInPacket(uint8_t endpoint, uint32_t seq) {
    const EndpointInfo *ep = ActiveEndpoint(endpoint);
    if (ep == nullptr || ep->Role != EndpointRole::IsoSource || ep->MaxPacket == 0) return {};
    // One packet per service interval: every transaction of the microframe
    // (3 x 1024 bytes for wMaxPacketSize 0x1400).
    uint32_t n = Profile.IsoPacketSize != 0 ? Profile.IsoPacketSize : ep->PayloadPerInterval();
    ++IsoInPackets;
    std::vector<uint8_t> packet = ReferenceIsoPacket(seq, n);
    if (Script) {
        Script->IsoInPacket(endpoint, ep->PayloadPerInterval(), &packet);
        if (packet.size() > ep->PayloadPerInterval()) packet.resize(ep->PayloadPerInterval());
    }
    return packet;
}

void CameraModel::IsoOutPacket(uint8_t endpoint, const uint8_t *data, uint32_t length) {
    const EndpointInfo *ep = ActiveEndpoint(endpoint);
    if (ep == nullptr || ep->Role != EndpointRole::IsoSink) return;
    ++IsoOutPackets;
    if (length == 0) return;
    if (length < 4) {
        ++IsoOutBadPackets;
        return;
    }
    uint32_t seq;
    if (!CheckReferenceIsoPacket(data, length, &seq)) {
        ++IsoOutBadPackets;
        return;
    }
    if (IsoOutSeen && seq != IsoOutLastSeq + 1) ++IsoOutSequenceGaps;
    IsoOutSeen = true;
    IsoOutLastSeq = seq;
}

CameraState CameraModel::State() const {
    CameraState s{};
    s.Configuration = Configuration;
    uint8_t interfaces = 0;
    for (const auto &set : (ActiveConfiguration() != nullptr ? *ActiveConfiguration() : Profile.First()).Settings)
        interfaces = std::max<uint8_t>(interfaces, set.InterfaceNumber + 1);
    s.AltSetting.assign(interfaces, 0);
    for (const auto &a : AltSetting)
        if (a.first < interfaces) s.AltSetting[a.first] = a.second;
    s.RemoteWakeup = RemoteWakeup;
    s.Memory = Memory;
    s.Registers = Registers;
    s.CommandsReceived = CommandsReceived;
    s.CapturesArmed = CapturesArmed;
    s.FramesStarted = FramesStarted;
    s.FramesDelivered = FramesDelivered;
    s.FrameBytesPending = 0;
    for (const auto &f : Frames) s.FrameBytesPending += f.Size - f.Offset;
    s.IsoInPackets = IsoInPackets;
    s.IsoOutPackets = IsoOutPackets;
    s.IsoOutBadPackets = IsoOutBadPackets;
    s.IsoOutSequenceGaps = IsoOutSequenceGaps;
    return s;
}

}  // namespace usb
}  // namespace sim
