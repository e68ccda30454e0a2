#pragma once
// Shared helpers of the application-core tests: the event loop and common fixtures.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "TestSupport.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app::test {

/// Runs the event loop until `condition` holds or `timeout` passes; returns the condition.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

/// Runs the event loop for `duration`.
void spin(std::chrono::milliseconds duration);

/// Writes a WAV of `channels` channels and `seconds` at `rate`: channel c carries a sine of
/// 220 × (c + 1) Hz at amplitude `amplitude`.
void writeTone(const std::filesystem::path& path, int channels, double seconds, double rate = 48000,
               double amplitude = 0.25);

/// Writes a WAV whose every sample is `value`.
void writeConstant(const std::filesystem::path& path, int channels, double seconds, float value,
                   double rate = 48000);

/// Installs an identity stand-in for the DeepFilterNet program into the model folder `root`
/// (Runtime/deep-filter, honouring its command line, copying its input to the output folder)
/// with a placeholder "DeepFilterNet3_onnx.tar.gz" model. Each run appends a line to `calls`.
void installIdentityEngine(const std::filesystem::path& root, const std::filesystem::path& calls);

/// A fresh AppState with its own model folder ("Models" in `dir`) and the temporary folder,
/// and so its workspace, inside `dir`.
class StateFixture : public ::testing::Test {
  protected:
    corvaline::test::TempDir dir;
    std::unique_ptr<ModelManager> models;
    std::unique_ptr<AppState> state;

    void SetUp() override;
    void TearDown() override;
    /// Runs before the model manager is made: put stand-in runtimes into the model folder.
    virtual void prepareModels() {}
    /// Imports `files` and waits for the import to end.
    void importAndWait(const std::vector<std::filesystem::path>& files);
    /// Imports `file`, waits and expects no error.
    void importFile(const std::filesystem::path& file);
};

}  // namespace corvaline::app::test
