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

}  // namespace corvaline::app::test
