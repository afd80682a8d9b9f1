/* The SDK's C interface, compiled as C99 against the public header alone and
 * run against libtavrinoscope.so (the driver in the emulated machine, the
 * reference camera plugged). Each case opens and closes its own camera, so
 * each starts with a fresh machine; the last case checks that the machines
 * shut down clean. */
#define _POSIX_C_SOURCE 199309L /* nanosleep */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "tavrinoscope/tavrinoscope.h"

#include "sdk_check.h"

/* On virtual bus time: what the checks see does not depend on the
 * machine's speed or load. */
static tvs_camera *open_camera(void) {
    tvs_camera *camera = NULL;
    tvs_open_options options;
    tvs_status status;
    memset(&options, 0, sizeof options);
    options.flags = TVS_OPEN_VIRTUAL_TIME;
    status = tvs_open_ex(0, &options, &camera);
    if (status != TVS_OK) {
        fprintf(stderr, "cannot open camera 0: %s\n", tvs_status_name(status));
        exit(1);
    }
    return camera;
}

static void test_version_and_texts(void) {
    tvs_status s;
    CHECK(TVS_VERSION_COMPATIBLE(tvs_version()));
    CHECK(!TVS_VERSION_COMPATIBLE(tvs_version() + (1u << 16)));
    CHECK(strcmp(tvs_version_string(), "1.1.0") == 0);
    for (s = TVS_ERROR_NO_BANDWIDTH; s <= TVS_OK; ++s) {
        CHECK(strncmp(tvs_status_name(s), "TVS_", 4) == 0);
        CHECK(strcmp(tvs_status_name(s), "TVS_ERROR_UNKNOWN") != 0);
        CHECK(strlen(tvs_status_message(s)) > 10);
    }
    CHECK(strcmp(tvs_status_name(TVS_ERROR_OTHER), "TVS_ERROR_OTHER") == 0);
    CHECK(strcmp(tvs_status_name(-1234), "TVS_ERROR_UNKNOWN") == 0);
    CHECK(strcmp(tvs_driver_status_name(0xC00000B5u), "STATUS_IO_TIMEOUT") == 0);
    CHECK(strcmp(tvs_usb_status_name((int32_t)0xC0000004u), "USBD_STATUS_STALL_PID") == 0);
    CHECK(tvs_usb_status_name(0x12345) == NULL);
}

/* Refused arguments never reach the driver: no request is counted and the
 * thread's driver status says none was sent. */
static void test_bad_arguments_stay_in_the_library(void) {
    tvs_camera *camera = open_camera();
    tvs_camera *none = (tvs_camera *)1;
    uint8_t buffer[64];
    tvs_iso_packet packets[4];
    tvs_iso_config iso;
    tvs_frame_info frame;
    uint32_t n = 0;
    int32_t usb = 0;
    uint64_t before = tvs_request_count(camera);

    memset(&iso, 0, sizeof iso);
    CHECK_STATUS(tvs_open(99, &none), TVS_ERROR_INVALID_ARGUMENT);
    CHECK(none == NULL);
    CHECK_STATUS(tvs_open(0, NULL), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_bulk_read(camera, 2, NULL, 16, &n), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_capture_frame(camera, buffer, 4, &frame), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_iso_read(camera, &iso, 4, buffer, sizeof buffer, packets), TVS_ERROR_INVALID_ARGUMENT);
    iso.pipe = 0;
    iso.packet_size = 1024;
    iso.packets_per_request = 8;
    iso.slot_count = 2;
    iso.ring_packets = 4; /* smaller than one request */
    CHECK_STATUS(tvs_stream_start(camera, &iso), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_iso_read(camera, &iso, 4, buffer, sizeof buffer, packets), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_stream_read(camera, 4, buffer, sizeof buffer, packets, &n), TVS_ERROR_NO_STREAM);
    CHECK_STATUS(tvs_vendor_write(camera, 0x40, 0, 0, buffer, 2, &usb), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_load_memory(camera, 0xFFF0, buffer, 32, 1, &usb), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_load_hex(camera, ":00000001FE\n:bad", 16, 0, &usb), TVS_ERROR_BAD_IMAGE);
    CHECK_STATUS(tvs_control_transfer(camera, 1, 3, 0, 1, 0, 0, buffer, 8, &n), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_set_timeout(camera, 0), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_get_device_info(camera, NULL), TVS_ERROR_INVALID_ARGUMENT);
    CHECK(tvs_request_count(camera) == before);
    CHECK(tvs_last_driver_status() == 0);
    tvs_close(camera);
}

static void test_device_info(void) {
    tvs_camera *camera = open_camera();
    tvs_device_info info;
    CHECK_STATUS(tvs_get_device_info(camera, &info), TVS_OK);
    CHECK(info.vendor_id == 0x1209 && info.product_id == 0x0001);
    CHECK(strcmp(info.product, "Tavrinoscope") == 0);
    CHECK(strcmp(info.manufacturer, "Tavrinoscope Developers") == 0);
    CHECK(strcmp(info.serial_number, "TVS-000001") == 0);
    CHECK(info.speed == TVS_SPEED_HIGH);
    CHECK(info.setting_count == 4);
    CHECK(info.alternate_setting == 0);
    CHECK(info.driver_version == 0x00010001u);
    CHECK(info.pipe_count == 4);
    CHECK(info.pipes[2].endpoint_address == 0x82 && info.pipes[2].type == TVS_PIPE_BULK);
    CHECK(info.pipes[3].type == TVS_PIPE_INTERRUPT);
    tvs_close(camera);
}

static void test_frame_is_the_test_pattern(void) {
    tvs_camera *camera = open_camera();
    size_t size = 640 * 480, i, wrong = 0;
    uint8_t *pixels = (uint8_t *)malloc(size);
    tvs_frame_info info;
    CHECK_STATUS(tvs_capture_frame(camera, pixels, size, &info), TVS_OK);
    CHECK(info.width == 640 && info.height == 480 && info.bytes == size);
    for (i = 8; i < size; ++i) {
        size_t x = i % 640, y = i / 640;
        if (pixels[i] != (uint8_t)(x + 2 * y + info.counter)) ++wrong;
    }
    CHECK(wrong == 0);
    /* A buffer too small says what it takes, and the next capture is whole. */
    CHECK_STATUS(tvs_capture_frame(camera, pixels, 1000, &info), TVS_ERROR_BUFFER_TOO_SMALL);
    CHECK(info.width == 640 && info.height == 480);
    CHECK_STATUS(tvs_capture_frame(camera, pixels, size, &info), TVS_OK);
    CHECK(info.width == 640 && info.height == 480 && pixels[8] == (uint8_t)(8 + info.counter));
    free(pixels);
    tvs_close(camera);
}

/* The calls whose driver request reports one outcome whatever the camera
 * said: the USB status given alongside is what tells. */
static void test_outcomes_the_driver_does_not_report(void) {
    tvs_camera *camera = open_camera();
    int32_t usb = 1;
    uint8_t data[300], back[300];
    uint16_t received = 0;
    size_t i;
    tvs_device_info info;

    CHECK_STATUS(tvs_set_feature(camera, 1, 0, &usb), TVS_ERROR_USB);
    CHECK(tvs_last_driver_status() == 0xC0000001u);
    CHECK(usb != 1);

    /* A setting the camera does not have: the driver says success, the
     * library reads the setting back. */
    CHECK_STATUS(tvs_select_setting(camera, 0, 9, &usb), TVS_ERROR_REFUSED);
    CHECK(tvs_last_driver_status() == 0);
    CHECK_STATUS(tvs_get_device_info(camera, &info), TVS_OK);
    CHECK(info.alternate_setting == 0);
    CHECK_STATUS(tvs_select_setting(camera, 0, 3, &usb), TVS_OK);
    CHECK_STATUS(tvs_get_device_info(camera, &info), TVS_OK);
    CHECK(info.alternate_setting == 3 && info.pipe_count == 1);
    CHECK(info.pipes[0].type == TVS_PIPE_ISOCHRONOUS && info.pipes[0].max_packet_size == 3072);
    CHECK_STATUS(tvs_select_setting(camera, 0, 0, NULL), TVS_OK);

    for (i = 0; i < sizeof data; ++i) data[i] = (uint8_t)(i * 7 + 1);
    CHECK_STATUS(tvs_load_memory(camera, 0x2000, data, sizeof data, 1, &usb), TVS_OK);
    CHECK_STATUS(tvs_vendor_read(camera, 0xA0, 0x2000, 0, back, sizeof back, &received, &usb), TVS_OK);
    CHECK(received == sizeof back && memcmp(data, back, sizeof data) == 0);
    {
        const char *hex = ":0400100001020304E2\n:00000001FF\n";
        CHECK_STATUS(tvs_load_hex(camera, hex, strlen(hex), 1, &usb), TVS_OK);
        CHECK_STATUS(tvs_vendor_read(camera, 0xA0, 0x0010, 0, back, 4, &received, &usb), TVS_OK);
        CHECK(back[0] == 1 && back[3] == 4);
    }
    tvs_close(camera);
}

/* Isochronous packets through a block read and a stream: descriptors
 * copied out with offsets into the caller's buffer, the reference camera's
 * sequence numbers counted, and the stream over before stop returns. */
static void test_isochronous_reads_and_streams(void) {
    tvs_camera *camera = open_camera();
    enum { PACKETS = 64 };
    tvs_iso_config iso;
    tvs_iso_packet packets[PACKETS];
    tvs_stream_stats stats;
    size_t size = tvs_iso_buffer_size(1024, PACKETS);
    uint8_t *buffer = (uint8_t *)malloc(size);
    uint32_t got = 0, total = 0, i, rounds = 0;
    int32_t usb;

    CHECK(size == PACKETS * (1024 + 12));
    CHECK(tvs_iso_buffer_size(0, 8) == 0 && tvs_iso_buffer_size(0x7FFFFFFF, 4) == 0);
    CHECK_STATUS(tvs_select_setting(camera, 0, 1, &usb), TVS_OK);
    memset(&iso, 0, sizeof iso);
    iso.pipe = 2; /* 0x84 isochronous IN in setting 1 */
    iso.packet_size = 1024;
    iso.packets_per_request = 16;
    iso.slot_count = 2;
    iso.ring_packets = 16384;
    CHECK_STATUS(tvs_iso_read(camera, &iso, PACKETS, buffer, size, packets), TVS_OK);
    for (i = 0; i < PACKETS; ++i) {
        CHECK(packets[i].offset == i * 1024);
        if (packets[i].status == 0 && packets[i].length >= 5) {
            const uint8_t *p = buffer + packets[i].offset;
            CHECK(p[4] == (uint8_t)(p[0] + 4));
        }
    }
    CHECK_STATUS(tvs_stream_start(camera, &iso), TVS_OK);
    while (total < 2000 && rounds++ < 20000) {
        CHECK_STATUS(tvs_stream_read(camera, PACKETS, buffer, size, packets, &got), TVS_OK);
        total += got;
        if (got == 0) {
            struct timespec pause = {0, 1000000};
            nanosleep(&pause, NULL);
        }
        for (i = 0; i < got; ++i) CHECK(packets[i].offset == i * 1024 && packets[i].length <= 1024);
    }
    CHECK_STATUS(tvs_stream_get_stats(camera, &stats), TVS_OK);
    CHECK(stats.packets == total && stats.sequenced == 1 && stats.lost == 0);
    CHECK_STATUS(tvs_stream_stop(camera), TVS_OK);
    CHECK_STATUS(tvs_stream_read(camera, PACKETS, buffer, size, packets, &got), TVS_ERROR_NO_STREAM);
    CHECK(tvs_last_driver_status() == 0xC0000001u);
    /* The stream is over, so the selection is not refused as busy. */
    CHECK_STATUS(tvs_select_setting(camera, 0, 0, &usb), TVS_OK);
    free(buffer);
    tvs_close(camera);
}

static void test_no_such_camera_and_clean_shutdown(void) {
    tvs_camera *camera = NULL;
    tvs_emulation_state state;
    CHECK_STATUS(tvs_open(5, &camera), TVS_ERROR_NOT_FOUND);
    CHECK(camera == NULL);
    CHECK_STATUS(tvs_emulation_get_state(&state), TVS_OK);
    CHECK(state.running == 0 && state.open_cameras == 0);
    CHECK(state.violations == 0);
}

int main(void) {
    test_version_and_texts();
    test_bad_arguments_stay_in_the_library();
    test_device_info();
    test_frame_is_the_test_pattern();
    test_outcomes_the_driver_does_not_report();
    test_isochronous_reads_and_streams();
    test_no_such_camera_and_clean_shutdown();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("sdk C interface: every check passed\n");
    return 0;
}
