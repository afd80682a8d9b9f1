// Link names of the cameras, common to both back ends.
#include "usbcam/connection.h"

#include "usbcam/usbcam_ioctl.h"

namespace usbcam {

std::string DevicePath(unsigned index) {
    return std::string(USBCAM_WIN32_NAME_PREFIX) + static_cast<char>('0' + index);
}

}  // namespace usbcam
