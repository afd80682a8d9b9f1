// The SDK's platform part: how a camera handle is opened and closed, and the
// emulation's own calls. backend_emulation.cpp (Linux: the emulated machine)
// and backend_win32.cpp (Windows: the installed driver) implement it; the
// C interface in tavrinoscope.cpp sits on top and knows neither.
#pragma once

#include <stdint.h>

#include <memory>

#include "tavrinoscope/tavrinoscope.h"
#include "usbcam/connection.h"

namespace tvs {

// One open handle as the platform gave it, and what the back end keeps
// about it (the emulation: the camera's port on the emulated bus).
struct OpenedDevice {
    std::unique_ptr<usbcam::Connection> Connection;
    int Port = 0;
};

// Opens camera `index`. On failure returns the status and *driverStatus the
// platform's NTSTATUS (0 when none came).
tvs_status BackendOpen(unsigned index, const tvs_open_options *options, OpenedDevice *device,
                       uint32_t *driverStatus);
// Closes the handle (device->Connection is reset here) and lets the back end
// tidy up after its last camera.
void BackendClose(OpenedDevice *device);

tvs_status BackendEmulationState(tvs_emulation_state *state);
tvs_status BackendUnplug(const OpenedDevice &device);
tvs_status BackendFailNext(const OpenedDevice &device, uint8_t endpoint, uint32_t count, int32_t usbStatus);
// tvs_emulation_wait.
tvs_status BackendWait(uint32_t milliseconds);

// Time as the camera sees it. Under the emulation's virtual time (Linux, see
// tavrinoscope.h) the calling thread takes part in bus time from its first
// call on: BackendEnterCall is made at the start of every call.
void BackendEnterCall();
// True while the emulated machine runs on virtual time.
bool BackendVirtualTime();
// Microseconds on the camera's clock (virtual time, else a monotonic clock).
uint64_t BackendNowMicros();
// Waits `ms` milliseconds of the camera's time, letting bus time move on.
void BackendPause(unsigned ms);

// The SDK status for an NTSTATUS a request came back with.
tvs_status StatusFromDriver(uint32_t ntstatus);

}  // namespace tvs
