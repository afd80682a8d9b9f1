// What one request costs on the wall clock and under virtual time
// (sim::SetVirtualTime), in wall time per request, on a kernel of its own:
//   VendorRead: a 16-byte read of the camera's memory (one control transfer,
//     at least one 1 ms frame of bus time);
//   FramedRead8KiB: IOCTL_USBCAM_READ_PIPE of 8 KiB on the frame pipe (the
//     begin and end commands, then the data: several frames);
//   TimedOutRead: the same read on a pipe that never answers, with a 50 ms
//     time-out (50 frames of bus time, cancelled at the end).
// Arguments: 0 wall clock, 1 virtual time. Counter bus_us: bus time per
// request, the same on both clocks but for the wall clock's lateness.
#include <benchmark/benchmark.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace {

class Machine {
public:
    explicit Machine(bool virtualTime) {
        sim::KernelBoot();
        if (virtualTime) {
            sim::SetVirtualTime(true);
            part_.reset(new sim::TimeParticipant);
        }
        sim::usb::BusStart();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
        sim::usb::PlugResult plugged = sim::usb::PlugReferenceCamera();
        port_ = plugged.Port;
        pdo_ = plugged.Pdo;
        sim::PnpReportChild(pdo_, driver_);
        sim::PnpStartDevice(pdo_);
        const std::string name = std::string(USBCAM_WIN32_NAME_PREFIX) + '0';
        sim::ClientOpen(name.c_str(), &handle_);
    }
    ~Machine() {
        sim::ClientClose(handle_);
        sim::PnpRemoveDevice(pdo_);
        sim::usb::BusStop();
        sim::UnloadDriver(driver_);
        part_.reset();
        sim::KernelShutdown();
        sim::VerifierTakeViolations();
    }
    sim::IoResult Call(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength) {
        return sim::ClientDeviceIoControl(handle_, code, in, inLength, out, outLength);
    }
    int Port() const { return port_; }

private:
    std::unique_ptr<sim::TimeParticipant> part_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    int port_ = 0;
    sim::ClientHandle handle_ = 0;
};

template <typename Fn>
void Run(benchmark::State &state, Fn &&request) {
    Machine m(state.range(0) != 0);
    const uint64_t busStart = sim::usb::CurrentFrame();
    uint64_t requests = 0;
    for (auto _ : state) {
        if (!request(m)) {
            state.SkipWithError("request failed");
            break;
        }
        ++requests;
    }
    const uint64_t frames = sim::usb::CurrentFrame() - busStart;
    state.counters["bus_us"] = requests == 0 ? 0.0 : 1000.0 * (double)frames / (double)requests;
}

void VendorRead(benchmark::State &state) {
    Run(state, [](Machine &m) {
        VendorRequestRecord read = {0xA0, 0, 0x0000, 0, 16, 1, 0};
        uint8_t buffer[16] = {};
        memcpy(buffer, &read, sizeof(read));
        return m.Call(IOCTL_USBCAM_VENDOR_REQUEST, buffer, sizeof(read), buffer, 16).Status == STATUS_SUCCESS;
    });
}

void FramedRead8KiB(benchmark::State &state) {
    std::vector<uint8_t> out(8192);
    Run(state, [&](Machine &m) {
        PipeIndexRecord frames = {2};
        return m.Call(IOCTL_USBCAM_READ_PIPE, &frames, sizeof(frames), out.data(), 8192).Status ==
               STATUS_SUCCESS;
    });
}

void TimedOutRead(benchmark::State &state) {
    std::vector<uint8_t> out(4096);
    bool set = false;
    Run(state, [&](Machine &m) {
        if (!set) {
            TimeoutRecord timeout = {1, 50};
            m.Call(IOCTL_USBCAM_SET_TIMEOUT, &timeout, sizeof(timeout), nullptr, 0);
            sim::usb::SetNeverAnswer(m.Port(), 0x82, true);
            set = true;
        }
        PipeIndexRecord frames = {2};
        // Cancelled at its time-out: a failure, as the driver reports it.
        return m.Call(IOCTL_USBCAM_READ_PIPE, &frames, sizeof(frames), out.data(), 4096).Status ==
               STATUS_UNSUCCESSFUL;
    });
}

BENCHMARK(VendorRead)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(FramedRead8KiB)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(TimedOutRead)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
