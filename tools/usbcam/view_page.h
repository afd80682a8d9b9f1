// The live view's web page (HTML, style and script in one text).
#pragma once

namespace usbcam {
namespace cli {

extern const char kViewPage[];

}  // namespace cli
}  // namespace usbcam
