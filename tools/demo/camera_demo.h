// The camera demo: one short session of the driver in the emulated machine
// with the reference camera, told in plain words.
//
// It boots the emulated kernel, starts the USB bus, loads the driver, plugs
// the reference camera and has the Plug and Play manager start it; then, as a
// client program does through the client library, reads the camera's
// descriptors, strings, interface information and pipe table, the driver
// version and the frame number, loads a block of camera memory and reads it
// back with a vendor request, selects alternate setting 1, shows a failed
// request's USB status (LastUsbdStatus) and resets a halted pipe; finally it
// stops, removes and unloads everything and reports the verifier's verdict.
//
// The run is deterministic apart from the frame number, which counts the bus
// clock's 1 ms frames, and takes well under a second.
#pragma once

#include <stdio.h>

#include <string>

namespace usbcam {
namespace demo {

struct DemoOptions {
    // When set, every bus transfer of the run is captured to this pcap file.
    std::string TracePath;
};

// Runs the demo, writing its account to `out`. Returns kExitClean,
// kExitStepFailed or kExitRuleBroken (verdict.h). After a failed step the
// rest is skipped, but the machine is always taken down and the verifier read.
// The emulated kernel is process-global: one run at a time.
int RunCameraDemo(const DemoOptions &options, FILE *out);

}  // namespace demo
}  // namespace usbcam
