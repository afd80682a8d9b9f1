// PNG encoding where libpng is not available (the Windows build): PGM only.
#include "usbcam/images.h"

namespace usbcam {

bool PngAvailable() { return false; }

bool EncodePng(const GreyImage &, std::vector<uint8_t> *out, std::string *error) {
    out->clear();
    *error = "PNG output needs libpng, which this build of usbcam does not have; write a .pgm file instead";
    return false;
}

}  // namespace usbcam
