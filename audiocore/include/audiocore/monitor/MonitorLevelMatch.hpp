#pragma once
// RMS level matching for A/B listening. A louder side always sounds "better"; the match
// measures the same audition passage in the untouched recording and in the rendered preview,
// through the listening mix the monitor will play (mute, solo, stereo or dual mono), and turns
// the louder side down to the quieter one. Neither side is ever boosted, and both are turned
// down together when a matched peak would exceed 0.99 of full scale.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"

namespace corvaline::MonitorLevelMatch {

/// Frames read per chunk (two buffers of this size are allocated per measurement).
inline constexpr uint32_t kChunkFrames = 32768;
/// RMS at or below which a side counts as silent and no matching happens.
inline constexpr double kSilenceRMS = 1e-5;
/// Largest matched peak, linear.
inline constexpr double kPeakCeiling = 0.99;

/// Level of one passage through the listening mix.
struct Statistics {
    double rms = 0;   ///< linked RMS of the listening mix (linear, full scale 1.0); 0 for no frames
    double peak = 0;  ///< largest absolute sample of either side of the mix
    int64_t frames = 0;  ///< passage length in frames
    double rate = 0;     ///< sample rate of the file, Hz
    friend bool operator==(const Statistics&, const Statistics&) = default;
};

/// The channels the monitor makes audible, in channel order, for a file of `channelCount`
/// channels: with nothing soloed every unmuted channel (and every channel beyond `states`);
/// otherwise the soloed, unmuted ones. `process` plays no part.
std::vector<int> audibleChannels(int channelCount, const std::vector<ChannelSettings>& states);

/// True when the listening mix is left/right stereo: two channels, both audible.
bool isStereoMix(int channelCount, const std::vector<int>& audible);

/// Measures `range` of `url` (none = the whole file) through the listening mix for `states`.
/// Throws AudioFailure "Invalid level-matching passage." (negative start, empty or reversed
/// range, end beyond the file) and "Invalid monitor audio." (a non-finite mixed sample);
/// open and read errors propagate; Cancelled is checked before every chunk.
Statistics statistics(const std::filesystem::path& url, std::optional<AudioFrameRange> range,
                      const std::vector<ChannelSettings>& states, std::stop_token cancel = {});

/// The gain rule: (original gain, processed gain), both linear and at most 1. Throws
/// AudioFailure "Level comparison requires the same audition passage." when the passages
/// differ in length or sample rate. Either side at or below kSilenceRMS gives (1, 1).
std::pair<double, double> matchGains(const Statistics& original, const Statistics& processed);

/// Measures both passages with the same states and applies matchGains. Failures as for
/// statistics() and matchGains().
std::pair<double, double> gains(const std::filesystem::path& original,
                                std::optional<AudioFrameRange> originalRange,
                                const std::filesystem::path& processed,
                                std::optional<AudioFrameRange> processedRange,
                                const std::vector<ChannelSettings>& states,
                                std::stop_token cancel = {});

}  // namespace corvaline::MonitorLevelMatch
