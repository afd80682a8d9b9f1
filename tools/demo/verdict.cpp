// The verifier's verdict in plain words.
#include "verdict.h"

namespace usbcam {
namespace demo {

int ReportVerdict(const std::vector<sim::Violation> &violations, bool stepsSucceeded, FILE *out) {
    if (violations.empty()) {
        fprintf(out, "Verifier: no rule broken.\n");
        return stepsSucceeded ? kExitClean : kExitStepFailed;
    }
    for (const sim::Violation &v : violations) {
        fprintf(out, "Verifier: %s at %s: %s\n", v.Rule.c_str(), v.Site.c_str(), v.Detail.c_str());
    }
    fprintf(out, "Verifier: %zu rule violation%s.\n", violations.size(),
            violations.size() == 1 ? "" : "s");
    return kExitRuleBroken;
}

}  // namespace demo
}  // namespace usbcam
