// GoogleTest fixture for tests that run code inside the emulated kernel.
//
// sim::test::KernelTest boots a fresh kernel before each test and shuts it
// down after it; the test then fails with every verifier violation recorded
// during the test (each printed with its rule, call site and detail), except
// those the test said it expects. Shutdown itself reports what is still alive
// (drivers not unloaded, device objects, IRPs, pool, MDLs, open handles), so a
// test must unload what it loaded.
//
//   class MyTest : public sim::test::KernelTest {};
//   TEST_F(MyTest, Something) {
//       NTSTATUS st;
//       PDRIVER_OBJECT d = sim::LoadDriver("mine", MyEntry, &st);
//       ...
//       sim::UnloadDriver(d);
//   }
//
// Tests that provoke a rule on purpose:
//   ExpectViolation("IRP_COMPLETED_TWICE");   // must fire before TearDown
//   EXPECT_EQ(1u, TakeViolations("POOL_LEAK")); // counts and consumes now
//
// Derived fixtures that override SetUp/TearDown must call the base versions
// (KernelTest::SetUp() first, KernelTest::TearDown() last).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kernel.h"

namespace sim {
namespace test {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The test expects rule to be broken at least once before TearDown (taken
    // or not); violations of that rule then do not fail the test.
    void ExpectViolation(const std::string &rule);
    // Removes the violations of rule recorded so far and returns how many.
    size_t TakeViolations(const std::string &rule);
    // Every violation recorded so far and not yet taken (without removing).
    const std::vector<Violation> &Violations();

private:
    void Collect();
    std::vector<Violation> recorded_;
    std::vector<std::string> expected_;
    std::vector<std::string> seen_;  // every rule recorded during the test
};

// Fails the current test with each violation in list (rule, site, detail).
void FailOnViolations(const std::vector<Violation> &list);

}  // namespace test
}  // namespace sim
