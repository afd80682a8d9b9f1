// usbcam-demo: the camera demo (`make demo`). Runs the driver in the emulated
// machine with the reference camera and tells what happens in plain words.
//
// Exit status: 0 when every step went as expected and the verifier found no
// broken rule; 1 when a step did not (or on a usage error); 2 when the
// verifier caught the driver breaking a rule.
#include <stdio.h>

#include <string>

#include <CLI/CLI.hpp>

#include "camera_demo.h"
#include "verdict.h"

int main(int argc, char **argv) {
    CLI::App app(
        "Runs the Tavrinoscope driver in the emulated kernel with the reference camera "
        "and shows, step by step, what a client program sees.",
        "usbcam-demo");
    usbcam::demo::DemoOptions options;
    app.add_option("--trace", options.TracePath,
                   "record the run's bus traffic to this pcap file (usbmon link type 220)")
        ->option_text("FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : usbcam::demo::kExitStepFailed;
    }
    const int status = usbcam::demo::RunCameraDemo(options, stdout);
    fflush(stdout);
    return status;
}
