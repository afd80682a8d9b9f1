// view where no HTTP server library is available (the Windows build).
#include "tool_support.h"

namespace usbcam {
namespace cli {

bool RunView(const ToolCommand &command, ToolContext &, std::string *error) {
    *error = command.Text +
             ": the live view needs cpp-httplib and libpng, which only the Linux build of usbcam has; try: "
             "usbcam capture -o frame.pgm";
    return false;
}

}  // namespace cli
}  // namespace usbcam
