// A selection the USB controller refused for want of periodic bandwidth: the
// driver answers it with success and keeps the old setting, and only the
// last USB status (USBD_STATUS_NO_BANDWIDTH) tells why. usbcam says so, and
// names a lower setting that moves less, found in the configuration
// descriptor.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "usbcam/camera.h"

namespace usbcam {
namespace cli {

// USBD_STATUS_NO_BANDWIDTH as the last USB status reads it.
constexpr int32_t kUsbdNoBandwidth = static_cast<int32_t>(0x80000700u);

// What one alternate setting of an interface reserves, from the
// configuration descriptor.
struct SettingLoad {
    uint8_t Alternate = 0;
    // Bytes its isochronous and interrupt endpoints move per (micro)frame,
    // averaged over their intervals: a measure to compare settings by.
    double Load = 0;
    bool IsochronousIn = false;  // it has an isochronous IN endpoint
};

// Every alternate setting of `interface` in the configuration descriptor
// `config` (as GET_CONFIG_DESCRIPTOR returns it), in descriptor order.
std::vector<SettingLoad> SettingLoads(const std::vector<uint8_t> &config, uint8_t interface);

// The setting to try instead of `refused`: of the lower-numbered settings
// that move less (with needIsochronousIn, only those with an isochronous IN
// endpoint), the one that moves most; 0 when there is none.
uint8_t LowerSettingToTry(const std::vector<SettingLoad> &settings, uint8_t refused, bool needIsochronousIn);

// When the camera kept its setting after selecting `alternate` of
// `interface` because the controller had not the bandwidth (the last USB
// status says so and the camera has that setting), true with the failure
// line for `asked`: "... not enough bus bandwidth for this setting (another
// device holds it) ...; try: setting N or another USB controller".
bool NoBandwidthFailure(Camera *camera, const std::string &asked, uint8_t interface, uint8_t alternate,
                        bool needIsochronousIn, std::string *error);

}  // namespace cli
}  // namespace usbcam
