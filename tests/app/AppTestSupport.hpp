#pragma once
// Shared helpers of the application-core tests: the event loop and common fixtures.

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <functional>

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

}  // namespace corvaline::app::test
