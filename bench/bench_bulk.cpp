// Bulk transfer throughput and cost, side by side in one run:
//   LargeRead16MiB / PipeReads256x64KiB: one 16 MiB IOCTL_USBCAM_READ_PIPE_LARGE
//     against 256 consecutive 64 KiB IOCTL_USBCAM_READ_PIPE calls, in wall
//     time, as bytes per second and as a share of the high-speed bus's bulk
//     ceiling (13 packets of 512 bytes per microframe);
//   LargeReadCpu / LargeReadRefusedCpu / Memcpy16MiB: the client thread's CPU
//     time per MiB moved through IOCTL_USBCAM_READ_PIPE_LARGE, the same
//     request refused at once by the driver, and a memcpy of the same bytes.
// Every read goes into the client's own memory (sim::ClientAlloc), which the
// I/O manager locks where it lies, as for a real process's buffer.
#include <benchmark/benchmark.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "bench_machine.h"

namespace {

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kLargeBytes = 16 * kMiB;
constexpr size_t kPieceBytes = 64 * 1024;
constexpr size_t kPieces = kLargeBytes / kPieceBytes;
// High speed: 13 bulk packets of 512 bytes in each of 8000 microframes a second.
constexpr double kBulkCeilingBytesPerSecond = 13.0 * 512 * 8000;

// A camera whose frame is the whole 16 MiB read, one whose frame is one 64 KiB
// piece: each read arms and takes exactly one frame.
bench::BenchCamera &LargeFrameCamera() {
    static bench::BenchCamera camera = bench::PlugCameraWithFrame(4096, 4096);
    return camera;
}
bench::BenchCamera &PieceFrameCamera() {
    static bench::BenchCamera camera = bench::PlugCameraWithFrame(256, 256);
    return camera;
}

// A buffer in the client's own pages, for the time of one benchmark.
struct ClientBuffer {
    explicit ClientBuffer(size_t bytes) : Data(static_cast<uint8_t *>(sim::ClientAlloc(bytes))) {}
    ~ClientBuffer() { sim::ClientFree(Data); }
    ClientBuffer(const ClientBuffer &) = delete;
    ClientBuffer &operator=(const ClientBuffer &) = delete;
    uint8_t *Data;
};

bool Read(const bench::BenchCamera &camera, ULONG code, uint8_t *buffer, size_t bytes) {
    uint32_t pipe = 2;
    sim::IoResult r = sim::ClientDeviceIoControl(camera.Handle, code, &pipe, sizeof(pipe), buffer,
                                                 (ULONG)bytes);
    return r.Status == STATUS_SUCCESS && r.Information == bytes;
}

void Report(benchmark::State &state, size_t bytesPerIteration) {
    state.SetBytesProcessed((int64_t)(state.iterations() * bytesPerIteration));
    state.counters["share_of_bulk_ceiling"] =
        benchmark::Counter((double)bytesPerIteration / kBulkCeilingBytesPerSecond,
                           benchmark::Counter::kIsIterationInvariantRate);
}

void LargeRead16MiB(benchmark::State &state) {
    bench::BenchCamera &camera = LargeFrameCamera();
    ClientBuffer buffer(kLargeBytes);
    for (auto _ : state) {
        if (!Read(camera, IOCTL_USBCAM_READ_PIPE_LARGE, buffer.Data, kLargeBytes)) {
            state.SkipWithError("READ_PIPE_LARGE failed");
            break;
        }
    }
    Report(state, kLargeBytes);
}

void PipeReads256x64KiB(benchmark::State &state) {
    bench::BenchCamera &camera = PieceFrameCamera();
    ClientBuffer buffer(kLargeBytes);
    for (auto _ : state) {
        for (size_t k = 0; k < kPieces; k++) {
            if (!Read(camera, IOCTL_USBCAM_READ_PIPE, buffer.Data + k * kPieceBytes, kPieceBytes)) {
                state.SkipWithError("READ_PIPE failed");
                return;
            }
        }
    }
    Report(state, kLargeBytes);
}

void LargeReadCpu(benchmark::State &state) {
    bench::BenchCamera &camera = LargeFrameCamera();
    // No bandwidth model and no latency: the bus moves data as fast as it can.
    sim::usb::SetBandwidthModel(false);
    sim::usb::SetLatency(camera.Port, sim::usb::kAnyEndpoint, 0);
    ClientBuffer buffer(kLargeBytes);
    const double processStart = ProcessCpuSeconds();
    for (auto _ : state) {
        if (!Read(camera, IOCTL_USBCAM_READ_PIPE_LARGE, buffer.Data, kLargeBytes)) {
            state.SkipWithError("READ_PIPE_LARGE failed");
            break;
        }
    }
    const double processSeconds = ProcessCpuSeconds() - processStart;
    sim::usb::SetBandwidthModel(true);
    state.SetBytesProcessed((int64_t)(state.iterations() * kLargeBytes));
    state.counters["cpu_seconds_per_MiB"] = benchmark::Counter(
        (double)(kLargeBytes / kMiB), benchmark::Counter::kIsIterationInvariantRate |
                                          benchmark::Counter::kInvert);
    // Every thread of the program: the client thread, and the bus's clock and
    // completion threads, which run the driver's completion routines (its
    // DPC work) and the camera model and its copy into the buffer (the
    // controller's DMA on real hardware).
    if (state.iterations() != 0)
        state.counters["all_threads_cpu_seconds_per_MiB"] =
            processSeconds / ((double)state.iterations() * (double)(kLargeBytes / kMiB));
}

// The I/O manager's own share of LargeReadCpu: the same request with the same
// 16 MiB buffer, refused by the driver at once (pipe index out of range), so
// only the request and the buffer's locking are left.
void LargeReadRefusedCpu(benchmark::State &state) {
    bench::BenchCamera &camera = LargeFrameCamera();
    ClientBuffer buffer(kLargeBytes);
    for (auto _ : state) {
        uint32_t pipe = 99;
        sim::IoResult r = sim::ClientDeviceIoControl(camera.Handle, IOCTL_USBCAM_READ_PIPE_LARGE,
                                                     &pipe, sizeof(pipe), buffer.Data,
                                                     (ULONG)kLargeBytes);
        if (r.Status != STATUS_INVALID_PARAMETER) {
            state.SkipWithError("not refused");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * kLargeBytes));
    state.counters["cpu_seconds_per_MiB"] = benchmark::Counter(
        (double)(kLargeBytes / kMiB), benchmark::Counter::kIsIterationInvariantRate |
                                          benchmark::Counter::kInvert);
}

void Memcpy16MiB(benchmark::State &state) {
    std::vector<uint8_t> from(kLargeBytes, 0x5A), to(kLargeBytes);
    for (auto _ : state) {
        memcpy(to.data(), from.data(), kLargeBytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * kLargeBytes));
    state.counters["cpu_seconds_per_MiB"] = benchmark::Counter(
        (double)(kLargeBytes / kMiB), benchmark::Counter::kIsIterationInvariantRate |
                                          benchmark::Counter::kInvert);
}

}  // namespace

// (a) wall time: the bus paces the transfers (bandwidth model on, the default).
BENCHMARK(LargeRead16MiB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(PipeReads256x64KiB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
// (b) the client thread's CPU time.
BENCHMARK(LargeReadCpu)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(LargeReadRefusedCpu)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Memcpy16MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return bench::ShutdownMachine() == 0 ? 0 : 2;
}
