// The emulated machine a benchmark runs the driver in: kernel, bus, driver and
// cameras, booted once per program and torn down at exit.
#pragma once

#include <string>

#include "usbcam/usbcam_ioctl.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace bench {

struct BenchCamera {
    int Port = 0;
    PDEVICE_OBJECT Pdo = nullptr;
    sim::ClientHandle Handle = 0;
};

// Boots the machine on first use (kernel, bus, driver).
void EnsureMachine();
// Plugs and starts the reference camera with a frame of width x height bytes
// and opens its device; the camera stays for the rest of the program.
BenchCamera PlugCameraWithFrame(unsigned width, unsigned height);
// Removes the cameras, unloads the driver, stops the bus and the kernel; the
// verifier's violations are printed and counted.
int ShutdownMachine();

}  // namespace bench
