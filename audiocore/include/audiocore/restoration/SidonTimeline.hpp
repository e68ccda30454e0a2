#pragma once
// The window walk of in-process Sidon restoration.
//
// The speech models only take a fixed ten-second window, so a mono recording is walked in
// overlapping windows with left context: each window is converted to 16 kHz, restored to
// 48 kHz by a transform, cropped to its body, converted back to the source rate and
// crossfaded into the previous body over a short seam. The output has exactly the source's
// sample rate and frame count, with no time offset.
//
// Timing, in source frames (rate r, rounded to nearest, halves away from zero):
//   window K = 10 r; stride D = 8 r (Standard) or 4 r (Careful);
//   left context I = 1 r (Standard) or 2 r (Careful, but 0.02 r for the first window);
//   seam C = max(1, 0.04 r); kept 48 kHz output per window N = 385920 or 193920 (D + C).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <vector>

#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::SidonTimeline {

/// Samples of one 16 kHz model window (ten seconds).
inline constexpr int64_t windowSamples16k = 160000;
/// Rate of the restored window audio.
inline constexpr double outputRate = 48000.0;

/// The walk's lengths for one source rate and quality.
struct Timing {
    int64_t window = 0;        ///< K
    int64_t stride = 0;        ///< D, frames written per window
    int64_t context = 0;       ///< I for every window but the first
    int64_t firstContext = 0;  ///< I for the first window
    int64_t crossfade = 0;     ///< C
    int64_t keptOutput = 0;    ///< N, 48 kHz samples kept per window
};
Timing timing(double rate, SidonQuality quality);

/// Restores one window: (160000 samples at 16 kHz, window start, body start, both in source
/// frames, the source rate; the window start is negative for the first window) -> the window
/// at 48 kHz.
using Transform = std::function<std::vector<float>(
    const std::vector<float>& samples, int64_t windowStart, int64_t bodyStart, double rate)>;

/// Walks `source` (mono, at least one frame) window by window into a new 32-bit float mono
/// WAV at `destination` with the source's rate and length. Throws AudioFailure
/// "Sidon requires a nonempty mono channel." (before any transform runs) and
/// "Sidon returned a shortened or invalid context window." when a transform's output is
/// shorter than the window's body plus its context or not finite; the resampling failures
/// of `resample`; Cancelled at the start of every window and between converter chunks;
/// file errors as they come. After a failure the destination is left partial.
void renderContext(const std::filesystem::path& source, const std::filesystem::path& destination,
                   SidonQuality quality, const Transform& transform,
                   const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// Converts mono `samples` from rate `from` to rate `to` (libsoxr, very high quality, linear
/// phase) and returns exactly `expected` samples. The converted length may differ from
/// `expected` by one sample: one short is padded with a copy of the last sample, one long is
/// cut. Throws AudioFailure "Unexpected audio duration." (same rate, wrong length),
/// "Cannot convert this sample rate for Sidon.", "Sidon audio conversion failed.",
/// "Sidon audio converter stalled." and "Sidon sample-rate conversion changed the audio
/// duration."; Cancelled between converter chunks.
std::vector<float> resample(const std::vector<float>& samples, double from, double to,
                            int64_t expected, std::stop_token cancel = {});

}  // namespace corvaline::SidonTimeline
