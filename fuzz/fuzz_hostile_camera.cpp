// Fuzz target: the driver against a hostile camera whose descriptors and
// answers come from the fuzzer, from plug to removal.
//
// Each input boots a fresh kernel, starts the bus, loads the driver and plugs
// a camera built from the input (fuzz/hostile_device.h), with a device script
// that bends every answer the camera gives from then on: AddDevice and start
// see its descriptors (bLength 0, wTotalLength larger or smaller than what is
// sent, bNumEndpoints without the endpoints, mistyped endpoints, short and
// padded answers, stalls). If the camera starts, a client opens it and sends
// the input's requests (descriptor reads, selections, bulk reads and writes,
// isochronous reads and writes, stream start, read and stop, pipe resets and
// aborts, port reset, vendor and class requests), mixed with halts, bulk and
// interrupt endpoints that NAK for ever, failed requests, an unplug now or after a number of the camera's answers (in the
// middle of a request), and a stop and restart. The input ends with an
// orderly removal, a surprise removal or an unplug with the device reported
// gone, then the bus stops and the driver unloads.
//
// Input:
//   profile bytes    ProfileFromBytes (1 + settings x (1 + 2 x endpoints))
//   byte             step count (low 4 bits) and ending (bits 4-5)
//   4 x steps        operation, a, b, c (no step starts after
//                    kStepBudgetMicros of bus time since the first)
//   the rest         the device script
//
// Checks: no request left pending and no more bytes reported than the output
// holds; after removal no device object of the driver and none of its pool
// left; no verifier report at any time (leaks at unload and shutdown, double
// completions, requests never completed: the hang guard is shortened to
// kHangGuardMs). Any fault calls abort() so that libFuzzer reports it.
// With FUZZ_VERBOSE set in the environment the target prints the start's
// status and wire log and each request's status (to read an input).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "hostile_device.h"
#include "fuzz_support.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace {

constexpr uint32_t kHangGuardMs = 5000;
constexpr int32_t kTransferTimeoutMs = 5;
constexpr size_t kPoolLimit = 16u << 20;
// Bus time after which an input's remaining steps are skipped (the ending
// still runs). A camera whose pipe 0 never answers makes every transfer
// command wait the driver's 5 s control time-out, 5 000 frame passes of CPU;
// an input of such steps ran for up to 120 s of bus time, and the 5 % of
// inputs above 4 s took 97 % of the passes. The first such wait still runs
// to its end and its time-out paths are reached; the repeats add nothing.
constexpr uint64_t kStepBudgetMicros = 2000000;
constexpr ULONG kClientOutputBytes = 256u << 10;

[[noreturn]] void Fail(const char *what, ULONG code = 0) {
    fprintf(stderr, "fuzz_hostile_camera: %s (code 0x%lX)\n", what, (unsigned long)code);
    fuzzsupport::PrintViolations(sim::VerifierTakeViolations());
    abort();
}

void CheckVerifier(const char *when) {
    auto violations = sim::VerifierTakeViolations();
    if (violations.empty()) return;
    fuzzsupport::PrintViolations(violations);
    fprintf(stderr, "fuzz_hostile_camera: verifier report %s\n", when);
    abort();
}

struct Run {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    int Port = 0;
    sim::ClientHandle Handle = 0;
    bool Open = false;
    bool Unplugged = false;
    bool Removed = false;
    std::vector<uint8_t> Endpoints;    // addresses of the camera's endpoints
    std::vector<uint8_t> Isochronous;  // those isochronous in some setting
    uint8_t *Output = nullptr;         // kClientOutputBytes of client pages
};

sim::IoResult Send(Run &run, ULONG code, const void *input, ULONG inputLength, ULONG outputLength) {
    // The output in the client's own pages when it fits, as a client reuses
    // its buffers: a direct request then locks it where it lies instead of
    // copying it into pages made for the request and back (a memory file,
    // two mappings and their page faults per request).
    std::vector<uint8_t> copied;
    uint8_t *output = run.Output;
    if (outputLength > kClientOutputBytes) {
        copied.resize(outputLength);
        output = copied.data();
    }
    if (outputLength != 0) memset(output, 0xA5, outputLength);
    sim::IoResult r = sim::ClientDeviceIoControl(run.Handle, code, input, inputLength,
                                                 outputLength != 0 ? output : nullptr, outputLength);
    if (getenv("FUZZ_VERBOSE") != nullptr)
        fprintf(stderr, "  0x%lX -> 0x%lX, %lu bytes (at %llu us)\n", (unsigned long)code,
                (unsigned long)r.Status, (unsigned long)r.Information,
                (unsigned long long)sim::KernelTimeMicros());
    if (r.Status == STATUS_PENDING) Fail("request left pending", code);
    if (r.Information > outputLength) Fail("more bytes reported than the output holds", code);
    return r;
}

const USBD_STATUS kFailures[6] = {USBD_STATUS_STALL_PID, USBD_STATUS_DEV_NOT_RESPONDING,
                                  USBD_STATUS_BABBLE_DETECTED, USBD_STATUS_DATA_OVERRUN,
                                  USBD_STATUS_CRC, USBD_STATUS_BUFFER_OVERRUN};
const uint32_t kIsoPacketSizes[4] = {1024, 512, 3072, 13};

// One request or event of the input.
void Step(Run &run, fuzzcam::HostileScript &script, const uint8_t s[4]) {
    const uint8_t a = s[1], b = s[2], c = s[3];
    const uint8_t endpoint = run.Endpoints.empty() || (a & 0x80) == 0
                                 ? 0
                                 : run.Endpoints[a % run.Endpoints.size()];
    PipeIndexRecord pipe = {(uint32_t)(a % 6)};
    if (getenv("FUZZ_VERBOSE") != nullptr)
        fprintf(stderr, " step %d %02X %02X %02X (endpoint %02X)\n", s[0] % 22, a, b, c, endpoint);
    switch (s[0] % 22) {
        case 0: Send(run, IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, a); break;
        case 1:
            Send(run, IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, (ULONG)(a | ((b & 3) << 8)));
            break;
        case 2: {
            StringDescriptorRequest request = {a, 0, (uint16_t)(b & 1 ? 0x0409 : b | (c << 8))};
            Send(run, IOCTL_USBCAM_GET_STRING_DESCRIPTOR, &request, sizeof(request),
                 4 + (ULONG)c);
            break;
        }
        case 3: {
            InterfaceSelection selection = {(uint8_t)(b & 0x10 ? b & 1 : 0), (uint8_t)(a & 3)};
            Send(run, IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), 0);
            break;
        }
        case 4: Send(run, IOCTL_USBCAM_READ_PIPE, &pipe, sizeof(pipe), (ULONG)b * 8); break;
        case 5: Send(run, IOCTL_USBCAM_WRITE_PIPE, &pipe, sizeof(pipe), (ULONG)b * 8); break;
        case 6:
            Send(run, c & 1 ? IOCTL_USBCAM_WRITE_PIPE_LARGE : IOCTL_USBCAM_READ_PIPE_LARGE, &pipe,
                 sizeof(pipe), (ULONG)b * 512 + c);
            break;
        case 7:
        case 8: {
            const uint32_t perRequest = 8u << (c & 1);
            const uint32_t slots = 1 + ((c >> 1) & 1);
            IsoReadRecord record = {pipe.PipeIndex, kIsoPacketSizes[b & 3] >> ((b >> 2) & 3),
                                    perRequest * slots * (1 + ((c >> 2) & 1)), perRequest, slots};
            const ULONG output = record.TotalPackets * (record.PacketSize + 12);
            Send(run, s[0] % 22 == 7 ? IOCTL_USBCAM_ISO_READ : IOCTL_USBCAM_ISO_WRITE, &record,
                 sizeof(record), output);
            break;
        }
        case 9: {
            StreamStartRecord record = {pipe.PipeIndex, kIsoPacketSizes[b & 3] >> ((b >> 2) & 3),
                                        16u << (c & 3), 8u << ((c >> 2) & 1), 1u + ((c >> 3) & 1u)};
            Send(run, IOCTL_USBCAM_START_STREAM, &record, sizeof(record), 0);
            break;
        }
        case 10: {
            StreamReadRecord record = {0, kIsoPacketSizes[b & 3] >> ((b >> 2) & 3), 1u + (c & 15u),
                                       0, 0};
            Send(run, IOCTL_USBCAM_READ_STREAM, &record, sizeof(record),
                 record.PacketCount * (record.PacketSize + 12));
            break;
        }
        case 11: Send(run, IOCTL_USBCAM_STOP_STREAM, nullptr, 0, 0); break;
        case 12:
            Send(run, b & 1 ? IOCTL_USBCAM_ABORT_PIPE : IOCTL_USBCAM_RESET_PIPE, &pipe,
                 sizeof(pipe), 0);
            break;
        case 13: Send(run, IOCTL_USBCAM_RESET_PORT, nullptr, 0, 0); break;
        case 14: {
            VendorRequestRecord record = {a, 0, (uint16_t)(b << 4), c, (uint16_t)(b & 63),
                                          (uint8_t)(c & 1), 0x5A};
            Send(run, IOCTL_USBCAM_VENDOR_REQUEST, &record, sizeof(record), 10 + (b & 63));
            break;
        }
        case 15:
            if (run.Unplugged) break;
            if ((b & 2) == 0) {
                sim::usb::SetStall(run.Port, endpoint, (b & 1) != 0);
            } else if (endpoint != 0 && std::find(run.Isochronous.begin(), run.Isochronous.end(),
                                                  endpoint) == run.Isochronous.end()) {
                // A bulk or interrupt endpoint that NAKs for ever (or again
                // answers). Not the control pipe, whose requests the driver
                // waits for without limit by design, nor an isochronous one,
                // which the bus serves on its schedule whatever the device does.
                sim::usb::SetNeverAnswer(run.Port, endpoint, (b & 1) != 0);
            }
            break;
        case 16:
            if (!run.Unplugged)
                sim::usb::FailNext(run.Port, endpoint, 1 + (b & 3), kFailures[c % 6]);
            break;
        case 17: script.DisconnectAfter(1 + a); break;
        case 18:
            if (!run.Unplugged) {
                sim::usb::Unplug(run.Port);
                run.Unplugged = true;
            }
            break;
        case 19:
            // Stop and start again: the camera's descriptors are read anew.
            if (sim::PnpStopDevice(run.Pdo) == STATUS_SUCCESS) sim::PnpStartDevice(run.Pdo);
            break;
        case 20: {
            ControlRequestRecord record = {(uint8_t)(a & 1), (uint8_t)(1 + ((a >> 1) & 1)),
                                           (uint8_t)((a >> 2) & 3), 0, b, 0, c, 0};
            std::vector<uint8_t> stage(c & 63, 0x3C);
            Send(run, IOCTL_USBCAM_CONTROL_REQUEST, &record, sizeof(record), (ULONG)stage.size());
            break;
        }
        default:
            Send(run, a & 1 ? IOCTL_USBCAM_GET_FRAME_NUMBER : IOCTL_USBCAM_GET_INTERFACE_INFO,
                 nullptr, 0, b);
            break;
    }
}


// The thread that unplugs the camera when the script says so. One for the
// process, serving one input at a time: a thread per input cost its creation,
// its stack's page faults and its exit, a tenth of an input's time.
class Watcher {
public:
    // Watches script for the camera at port until End.
    void Begin(std::shared_ptr<fuzzcam::HostileScript> script, int port) {
        std::unique_lock<std::mutex> hold(lock_);
        if (!started_) {
            std::thread(&Watcher::Main, this).detach();
            started_ = true;
        }
        script_ = std::move(script);
        port_ = port;
        busy_ = true;
        changed_.notify_all();
    }
    // Returns once the watcher has let go of the script (call its Finish first).
    void End() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return !busy_; });
    }

private:
    void Main() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            changed_.wait(hold, [this] { return script_ != nullptr; });
            std::shared_ptr<fuzzcam::HostileScript> script = script_;
            const int port = port_;
            hold.unlock();
            if (script->WaitForDisconnect()) {
                sim::usb::Unplug(port);
                sim::ReleaseTime();  // held by the script when it raised the flag
            }
            script.reset();
            hold.lock();
            script_.reset();
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool started_ = false;
    bool busy_ = false;
    std::shared_ptr<fuzzcam::HostileScript> script_;
    int port_ = 0;
};

// Never destroyed: its thread lives as long as the process.
Watcher &TheWatcher() {
    static Watcher *watcher = new Watcher;
    return *watcher;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    return fuzzsupport::DriverTargetDefaults(argc, argv);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sim::KernelBoot();
    fuzzsupport::StartTime();
    sim::VerifierSetHangGuardMs(kHangGuardMs);
    fuzzsupport::AbortOnViolation();
    sim::SetPoolLimit(kPoolLimit);
    if (sim::usb::BusStart() != STATUS_SUCCESS) Fail("bus did not start");
    sim::usb::SetCompletionThreads(1);

    Run run;
    run.Output = static_cast<uint8_t *>(sim::ClientAlloc(kClientOutputBytes));
    size_t at = 0;
    const std::string profile =
        fuzzcam::ProfileFromBytes(data, size, &at, &run.Endpoints, &run.Isochronous);
    const uint8_t header = at < size ? data[at++] : 0;
    const size_t steps = header & 15;
    const int ending = (header >> 4) & 3;
    const uint8_t *stepBytes = data + at;
    const size_t stepCount = std::min(steps, (size - at) / 4);
    at += stepCount * 4;
    auto script = std::make_shared<fuzzcam::HostileScript>(data + at, size - at);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    run.Driver = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
    if (run.Driver == nullptr || status != STATUS_SUCCESS) Fail("driver did not load");
    sim::usb::PlugResult plugged = sim::usb::PlugProfileJson(profile);
    if (plugged.Status != STATUS_SUCCESS) {
        fprintf(stderr, "%s\n%s\n", profile.c_str(), plugged.Error.c_str());
        Fail("profile refused");
    }
    run.Pdo = plugged.Pdo;
    run.Port = plugged.Port;
    sim::usb::SetDeviceScript(run.Port, script);

    TheWatcher().Begin(script, run.Port);

    bool attached = sim::PnpReportChild(run.Pdo, run.Driver) == STATUS_SUCCESS;
    const NTSTATUS startStatus = attached ? sim::PnpStartDevice(run.Pdo) : STATUS_UNSUCCESSFUL;
    bool started = startStatus == STATUS_SUCCESS;
    if (getenv("FUZZ_VERBOSE") != nullptr) {
        fprintf(stderr, "  attached %d start 0x%lX\n", (int)attached, (unsigned long)startStatus);
        for (const auto &r : sim::usb::WireLog())
            fprintf(stderr, "    ep %02X setup %02X %02X %04X %04X %04X -> 0x%lX, %u bytes\n", r.Endpoint,
                    r.RequestType(), r.Request(), r.Value(), r.Index(), r.SetupLength(),
                    (unsigned long)r.Status, r.ActualLength);
    }
    if (started) {
        const std::string name = std::string(USBCAM_WIN32_NAME_PREFIX) + '0';
        run.Open = sim::ClientOpen(name.c_str(), &run.Handle) == STATUS_SUCCESS;
    }
    if (run.Open) {
        TimeoutRecord timeout = {1, kTransferTimeoutMs};
        Send(run, IOCTL_USBCAM_SET_TIMEOUT, &timeout, sizeof(timeout), 0);
        const uint64_t begun = sim::KernelTimeMicros();
        for (size_t i = 0; i < stepCount; ++i) {
            if (sim::KernelTimeMicros() - begun > kStepBudgetMicros) break;
            Step(run, *script, stepBytes + 4 * i);
        }
        Send(run, IOCTL_USBCAM_STOP_STREAM, nullptr, 0, 0);
    }

    if (getenv("FUZZ_VERBOSE") != nullptr)
        for (const auto &r : sim::usb::WireLog())
            fprintf(stderr, "    ep %02X setup %02X %02X %04X -> 0x%lX, %u bytes, %llu to %llu us\n",
                    r.Endpoint, r.RequestType(), r.Request(), r.Value(), (unsigned long)r.Status,
                    r.ActualLength, (unsigned long long)r.SubmitMicros,
                    (unsigned long long)r.CompleteMicros);
    // No disconnect from the script during the ending: it is the ending's.
    script->Finish();
    TheWatcher().End();

    // The ending.
    if (attached) {
        switch (ending) {
            case 0:
                if (run.Open) sim::ClientClose(run.Handle);
                run.Open = false;
                if (sim::PnpRemoveDevice(run.Pdo) != STATUS_SUCCESS) Fail("removal failed");
                break;
            case 1:
                if (sim::usb::SurpriseRemove(run.Port) != STATUS_SUCCESS && !run.Open)
                    Fail("surprise removal failed");
                if (run.Open) {
                    // Requests on a handle left open after the device went.
                    Send(run, IOCTL_USBCAM_GET_VERSION, nullptr, 0, sizeof(VersionRecord));
                    sim::ClientClose(run.Handle);
                    run.Open = false;
                }
                break;
            default: {
                sim::usb::Unplug(run.Port);
                const NTSTATUS gone = sim::PnpDeviceGone(run.Pdo);
                if (run.Open) {
                    PipeIndexRecord pipe = {0};
                    Send(run, IOCTL_USBCAM_READ_PIPE, &pipe, sizeof(pipe), 64);
                    sim::ClientClose(run.Handle);
                    run.Open = false;
                } else if (gone != STATUS_SUCCESS) {
                    Fail("removal of a gone device failed");
                }
                break;
            }
        }
    }
    if (run.Driver->DeviceObject != nullptr && attached) Fail("a device object left after removal");
    if (fuzzsupport::DriverPoolBlocks() != 0) Fail("driver pool left after removal");
    CheckVerifier("after removal");

    sim::usb::BusStop();
    sim::UnloadDriver(run.Driver);
    CheckVerifier("at unload");
    sim::ClientFree(run.Output);
    sim::KernelShutdown();
    CheckVerifier("at shutdown");
    return 0;
}
