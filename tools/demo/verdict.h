// The demo's last word: what the emulated kernel's verifier found, and the
// exit status that goes with it.
#pragma once

#include <stdio.h>

#include <vector>

#include "sim/kernel.h"

namespace usbcam {
namespace demo {

// Exit statuses of usbcam-demo.
constexpr int kExitClean = 0;       // every step went as told, no rule broken
constexpr int kExitStepFailed = 1;  // a step did not go as told (or bad usage)
constexpr int kExitRuleBroken = 2;  // the verifier caught the driver breaking a rule

// Prints "Verifier: no rule broken." or one line per violation (rule, call
// site, detail) and their count; returns the exit status for the run, which a
// broken rule decides over a failed step.
int ReportVerdict(const std::vector<sim::Violation> &violations, bool stepsSucceeded, FILE *out);

}  // namespace demo
}  // namespace usbcam
