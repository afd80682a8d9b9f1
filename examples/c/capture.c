/* capture: opens a Tavrinoscope camera, says what it is, captures one frame
 * and writes it as a PGM image (any image viewer opens it).
 *
 *   capture [CAMERA] [FILE]        defaults: camera 0, frame.pgm
 *
 * Build (Linux, in the repository after `make`):
 *   cc -std=c99 -Iinclude examples/c/capture.c -Lbuild/lib -ltavrinoscope \
 *      -Wl,-rpath,"$PWD/build/lib" -o capture
 * Build (Windows, with mingw-w64 next to tavrinoscope.dll):
 *   x86_64-w64-mingw32-gcc -std=c99 -Iinclude examples/c/capture.c \
 *      -Lbuild/windows/lib -ltavrinoscope -o capture.exe
 */
#include <stdio.h>
#include <stdlib.h>

#include "tavrinoscope/tavrinoscope.h"

static int fail(const char *what, tvs_status status) {
    fprintf(stderr, "capture: %s: %s (%s)\n", what, tvs_status_name(status), tvs_status_message(status));
    return 1;
}

int main(int argc, char **argv) {
    unsigned index = argc > 1 ? (unsigned)atoi(argv[1]) : 0;
    const char *path = argc > 2 ? argv[2] : "frame.pgm";
    tvs_camera *camera = NULL;
    tvs_device_info info;
    tvs_frame_info frame;
    size_t capacity = 640 * 480;
    unsigned char *pixels;
    tvs_status status;
    FILE *file;

    if (!TVS_VERSION_COMPATIBLE(tvs_version())) {
        fprintf(stderr, "capture: library version %s does not serve this program\n", tvs_version_string());
        return 1;
    }
    status = tvs_open(index, &camera);
    if (status != TVS_OK) return fail("open", status);

    status = tvs_get_device_info(camera, &info);
    if (status != TVS_OK) {
        tvs_close(camera);
        return fail("device info", status);
    }
    printf("camera %u: %04x:%04x %s %s (serial %s), driver %u.%u\n", index, info.vendor_id,
           info.product_id, info.manufacturer, info.product, info.serial_number,
           (unsigned)(info.driver_version >> 16), (unsigned)(info.driver_version & 0xFFFF));

    /* A frame larger than the guess says its size: try again with that. */
    pixels = (unsigned char *)malloc(capacity);
    status = pixels != NULL ? tvs_capture_frame(camera, pixels, capacity, &frame) : TVS_ERROR_NO_MEMORY;
    if (status == TVS_ERROR_BUFFER_TOO_SMALL) {
        unsigned char *larger;
        capacity = (size_t)frame.width * frame.height;
        larger = (unsigned char *)realloc(pixels, capacity);
        if (larger == NULL) {
            status = TVS_ERROR_NO_MEMORY;
        } else {
            pixels = larger;
            status = tvs_capture_frame(camera, pixels, capacity, &frame);
        }
    }
    tvs_close(camera);
    if (status != TVS_OK) {
        free(pixels);
        return fail("capture", status);
    }

    file = fopen(path, "wb");
    if (file == NULL || fprintf(file, "P5\n%u %u\n255\n", (unsigned)frame.width, (unsigned)frame.height) < 0 ||
        fwrite(pixels, 1, frame.bytes, file) != frame.bytes || fclose(file) != 0) {
        fprintf(stderr, "capture: cannot write %s\n", path);
        free(pixels);
        return 1;
    }
    printf("%s: %u x %u frame %u\n", path, (unsigned)frame.width, (unsigned)frame.height, (unsigned)frame.counter);
    free(pixels);
    return 0;
}
