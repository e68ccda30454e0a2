#pragma once
// LoudnessMeter: EBU R128 integrated loudness, loudness range and true peak over the selected
// channels of an audio stream. libebur128 measures the loudness in histogram mode (memory does
// not grow with duration); the 4x true peak is the library's own interpolator run a block at a
// time here (BlockTruePeak, bit-identical readings), which is several times cheaper.
//
// Every selected channel is registered with weight 1.0 (no surround weighting, no LFE
// exclusion). One process-wide lock serialises every libebur128 call across all meters, so
// measurements on different tasks may run side by side. A single meter is used by one task at
// a time.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/dsp/BlockTruePeak.hpp"
#include "audiocore/finishing/LoudnessReport.hpp"
#include "audiocore/model/AudioBuffer.hpp"

namespace corvaline {

class LoudnessMeter {
  public:
    /// Frames per read of measure().
    static constexpr uint32_t kReadFrames = 16384;

    /// `channels` is the channel count of the blocks that will be added; `selected` flags the
    /// measured channels (none measures all; an index beyond the list is not selected).
    /// Throws AudioFailure "Loudness analysis needs 1-64 selected audio tracks at 8-192 kHz."
    /// and "Could not prepare loudness analysis." (library state not created).
    LoudnessMeter(double rate, int channels,
                  const std::optional<std::vector<bool>>& selected = std::nullopt);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    /// Adds one non-interleaved block at the meter's rate (its frameLength() frames).
    /// Throws "Loudness analysis is already complete." after report(), "Invalid loudness
    /// buffer format." when a selected channel is missing from the block, "Non-finite audio
    /// cannot be normalized." (nothing of the block is added) and "Loudness analysis failed."
    void add(const AudioBuffer& block);
    /// As add(block), also requiring the block's sample rate to equal the meter's
    /// ("Invalid loudness buffer format." otherwise).
    void add(const AudioBuffer& block, double blockRate);

    /// The report. The first call finalises the meter (flushing the true-peak interpolator
    /// with 24 frames of silence, after the loudness values were read); later calls return
    /// the same report.
    LoudnessReport report();

    /// Measures a whole file over the selected channels. Open and read errors propagate;
    /// Cancelled is checked before every read.
    static LoudnessReport measure(const std::filesystem::path& file,
                                  const std::optional<std::vector<bool>>& selected = std::nullopt,
                                  std::stop_token cancel = {});

    /// Momentary loudness (400 ms window) of what was added so far, in LUFS; minus infinity
    /// for silence or before 400 ms. Not available after report().
    double momentary();
    /// Short-term loudness (3 s window) of what was added so far, in LUFS; minus infinity for
    /// silence or before 3 s. Not available after report().
    double shortTerm();
    /// The largest 4x true peak of the frames of the last add(), over the measured channels,
    /// as a linear amplitude. Not available after report().
    double lastTruePeak();
    /// Per measured channel (in indices() order), after report(): the 4x true peak and the
    /// sample peak, as linear amplitudes.
    const std::vector<double>& channelTruePeaks() const { return channelTruePeaks_; }
    const std::vector<double>& channelSamplePeaks() const { return channelSamplePeaks_; }

    /// The strict true peak of a whole file over the selected channels, in dBTP (minus
    /// infinity for silence or when no channel is selected): TruePeakMeter's upper bound of
    /// the reconstructed signal, which no compliant meter reads higher. Open and read errors
    /// propagate; Cancelled is checked before every read.
    static double measureTruePeak(const std::filesystem::path& file,
                                  const std::optional<std::vector<bool>>& selected = std::nullopt,
                                  std::stop_token cancel = {});

    /// The measured channel indices, ascending.
    const std::vector<int>& indices() const { return indices_; }
    double rate() const { return rate_; }
    /// Frames added so far.
    int64_t frames() const { return frames_; }

  private:
    void* state_ = nullptr;  ///< the libebur128 state (ebur128_state*)
    std::vector<int> indices_;
    double rate_ = 0;
    std::vector<float> samples_;
    int64_t frames_ = 0;
    std::optional<LoudnessReport> finished_;
    /// The 4x true peak, measured here a block at a time (libebur128 keeps the loudness).
    std::unique_ptr<BlockTruePeak> truePeak_;
    double lastPeak_ = 0;  ///< largest 4x value of the last block added
    std::vector<double> channelTruePeaks_;
    std::vector<double> channelSamplePeaks_;
};

}  // namespace corvaline
