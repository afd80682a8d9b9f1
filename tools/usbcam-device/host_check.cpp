// usbcam-hostcheck: the camera seen through a real USB stack from user space
// (libusb), for make vm-check's guest: a frame over bulk with its test
// pattern checked, an isochronous stream with every packet accounted for, and
// what a read or a stream does when the camera is unplugged under it.
//
//   usbcam-hostcheck [--device VID:PID] frame
//   usbcam-hostcheck [--device VID:PID] stream [--alt 3] [--endpoint 0x86] [--seconds 10]
//                    [--packets-per-transfer 32] [--transfers 8] [--expect-unplug]
//   usbcam-hostcheck [--device VID:PID] read-until-unplug
//
// Prints one JSON object with its counts; exit status 0 when the check held.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <libusb.h>

#include "sim/usbbus.h"

namespace {

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct StreamState {
    sim::usb::ReferenceIsoCounter Counter;
    uint64_t Packets = 0, Empty = 0, Failed = 0, Bytes = 0, Transfers = 0;
    int InFlight = 0;
    bool Stop = false, Gone = false;
    int LastError = 0;
};

void LIBUSB_CALL IsoDone(libusb_transfer *t) {
    StreamState *s = static_cast<StreamState *>(t->user_data);
    --s->InFlight;
    if (t->status == LIBUSB_TRANSFER_NO_DEVICE) s->Gone = true;
    if (t->status == LIBUSB_TRANSFER_COMPLETED) {
        ++s->Transfers;
        for (int i = 0; i < t->num_iso_packets; ++i) {
            const libusb_iso_packet_descriptor &d = t->iso_packet_desc[i];
            ++s->Packets;
            if (d.status != LIBUSB_TRANSFER_COMPLETED) {
                ++s->Failed;
                continue;
            }
            if (d.actual_length == 0) ++s->Empty;
            s->Bytes += d.actual_length;
            s->Counter.Add(libusb_get_iso_packet_buffer_simple(t, (unsigned)i), d.actual_length);
        }
    } else {
        s->LastError = t->status;
    }
    if (s->Stop || s->Gone || t->status != LIBUSB_TRANSFER_COMPLETED) return;
    if (libusb_submit_transfer(t) == 0) ++s->InFlight;
}

int BulkCommand(libusb_device_handle *h, uint8_t code) {
    unsigned char c[64] = {0};
    c[0] = code;
    int done = 0;
    return libusb_bulk_transfer(h, 0x01, c, sizeof c, &done, 2000);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"usbcam-hostcheck: the camera through a real USB stack (libusb)"};
    std::string id = "1209:0001";
    int alt = 3, seconds = 10, perTransfer = 32, transfers = 8;
    unsigned endpoint = 0x86;
    bool expectUnplug = false;
    app.add_option("--device", id, "VID:PID (hex)");
    app.require_subcommand(1);
    app.add_subcommand("frame", "capture one frame over bulk and check the test pattern");
    CLI::App *stream = app.add_subcommand("stream", "stream isochronous IN and account for every packet");
    stream->add_option("--alt", alt);
    stream->add_option("--endpoint", endpoint);
    stream->add_option("--seconds", seconds);
    stream->add_option("--packets-per-transfer", perTransfer);
    stream->add_option("--transfers", transfers);
    stream->add_flag("--expect-unplug", expectUnplug, "the camera goes away mid-stream: pass when every transfer ends");
    app.add_subcommand("read-until-unplug", "read frames over bulk until the camera goes away");
    CLI11_PARSE(app, argc, argv);

    unsigned vid = 0, pid = 0;
    if (sscanf(id.c_str(), "%x:%x", &vid, &pid) != 2) return 2;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 1;
    libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx, (uint16_t)vid, (uint16_t)pid);
    if (h == nullptr) {
        printf("{\"error\":\"no device %s\"}\n", id.c_str());
        return 1;
    }
    libusb_set_auto_detach_kernel_driver(h, 1);
    int r = libusb_claim_interface(h, 0);
    if (r != 0) {
        printf("{\"error\":\"claim: %s\"}\n", libusb_error_name(r));
        return 1;
    }
    int rc = 0;
    const std::string what = app.get_subcommands()[0]->get_name();
    if (what == "frame") {
        libusb_set_interface_alt_setting(h, 0, 0);
        const uint32_t w = 640, hgt = 480, size = w * hgt;
        std::vector<uint8_t> frame(size + 512);
        int got = 0;
        const double t0 = Now();
        int a = BulkCommand(h, 2), b = BulkCommand(h, 3);
        r = libusb_bulk_transfer(h, 0x82, frame.data(), (int)size, &got, 5000);
        const double t1 = Now();
        frame.resize((size_t)got);
        const std::vector<uint8_t> want = sim::usb::ReferenceFrame(0, w, hgt);
        const bool ok = a == 0 && b == 0 && r == 0 && frame == want;
        printf("{\"check\":\"frame\",\"status\":\"%s\",\"bytes\":%d,\"pattern\":%s,\"seconds\":%.3f}\n",
               libusb_error_name(r), got, frame == want ? "true" : "false", t1 - t0);
        rc = ok ? 0 : 1;
    } else if (what == "stream") {
        r = libusb_set_interface_alt_setting(h, 0, alt);
        if (r != 0) {
            printf("{\"error\":\"alternate setting %d: %s\"}\n", alt, libusb_error_name(r));
            return 1;
        }
        const int packetSize = libusb_get_max_iso_packet_size(libusb_get_device(h), (unsigned char)endpoint);
        StreamState s;
        std::vector<libusb_transfer *> list;
        std::vector<std::vector<uint8_t>> buffers((size_t)transfers);
        for (int i = 0; i < transfers; ++i) {
            libusb_transfer *t = libusb_alloc_transfer(perTransfer);
            buffers[(size_t)i].resize((size_t)packetSize * (size_t)perTransfer);
            libusb_fill_iso_transfer(t, h, (unsigned char)endpoint, buffers[(size_t)i].data(),
                                     (int)buffers[(size_t)i].size(), perTransfer, IsoDone, &s, 2000);
            libusb_set_iso_packet_lengths(t, (unsigned)packetSize);
            if (libusb_submit_transfer(t) == 0) ++s.InFlight;
            list.push_back(t);
        }
        const double t0 = Now();
        // Bounded: the stream's time plus 10 s for the last transfers to end.
        while (s.InFlight > 0 && Now() - t0 < seconds + 10.0) {
            if (Now() - t0 >= seconds && !s.Stop) {
                s.Stop = true;
                for (libusb_transfer *t : list) libusb_cancel_transfer(t);
            }
            timeval tv{0, 100000};
            libusb_handle_events_timeout(ctx, &tv);
        }
        const double elapsed = Now() - t0;
        const bool ended = s.InFlight == 0;
        const uint64_t good = s.Counter.Good();
        printf(
            "{\"check\":\"stream\",\"packet_size\":%d,\"seconds\":%.2f,\"transfers\":%llu,\"packets\":%llu,"
            "\"good\":%llu,\"empty\":%llu,\"failed\":%llu,\"bad\":%llu,\"lost\":%llu,\"bytes\":%llu,"
            "\"mb_per_s\":%.2f,\"device_gone\":%s,\"all_transfers_ended\":%s,\"last_error\":\"%s\"}\n",
            packetSize, elapsed, (unsigned long long)s.Transfers, (unsigned long long)s.Packets,
            (unsigned long long)good, (unsigned long long)s.Empty, (unsigned long long)s.Failed,
            (unsigned long long)s.Counter.Bad(), (unsigned long long)s.Counter.Lost(),
            (unsigned long long)s.Bytes, s.Bytes / elapsed / 1e6, s.Gone ? "true" : "false",
            ended ? "true" : "false", libusb_error_name(s.LastError));
        // The pattern must check in every packet that carries data; the
        // stream must end; an expected unplug must have been seen.
        rc = (ended && s.Counter.Bad() == 0 && good > 0 && s.Gone == expectUnplug) ? 0 : 1;
        if (!ended) return rc;  // transfers still owned by libusb: leave them
        for (libusb_transfer *t : list) libusb_free_transfer(t);
    } else {
        // Frames read back to back until the device goes: every read must end.
        std::vector<uint8_t> frame(640 * 480);
        int frames = 0, last = 0;
        const double t0 = Now();
        while (Now() - t0 < 60) {
            int got = 0;
            if ((last = BulkCommand(h, 2)) != 0 || (last = BulkCommand(h, 3)) != 0) break;
            last = libusb_bulk_transfer(h, 0x82, frame.data(), (int)frame.size(), &got, 5000);
            if (last != 0) break;
            ++frames;
        }
        printf("{\"check\":\"read-until-unplug\",\"frames\":%d,\"ended_with\":\"%s\",\"seconds\":%.2f}\n", frames,
               libusb_error_name(last), Now() - t0);
        rc = last == LIBUSB_ERROR_NO_DEVICE || last == LIBUSB_ERROR_IO || last == LIBUSB_ERROR_PIPE ? 0 : 1;
    }
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
    return rc;
}
