/*
 * tavrinoscope.h: the Tavrinoscope camera SDK, a C99 interface.
 *
 * One library, two builds from the same sources:
 *   - tavrinoscope.dll (with its import library libtavrinoscope.dll.a) on
 *     Windows, which talks to the installed driver through the device-control
 *     interface of \\.\Tavrinoscope-N;
 *   - libtavrinoscope.so on Linux, which runs the same driver inside the
 *     project's emulation of the Windows kernel and USB bus, with an emulated
 *     camera plugged in (see "Emulation" below).
 *
 * Every call returns a tvs_status: TVS_OK (0) or a negative error. Its name
 * and a sentence saying what it means are tvs_status_name() and
 * tvs_status_message(). When a call sent a request to the driver, the
 * driver's own status (an NTSTATUS) is tvs_last_driver_status() in the same
 * thread.
 *
 * CALLS THAT REPORT SUCCESS WHATEVER THE CAMERA ANSWERED
 * The driver completes some requests with success even when the camera or
 * the USB stack refused them, and keeps the failure only in the camera's
 * "last USB status" (a USBD_STATUS, negative on failure, never cleared):
 *     tvs_vendor_read, tvs_vendor_write (vendor requests),
 *     tvs_load_memory, tvs_load_hex (memory load),
 *     tvs_select_setting (interface selection),
 *     tvs_reset_port (port reset),
 *     tvs_abort_pipe (pipe abort).
 * Each of these takes an `int32_t *usb_status` (may be NULL) that receives
 * the last USB status read right after the request. TVS_OK from these calls
 * means only that the driver took the request; a usb_status that is negative
 * and differs from the value before the call means the camera refused it.
 * tvs_load_memory and tvs_load_hex send the load's requests so that each
 * reports its own outcome (TVS_ERROR_USB when the camera refused one), and
 * with `verify` read the memory back (TVS_ERROR_VERIFY on a difference);
 * tvs_select_setting
 * reads the selected setting back (TVS_ERROR_REFUSED when it did not change).
 * The opposite case: tvs_set_feature ALWAYS returns TVS_ERROR_USB, because
 * the driver completes SET_FEATURE with failure whatever the camera
 * answered; its usb_status is then the only sign of what happened.
 *
 * THREADS
 * Any call may be made from any thread. Every call on an open camera may run
 * on several threads at once, on the same camera or on different ones
 * (the driver serves any number of requests at a time), except tvs_close:
 * close a camera only when no other thread uses it, and use it no more.
 * Several threads reading one stream at once each get whole packets, in no
 * defined order between them. tvs_open and tvs_close of different cameras may
 * run at once. tvs_last_driver_status is per thread. The text calls return
 * constant strings that live as long as the library.
 *
 * VERSION AND COMPATIBILITY
 * TVS_VERSION is the version of this header, tvs_version() that of the
 * library loaded, both (major << 16) | (minor << 8) | patch. Within one major
 * version the library stays compatible with programs built against an
 * earlier or equal minor version: functions, structures and values are never
 * removed or changed; a new minor version may add functions, status codes
 * (treat any negative value you do not know as an error) and flag bits, and
 * only after a structure's last field through a new function. A new major
 * version may break any of this. A program checks at start:
 *     if (!TVS_VERSION_COMPATIBLE(tvs_version())) ... refuse to run ...
 *
 * EMULATION (Linux)
 * The first tvs_open in a process starts the emulated machine (kernel, USB
 * bus, driver) and plugs one camera: the JSON camera profile named by
 * tvs_open_options.camera_profile, else by the environment variable
 * TAVRINOSCOPE_CAMERA, else the built-in reference camera. The machine stops
 * when the last camera is closed; the next open starts a fresh one. The
 * tvs_emulation_* calls exist only there (elsewhere TVS_ERROR_NOT_SUPPORTED).
 *
 * VIRTUAL TIME (Linux emulation, for tests)
 * With TVS_OPEN_VIRTUAL_TIME in tvs_open_options.flags, or the environment
 * variable TAVRINOSCOPE_VIRTUAL_TIME set to 1, at the open that starts the
 * machine, the machine's bus and kernel run on virtual time: time moves
 * only while every thread that has called the library waits in it (a
 * transfer waiting for the bus, a stream read that found nothing, a stop
 * waiting for its stream), and then jumps to the next thing due. What a
 * program does between calls takes no bus time, so a stream loses no
 * packet and a time-out elapses in the camera's time, however slow or
 * loaded the machine: results no longer depend on the machine's speed.
 * The price: each thread that has called the library takes part until it
 * ends, and while such a thread waits outside the library (a sleep, a join
 * of another thread that needs the camera) the camera's time stands
 * still: such a thread waits with tvs_emulation_wait instead. Under virtual
 * time a tvs_stream_read that finds nothing waits one bus frame before it
 * returns, so a polling loop moves time on.
 */
#ifndef TAVRINOSCOPE_H
#define TAVRINOSCOPE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(TAVRINOSCOPE_BUILDING)
#define TVS_API __declspec(dllexport)
#else
#define TVS_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TVS_API __attribute__((visibility("default")))
#else
#define TVS_API
#endif

/* ---- Version ---------------------------------------------------------- */

#define TVS_VERSION_MAJOR 1
#define TVS_VERSION_MINOR 1
#define TVS_VERSION_PATCH 0
#define TVS_VERSION ((TVS_VERSION_MAJOR << 16) | (TVS_VERSION_MINOR << 8) | TVS_VERSION_PATCH)
/* True when a library of version v serves a program built with this header. */
#define TVS_VERSION_COMPATIBLE(v) \
    (((uint32_t)(v) >> 16) == TVS_VERSION_MAJOR && (uint32_t)(v) >= (uint32_t)TVS_VERSION)

/* The library's version, laid out as TVS_VERSION. */
TVS_API uint32_t tvs_version(void);
/* "1.1.0" */
TVS_API const char *tvs_version_string(void);

/* ---- Status ----------------------------------------------------------- */

typedef int32_t tvs_status;

enum {
    TVS_OK = 0,
    /* An argument was refused by the library; nothing was sent to the driver. */
    TVS_ERROR_INVALID_ARGUMENT = -1,
    /* No camera with that number (or none plugged). */
    TVS_ERROR_NOT_FOUND = -2,
    /* The camera was unplugged or removed; close it. */
    TVS_ERROR_DEVICE_GONE = -3,
    /* The transfer did not finish within the driver's time-out. */
    TVS_ERROR_TIMEOUT = -4,
    /* The request failed on the USB side; the last USB status says how. */
    TVS_ERROR_USB = -5,
    /* The driver refused the request's parameters for the camera's current
       state (no such pipe in this setting, wrong pipe type, size too large). */
    TVS_ERROR_REFUSED = -6,
    /* Memory ran out, in the driver or in the library. */
    TVS_ERROR_NO_MEMORY = -7,
    /* The request was cancelled (a pipe abort, a removal). */
    TVS_ERROR_CANCELLED = -8,
    /* No stream is running on the camera (never started, stopped, or ended
       because its requests failed). */
    TVS_ERROR_NO_STREAM = -9,
    /* Memory read back after a load differs from what was written. */
    TVS_ERROR_VERIFY = -10,
    /* An Intel HEX text or image file could not be read. */
    TVS_ERROR_BAD_IMAGE = -11,
    /* The camera sent no frame, or not one in its framed format. */
    TVS_ERROR_BAD_FRAME = -12,
    /* The caller's buffer is too small; the call says what size it needs. */
    TVS_ERROR_BUFFER_TOO_SMALL = -13,
    /* Not available in this build or on this camera. */
    TVS_ERROR_NOT_SUPPORTED = -14,
    /* The emulated machine could not start or plug the camera (Linux). */
    TVS_ERROR_EMULATION = -15,
    /* A file could not be read or written. */
    TVS_ERROR_IO = -16,
    /* The camera is busy with another request of the kind that runs one at
       a time (a segmented transfer); nothing was sent. Try again. Since 1.1;
       a 1.0 library gave TVS_ERROR_OTHER. */
    TVS_ERROR_BUSY = -17,
    /* A selection was refused by the USB controller: the setting's periodic
       (isochronous, interrupt) bandwidth does not fit beside what the other
       devices on that controller hold. The camera keeps its setting. Select
       a setting that moves less, or plug the camera into another USB
       controller. Since 1.1. */
    TVS_ERROR_NO_BANDWIDTH = -18,
    /* Any other failure status of the driver or the platform; see
       tvs_last_driver_status(). */
    TVS_ERROR_OTHER = -99
};

/* "TVS_ERROR_TIMEOUT"; "TVS_ERROR_UNKNOWN" for a value this library does
   not define. */
TVS_API const char *tvs_status_name(tvs_status status);
/* One sentence saying what the status means. */
TVS_API const char *tvs_status_message(tvs_status status);

/* The NTSTATUS the driver (or the I/O manager) completed this thread's last
   request with; 0 when this thread's last call sent none (an argument
   error, a text call). */
TVS_API uint32_t tvs_last_driver_status(void);
/* "STATUS_IO_TIMEOUT", or NULL for a value the library does not know. */
TVS_API const char *tvs_driver_status_name(uint32_t ntstatus);
/* "USBD_STATUS_STALL_PID", or NULL for a value the library does not know. */
TVS_API const char *tvs_usb_status_name(int32_t usb_status);

/* ---- Opening and closing ---------------------------------------------- */

typedef struct tvs_camera tvs_camera;

#define TVS_MAX_CAMERAS 32

typedef struct tvs_open_options {
    /* Linux emulation: path of a JSON camera profile for the camera the
       emulated machine plugs; NULL: $TAVRINOSCOPE_CAMERA, else the reference
       camera. Ignored while a machine already runs (another camera is open).
       Not supported on Windows (TVS_ERROR_NOT_SUPPORTED when set). */
    const char *camera_profile;
    /* TVS_OPEN_* bits; 0 for none (since 1.1; reserved[0] before). */
    uint32_t flags;
    /* Reserved; set to 0. */
    uint32_t reserved[7];
} tvs_open_options;

/* Linux emulation: the machine this open starts runs on virtual time (see
   "Virtual time" above). Ignored while a machine already runs. */
#define TVS_OPEN_VIRTUAL_TIME 0x1u

/* Opens camera `index` (0 to 31: \\.\Tavrinoscope-<index>). On success
 *camera is the handle; on failure it is NULL. */
TVS_API tvs_status tvs_open(unsigned index, tvs_camera **camera);
/* tvs_open with options (NULL: as tvs_open). */
TVS_API tvs_status tvs_open_ex(unsigned index, const tvs_open_options *options,
                               tvs_camera **camera);
/* Closes the handle (NULL is allowed). A stream this handle started and
   did not stop is stopped first, as tvs_stream_stop does. */
TVS_API void tvs_close(tvs_camera *camera);

/* Device-control requests this handle has sent to the driver (diagnostics:
   shows that a call was refused before reaching the driver). */
TVS_API uint64_t tvs_request_count(const tvs_camera *camera);

/* ---- Device information ----------------------------------------------- */

enum {
    TVS_PIPE_CONTROL = 0,
    TVS_PIPE_ISOCHRONOUS = 1,
    TVS_PIPE_BULK = 2,
    TVS_PIPE_INTERRUPT = 3
};

enum { TVS_SPEED_UNKNOWN = 0,
       TVS_SPEED_FULL = 1,
       TVS_SPEED_HIGH = 2 };

#define TVS_MAX_PIPES 32

typedef struct tvs_pipe_info {
    uint32_t index;           /* the pipe number the transfer calls take */
    uint8_t endpoint_address; /* bit 7 set: IN (device to host) */
    uint8_t type;             /* TVS_PIPE_* */
    uint8_t interval;
    uint8_t reserved;
    uint32_t max_packet_size;   /* bytes per (micro)frame, multiplier applied */
    uint32_t max_transfer_size; /* the most one single transfer may move */
} tvs_pipe_info;

typedef struct tvs_device_info {
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t bcd_device;
    uint16_t bcd_usb;
    uint8_t device_class;
    uint8_t speed;             /* TVS_SPEED_*, inferred from the endpoints' packet sizes */
    uint8_t interface_number;  /* the selected interface ... */
    uint8_t alternate_setting; /* ... and its alternate setting */
    uint32_t setting_count;    /* alternate settings of that interface */
    uint32_t driver_version;   /* (major << 16) | minor */
    char manufacturer[128];    /* UTF-8, "" when the camera has none */
    char product[128];
    char serial_number[128];
    uint32_t pipe_count;
    tvs_pipe_info pipes[TVS_MAX_PIPES];
} tvs_device_info;

/* Reads descriptors, strings, the pipe table of the selected setting and
   the driver's version. */
TVS_API tvs_status tvs_get_device_info(tvs_camera *camera, tvs_device_info *info);
/* The configuration descriptor with everything that follows it; *length
   receives the bytes written. */
TVS_API tvs_status tvs_get_config_descriptor(tvs_camera *camera, void *buffer, uint32_t capacity,
                                             uint32_t *length);
/* The bus's current frame number. */
TVS_API tvs_status tvs_get_frame_number(tvs_camera *camera, uint32_t *frame_number);
/* The last USB-level failure the driver recorded for this camera (a
   USBD_STATUS, 0 when none yet). The driver never clears it: it may come
   from an earlier request, or from another thread's. */
TVS_API tvs_status tvs_get_last_usb_status(tvs_camera *camera, int32_t *usb_status);
/* Sets the driver's transfer time-out in milliseconds (initially 3000). It
   is one value for the whole driver: it applies to every camera. */
TVS_API tvs_status tvs_set_timeout(tvs_camera *camera, int32_t milliseconds);

/* ---- Frames ----------------------------------------------------------- */

typedef struct tvs_frame_info {
    uint32_t width;
    uint32_t height;
    uint32_t counter; /* the camera's frame counter */
    uint32_t bytes;   /* bytes received (width * height) */
} tvs_frame_info;

/* Captures one frame over the camera's frame pipe (pipe 2 of setting 0): an
   8-bit grey image, rows top to bottom, whose first 8 bytes carry the
   camera's header (counter, width, height) in place of pixels. `capacity`
   bytes are read at most. When the frame is larger, TVS_ERROR_BUFFER_TOO_SMALL
   with info->width and info->height set (call again with width * height).
   TVS_ERROR_BAD_FRAME when what came is not a frame. */
TVS_API tvs_status tvs_capture_frame(tvs_camera *camera, void *pixels, size_t capacity,
                                     tvs_frame_info *info);

/* Writes an 8-bit grey image (width * height bytes, rows top to bottom, as
   tvs_capture_frame gives it) to `path` as a PNG file (libpng on Linux, the
   Windows Imaging Component on Windows). TVS_ERROR_IO when the file cannot
   be written (tvs_last_driver_status is then 0). Since 1.1. */
TVS_API tvs_status tvs_save_png(const char *path, const void *pixels, uint32_t width, uint32_t height);

/* ---- Bulk and interrupt transfers --------------------------------------- */

/* One transfer on a bulk or interrupt pipe, at most the pipe's
   max_transfer_size, ended by the driver's time-out. A read of the frame
   pipe (2) makes the camera send a frame. *transferred (may be NULL) is the
   byte count moved, also on failure. A transfer goes the pipe's way, so a
   write on a device-to-host pipe brings the camera's bytes into data: the
   driver refuses a buffer whose pages it may not write. */
TVS_API tvs_status tvs_bulk_read(tvs_camera *camera, uint32_t pipe, void *buffer, uint32_t length,
                                 uint32_t *transferred);
TVS_API tvs_status tvs_bulk_write(tvs_camera *camera, uint32_t pipe, const void *data,
                                  uint32_t length, uint32_t *transferred);
/* A large transfer cut into 64 KiB segments all in flight at once. */
TVS_API tvs_status tvs_bulk_read_segmented(tvs_camera *camera, uint32_t pipe, void *buffer,
                                           uint32_t length, uint32_t *transferred);
TVS_API tvs_status tvs_bulk_write_segmented(tvs_camera *camera, uint32_t pipe, const void *data,
                                            uint32_t length, uint32_t *transferred);

/* ---- Isochronous transfers and streams ---------------------------------- */

typedef struct tvs_iso_packet {
    uint32_t offset; /* where the packet's payload lies in the buffer */
    uint32_t length; /* bytes the camera sent */
    int32_t status;  /* the packet's USBD_STATUS; 0 when it arrived */
} tvs_iso_packet;

/* Bytes of buffer a read of `packets` packets of `packet_size` needs (0 when
   that would not fit a request). */
TVS_API size_t tvs_iso_buffer_size(uint32_t packet_size, uint32_t packets);

typedef struct tvs_iso_config {
    uint32_t pipe;                /* an isochronous pipe of the selected setting */
    uint32_t packet_size;         /* bytes per packet (the pipe's max_packet_size) */
    uint32_t packets_per_request; /* packets of one request (whole frames: a multiple of 8 at high speed) */
    uint32_t slot_count;          /* requests in flight at once */
    uint32_t ring_packets;        /* streams only: packets the driver's ring holds */
} tvs_iso_config;

/* Reads `packets` isochronous packets. `buffer` holds at least
   tvs_iso_buffer_size(packet_size, packets) bytes; packet i's payload is at
   buffer + i * packet_size (packet_info[i].offset), its length and status in
   packet_info[i] (an array of `packets` entries). */
TVS_API tvs_status tvs_iso_read(tvs_camera *camera, const tvs_iso_config *config, uint32_t packets,
                                void *buffer, size_t buffer_size, tvs_iso_packet *packet_info);

/* Starts a continuous stream: the driver keeps requests in flight and
   collects packets in its rings until tvs_stream_stop; when the rings are
   full, whole requests are dropped (counted as lost). */
TVS_API tvs_status tvs_stream_start(tvs_camera *camera, const tvs_iso_config *config);
/* Takes up to max_packets packets the stream has collected (none is not an
   error: *packets_read is then 0; wait a little and read again). Buffer
   layout as for tvs_iso_read. TVS_ERROR_NO_STREAM once the stream has
   ended; TVS_ERROR_DEVICE_GONE when the camera went away. */
TVS_API tvs_status tvs_stream_read(tvs_camera *camera, uint32_t max_packets, void *buffer,
                                   size_t buffer_size, tvs_iso_packet *packet_info,
                                   uint32_t *packets_read);
/* tvs_stream_read that waits for packets: returns as soon as at least one
   has come (up to max_packets), or TVS_ERROR_TIMEOUT with *packets_read 0
   when none came within timeout_ms milliseconds (the camera's time: bus
   time under virtual time). timeout_ms 0 looks once. The same errors as
   tvs_stream_read otherwise; a program need not poll. Since 1.1. */
TVS_API tvs_status tvs_stream_read_wait(tvs_camera *camera, uint32_t max_packets, void *buffer,
                                        size_t buffer_size, tvs_iso_packet *packet_info,
                                        uint32_t *packets_read, uint32_t timeout_ms);
/* Stops the camera's streams and returns once they have ended (their
   requests in flight back), so that a selection or a pipe reset may follow
   at once; packets collected and not yet read are dropped with them. The
   stop reads no packets itself, and a tvs_stream_start of the same camera
   in this process waits until the stop has returned, so a stream started
   meanwhile is neither stopped nor taken for the stopped one (a stream
   another process starts meanwhile is not told apart: the stop then waits
   for it too). TVS_ERROR_TIMEOUT when they have not ended within 10 s of
   the camera's time. A handle that started no stream returns at once. */
TVS_API tvs_status tvs_stream_stop(tvs_camera *camera);

typedef struct tvs_stream_stats {
    uint64_t packets;   /* packets read since the stream started */
    uint64_t bytes;     /* payload bytes of those packets */
    uint64_t failed;    /* packets read with a failure status */
    uint64_t lost;      /* packets missing between those read (from the
                           camera's sequence numbers; see `sequenced`) */
    uint32_t sequenced; /* 1 when the camera numbers its packets, so `lost`
                           means something; 0 otherwise */
    uint32_t reserved;
} tvs_stream_stats;

/* Counts of the current (or last) stream's packets. */
TVS_API tvs_status tvs_stream_get_stats(tvs_camera *camera, tvs_stream_stats *stats);

/* ---- Requests to the camera --------------------------------------------- */

/* Vendor request, device to host, to the device: up to `length` bytes land
   in data; *received (may be NULL) is the count.
   REPORTS SUCCESS WHATEVER THE CAMERA ANSWERED: check *usb_status. */
TVS_API tvs_status tvs_vendor_read(tvs_camera *camera, uint8_t request, uint16_t value,
                                   uint16_t index, void *data, uint16_t length, uint16_t *received,
                                   int32_t *usb_status);
/* Vendor request, host to device. The driver sends at most one data byte
   (length 0 or 1; anything longer is TVS_ERROR_INVALID_ARGUMENT: use
   tvs_control_transfer). REPORTS SUCCESS WHATEVER THE CAMERA ANSWERED:
   check *usb_status. */
TVS_API tvs_status tvs_vendor_write(tvs_camera *camera, uint8_t request, uint16_t value,
                                    uint16_t index, const void *data, uint16_t length,
                                    int32_t *usb_status);

enum { TVS_REQUEST_CLASS = 1,
       TVS_REQUEST_VENDOR = 2 };
enum {
    TVS_RECIPIENT_DEVICE = 0,
    TVS_RECIPIENT_INTERFACE = 1,
    TVS_RECIPIENT_ENDPOINT = 2,
    TVS_RECIPIENT_OTHER = 3
};

/* A class or vendor request to any recipient with a data stage of `length`
   bytes, read into data when device_to_host is non-zero, else sent from it.
   Its status is the request's own. */
TVS_API tvs_status tvs_control_transfer(tvs_camera *camera, int device_to_host, uint8_t type,
                                        uint8_t recipient, uint8_t request, uint16_t value,
                                        uint16_t index, void *data, uint32_t length,
                                        uint32_t *transferred);

/* SET_FEATURE to the device. ALWAYS RETURNS TVS_ERROR_USB: the driver
   reports failure whatever the camera answered. *usb_status (may be NULL)
   is the last USB status afterwards, the only sign of the outcome. */
TVS_API tvs_status tvs_set_feature(tvs_camera *camera, uint16_t selector, uint16_t index,
                                   int32_t *usb_status);

/* Writes `length` bytes into the camera's 64 KiB memory at `address`
   (vendor request 0xA0, 64 bytes a request), with `verify` non-zero reads
   them back. The driver's own memory-load code reports success whatever
   the camera answered, so this call sends the same requests as class or
   vendor requests (tvs_control_transfer), whose status is their own: a
   load the camera refuses gives TVS_ERROR_USB (or TVS_ERROR_DEVICE_GONE,
   TVS_ERROR_TIMEOUT ...), whatever the last USB status held before, and
   stops at the refused request (earlier ones stay written). *usb_status
   (may be NULL) receives the last USB status afterwards: the refusal's on
   failure; on success it may still hold an earlier failure. */
TVS_API tvs_status tvs_load_memory(tvs_camera *camera, uint16_t address, const void *data,
                                   uint32_t length, int verify, int32_t *usb_status);
/* The same for an Intel HEX text (`length` bytes, need not end in NUL):
   each run of bytes is loaded at its address. TVS_ERROR_BAD_IMAGE for a
   malformed text or one beyond the 64 KiB. */
TVS_API tvs_status tvs_load_hex(tvs_camera *camera, const char *text, size_t length, int verify,
                                int32_t *usb_status);

/* ---- Interface, pipes and port ------------------------------------------- */

/* Selects an alternate setting of an interface; pipe numbers then refer to
   the new setting's pipes. THE DRIVER REPORTS SUCCESS WHATEVER THE CAMERA
   ANSWERED (even for a setting the camera does not have, which sends
   nothing and leaves no USB status): this call reads the selected setting
   back and returns TVS_ERROR_REFUSED when it is not the one asked for, or
   TVS_ERROR_NO_BANDWIDTH when the camera has that setting and the last USB
   status reads USBD_STATUS_NO_BANDWIDTH (the controller's periodic bandwidth
   is held by other devices). *usb_status (may be NULL) is the last USB
   status afterwards. */
TVS_API tvs_status tvs_select_setting(tvs_camera *camera, uint8_t interface_number,
                                      uint8_t alternate_setting, int32_t *usb_status);
/* Clears a halted pipe. Its status is the request's own. */
TVS_API tvs_status tvs_reset_pipe(tvs_camera *camera, uint32_t pipe);
/* Cancels every transfer in flight on a pipe. REPORTS SUCCESS WHATEVER
   THE ABORT DID: check *usb_status. */
TVS_API tvs_status tvs_abort_pipe(tvs_camera *camera, uint32_t pipe, int32_t *usb_status);
/* Resets the camera's USB port. REPORTS SUCCESS WHATEVER HAPPENED: check
 *usb_status. */
TVS_API tvs_status tvs_reset_port(tvs_camera *camera, int32_t *usb_status);

/* ---- Emulation (Linux only) --------------------------------------------- */

typedef struct tvs_emulation_state {
    uint32_t running;      /* 1 while an emulated machine runs */
    uint32_t open_cameras; /* handles open */
    uint64_t violations;   /* driver faults the emulation's verifier recorded
                              (leaks included) in every machine shut down so
                              far in this process */
} tvs_emulation_state;

TVS_API tvs_status tvs_emulation_get_state(tvs_emulation_state *state);
/* Pulls the camera out of the emulated bus, as a user pulls the cable:
   requests in flight fail, later ones get TVS_ERROR_DEVICE_GONE. The
   handle stays to be closed. */
TVS_API tvs_status tvs_emulation_unplug(tvs_camera *camera);
/* Makes the next `count` requests that reach `endpoint` of the camera (0:
   the control pipe, which carries vendor requests, memory loads and
   selections; 0x82: the frame pipe) fail on the emulated bus with
   `usb_status` (a negative USBD_STATUS), so that a program can see how it
   handles a camera that refuses. */
TVS_API tvs_status tvs_emulation_fail_next(tvs_camera *camera, uint8_t endpoint, uint32_t count,
                                           int32_t usb_status);
/* Waits `milliseconds` of the emulated machine's time: under virtual time
   the way for a thread that has called the library to let the camera's
   time move on (a sleep or a join outside the library would hold it still,
   see "Virtual time"); on the wall clock a plain sleep. Since 1.1. */
TVS_API tvs_status tvs_emulation_wait(uint32_t milliseconds);

/* ---- Several cameras ----------------------------------------------------- */

enum { TVS_CAMERA_READY = 1,       /* opens: started, serving requests */
       TVS_CAMERA_NOT_STARTED = 2, /* its device exists, not started yet (opens are refused) */
       TVS_CAMERA_REMOVING = 3 };  /* unplugged, its removal waits for handles to close;
                                      its requests fail (TVS_ERROR_DEVICE_GONE) */

typedef struct tvs_camera_entry {
    uint32_t index;     /* the number tvs_open takes */
    uint32_t state;     /* TVS_CAMERA_* */
    uint16_t vendor_id; /* 0 unless TVS_CAMERA_READY */
    uint16_t product_id;
    uint32_t reserved;
    char serial_number[128]; /* UTF-8; "" unless ready, or when the camera has none */
} tvs_camera_entry;

/* Lists the cameras present, in the order of their numbers: fills at most
   `capacity` entries (entries may be NULL when capacity is 0) and sets
   *count to how many there are, which may be more than capacity. Each
   camera is opened for a moment (a handle of the program's own stays as
   it is). On Linux the first open starts the emulated machine, which plugs
   $TAVRINOSCOPE_CAMERAS cameras (default 1), each on a USB bus of its own
   (all on one bus with $TAVRINOSCOPE_CAMERAS_ON_ONE_BUS=1).
   The driver's transfer time-out (tvs_set_timeout) is one value for every
   camera; the periodic bandwidth of a USB controller is shared by the
   cameras on it (a second full-rate stream on one controller is refused,
   tvs_select_setting returns TVS_ERROR_NO_BANDWIDTH). */
TVS_API tvs_status tvs_list_cameras(tvs_camera_entry *entries, uint32_t capacity, uint32_t *count);

#ifdef __cplusplus
}
#endif

#endif /* TAVRINOSCOPE_H */
