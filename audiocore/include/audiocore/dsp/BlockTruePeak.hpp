#pragma once
// The 4x true-peak interpolator of BS.1770 meters (the taps of cv_peak and libebur128: 49
// Hann-windowed sinc taps, 4 phases), run a block at a time. Each phase's sums accumulate in
// double in order of increasing delay, exactly as the frame-by-frame detector does, so the
// readings are bit-identical to it; the block form lets the compiler run many output samples
// side by side. Used by the loudness meter, which keeps libebur128 for the gated loudness only,
// and by the limiter's detector a stage of frames at a time.
//
// Allocates at construction and when a block is longer than every earlier one. One thread at a
// time.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvaline {

class BlockTruePeak {
  public:
    /// Delay line of the interpolator, in samples.
    static constexpr int kDelay = 13;

    explicit BlockTruePeak(int channels);

    /// Makes room for blocks of up to `frames` samples, so that adding them allocates nothing.
    void reserve(uint32_t frames);

    /// Adds `frames` samples of channel `c` (finite samples expected). Returns the largest
    /// absolute value among those samples and their interpolated values.
    double add(int c, const float* samples, uint32_t frames);

    /// The same for each frame: raises framePeaks[i] to the largest absolute value among sample
    /// i and its interpolated values, exactly as a frame-by-frame detector reads that frame.
    void addFrames(int c, const float* samples, uint32_t frames, double* framePeaks);

    /// Largest value so far for channel `c` (linear).
    double peak(int c) const { return peaks_[size_t(c)]; }
    int channels() const { return int(peaks_.size()); }

  private:
    /// Reads the block; raises framePeaks[i] (when given) to each sample's reading and returns
    /// the largest.
    double run(int c, const float* samples, uint32_t frames, double* framePeaks);

    std::vector<double> taps_;                ///< [delay][phase], delays 0…kDelay−1
    int span_ = 0;                            ///< delays with non-zero taps on phases 1-3
    int centre_ = 0;                          ///< the one delay of phase 0
    std::vector<std::vector<double>> lines_;  ///< per channel: kDelay history + the block
    std::vector<double> peaks_;
};

}  // namespace corvaline
