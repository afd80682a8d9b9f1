// Windows back end: the installed driver, through the client library's Win32
// connection (CreateFileW and the native device-control call). There is no
// emulation here.
#include <windows.h>

#include "backend.h"
#include "usbcam/status_names.h"

namespace tvs {

tvs_status BackendOpen(unsigned index, const tvs_open_options *options, OpenedDevice *device,
                       uint32_t *driverStatus) {
    *driverStatus = 0;
    if (options != nullptr && options->camera_profile != nullptr) return TVS_ERROR_NOT_SUPPORTED;
    *driverStatus = usbcam::OpenDevice(index, &device->Connection);
    if (usbcam::IsNtSuccess(*driverStatus)) return TVS_OK;
    // Before the camera has started, the driver refuses opens as unsuccessful.
    return *driverStatus == 0xC0000001u ? TVS_ERROR_NOT_FOUND : StatusFromDriver(*driverStatus);
}

void BackendClose(OpenedDevice *device) { device->Connection.reset(); }

tvs_status BackendEmulationState(tvs_emulation_state *) { return TVS_ERROR_NOT_SUPPORTED; }

tvs_status BackendUnplug(const OpenedDevice &) { return TVS_ERROR_NOT_SUPPORTED; }

tvs_status BackendFailNext(const OpenedDevice &, uint8_t, uint32_t, int32_t) { return TVS_ERROR_NOT_SUPPORTED; }

tvs_status BackendWait(uint32_t) { return TVS_ERROR_NOT_SUPPORTED; }

void BackendEnterCall() {}

bool BackendVirtualTime() { return false; }

uint64_t BackendNowMicros() { return GetTickCount64() * 1000u; }

void BackendPause(unsigned ms) { Sleep(ms); }

}  // namespace tvs
