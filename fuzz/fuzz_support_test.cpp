// The fuzz targets' oracle: any verifier report ends the input at once, with
// the report printed, so that libFuzzer keeps the input. Whatever rule the
// verifier gains later (the driver's contract checks) takes this road.
#include <gtest/gtest.h>

#include "fuzz_support.h"
#include "sim/kernel.h"

namespace {

TEST(FuzzSupportTest, AnyVerifierReportAbortsTheInput) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::KernelBoot();
            fuzzsupport::AbortOnViolation();
            sim::VerifierReportAtCaller("SOME_NEW_RULE", "a contract broken");
        },
        "SOME_NEW_RULE");
    // Without the handler the report is only recorded.
    sim::KernelBoot();
    sim::VerifierReportAtCaller("SOME_NEW_RULE", "a contract broken");
    EXPECT_EQ(sim::VerifierTakeViolations().size(), 1u);
    sim::KernelShutdown();
}

}  // namespace
