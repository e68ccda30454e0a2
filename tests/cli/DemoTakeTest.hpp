#pragma once
// A test of corvaline-cli that starts from the built-in demo recording, written as take.wav in
// the test's own folder (skipped when the command line is not built).

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.hpp"

namespace corvaline::test {

class DemoTakeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(cliProgram())) GTEST_SKIP() << "corvaline-cli is not built";
        wav = dir / "take.wav";
        const auto made = runShell(shellQuote(cliProgram().string()) + " demo " +
                                   shellQuote(wav.string()) + " 2>&1");
        ASSERT_EQ(made.status, 0) << made.output;
    }

    TempDir dir;
    std::filesystem::path wav;
};

}  // namespace corvaline::test
