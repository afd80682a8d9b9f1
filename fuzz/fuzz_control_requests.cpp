// Fuzz target: the driver's device-control dispatcher, fed arbitrary request
// sequences from a client against the reference camera in the emulation.
//
// The kernel is booted, the bus started, the driver loaded and one reference
// camera plugged, started and opened once per process. Each input is a short
// sequence of requests, each encoded as:
//   byte 0      the control code: an index into the driver's 27 codes, or
//               0xFF followed by 4 bytes of any code (little-endian)
//   bytes 1-2   input length (little-endian, at most kMaxInput; cut to what
//               the input still holds)
//   bytes 3-4   output length (little-endian, at most kMaxOutput)
//   then        the input bytes
//
// Every input starts from the same device state: the transfer time-out short
// and the default interface setting selected. A time-out the input sets is
// forced into 1..kMaxTimeoutMs so that no request can wait long, and a
// stream's or block transfer's slot count folded (fuzzsupport::FoldSlotCount).
// After every
// request the I/O gate must be back at 1, but for one count per stream the
// input started, and no more bytes reported than the output holds; after
// every input the streams are stopped and must end, and the verifier must
// have recorded nothing.
// Any fault calls abort() so that libFuzzer reports the input.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "fuzz_support.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace {

constexpr size_t kMaxRequests = 16;
constexpr ULONG kMaxInput = 2048;
constexpr ULONG kMaxOutput = 8192;
constexpr int32_t kMaxTimeoutMs = 100;
constexpr size_t kPoolLimit = 4u << 20;

const ULONG kCodes[USBCAM_CONTROL_CODE_COUNT] = {
    IOCTL_USBCAM_GET_INTERFACE_INFO,
    IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR,
    IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR,
    IOCTL_USBCAM_VENDOR_REQUEST,
    IOCTL_USBCAM_NOP,
    IOCTL_USBCAM_LOAD_MEMORY_BLOCKS,
    IOCTL_USBCAM_RESET_PORT,
    IOCTL_USBCAM_RESET_PIPE,
    IOCTL_USBCAM_ABORT_PIPE,
    IOCTL_USBCAM_SELECT_INTERFACE,
    IOCTL_USBCAM_GET_STRING_DESCRIPTOR,
    IOCTL_USBCAM_READ_PIPE,
    IOCTL_USBCAM_WRITE_PIPE,
    IOCTL_USBCAM_GET_FRAME_NUMBER,
    IOCTL_USBCAM_CONTROL_REQUEST,
    IOCTL_USBCAM_GET_LAST_STATUS,
    IOCTL_USBCAM_ISO_READ,
    IOCTL_USBCAM_ISO_WRITE,
    IOCTL_USBCAM_LOAD_MEMORY,
    IOCTL_USBCAM_GET_VERSION,
    IOCTL_USBCAM_START_STREAM,
    IOCTL_USBCAM_STOP_STREAM,
    IOCTL_USBCAM_READ_STREAM,
    IOCTL_USBCAM_SET_FEATURE,
    IOCTL_USBCAM_SET_TIMEOUT,
    IOCTL_USBCAM_READ_PIPE_LARGE,
    IOCTL_USBCAM_WRITE_PIPE_LARGE,
};

struct Rig {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    sim::ClientHandle Handle = 0;
};

Rig g_rig;

[[noreturn]] void Fail(const char *what, ULONG code = 0) { fuzzsupport::Fail("fuzz_control_requests", what, code); }

}  // namespace

// Closes the handle, removes the camera and shuts the kernel down, reporting
// what the verifier saw on the way (leaks among them). The corpus replay calls
// it before returning from main. Under libFuzzer it runs at exit (see
// TearDownAtExit).
extern "C" void FuzzTargetTearDown() {
    if (g_rig.Driver == nullptr) return;
    const Rig rig = g_rig;
    g_rig = Rig();
    fuzzsupport::EndTime();  // the teardown's thread does not take part
    fuzzsupport::CloseCameraAndShutDown("fuzz_control_requests", rig.Handle, rig.Pdo, rig.Driver);
}

namespace {

void SetUpOnce() {
    if (g_rig.Driver != nullptr) return;
    sim::KernelBoot();
    fuzzsupport::StartTime();
    fuzzsupport::AbortOnViolation();
    // The platform's pool is finite: a stream asking for a ring of gigabytes
    // gets its allocation refused, not the host's memory (an input of the
    // campaign took 2.3 GB and libFuzzer's memory limit stopped it).
    sim::SetPoolLimit(kPoolLimit);
    if (sim::usb::BusStart() != STATUS_SUCCESS) Fail("bus did not start");
    sim::usb::SetCompletionThreads(1);  // a fixed completion order: inputs replay alike
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    g_rig.Driver = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
    if (g_rig.Driver == nullptr || status != STATUS_SUCCESS) Fail("driver did not load");
    sim::usb::PlugResult plugged = sim::usb::PlugReferenceCamera();
    if (plugged.Status != STATUS_SUCCESS) Fail("reference camera did not plug");
    g_rig.Pdo = plugged.Pdo;
    if (sim::PnpReportChild(g_rig.Pdo, g_rig.Driver) != STATUS_SUCCESS) Fail("AddDevice failed");
    g_rig.Fdo = g_rig.Pdo->AttachedDevice;
    if (g_rig.Fdo == nullptr || sim::PnpStartDevice(g_rig.Pdo) != STATUS_SUCCESS)
        Fail("start failed");
    const std::string name = std::string(USBCAM_WIN32_NAME_PREFIX) + '0';
    if (sim::ClientOpen(name.c_str(), &g_rig.Handle) != STATUS_SUCCESS) Fail("open failed");
    fuzzsupport::TearDownAtExit();
}

LONG GateCount() { return __atomic_load_n(&GetDeviceExtension(g_rig.Fdo)->IoCount, __ATOMIC_ACQUIRE); }

LONG g_streamsStarted = 0;  // in this input, since the last EndStreams

sim::IoResult Send(ULONG code, const void *input, ULONG inputLength, ULONG outputLength) {
    std::vector<uint8_t> output(outputLength);
    sim::IoResult r = sim::ClientDeviceIoControl(g_rig.Handle, code, input, inputLength,
                                                 output.empty() ? nullptr : output.data(),
                                                 outputLength);
    if (r.Status == STATUS_PENDING) Fail("request left pending", code);
    if (r.Information > outputLength) Fail("more bytes reported than the output holds", code);
    // A running stream holds a count of its own (a start while one runs
    // builds a second, independent one), as designed; nothing else may.
    if (code == IOCTL_USBCAM_START_STREAM && r.Status == STATUS_SUCCESS) ++g_streamsStarted;
    const LONG gate = GateCount();
    if (gate < 1 || gate > 1 + g_streamsStarted) Fail("I/O gate off its requests and streams", code);
    return r;
}

// Stops the streams, if any, and waits until each has ended (it leaves the
// I/O gate then); the wait is a kernel delay, so that under virtual time
// the bus moves on meanwhile.
void EndStreams() {
    Send(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (GateCount() != 1) {
        if (std::chrono::steady_clock::now() > deadline) Fail("a stream did not end");
        LARGE_INTEGER interval;
        interval.QuadPart = -10000;  // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    g_streamsStarted = 0;
}

void ResetDeviceState() {
    TimeoutRecord timeout = {1, kMaxTimeoutMs};
    Send(IOCTL_USBCAM_SET_TIMEOUT, &timeout, sizeof(timeout), 0);
    InterfaceSelection selection = {0, 0};
    Send(IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), 0);
}

uint32_t ReadLe(const uint8_t *p, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= (uint32_t)p[i] << (8 * i);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    return fuzzsupport::DriverTargetDefaults(argc, argv);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    SetUpOnce();
    ResetDeviceState();

    size_t at = 0;
    for (size_t n = 0; n < kMaxRequests && at < size; ++n) {
        ULONG code;
        const uint8_t selector = data[at++];
        if (selector == 0xFF) {
            if (size - at < 4) break;
            code = ReadLe(data + at, 4);
            at += 4;
        } else {
            code = kCodes[selector % USBCAM_CONTROL_CODE_COUNT];
        }
        if (size - at < 4) break;
        ULONG inputLength = ReadLe(data + at, 2) % (kMaxInput + 1);
        ULONG outputLength = ReadLe(data + at + 2, 2) % (kMaxOutput + 1);
        at += 4;
        if (inputLength > size - at) inputLength = (ULONG)(size - at);
        std::vector<uint8_t> input(data + at, data + at + inputLength);
        at += inputLength;

        // A time-out from the input may shorten waits but never lengthen them.
        if (code == IOCTL_USBCAM_SET_TIMEOUT && inputLength >= sizeof(TimeoutRecord)) {
            TimeoutRecord record;
            memcpy(&record, input.data(), sizeof(record));
            record.Milliseconds = 1 + (int32_t)((uint32_t)record.Milliseconds % kMaxTimeoutMs);
            memcpy(input.data(), &record, sizeof(record));
        }
        fuzzsupport::FoldSlotCount(code, input.data(), input.size());
        Send(code, input.empty() ? nullptr : input.data(), inputLength, outputLength);
    }

    EndStreams();
    if (sim::VerifierViolationCount() != 0) Fail("verifier violation");
    return 0;
}
