// Fuzz target: the isochronous block read and write and the stream, fed
// records with arbitrary values against the reference camera in the emulation.
//
// The kernel is booted, the bus started, the driver loaded and one reference
// camera plugged, started and opened once per process; the pool is limited to
// kPoolLimit, as the platform's is, so that records asking for gigabytes get
// their allocations refused instead of the process's memory. 1 MiB rather
// than more: every block is poisoned when allocated and when freed, checked
// when it leaves quarantine, and its pages are fresh from the host each
// time; at 4 MiB records near the limit made the mean input cost 13 ms of
// CPU, at 1 MiB 5 ms, with the same lines reached (a ring that does not fit
// is refused all the same, by the same path). Each input:
//   byte 0      the alternate setting to select first (0..3, low 2 bits)
//               and the pool's size for this input (bits 2-3: kPoolLimits)
//   then        requests, each:
//                 byte 0     the operation: low 3 bits ISO_READ, ISO_WRITE,
//                            START_STREAM, READ_STREAM, STOP_STREAM,
//                            SELECT_INTERFACE (setting in the record's first
//                            byte); bit 3 set: the input length is the next
//                            byte instead of 20; bit 4 set: the output length
//                            is the next two bytes, else the length the record
//                            asks for (packets x (size + 12)), cut to kMaxOutput
//                 20 bytes   the record (fewer when the input ends)
// The output length is at most kMaxOutput, which also bounds the time a
// block read can take on the bus (at 8 packets per frame). After every
// request: no request left pending, no more bytes reported than the output
// holds, the I/O gate at 1 plus at most one count per stream started (a start
// while a stream runs builds a second one). After every input: the streams
// are stopped and must end (the gate back at 1), the default setting is selected again, and the driver's pool
// must be what it was after the first input's selection; the verifier must
// have recorded nothing. Any fault calls abort() so that libFuzzer reports it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "fuzz_support.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace {

constexpr size_t kMaxRequests = 12;
constexpr ULONG kMaxOutput = 16384;
constexpr size_t kPoolLimit = 1u << 20;
// A stream's slots are at most kMaxSlots (fuzzsupport::FoldSlotCount): a
// pool running out while its requests are built needs a smaller pool, which
// an input may choose.
const size_t kPoolLimits[4] = {kPoolLimit, 256u << 10, 64u << 10, kPoolLimit};
constexpr int kStreamEndGuardMs = 10000;
constexpr uint32_t kHangGuardMs = 5000;

struct Rig {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    sim::ClientHandle Handle = 0;
    long PoolBaseline = -1;
};

Rig g_rig;
LONG g_streamsStarted = 0;  // in this input, since the last EndStreams

[[noreturn]] void Fail(const char *what, ULONG code = 0) { fuzzsupport::Fail("fuzz_iso_records", what, code); }

// Blocks of the driver's pool (its tag), whoever allocated them.
}  // namespace

// Closes the handle, removes the camera and shuts the kernel down; the corpus
// replay calls it before returning from main.
extern "C" void FuzzTargetTearDown() {
    if (g_rig.Driver == nullptr) return;
    const Rig rig = g_rig;
    g_rig = Rig();
    fuzzsupport::EndTime();  // the teardown's thread does not take part
    fuzzsupport::CloseCameraAndShutDown("fuzz_iso_records", rig.Handle, rig.Pdo, rig.Driver);
}

namespace {

void SetUpOnce() {
    if (g_rig.Driver != nullptr) return;
    sim::KernelBoot();
    fuzzsupport::StartTime();
    sim::VerifierSetHangGuardMs(kHangGuardMs);
    fuzzsupport::AbortOnViolation();
    sim::SetPoolLimit(kPoolLimit);
    if (sim::usb::BusStart() != STATUS_SUCCESS) Fail("bus did not start");
    // One bus thread: completions in a fixed order (an input replays alike),
    // run by the thread that moves virtual time. Completion routines racing
    // each other are the stress test's and the soak's to explore.
    sim::usb::SetCompletionThreads(1);
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

sim::IoResult Send(ULONG code, const void *input, ULONG inputLength, ULONG outputLength) {
    std::vector<uint8_t> output(outputLength);
    for (size_t i = 0; i < output.size(); ++i) output[i] = (uint8_t)(i * 7);
    sim::IoResult r = sim::ClientDeviceIoControl(g_rig.Handle, code, input, inputLength,
                                                 output.empty() ? nullptr : output.data(),
                                                 outputLength);
    if (getenv("FUZZ_VERBOSE") != nullptr)
        fprintf(stderr, "  0x%lX in %lu out %lu -> 0x%lX, %lu bytes (at %llu us)\n", (unsigned long)code,
                (unsigned long)inputLength, (unsigned long)outputLength, (unsigned long)r.Status,
                (unsigned long)r.Information, (unsigned long long)sim::KernelTimeMicros());
    if (r.Status == STATUS_PENDING) Fail("request left pending", code);
    if (r.Information > outputLength) Fail("more bytes reported than the output holds", code);
    // Each running stream holds one count of its own (a start while a stream
    // runs builds a second, independent one).
    if (code == IOCTL_USBCAM_START_STREAM && r.Status == STATUS_SUCCESS) ++g_streamsStarted;
    const LONG gate = GateCount();
    if (gate < 1 || gate > 1 + g_streamsStarted) {
        fprintf(stderr, "fuzz_iso_records: I/O gate at %ld with %ld streams started\n", (long)gate,
                (long)g_streamsStarted);
        Fail("I/O gate off its requests and streams", code);
    }
    return r;
}

void Select(uint8_t alternate) {
    InterfaceSelection selection = {0, alternate};
    Send(IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), 0);
}

// Stops the streams, if any, and waits until the last slot of each has ended
// (each leaves the I/O gate then).
void EndStreams() {
    Send(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, 0);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStreamEndGuardMs);
    while (GateCount() != 1) {
        if (std::chrono::steady_clock::now() > deadline) Fail("a stream did not end");
        // A kernel wait, so that under virtual time the bus moves on meanwhile.
        LARGE_INTEGER interval;
        interval.QuadPart = -10000;  // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    g_streamsStarted = 0;
    if (__atomic_load_n(&GetDeviceExtension(g_rig.Fdo)->ActiveStream, __ATOMIC_ACQUIRE) != nullptr)
        Fail("a stream left in the extension after every stream ended");
}

uint32_t ReadLe(const uint8_t *p, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= (uint32_t)p[i] << (8 * i);
    return v;
}

// The output a record asks for: packets x (size + 12), or kMaxOutput + 1
// when that is more than the harness hands out.
ULONG AskedOutput(uint32_t packets, uint32_t size) {
    const uint64_t asked = (uint64_t)packets * ((uint64_t)size + 12);
    return asked > kMaxOutput ? kMaxOutput + 1 : (ULONG)asked;
}

const ULONG kOperations[6] = {IOCTL_USBCAM_ISO_READ, IOCTL_USBCAM_ISO_WRITE,
                              IOCTL_USBCAM_START_STREAM, IOCTL_USBCAM_READ_STREAM,
                              IOCTL_USBCAM_STOP_STREAM, IOCTL_USBCAM_SELECT_INTERFACE};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    return fuzzsupport::DriverTargetDefaults(argc, argv);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    SetUpOnce();
    Select(0);
    if (g_rig.PoolBaseline < 0) g_rig.PoolBaseline = fuzzsupport::DriverPoolBlocks();
    if (size == 0) return 0;
    sim::SetPoolLimit(kPoolLimits[(data[0] >> 2) & 3]);
    Select(data[0] & 3);

    size_t at = 1;
    for (size_t n = 0; n < kMaxRequests && at < size; ++n) {
        const uint8_t op = data[at++];
        const ULONG code = kOperations[(op & 7) % 6];
        ULONG inputLength = 20;
        if ((op & 8) && at < size) inputLength = data[at++] % 41;
        ULONG outputLength = 0;
        bool rawOutput = false;
        if ((op & 16) && size - at >= 2) {
            outputLength = ReadLe(data + at, 2) % (kMaxOutput + 1);
            at += 2;
            rawOutput = true;
        }
        uint8_t record[40] = {};
        const size_t take = std::min<size_t>(sizeof(record), size - at);
        memcpy(record, data + at, std::min<size_t>(take, inputLength));
        at += std::min<size_t>(take, inputLength);
        if (code == IOCTL_USBCAM_SELECT_INTERFACE) {
            Select(record[0] & 3);
            continue;
        }
        fuzzsupport::FoldSlotCount(code, record, sizeof(record));
        if (!rawOutput) {
            if (code == IOCTL_USBCAM_ISO_READ || code == IOCTL_USBCAM_ISO_WRITE)
                outputLength = AskedOutput(ReadLe(record + 8, 4), ReadLe(record + 4, 4));
            else if (code == IOCTL_USBCAM_READ_STREAM)
                outputLength = AskedOutput(ReadLe(record + 8, 4), ReadLe(record + 4, 4));
            if (outputLength > kMaxOutput) outputLength = ReadLe(record + 8, 2) % (kMaxOutput + 1);
        }
        Send(code, inputLength != 0 ? record : nullptr, inputLength, outputLength);
    }

    EndStreams();
    sim::SetPoolLimit(kPoolLimit);
    Select(0);
    if (fuzzsupport::DriverPoolBlocks() != g_rig.PoolBaseline) Fail("driver pool not back after the input");
    if (sim::VerifierViolationCount() != 0) Fail("verifier violation");
    return 0;
}
