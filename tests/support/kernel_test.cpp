// The KernelTest fixture: boots and shuts down the emulated kernel around
// each test and turns verifier violations into test failures.
#include "kernel_test.h"

#include <algorithm>

namespace sim {
namespace test {

void FailOnViolations(const std::vector<Violation> &list) {
    for (const Violation &v : list) {
        ADD_FAILURE() << "verifier: " << v.Rule << " at " << v.Site << ": " << v.Detail;
    }
}

void KernelTest::SetUp() {
    recorded_.clear();
    expected_.clear();
    seen_.clear();
    KernelBoot();
}

void KernelTest::TearDown() {
    KernelShutdown();
    Collect();
    std::vector<Violation> unexpected;
    for (const std::string &rule : expected_) {
        if (std::find(seen_.begin(), seen_.end(), rule) == seen_.end()) ADD_FAILURE() << "expected verifier rule " << rule << " did not fire";
    }
    for (const Violation &v : recorded_) {
        if (std::find(expected_.begin(), expected_.end(), v.Rule) == expected_.end()) {
            unexpected.push_back(v);
        }
    }
    FailOnViolations(unexpected);
    recorded_.clear();
}

void KernelTest::ExpectViolation(const std::string &rule) { expected_.push_back(rule); }

size_t KernelTest::TakeViolations(const std::string &rule) {
    Collect();
    size_t before = recorded_.size();
    recorded_.erase(std::remove_if(recorded_.begin(), recorded_.end(),
                                   [&](const Violation &v) { return v.Rule == rule; }),
                    recorded_.end());
    return before - recorded_.size();
}

const std::vector<Violation> &KernelTest::Violations() {
    Collect();
    return recorded_;
}

void KernelTest::Collect() {
    std::vector<Violation> now = VerifierTakeViolations();
    for (const Violation &v : now) seen_.push_back(v.Rule);
    recorded_.insert(recorded_.end(), now.begin(), now.end());
}

}  // namespace test
}  // namespace sim
