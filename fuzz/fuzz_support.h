// What the fuzz targets that run the driver share: counting its pool blocks,
// printing the verifier's reports, aborting at the first one, tearing the
// kernel down at exit, and switching libFuzzer's per-input leak scan off.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "sim/kernel.h"

// Defined by the targets that keep one kernel across inputs: closes what the
// target opened and shuts the kernel down (the corpus replay calls it too).
extern "C" __attribute__((weak)) void FuzzTargetTearDown();

namespace fuzzsupport {

// One line per report on standard error: rule, call site, detail.
void PrintViolations(const std::vector<sim::Violation> &violations);

// Our driver's pool blocks outstanding.
long DriverPoolBlocks();

// Prints "<target>: <what> (code 0x...)" and the verifier's reports, then
// aborts, so that libFuzzer records the input.
[[noreturn]] void Fail(const char *target, const char *what, ULONG code);

// The end of a target that opened the camera: closes the handle, removes the
// camera, stops the bus, unloads the driver and shuts the kernel down; exits
// with 1 when the verifier saw anything on the way (leaks among them).
void CloseCameraAndShutDown(const char *target, sim::ClientHandle handle, PDEVICE_OBJECT pdo,
                            PDRIVER_OBJECT driver);

// Every verifier report (printed by the kernel as it happens) aborts at once,
// on the thread that broke the rule, so that libFuzzer records the input with
// the offending stack; a request never completed is reported by the hang
// guard while its client still waits. Every target that runs the driver
// installs it: a rule the verifier gains (the driver's IRQL and lock
// contracts among them) is a fuzz oracle from then on without a change here.
void AbortOnViolation();

// Runs the target's FuzzTargetTearDown when the process exits. Exit handlers run after the
// main thread's thread-local kernel state is destroyed, so the teardown runs
// on a thread of its own; without it the leak check at exit would see the
// emulation's live objects as leaks once their tables are destroyed.
void TearDownAtExit();

// Bus and kernel time for the targets that run the driver: virtual time
// (sim::SetVirtualTime; time-outs in bus time, frames served back to back as
// soon as every thread waits), unless FUZZ_CLOCK=real is set in the
// environment (the wall clock, to compare). Call after sim::KernelBoot and
// before sim::usb::BusStart, on the thread that runs the inputs, which then
// takes part (sim::TimeParticipant) until EndTime.
void StartTime();
// Ends the calling thread's part started by StartTime (from any thread: the
// teardown at exit runs on a thread of its own).
void EndTime();

// Folds the SlotCount of a block read's, block write's or stream's record
// (offset 16; code IOCTL_USBCAM_ISO_READ, _ISO_WRITE or _START_STREAM, and
// at least 20 bytes) from kMaxSlots + 1 .. kSlotFoldCeiling - 1 into
// 1..kMaxSlots; other codes and records are left alone. Each slot is a
// request built, sent, completed and freed, and a stopped stream waits for
// every one of them: a stream of 2 305 slots cost 30 ms of CPU, a hundred
// times the median input, and such inputs held the records target near 300
// inputs per second. The driver takes the same paths for 16 slots as for
// thousands; counts from kSlotFoldCeiling up, whose slot array alone is more
// than the targets' pool holds, reach it unchanged.
constexpr uint32_t kMaxSlots = 16;
constexpr uint32_t kSlotFoldCeiling = 1u << 16;
void FoldSlotCount(ULONG code, uint8_t *record, size_t length);

// For LLVMFuzzerInitialize: adds -detect_leaks=0 to libFuzzer's arguments.
// Its leak check after inputs that allocate more than they free stops the
// process and scans its memory, which the emulation's long-lived tables (wire
// log, pool quarantine, bus threads) make slow and noisy; the verifier checks
// the driver's pool after every input instead, and the sanitizer's check at
// exit still runs.
int WithoutPerInputLeakScan(int *argc, char ***argv);

// For LLVMFuzzerInitialize of the targets that run the driver: as
// WithoutPerInputLeakScan, and -entropic=0. Each input of theirs reaches tens
// of thousands of features (the emulation's threads among them), and the
// entropic schedule's bookkeeping of every feature's frequency took more
// than a third of the time; the flags on the command line still win.
int DriverTargetDefaults(int *argc, char ***argv);

}  // namespace fuzzsupport
