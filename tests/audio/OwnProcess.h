#pragma once

// Scenarios that must run in a process of their own: the decoder registry is
// built once per process, and a capture that ends the process early must fail
// its test rather than end the run with status 0. Each scenario runs in a
// forked child that exits with a status of its own only when it got to the end
// with no failed expectation.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

constexpr int kScenarioPassed = 42;

// A death-test child reports nothing itself; its failures go to standard
// error, which the parent shows when the child's status is wrong.
[[noreturn]] inline void endScenario() {
    const ::testing::TestResult& result =
        *::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = 0; i < result.total_part_count(); ++i) {
        const ::testing::TestPartResult& part = result.GetTestPartResult(i);
        if (part.failed())
            std::fprintf(stderr, "%s:%d: %s\n", part.file_name() ? part.file_name() : "?",
                         part.line_number(), part.message());
    }
    std::fflush(nullptr);
    std::_Exit(::testing::Test::HasFailure() ? 1 : kScenarioPassed);
}

/// `stderrPattern` must match all the child writes to standard error: by
/// default nothing, so that a sanitizer's report fails the scenario too.
template <class Scenario>
void inOwnProcess(Scenario scenario, const char* stderrPattern = "^$") {
    EXPECT_EXIT((scenario(), endScenario()), ::testing::ExitedWithCode(kScenarioPassed),
                stderrPattern);
}
