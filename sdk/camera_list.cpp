// tvs_list_cameras: every camera number that names a device, with what a
// program needs to choose among them. Built on the public calls alone, so it
// is the same on both back ends: each number is opened in turn and the
// cameras found stay open until the listing is done (in the emulation, the
// machine then runs once for the whole listing).
#include <string.h>

#include <vector>

#include "tavrinoscope/tavrinoscope.h"

namespace {

constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;   // the device exists, not started
constexpr uint32_t kStatusDeletePending = 0xC0000056u;  // the device is being removed

}  // namespace

tvs_status tvs_list_cameras(tvs_camera_entry *entries, uint32_t capacity, uint32_t *count) {
    if (count == nullptr || (entries == nullptr && capacity != 0)) return TVS_ERROR_INVALID_ARGUMENT;
    *count = 0;
    std::vector<tvs_camera *> opened;
    std::vector<tvs_camera_entry> found;
    tvs_status result = TVS_OK;
    for (unsigned index = 0; index < TVS_MAX_CAMERAS; ++index) {
        tvs_camera_entry entry;
        memset(&entry, 0, sizeof(entry));
        entry.index = index;
        tvs_camera *camera = nullptr;
        const tvs_status status = tvs_open(index, &camera);
        if (status == TVS_OK) {
            opened.push_back(camera);
            entry.state = TVS_CAMERA_READY;
            tvs_device_info info;
            const tvs_status read = tvs_get_device_info(camera, &info);
            // Unplugged with a handle still open elsewhere: the driver lets
            // the open through until its removal, but the camera is gone.
            if (read == TVS_ERROR_DEVICE_GONE) entry.state = TVS_CAMERA_REMOVING;
            if (read == TVS_OK) {
                entry.vendor_id = info.vendor_id;
                entry.product_id = info.product_id;
                memcpy(entry.serial_number, info.serial_number, sizeof(entry.serial_number));
                entry.serial_number[sizeof(entry.serial_number) - 1] = '\0';
            }
        } else if (tvs_last_driver_status() == kStatusUnsuccessful) {
            entry.state = TVS_CAMERA_NOT_STARTED;
        } else if (tvs_last_driver_status() == kStatusDeletePending) {
            entry.state = TVS_CAMERA_REMOVING;
        } else if (status == TVS_ERROR_NOT_FOUND) {
            continue;  // no device of that number
        } else {
            result = status;  // the emulation did not start, no memory ...
            break;
        }
        found.push_back(entry);
    }
    for (tvs_camera *camera : opened) tvs_close(camera);
    if (result != TVS_OK) return result;
    for (size_t i = 0; i < found.size() && i < capacity; ++i) entries[i] = found[i];
    *count = (uint32_t)found.size();
    return TVS_OK;
}
