// Several cameras streaming at once: 1, 2, 4 and 8 reference cameras, each
// on a bus of its own, each streaming its full 3 x 1024 bytes per microframe
// (alternate setting 3) through IOCTL_USBCAM_START_STREAM and READ_STREAM
// from a client thread and handle of its own, for one second of bus time per
// iteration. Arguments: cameras, then the clock (0 wall clock, 1 virtual
// time: the bus waits for every thread, so nothing is lost for want of a
// processor and the CPU figures are the work alone).
// Counters:
//   cpu_ms_per_camera_s: CPU time of the whole process (the client threads,
//     the driver's completions on the bus's threads, and the emulated bus and
//     camera that make the packets) per camera per second of streaming;
//   client_cpu_ms_per_camera_s: the client threads alone (READ_STREAM through
//     the I/O manager and the driver, and the client's check of each packet);
//   relative_to_one_camera: cpu_ms_per_camera_s over that of the first
//     camera streaming alone on the same machine, measured in every
//     iteration right before or after the run of all cameras (which goes
//     first alternates), so that both see the same load (goal: at most 1.2
//     at 8 cameras);
//   lost_packets: sequence numbers missing in what the clients read, summed
//     over the cameras (goal: 0); bad_packets: packets not a camera's own.
#include <benchmark/benchmark.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace {

constexpr uint32_t kStride = 3072;
constexpr uint32_t kRingPackets = 2048;
constexpr uint32_t kPerRequest = 64;  // 8 ms per request
constexpr uint32_t kSlots = 8;        // 64 ms in flight: a loaded machine's late wake-ups
constexpr uint32_t kReadPackets = 256;
constexpr uint64_t kStreamMicros = 1000000;

double CpuSeconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

void Sleep(bool virtualTime, int ms) {
    if (!virtualTime) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -10000LL * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

struct Seen {
    uint64_t Packets = 0, Lost = 0, Bad = 0;
    double ClientCpu = 0;
};

class Machine {
public:
    Machine(int cameras, bool virtualTime) : virtual_(virtualTime) {
        sim::KernelBoot();
        if (virtual_) {
            sim::SetVirtualTime(true);
            part_.reset(new sim::TimeParticipant);
        }
        sim::usb::BusStart();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
        for (int i = 0; i < cameras; ++i) {
            sim::usb::PlugOptions options;
            options.Bus = sim::usb::kNewBus;
            sim::usb::PlugResult plugged = sim::usb::PlugProfileJson(sim::usb::ReferenceProfileJson(), options);
            pdos_.push_back(plugged.Pdo);
            sim::PnpReportChild(plugged.Pdo, driver_);
            ok_ = ok_ && sim::PnpStartDevice(plugged.Pdo) == STATUS_SUCCESS;
            sim::ClientHandle handle = 0;
            const std::string name = std::string(USBCAM_WIN32_NAME_PREFIX) + (char)('0' + i);
            ok_ = ok_ && sim::ClientOpen(name.c_str(), &handle) == STATUS_SUCCESS;
            handles_.push_back(handle);
            InterfaceSelection select = {0, 3};
            sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &select, sizeof(select), nullptr, 0);
            buffers_.push_back(static_cast<uint8_t *>(sim::ClientAlloc((size_t)kReadPackets * (kStride + 12))));
        }
    }
    ~Machine() {
        for (size_t i = 0; i < handles_.size(); ++i) {
            sim::ClientClose(handles_[i]);
            sim::ClientFree(buffers_[i]);
        }
        for (PDEVICE_OBJECT pdo : pdos_) sim::PnpRemoveDevice(pdo);
        sim::usb::BusStop();
        sim::UnloadDriver(driver_);
        part_.reset();
        sim::KernelShutdown();
        sim::VerifierTakeViolations();
    }
    bool Ok() const { return ok_; }

    // The first `count` cameras stream at once for kStreamMicros of bus
    // time; returns what their clients saw.
    std::vector<Seen> StreamAll(size_t count) {
        const size_t n = count;
        std::vector<Seen> seen(n);
        std::atomic<size_t> joined{0};
        const uint64_t until = sim::KernelTimeMicros() + kStreamMicros;
        std::vector<std::thread> threads;
        for (size_t i = 0; i < n; ++i) {
            threads.emplace_back([&, i] {
                std::unique_ptr<sim::TimeParticipant> part;
                if (virtual_) part.reset(new sim::TimeParticipant);
                joined++;
                const double cpu0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
                Stream(handles_[i], buffers_[i], until, &seen[i]);
                seen[i].ClientCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
            });
        }
        while (joined.load() != n) std::this_thread::yield();
        {
            std::unique_ptr<sim::TimeWaitScope> waiting;
            if (virtual_) waiting.reset(new sim::TimeWaitScope);
            for (auto &t : threads) t.join();
        }
        return seen;
    }

private:
    void Stream(sim::ClientHandle handle, uint8_t *out, uint64_t until, Seen *seen) {
        sim::usb::ReferenceIsoCounter counter;
        StreamStartRecord start = {0, kStride, kRingPackets, kPerRequest, kSlots};
        if (sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_START_STREAM, &start, sizeof(start), nullptr, 0)
                .Status != STATUS_SUCCESS) {
            seen->Bad = UINT32_MAX;
            return;
        }
        StreamReadRecord read = {0, kStride, kReadPackets, 0, 0};
        auto readOnce = [&]() -> int64_t {
            sim::IoResult r = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_READ_STREAM, &read, sizeof(read), out,
                                                         (ULONG)(kReadPackets * (kStride + 12)));
            if (r.Status != STATUS_SUCCESS) return -1;
            const uint64_t got = r.Information / (kStride + 12);
            for (uint64_t j = 0; j < got; ++j) {
                USBD_ISO_PACKET_DESCRIPTOR d;
                memcpy(&d, out + got * kStride + j * 12, sizeof(d));
                counter.Add(out + j * kStride, d.Length);
            }
            seen->Packets += got;
            return (int64_t)got;
        };
        while (sim::KernelTimeMicros() < until) {
            const int64_t got = readOnce();
            if (got < 0) break;
            if (got < kReadPackets) Sleep(virtual_, virtual_ ? 16 : 4);
        }
        sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0);
        for (int i = 0; i < 2000 && readOnce() >= 0; ++i) Sleep(virtual_, 1);
        seen->Lost = counter.Lost();
        seen->Bad = counter.Bad();
    }

    bool virtual_;
    bool ok_ = true;
    std::unique_ptr<sim::TimeParticipant> part_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> pdos_;
    std::vector<sim::ClientHandle> handles_;
    std::vector<uint8_t *> buffers_;
};

void SeveralCamerasStreaming(benchmark::State &state) {
    const int cameras = (int)state.range(0);
    const bool virtualTime = state.range(1) != 0;
    Machine m(cameras, virtualTime);
    if (!m.Ok()) {
        state.SkipWithError("a camera did not start or open");
        return;
    }
    uint64_t packets = 0, lost = 0, bad = 0;
    double cpu = 0, aloneCpu = 0, clientCpu = 0, seconds = 0;
    bool allFirst = true;
    for (auto _ : state) {
        auto alone = [&] {
            if (cameras == 1) return;
            const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
            m.StreamAll(1);
            aloneCpu += CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        };
        if (!allFirst) alone();
        const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        std::vector<Seen> seen = m.StreamAll((size_t)cameras);
        cpu += CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        if (allFirst) alone();
        allFirst = !allFirst;
        seconds += (double)kStreamMicros * 1e-6;
        for (const Seen &s : seen) {
            packets += s.Packets;
            lost += s.Lost;
            bad += s.Bad;
            clientCpu += s.ClientCpu;
        }
    }
    const double perCamera = 1000.0 * cpu / seconds / cameras;
    state.counters["cpu_ms_per_camera_s"] = perCamera;
    state.counters["client_cpu_ms_per_camera_s"] = 1000.0 * clientCpu / seconds / cameras;
    state.counters["relative_to_one_camera"] = cameras == 1 ? 1.0 : perCamera / (1000.0 * aloneCpu / seconds);
    state.counters["packets_per_camera_s"] = (double)packets / seconds / cameras;
    state.counters["lost_packets"] = (double)lost;
    state.counters["bad_packets"] = (double)bad;
}

BENCHMARK(SeveralCamerasStreaming)
    ->ArgsProduct({{1, 2, 4, 8}, {1, 0}})
    ->ArgNames({"cameras", "virtual"})
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
