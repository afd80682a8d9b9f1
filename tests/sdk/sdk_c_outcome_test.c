/* Outcomes the C interface must tell apart, each from the driver's own
 * account: a stop that ends only its own streams while another thread starts
 * one, every memory load's own result, a busy camera, and a selection the
 * bus has no bandwidth for. Every camera is
 * opened on virtual bus time, and every thread that calls the library takes
 * part in it, so the interleavings below are the same on any machine. */
#define _POSIX_C_SOURCE 200112L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tavrinoscope/tavrinoscope.h"

#include "sdk_check.h"

#define STALL ((int32_t)0xC0000004u)          /* USBD_STATUS_STALL_PID */
#define NOT_RESPONDING ((int32_t)0xC0000005u) /* USBD_STATUS_DEV_NOT_RESPONDING */

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

/* A flag one thread raises and another reads. */
typedef struct {
    pthread_mutex_t mutex;
    pthread_cond_t changed;
    int raised;
} flag;

static void flag_init(flag *f) {
    pthread_mutex_init(&f->mutex, NULL);
    pthread_cond_init(&f->changed, NULL);
    f->raised = 0;
}

static void flag_raise(flag *f) {
    pthread_mutex_lock(&f->mutex);
    f->raised = 1;
    pthread_cond_broadcast(&f->changed);
    pthread_mutex_unlock(&f->mutex);
}

static int flag_up(flag *f) {
    int up;
    pthread_mutex_lock(&f->mutex);
    up = f->raised;
    pthread_mutex_unlock(&f->mutex);
    return up;
}

/* Only for a thread whose raiser needs no bus time meanwhile. */
static void flag_wait(flag *f) {
    pthread_mutex_lock(&f->mutex);
    while (!f->raised) pthread_cond_wait(&f->changed, &f->mutex);
    pthread_mutex_unlock(&f->mutex);
}

static void flag_destroy(flag *f) {
    pthread_mutex_destroy(&f->mutex);
    pthread_cond_destroy(&f->changed);
}

/* ---- A stop ends only its own stream ----------------------------------- */

typedef struct {
    tvs_camera *camera;
    tvs_status status;
    flag done;
} stopper;

static void *stop_stream(void *argument) {
    stopper *s = (stopper *)argument;
    s->status = tvs_stream_stop(s->camera);
    flag_raise(&s->done);
    return NULL;
}

/* One thread stops the stream of its handle; once its stop request has gone
 * out, another thread starts a stream on a second handle of the same camera
 * and reads it. The stop returns once its own stream has ended (not the new
 * one), and it takes none of the new stream's packets. */
static void test_a_stop_ends_only_its_own_stream(void) {
    enum { PACKETS = 64,
           WANTED = 4000 };
    tvs_camera *first = open_camera();
    tvs_camera *second = open_camera();
    tvs_iso_config iso;
    tvs_iso_packet packets[PACKETS];
    tvs_stream_stats stats;
    size_t size = tvs_iso_buffer_size(1024, PACKETS);
    uint8_t *buffer = (uint8_t *)malloc(size);
    uint32_t got = 0, total = 0, rounds = 0;
    uint64_t sent;
    stopper s;
    pthread_t thread;

    CHECK_STATUS(tvs_select_setting(first, 0, 1, NULL), TVS_OK);
    memset(&iso, 0, sizeof iso);
    iso.pipe = 2; /* 0x84 isochronous IN in setting 1 */
    iso.packet_size = 1024;
    iso.packets_per_request = 64; /* 8 ms a request: the stop takes a while */
    iso.slot_count = 2;
    iso.ring_packets = 16384;
    CHECK_STATUS(tvs_stream_start(first, &iso), TVS_OK);

    s.camera = first;
    s.status = 1;
    flag_init(&s.done);
    sent = tvs_request_count(first);
    pthread_create(&thread, NULL, stop_stream, &s);
    /* The stop request and the first look at the stream have gone out; they
     * take no bus time, and none passes until this thread waits in the
     * library. */
    while (tvs_request_count(first) < sent + 2 && !flag_up(&s.done)) {
    }
    iso.packets_per_request = 16;
    CHECK_STATUS(tvs_stream_start(second, &iso), TVS_OK);
    while ((total < WANTED || !flag_up(&s.done)) && rounds++ < 1000000) {
        CHECK_STATUS(tvs_stream_read(second, PACKETS, buffer, size, packets, &got), TVS_OK);
        total += got;
    }
    pthread_join(thread, NULL);
    CHECK_STATUS(s.status, TVS_OK);
    CHECK_STATUS(tvs_stream_get_stats(second, &stats), TVS_OK);
    CHECK(stats.packets == total && total >= WANTED);
    CHECK(stats.sequenced == 1 && stats.lost == 0);
    CHECK_STATUS(tvs_stream_stop(second), TVS_OK);
    CHECK_STATUS(tvs_stream_read(second, PACKETS, buffer, size, packets, &got), TVS_ERROR_NO_STREAM);
    flag_destroy(&s.done);
    free(buffer);
    tvs_close(second);
    tvs_close(first);
}

/* ---- Each memory load tells its own outcome ------------------------------ */

/* The camera refuses three loads in a row with the same USB status: each
 * load says so, though the last USB status did not change after the first;
 * a load that then goes through says so too, with the failure still held. */
static void test_each_load_tells_its_own_outcome(void) {
    tvs_camera *camera = open_camera();
    uint8_t data[200], back[200];
    uint16_t received = 0;
    int32_t usb = 0;
    int i;
    const char *hex = ":0400100001020304E2\n:00000001FF\n";

    for (i = 0; i < (int)sizeof data; ++i) data[i] = (uint8_t)(i * 3 + 5);
    for (i = 0; i < 3; ++i) {
        CHECK_STATUS(tvs_emulation_fail_next(camera, 0, 1, STALL), TVS_OK);
        CHECK_STATUS(tvs_load_memory(camera, 0x4000, data, sizeof data, 0, &usb), TVS_ERROR_USB);
        CHECK(usb == STALL);
    }
    CHECK_STATUS(tvs_emulation_fail_next(camera, 0, 1, STALL), TVS_OK);
    CHECK_STATUS(tvs_load_hex(camera, hex, strlen(hex), 0, &usb), TVS_ERROR_USB);
    CHECK_STATUS(tvs_emulation_fail_next(camera, 0, 1, STALL), TVS_OK);
    CHECK_STATUS(tvs_load_hex(camera, hex, strlen(hex), 0, &usb), TVS_ERROR_USB);

    CHECK_STATUS(tvs_load_memory(camera, 0x4000, data, sizeof data, 0, &usb), TVS_OK);
    CHECK(usb == STALL); /* the driver never clears it */
    CHECK_STATUS(tvs_vendor_read(camera, 0xA0, 0x4000, 0, back, sizeof back, &received, &usb), TVS_OK);
    CHECK(received == sizeof back && memcmp(back, data, sizeof data) == 0);
    CHECK_STATUS(tvs_load_hex(camera, hex, strlen(hex), 0, &usb), TVS_OK);
    CHECK_STATUS(tvs_emulation_fail_next(camera, 0, 1, NOT_RESPONDING), TVS_OK);
    CHECK_STATUS(tvs_load_memory(camera, 0x4000, data, sizeof data, 0, &usb), TVS_ERROR_USB);
    CHECK(usb == NOT_RESPONDING);
    tvs_close(camera);
}

/* ---- A busy camera ------------------------------------------------------- */

typedef struct {
    tvs_camera *camera;
    tvs_status status;
    flag ready;
    flag done;
} reader;

static uint8_t frames[2][640 * 480 + 65536];

static void *read_large(void *argument) {
    reader *r = (reader *)argument;
    uint32_t frame = 0, moved = 0;
    /* A first call makes this thread take part in bus time. */
    tvs_get_frame_number(r->camera, &frame);
    flag_raise(&r->ready);
    r->status = tvs_bulk_read_segmented(r->camera, 2, frames[1], sizeof frames[1], &moved);
    flag_raise(&r->done);
    return NULL;
}

/* Two segmented reads at once, each longer than a frame: the one that gets
 * the camera first takes two time-out periods (the frame, then a segment
 * that never fills); the other waits one and is told the camera is busy. */
static void test_a_busy_camera_has_its_own_status(void) {
    tvs_camera *camera = open_camera();
    reader r;
    pthread_t thread;
    uint32_t moved = 0;
    tvs_status mine;

    CHECK_STATUS(tvs_set_timeout(camera, 300), TVS_OK);
    r.camera = camera;
    r.status = 1;
    flag_init(&r.ready);
    flag_init(&r.done);
    pthread_create(&thread, NULL, read_large, &r);
    flag_wait(&r.ready);
    mine = tvs_bulk_read_segmented(camera, 2, frames[0], sizeof frames[0], &moved);
    if (mine == TVS_ERROR_BUSY) {
        CHECK(tvs_last_driver_status() == 0x80000011u); /* STATUS_DEVICE_BUSY */
        CHECK(moved == 0);
    }
    /* A join would hold bus time still while the other read still needs it. */
    while (!flag_up(&r.done)) CHECK_STATUS(tvs_emulation_wait(1), TVS_OK);
    pthread_join(thread, NULL);
    CHECK((mine == TVS_ERROR_BUSY && r.status == TVS_ERROR_TIMEOUT) ||
          (mine == TVS_ERROR_TIMEOUT && r.status == TVS_ERROR_BUSY));
    CHECK(strcmp(tvs_status_name(TVS_ERROR_BUSY), "TVS_ERROR_BUSY") == 0);
    CHECK_STATUS(tvs_set_timeout(camera, 3000), TVS_OK);
    flag_destroy(&r.ready);
    flag_destroy(&r.done);
    tvs_close(camera);
}

/* ---- A blocking stream read ---------------------------------------------- */

/* Requests of 1024 packets take 128 ms of bus time each: a read that waits
 * 10 ms finds nothing and says so after 10 ms of bus time, not before and
 * not at the first request's end; one that waits long enough gets packets. */
static void test_a_blocking_read_waits_its_time_out(void) {
    enum { PACKETS = 64 };
    tvs_camera *camera = open_camera();
    tvs_iso_config iso;
    tvs_iso_packet packets[PACKETS];
    size_t size = tvs_iso_buffer_size(1024, PACKETS);
    uint8_t *buffer = (uint8_t *)malloc(size);
    uint32_t got = 99, before = 0, after = 0;

    CHECK_STATUS(tvs_select_setting(camera, 0, 1, NULL), TVS_OK);
    memset(&iso, 0, sizeof iso);
    iso.pipe = 2;
    iso.packet_size = 1024;
    iso.packets_per_request = 1024;
    iso.slot_count = 2;
    iso.ring_packets = 4096;
    CHECK_STATUS(tvs_stream_start(camera, &iso), TVS_OK);
    CHECK_STATUS(tvs_get_frame_number(camera, &before), TVS_OK);
    CHECK_STATUS(tvs_stream_read_wait(camera, PACKETS, buffer, size, packets, &got, 10), TVS_ERROR_TIMEOUT);
    CHECK_STATUS(tvs_get_frame_number(camera, &after), TVS_OK);
    CHECK(got == 0);
    CHECK(after - before >= 10 && after - before < 20);
    CHECK_STATUS(tvs_stream_read_wait(camera, PACKETS, buffer, size, packets, &got, 1000), TVS_OK);
    CHECK(got == PACKETS);
    CHECK_STATUS(tvs_get_frame_number(camera, &after), TVS_OK);
    CHECK(after - before >= 128 && after - before < 1000);
    CHECK_STATUS(tvs_stream_read_wait(camera, PACKETS, buffer, size, packets, &got, 0), TVS_OK);
    CHECK(got > 0); /* the rest of that request, at once */
    CHECK_STATUS(tvs_stream_stop(camera), TVS_OK);
    CHECK_STATUS(tvs_stream_read_wait(camera, PACKETS, buffer, size, packets, &got, 100), TVS_ERROR_NO_STREAM);
    CHECK_STATUS(tvs_stream_read_wait(camera, PACKETS, NULL, size, packets, &got, 100), TVS_ERROR_INVALID_ARGUMENT);
    free(buffer);
    tvs_close(camera);
}

/* ---- A frame as a PNG file ------------------------------------------------ */

static uint32_t big_endian(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static void test_a_frame_saved_as_png(void) {
    static uint8_t pixels[640 * 480];
    uint8_t head[33];
    tvs_camera *camera = open_camera();
    tvs_frame_info frame;
    FILE *file;
    const char *path = "sdk-c-outcome-frame.png";

    CHECK_STATUS(tvs_capture_frame(camera, pixels, sizeof pixels, &frame), TVS_OK);
    tvs_close(camera);
    remove(path);
    CHECK_STATUS(tvs_save_png(path, pixels, frame.width, frame.height), TVS_OK);
    file = fopen(path, "rb");
    CHECK(file != NULL);
    if (file != NULL) {
        CHECK(fread(head, 1, sizeof head, file) == sizeof head);
        fclose(file);
        CHECK(memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0);
        CHECK(memcmp(head + 12, "IHDR", 4) == 0);
        CHECK(big_endian(head + 16) == 640 && big_endian(head + 20) == 480);
        CHECK(head[24] == 8 && head[25] == 0); /* 8-bit grey */
    }
    remove(path);
    CHECK_STATUS(tvs_save_png("no-such-directory/frame.png", pixels, 640, 480), TVS_ERROR_IO);
    CHECK_STATUS(tvs_save_png(path, NULL, 640, 480), TVS_ERROR_INVALID_ARGUMENT);
    CHECK_STATUS(tvs_save_png(path, pixels, 0, 480), TVS_ERROR_INVALID_ARGUMENT);
}

/* ---- A selection the bus has no bandwidth for ----------------------------- */

static tvs_camera *open_camera_number(unsigned index) {
    tvs_camera *camera = NULL;
    tvs_open_options options;
    memset(&options, 0, sizeof options);
    options.flags = TVS_OPEN_VIRTUAL_TIME;
    CHECK_STATUS(tvs_open_ex(index, &options, &camera), TVS_OK);
    return camera;
}

/* Reads what camera's stream has collected, some rounds of it. */
static void drain(tvs_camera *camera, uint8_t *buffer, size_t size, tvs_iso_packet *packets, uint32_t count) {
    uint32_t got = 0, round;
    for (round = 0; round < 20; ++round) {
        CHECK_STATUS(tvs_stream_read(camera, count, buffer, size, packets, &got), TVS_OK);
    }
}

/* Two cameras on one bus: the first streams its full rate (setting 3), so
 * the second's setting 3 and then its setting 1 do not fit and are told as
 * such, its setting 0 does; a setting the camera lacks stays "refused". The
 * first stream loses nothing meanwhile; once it gives its bandwidth back,
 * the second's full rate fits. */
static void test_a_selection_without_bandwidth_is_told(void) {
    enum { PACKETS = 64 };
    const int32_t no_bandwidth = (int32_t)0x80000700u; /* USBD_STATUS_NO_BANDWIDTH */
    tvs_camera *first, *second;
    tvs_iso_config iso;
    tvs_iso_packet packets[PACKETS];
    tvs_stream_stats stats;
    tvs_device_info info;
    size_t size = tvs_iso_buffer_size(3072, PACKETS);
    uint8_t *buffer = (uint8_t *)malloc(size);
    int32_t usb = 0;

    setenv("TAVRINOSCOPE_CAMERAS", "2", 1);
    setenv("TAVRINOSCOPE_CAMERAS_ON_ONE_BUS", "1", 1);
    first = open_camera_number(0);
    second = open_camera_number(1);
    if (first == NULL || second == NULL) exit(1);
    CHECK(strcmp(tvs_status_name(TVS_ERROR_NO_BANDWIDTH), "TVS_ERROR_NO_BANDWIDTH") == 0);
    CHECK(strstr(tvs_status_message(TVS_ERROR_NO_BANDWIDTH), "bandwidth") != NULL);

    CHECK_STATUS(tvs_select_setting(first, 0, 3, NULL), TVS_OK);
    memset(&iso, 0, sizeof iso);
    iso.pipe = 0; /* 0x86, 3 x 1024 bytes a microframe */
    iso.packet_size = 3072;
    iso.packets_per_request = 16;
    iso.slot_count = 8;
    iso.ring_packets = 16384;
    CHECK_STATUS(tvs_stream_start(first, &iso), TVS_OK);
    drain(first, buffer, size, packets, PACKETS);

    CHECK_STATUS(tvs_select_setting(second, 0, 3, &usb), TVS_ERROR_NO_BANDWIDTH);
    CHECK(usb == no_bandwidth);
    CHECK_STATUS(tvs_get_device_info(second, &info), TVS_OK);
    CHECK(info.alternate_setting == 0);
    drain(first, buffer, size, packets, PACKETS);
    CHECK_STATUS(tvs_select_setting(second, 0, 1, NULL), TVS_ERROR_NO_BANDWIDTH);
    CHECK_STATUS(tvs_select_setting(second, 0, 9, NULL), TVS_ERROR_REFUSED);
    CHECK_STATUS(tvs_select_setting(second, 0, 0, NULL), TVS_OK);
    drain(first, buffer, size, packets, PACKETS);

    CHECK_STATUS(tvs_stream_get_stats(first, &stats), TVS_OK);
    CHECK(stats.packets > 0 && stats.sequenced == 1 && stats.lost == 0 && stats.failed == 0);
    CHECK_STATUS(tvs_stream_stop(first), TVS_OK);
    CHECK_STATUS(tvs_select_setting(first, 0, 2, NULL), TVS_OK);
    CHECK_STATUS(tvs_select_setting(second, 0, 3, NULL), TVS_OK);
    tvs_close(second);
    tvs_close(first);
    free(buffer);
    unsetenv("TAVRINOSCOPE_CAMERAS_ON_ONE_BUS");
    unsetenv("TAVRINOSCOPE_CAMERAS");
}

static void test_clean_shutdown(void) {
    tvs_emulation_state state;
    CHECK_STATUS(tvs_emulation_get_state(&state), TVS_OK);
    CHECK(state.running == 0 && state.open_cameras == 0);
    CHECK(state.violations == 0);
}

int main(void) {
    test_a_stop_ends_only_its_own_stream();
    test_each_load_tells_its_own_outcome();
    test_a_busy_camera_has_its_own_status();
    test_a_blocking_read_waits_its_time_out();
    test_a_frame_saved_as_png();
    test_a_selection_without_bandwidth_is_told();
    test_clean_shutdown();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("sdk C outcomes: every check passed\n");
    return 0;
}
