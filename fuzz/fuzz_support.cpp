#include "fuzz_support.h"

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <thread>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "sim/usbbus.h"

namespace fuzzsupport {

void PrintViolations(const std::vector<sim::Violation> &violations) {
    for (const auto &v : violations)
        fprintf(stderr, "%s at %s: %s\n", v.Rule.c_str(), v.Site.c_str(), v.Detail.c_str());
}

[[noreturn]] void Fail(const char *target, const char *what, ULONG code) {
    fprintf(stderr, "%s: %s (code 0x%lX)\n", target, what, (unsigned long)code);
    PrintViolations(sim::VerifierTakeViolations());
    abort();
}

void CloseCameraAndShutDown(const char *target, sim::ClientHandle handle, PDEVICE_OBJECT pdo,
                            PDRIVER_OBJECT driver) {
    sim::ClientClose(handle);
    sim::PnpRemoveDevice(pdo);
    sim::usb::BusStop();
    sim::UnloadDriver(driver);
    auto violations = sim::VerifierTakeViolations();
    sim::KernelShutdown();
    if (!violations.empty()) {
        PrintViolations(violations);
        fprintf(stderr, "%s: violations at teardown\n", target);
        _Exit(1);
    }
}

long DriverPoolBlocks() {
    long n = 0;
    for (const auto &block : sim::PoolOutstanding())
        if (block.Tag == USBCAM_POOL_TAG) ++n;
    return n;
}

void AbortOnViolation() {
    sim::VerifierSetHandler([](const sim::Violation &) { abort(); });
}

namespace {
sim::TimeParticipant *g_participant = nullptr;
}

void StartTime() {
    const char *clock = getenv("FUZZ_CLOCK");
    if (clock != nullptr && strcmp(clock, "real") == 0) return;
    sim::SetVirtualTime(true);
    if (g_participant == nullptr) g_participant = new sim::TimeParticipant();
}

void EndTime() {
    if (g_participant == nullptr) return;
    delete g_participant;
    g_participant = nullptr;
}

static void TearDownOnItsOwnThread() {
    std::thread teardown(FuzzTargetTearDown);
    teardown.join();
}

void TearDownAtExit() {
    if (FuzzTargetTearDown != nullptr) atexit(TearDownOnItsOwnThread);
}

void FoldSlotCount(ULONG code, uint8_t *record, size_t length) {
    if (code != IOCTL_USBCAM_ISO_READ && code != IOCTL_USBCAM_ISO_WRITE &&
        code != IOCTL_USBCAM_START_STREAM)
        return;
    if (record == nullptr || length < 20) return;
    uint32_t slots = 0;
    for (int i = 0; i < 4; ++i) slots |= (uint32_t)record[16 + i] << (8 * i);
    if (slots <= kMaxSlots || slots >= kSlotFoldCeiling) return;
    slots = 1 + (slots - 1) % kMaxSlots;
    for (int i = 0; i < 4; ++i) record[16 + i] = (uint8_t)(slots >> (8 * i));
}

int WithoutPerInputLeakScan(int *argc, char ***argv) {
    static std::vector<char *> args;
    static char noLeaks[] = "-detect_leaks=0";
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + 1, noLeaks);
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
    return 0;
}

int DriverTargetDefaults(int *argc, char ***argv) {
    // Blocks of the pool and of the emulation's tables up to a few MiB come
    // and go with every input. Above glibc's mapping threshold each one was
    // a fresh mapping whose pages faulted in again (6 % of the hostile
    // camera's time); kept in the heap, they reuse pages already there.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    static std::vector<char *> args;
    static char noLeaks[] = "-detect_leaks=0";
    static char noEntropic[] = "-entropic=0";
    args.assign(*argv, *argv + *argc);
    // First, so that the command line's own flags win.
    args.insert(args.begin() + 1, noEntropic);
    args.insert(args.begin() + 1, noLeaks);
    args.push_back(nullptr);
    *argc += 2;
    *argv = args.data();
    return 0;
}

}  // namespace fuzzsupport
