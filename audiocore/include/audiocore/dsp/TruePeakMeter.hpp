#pragma once
// Strict true-peak measurement: the largest magnitude of the band-limited signal a block of
// samples describes, as closely as any compliant meter could read it.
//
// The 4x interpolator of BS.1770 meters (and of the limiter's detector) under-reads peaks that
// fall between its four phases, and its short filter under-reads content near half the rate:
// together up to about 0.5 dB on hot, bright material. This meter first interpolates every
// sample interval on an 8x grid with a short (64-tap) Kaiser-windowed sinc, then re-measures on
// a 64x grid with a long (256-tap) one around every grid value within 1 dB of what a peak could
// reach between grid points (a signal band-limited to half the rate exceeds its 8x grid by at
// most 1/cos(π/16)). The 64x maximum is reported raised by the same bound for its own grid
// (1/cos(π/128), +0.003 dB): an upper bound of the reconstructed peak, not an estimate of it.
//
// Spans whose samples cannot interpolate above the peak already found (their largest sample
// times the long kernel's largest absolute sum) are skipped, so measuring is cheap away from the
// loudest passages. Memory is fixed by the largest block added; add() allocates only when a
// block is longer than every earlier one. One meter is used by one thread at a time.

#include <cstdint>
#include <span>
#include <vector>

#include "audiocore/model/AudioBuffer.hpp"

namespace corvaline {

class TruePeakMeter {
  public:
    /// Input samples each value of the first (8x) grid reads.
    static constexpr int kShortTaps = 64;
    /// Input samples each refined (64x) value reads.
    static constexpr int kLongTaps = 256;
    /// Phases of the refined grid; the first grid uses every kGridStep-th.
    static constexpr int kPhases = 64;
    static constexpr int kGridStep = 8;

    /// A meter for `channels` channels (1…kMaxChannels).
    explicit TruePeakMeter(int channels);

    /// Adds `frames` frames of `channels()` non-interleaved channels. Non-finite samples count
    /// as 0.
    void add(const float* const* planes, uint32_t frames);
    /// Adds the block's channels listed in `indices` (all when empty), in that order.
    void add(const AudioBuffer& block, std::span<const int> indices = {});

    /// The peak so far, linear, including the last samples (the meter is flushed with silence
    /// on a copy of its state, so more audio may still be added).
    double peak() const;
    /// peak() in dBTP; minus infinity for digital silence.
    double peakDB() const;

    int channels() const { return channels_; }

    /// The most a change of at most `error` in every sample (rounding to integer PCM) can move
    /// the reading, linear: the long kernel's largest absolute sum times `error`, with the
    /// same grid allowance as peak().
    double errorBound(double error) const;

  private:
    struct Channel {
        std::vector<float> samples;  ///< context before, the unmeasured samples, context after
        int64_t held = 0;            ///< samples in `samples`
    };
    void scanChannel(Channel& line, int64_t positions);

    int channels_;
    std::vector<Channel> lines_;
    std::vector<float> grid_;  ///< kPhases/kGridStep × kShortTaps, unit DC gain per phase
    std::vector<float> fine_;  ///< kPhases × kLongTaps, unit DC gain per phase
    double fineSum_ = 1;       ///< largest Σ|h| over the fine phases
    double peak_ = 0;          ///< largest refined value so far
    std::vector<float> chunkLimit_;
    std::vector<uint32_t> order_;
};

}  // namespace corvaline
