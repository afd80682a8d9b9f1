// The camera model behind the test bus's plain interface (camera_port.h).
#include "camera_port.h"

#include <string.h>

#include <algorithm>
#include <new>
#include <vector>

#include "camera_model.h"

namespace testbus {

struct Camera {
    explicit Camera(const sim::usb::DeviceProfile &profile) : Model(profile) {}
    sim::usb::CameraModel Model;
};

namespace {

void FillSetting(const sim::usb::InterfaceSetting &s, SettingLayout *layout) {
    layout->Class = s.Class;
    layout->SubClass = s.SubClass;
    layout->Protocol = s.Protocol;
    layout->PipeCount = static_cast<uint32_t>(std::min<size_t>(s.Endpoints.size(), kMaxPipes));
    for (uint32_t i = 0; i < layout->PipeCount; ++i) {
        const sim::usb::EndpointInfo &e = s.Endpoints[i];
        layout->Pipes[i].Address = e.Address;
        layout->Pipes[i].Type = e.Type();
        layout->Pipes[i].Interval = e.Interval;
        layout->Pipes[i].MaxPacket = e.PayloadPerInterval();
    }
}

const sim::usb::ConfigurationInfo *ConfigurationOf(const Camera *camera, uint8_t value) {
    if (value == 0) return camera->Model.ActiveConfiguration();
    return camera->Model.Profile.ConfigurationByValue(value);
}

}  // namespace

Camera *CameraCreate() { return new (std::nothrow) Camera(sim::usb::ReferenceProfile()); }

void CameraDestroy(Camera *camera) { delete camera; }

void CameraIdentity(const Camera *camera, uint16_t *vendor, uint16_t *product, uint16_t *revision) {
    const std::vector<uint8_t> &d = camera->Model.Profile.DeviceDescriptor;
    *vendor = static_cast<uint16_t>(d[8] | (d[9] << 8));
    *product = static_cast<uint16_t>(d[10] | (d[11] << 8));
    *revision = static_cast<uint16_t>(d[12] | (d[13] << 8));
}

bool CameraHighSpeed(const Camera *camera) { return camera->Model.Profile.HighSpeed; }

bool CameraControl(Camera *camera, const uint8_t setup[8], uint8_t *data, uint32_t *actual,
                   uint64_t nowMicros) {
    const sim::usb::ControlOutcome o = camera->Model.Control(setup, data, nowMicros);
    *actual = o.Actual;
    return !o.Stall;
}

bool CameraSetting(const Camera *camera, uint8_t configurationValue, uint8_t interfaceNumber,
                   uint8_t alternate, SettingLayout *layout) {
    const sim::usb::ConfigurationInfo *c = ConfigurationOf(camera, configurationValue);
    const sim::usb::InterfaceSetting *s = c == nullptr ? nullptr : c->FindSetting(interfaceNumber, alternate);
    if (s == nullptr) return false;
    FillSetting(*s, layout);
    return true;
}

uint8_t CameraInterfaceCount(const Camera *camera, uint8_t configurationValue) {
    const sim::usb::ConfigurationInfo *c = ConfigurationOf(camera, configurationValue);
    return c == nullptr ? 0 : c->InterfaceCount;
}

bool CameraHalted(Camera *camera, uint8_t endpoint) { return camera->Model.Halted[endpoint]; }

void CameraOutPacket(Camera *camera, uint8_t endpoint, const uint8_t *data, uint32_t length,
                     uint64_t nowMicros) {
    camera->Model.OutPacket(endpoint, data, length, nowMicros);
}

bool CameraInPacket(Camera *camera, uint8_t endpoint, uint8_t *packet, uint32_t room,
                    uint32_t *length, uint64_t nowMicros) {
    std::vector<uint8_t> bytes;
    if (!camera->Model.InPacket(endpoint, &bytes, nowMicros)) return false;
    *length = static_cast<uint32_t>(bytes.size());
    if (!bytes.empty()) memcpy(packet, bytes.data(), std::min<size_t>(bytes.size(), room));
    return true;
}

void CameraIsoInPacket(Camera *camera, uint8_t endpoint, uint32_t seq, uint8_t *data,
                       uint32_t room, uint32_t *length, bool *overrun) {
    const std::vector<uint8_t> bytes = camera->Model.IsoInPacket(endpoint, seq);
    const uint32_t copy = std::min<uint32_t>(static_cast<uint32_t>(bytes.size()), room);
    if (copy != 0) memcpy(data, bytes.data(), copy);
    *length = copy;
    *overrun = bytes.size() > room;
}

void CameraIsoOutPacket(Camera *camera, uint8_t endpoint, const uint8_t *data, uint32_t length) {
    camera->Model.IsoOutPacket(endpoint, data, length);
}

void CameraPortReset(Camera *camera, uint64_t nowMicros) {
    sim::usb::CameraModel &m = camera->Model;
    const uint8_t configuration = m.Configuration;
    const std::map<uint8_t, uint8_t> alternates = m.AltSetting;
    m.BusReset();
    (void)nowMicros;
    // The bus keeps the device's configuration across the reset.
    m.Configuration = configuration;
    m.AltSetting = alternates;
}

}  // namespace testbus
