#pragma once
// Loudness normalisation: measures the finished programme (a DSPStream with normalisation off)
// and turns the measurement into a gain that reaches the target loudness without exceeding the
// maximum boost or the true-peak ceiling.
//
// Plans are kept in one process-wide first-in-first-out cache of 8 entries, keyed by the
// source, its modification time and size, the range, the original and sidechain files (with
// their offsets, modification times and sizes), the complete settings and the process flags.
// The cache lock is held only for lookup and insertion; two identical requests at the same
// time may both measure. A failed measurement never enters the cache.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/finishing/FinishingInput.hpp"
#include "audiocore/finishing/LoudnessReport.hpp"
#include "audiocore/finishing/OriginalAudioReference.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::LoudnessNormalization {

/// Largest number of plans kept.
inline constexpr size_t kCacheEntries = 8;

/// The plan for the processed programme of `input`: its finished output (normalisation off)
/// measured over the processed channels. The cache key is the input itself, with the channel
/// flags reduced to the process flags, plus the modification time and size of every file it
/// reads. Errors of the file system (reading the files' attributes), of the stream and of the
/// meter propagate, as does Cancelled. `progress` follows the measurement (a cached plan
/// reports nothing).
NormalizationPlan plan(const FinishingInput& input, std::stop_token cancel = {},
                       const ProgressCallback& progress = {});

/// The plan for the processed programme of `source` over `range` (none = the whole file).
/// Errors of the file system (reading the files' attributes), of the stream and of the meter
/// propagate, as does Cancelled. `progress` follows the measurement (a cached plan reports
/// nothing).
NormalizationPlan plan(const std::filesystem::path& source, std::optional<AudioFrameRange> range,
                       const ProcessingSettings& settings,
                       const std::vector<ChannelSettings>& channels,
                       std::optional<OriginalAudioReference> original = std::nullopt,
                       std::optional<OriginalAudioReference> sidechain = std::nullopt,
                       std::stop_token cancel = {}, const ProgressCallback& progress = {});

/// The gain decision for a measured programme: target (-36...-9 LUFS, non-finite -16) minus
/// the integrated loudness, limited by the maximum boost (0...24 dB, non-finite 18) and by the
/// room under the ceiling (-90...0 dBTP, non-finite -1) less 0.05 dB. Without an integrated
/// loudness the gain is 0.
NormalizationPlan decide(const LoudnessReport& measured, const ProcessingSettings& settings);

/// Empties the plan cache.
void clearCache();

/// Number of plans currently cached.
size_t cacheSize();

}  // namespace corvaline::LoudnessNormalization
