#include "fake_libusb.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

struct libusb_context {
    int Unused;
};
struct libusb_device {
    int Unused;
};
struct libusb_device_handle {
    int Unused;
};

namespace fakeusb {
namespace {

struct State {
    std::mutex Mutex;
    std::condition_variable Changed;
    sim::usb::DeviceProfile Profile;
    std::vector<libusb_transfer *> Submitted;  // in flight, in submission order
    std::vector<libusb_transfer *> HandedOut;  // given to the test by WaitSubmitted
    std::deque<libusb_transfer *> Finished;    // callbacks not yet run
    int CancelledLength = 0;
    int Cancels = 0;
    libusb_context Context{};
    libusb_device Device{};
    libusb_device_handle Handle{};
};

State &S() {
    static State *state = new State;
    return *state;
}

// Copies descriptor `type`/`index` of the profile into data; the count, or
// LIBUSB_ERROR_PIPE for one the device lacks (a stall).
int Descriptor(uint8_t type, uint8_t index, uint8_t *data, int length) {
    const sim::usb::DeviceProfile &p = S().Profile;
    const std::vector<uint8_t> *bytes = nullptr;
    if (type == LIBUSB_DT_DEVICE) bytes = &p.DeviceDescriptor;
    if (type == LIBUSB_DT_CONFIG && index < p.Configurations.size()) bytes = &p.Configurations[index].Descriptor;
    if (bytes == nullptr) return LIBUSB_ERROR_PIPE;
    const int n = std::min<int>(length, (int)bytes->size());
    memcpy(data, bytes->data(), (size_t)n);
    return n;
}

bool IsGetDescriptor(const uint8_t *setup) { return setup[0] == 0x80 && setup[1] == LIBUSB_REQUEST_GET_DESCRIPTOR; }

// Caller holds the mutex.
void FinishLocked(libusb_transfer *t) {
    State &s = S();
    s.Submitted.erase(std::remove(s.Submitted.begin(), s.Submitted.end(), t), s.Submitted.end());
    s.HandedOut.erase(std::remove(s.HandedOut.begin(), s.HandedOut.end(), t), s.HandedOut.end());
    s.Finished.push_back(t);
    s.Changed.notify_all();
}

}  // namespace

void Reset(const sim::usb::DeviceProfile &profile) {
    State &s = S();
    std::lock_guard<std::mutex> g(s.Mutex);
    s.Profile = profile;
    s.Submitted.clear();
    s.HandedOut.clear();
    s.Finished.clear();
    s.CancelledLength = 0;
    s.Cancels = 0;
}

libusb_transfer *WaitSubmitted(uint8_t endpoint, int ms) {
    State &s = S();
    std::unique_lock<std::mutex> g(s.Mutex);
    libusb_transfer *found = nullptr;
    s.Changed.wait_for(g, std::chrono::milliseconds(ms), [&] {
        for (libusb_transfer *t : s.Submitted) {
            if (t->endpoint == endpoint &&
                std::find(s.HandedOut.begin(), s.HandedOut.end(), t) == s.HandedOut.end()) {
                found = t;
                return true;
            }
        }
        return false;
    });
    if (found != nullptr) s.HandedOut.push_back(found);
    return found;
}

void Complete(libusb_transfer *t, libusb_transfer_status status, const std::vector<uint8_t> &data) {
    State &s = S();
    std::lock_guard<std::mutex> g(s.Mutex);
    const bool control = t->type == LIBUSB_TRANSFER_TYPE_CONTROL;
    uint8_t *at = t->buffer + (control ? LIBUSB_CONTROL_SETUP_SIZE : 0);
    const bool in = control ? (t->buffer[0] & 0x80) != 0 : (t->endpoint & 0x80) != 0;
    if (in && !data.empty()) memcpy(at, data.data(), data.size());
    t->status = status;
    t->actual_length = (int)data.size();
    FinishLocked(t);
}

void CompleteIso(libusb_transfer *t, libusb_transfer_status status,
                 const std::vector<std::pair<libusb_transfer_status, int>> &packets) {
    State &s = S();
    std::lock_guard<std::mutex> g(s.Mutex);
    int offset = 0;
    for (int i = 0; i < t->num_iso_packets; ++i) {
        libusb_iso_packet_descriptor &d = t->iso_packet_desc[i];
        d.status = (size_t)i < packets.size() ? packets[(size_t)i].first : LIBUSB_TRANSFER_ERROR;
        d.actual_length = (size_t)i < packets.size() ? (unsigned)packets[(size_t)i].second : 0;
        if ((t->endpoint & 0x80) != 0) memset(t->buffer + offset, i, d.actual_length);
        offset += (int)d.length;
    }
    t->status = status;
    t->actual_length = 0;  // not kept for isochronous transfers
    FinishLocked(t);
}

void SetCancelledLength(int bytes) {
    std::lock_guard<std::mutex> g(S().Mutex);
    S().CancelledLength = bytes;
}

int CancelCalls() {
    std::lock_guard<std::mutex> g(S().Mutex);
    return S().Cancels;
}

}  // namespace fakeusb

using fakeusb::S;

// ---- The library's functions the bus calls ---------------------------------

int LIBUSB_CALL libusb_init(libusb_context **ctx) {
    *ctx = &S().Context;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context *) {}

const char *LIBUSB_CALL libusb_error_name(int) { return "LIBUSB_ERROR_FAKE"; }

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list) {
    *list = new libusb_device *[2] { &S().Device, nullptr };
    return 1;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int) { delete[] list; }

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *, struct libusb_device_descriptor *d) {
    const std::vector<uint8_t> &b = S().Profile.DeviceDescriptor;
    if (b.size() < 18) return LIBUSB_ERROR_IO;
    d->bLength = b[0];
    d->bDescriptorType = b[1];
    d->bcdUSB = (uint16_t)(b[2] | b[3] << 8);
    d->bDeviceClass = b[4];
    d->bDeviceSubClass = b[5];
    d->bDeviceProtocol = b[6];
    d->bMaxPacketSize0 = b[7];
    d->idVendor = (uint16_t)(b[8] | b[9] << 8);
    d->idProduct = (uint16_t)(b[10] | b[11] << 8);
    d->bcdDevice = (uint16_t)(b[12] | b[13] << 8);
    d->iManufacturer = b[14];
    d->iProduct = b[15];
    d->iSerialNumber = b[16];
    d->bNumConfigurations = b[17];
    return 0;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *) { return 1; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *) { return 2; }
int LIBUSB_CALL libusb_get_device_speed(libusb_device *) { return LIBUSB_SPEED_HIGH; }

int LIBUSB_CALL libusb_open(libusb_device *, libusb_device_handle **handle) {
    *handle = &S().Handle;
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *) {}
libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *) { return &S().Device; }

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *, int *config) {
    *config = S().Profile.Configurations.empty() ? 0 : S().Profile.First().Value;
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_release_interface(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle *, int, int) { return 0; }
int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *, unsigned char) { return 0; }
int LIBUSB_CALL libusb_reset_device(libusb_device_handle *) { return 0; }
int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int) { return 0; }
int LIBUSB_CALL libusb_has_capability(uint32_t) { return 0; }

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context *, int, int, int, int, int,
                                                 libusb_hotplug_callback_fn, void *,
                                                 libusb_hotplug_callback_handle *) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context *, libusb_hotplug_callback_handle) {}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *, uint8_t requestType, uint8_t request,
                                        uint16_t value, uint16_t, unsigned char *data, uint16_t length,
                                        unsigned int) {
    if (requestType != 0x80 || request != LIBUSB_REQUEST_GET_DESCRIPTOR) return LIBUSB_ERROR_PIPE;
    std::lock_guard<std::mutex> g(S().Mutex);
    return fakeusb::Descriptor((uint8_t)(value >> 8), (uint8_t)value, data, length);
}

struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
    const size_t size = sizeof(libusb_transfer) + (size_t)isoPackets * sizeof(libusb_iso_packet_descriptor);
    return static_cast<libusb_transfer *>(calloc(1, size));
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *t) {
    if (t == nullptr) return;
    if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) != 0) free(t->buffer);
    free(t);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *t) {
    fakeusb::State &s = S();
    std::lock_guard<std::mutex> g(s.Mutex);
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL && fakeusb::IsGetDescriptor(t->buffer)) {
        const uint16_t value = (uint16_t)(t->buffer[2] | t->buffer[3] << 8);
        const uint16_t length = (uint16_t)(t->buffer[6] | t->buffer[7] << 8);
        const int n = fakeusb::Descriptor((uint8_t)(value >> 8), (uint8_t)value,
                                          t->buffer + LIBUSB_CONTROL_SETUP_SIZE, length);
        t->status = n < 0 ? LIBUSB_TRANSFER_STALL : LIBUSB_TRANSFER_COMPLETED;
        t->actual_length = n < 0 ? 0 : n;
        s.Finished.push_back(t);
        s.Changed.notify_all();
        return 0;
    }
    s.Submitted.push_back(t);
    s.Changed.notify_all();
    return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *t) {
    fakeusb::State &s = S();
    std::lock_guard<std::mutex> g(s.Mutex);
    ++s.Cancels;
    if (std::find(s.Submitted.begin(), s.Submitted.end(), t) == s.Submitted.end()) return LIBUSB_ERROR_NOT_FOUND;
    t->status = LIBUSB_TRANSFER_CANCELLED;
    t->actual_length = s.CancelledLength;
    for (int i = 0; i < t->num_iso_packets; ++i) {
        t->iso_packet_desc[i].status = LIBUSB_TRANSFER_CANCELLED;
        t->iso_packet_desc[i].actual_length = 0;
    }
    fakeusb::FinishLocked(t);
    return 0;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *, struct timeval *tv, int *) {
    fakeusb::State &s = S();
    std::deque<libusb_transfer *> ready;
    {
        std::unique_lock<std::mutex> g(s.Mutex);
        const auto wait = std::chrono::microseconds(tv != nullptr ? tv->tv_sec * 1000000 + tv->tv_usec : 0);
        s.Changed.wait_for(g, wait, [&] { return !s.Finished.empty(); });
        ready.swap(s.Finished);
    }
    // As the library does: callbacks run on the thread handling events,
    // without the library's locks.
    for (libusb_transfer *t : ready) t->callback(t);
    return 0;
}
