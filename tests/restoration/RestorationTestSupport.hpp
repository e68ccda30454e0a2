#pragma once
// Mono fixture files and failure capture for the restoration tests.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace corvaline::test {

/// Writes `samples` as a 32-bit float mono WAV.
void writeMono(const std::filesystem::path& path, double rate, const std::vector<float>& samples);
/// Writes a 32-bit float WAV of `channels` channels and `frames` frames of a quiet tone.
void writeTone(const std::filesystem::path& path, double rate, int channels, int64_t frames);
/// The message of the AudioFailure `work` throws, or "(no failure)".
std::string failureOf(const std::function<void()>& work);
/// All samples of a mono file.
std::vector<float> readMono(const std::filesystem::path& path, double* rate = nullptr);

}  // namespace corvaline::test
