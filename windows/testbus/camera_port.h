// The test bus's view of the camera: the host emulation's camera model
// (sim/usb/camera_model.cpp, the same source the host bus drives), behind
// plain types so the bus, which is built against the platform's DDK headers,
// never sees the emulation's own NT declarations.
//
// Every call must be made under the bus's port lock: the model keeps no lock
// of its own.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace testbus {

struct PipeSpec {
    uint8_t Address;
    uint8_t Type;  // USB endpoint type, bmAttributes bits 0..1
    uint8_t Interval;
    uint32_t MaxPacket;  // payload per (micro)frame, as the pipe information reports it
};

const uint32_t kMaxPipes = 32;

struct SettingLayout {
    uint8_t Class, SubClass, Protocol;
    uint32_t PipeCount;
    PipeSpec Pipes[kMaxPipes];
};

struct Camera;

// The reference camera; nullptr when out of memory.
Camera *CameraCreate();
void CameraDestroy(Camera *camera);

// The device and hardware identity: idVendor, idProduct, bcdDevice.
void CameraIdentity(const Camera *camera, uint16_t *vendor, uint16_t *product, uint16_t *revision);

// The speed the camera runs at on the test bus's port: its profile's.
bool CameraHighSpeed(const Camera *camera);

// A control transfer on the default pipe; data holds (OUT) or receives (IN)
// wLength bytes. Returns false when the device stalls.
bool CameraControl(Camera *camera, const uint8_t setup[8], uint8_t *data, uint32_t *actual,
                   uint64_t nowMicros);

// The interface setting of the configuration with this value (0: the
// active one); false when there is no such setting.
bool CameraSetting(const Camera *camera, uint8_t configurationValue, uint8_t interfaceNumber,
                   uint8_t alternate, SettingLayout *layout);
// bNumInterfaces of the configuration with this value, 0 if none.
uint8_t CameraInterfaceCount(const Camera *camera, uint8_t configurationValue);

bool CameraHalted(Camera *camera, uint8_t endpoint);
void CameraOutPacket(Camera *camera, uint8_t endpoint, const uint8_t *data, uint32_t length,
                     uint64_t nowMicros);
// The next IN packet into packet (room bytes at least the endpoint's packet
// size); false when the endpoint has nothing to send.
bool CameraInPacket(Camera *camera, uint8_t endpoint, uint8_t *packet, uint32_t room,
                    uint32_t *length, uint64_t nowMicros);
// An isochronous IN packet for bus microframe seq: *length bytes copied
// (at most room), *overrun when the packet was longer than room.
void CameraIsoInPacket(Camera *camera, uint8_t endpoint, uint32_t seq, uint8_t *data,
                       uint32_t room, uint32_t *length, bool *overrun);
void CameraIsoOutPacket(Camera *camera, uint8_t endpoint, const uint8_t *data, uint32_t length);

// Port reset: the device returns to the default state, then the bus puts
// back its configuration and alternate settings, as the hub driver does.
void CameraPortReset(Camera *camera, uint64_t nowMicros);

}  // namespace testbus
