// The emulated machine a benchmark runs the driver in.
#include "bench_machine.h"

#include <stdio.h>

#include <vector>

#include "driver/driver.h"

namespace bench {
namespace {

bool g_booted = false;
PDRIVER_OBJECT g_driver = nullptr;
std::vector<BenchCamera> g_cameras;

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

}  // namespace

void EnsureMachine() {
    if (g_booted) return;
    sim::KernelBoot();
    sim::usb::BusStart();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    g_driver = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
    g_booted = true;
}

BenchCamera PlugCameraWithFrame(unsigned width, unsigned height) {
    EnsureMachine();
    std::string profile = Replace(sim::usb::ReferenceProfileJson(), "\"width\": 640",
                                  "\"width\": " + std::to_string(width));
    profile = Replace(profile, "\"height\": 480", "\"height\": " + std::to_string(height));
    BenchCamera camera;
    sim::usb::PlugResult plugged = sim::usb::PlugProfileJson(profile);
    if (plugged.Status != STATUS_SUCCESS) {
        fprintf(stderr, "bench: plug failed: %s\n", plugged.Error.c_str());
        return camera;
    }
    camera.Port = plugged.Port;
    camera.Pdo = plugged.Pdo;
    sim::PnpReportChild(camera.Pdo, g_driver);
    sim::PnpStartDevice(camera.Pdo);
    const int index = (int)g_cameras.size();
    const std::string name = "\\\\.\\Tavrinoscope-" + std::string(1, (char)('0' + index));
    if (sim::ClientOpen(name.c_str(), &camera.Handle) != STATUS_SUCCESS) {
        fprintf(stderr, "bench: cannot open %s\n", name.c_str());
    }
    g_cameras.push_back(camera);
    return camera;
}

int ShutdownMachine() {
    if (!g_booted) return 0;
    for (BenchCamera &camera : g_cameras) {
        if (camera.Handle != 0) sim::ClientClose(camera.Handle);
        sim::PnpRemoveDevice(camera.Pdo);
    }
    g_cameras.clear();
    sim::usb::BusStop();
    sim::UnloadDriver(g_driver);
    auto violations = sim::VerifierTakeViolations();
    sim::KernelShutdown();
    g_booted = false;
    for (const auto &v : violations) {
        fprintf(stderr, "verifier: %s at %s: %s\n", v.Rule.c_str(), v.Site.c_str(),
                v.Detail.c_str());
    }
    return (int)violations.size();
}

}  // namespace bench
