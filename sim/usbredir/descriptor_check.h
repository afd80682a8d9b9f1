// What a host that enumerated the camera must have read: the descriptors of
// the profile compared with what the guest's USB core shows.
#pragma once

#include <string>

#include "device_profile.h"

namespace sim {
namespace redir {

// The bytes a Linux host keeps in sysfs "descriptors" for the device: the
// device descriptor, then every configuration's whole descriptor set.
std::string ExpectedSysfsDescriptors(const sim::usb::DeviceProfile &profile);

// Compares a sysfs device directory (descriptors, manufacturer, product,
// serial, speed) with the profile. "" when they agree, else every difference.
std::string CompareSysfs(const sim::usb::DeviceProfile &profile, const std::string &directory);

// Compares the profile that tools/lsusb-profile made of `lsusb -v` with this
// one: the device descriptor and each configuration, class-specific
// descriptors left out (lsusb prints those decoded, not as bytes).
std::string CompareLsusbProfile(const sim::usb::DeviceProfile &profile, const std::string &jsonText);

}  // namespace redir
}  // namespace sim
