#pragma once
// Strict true-peak measurement: the largest magnitude of the band-limited signal a block of
// samples describes, as closely as any compliant meter could read it.
//
// The 4x interpolator of BS.1770 meters (and of the limiter's detector) under-reads peaks that
// fall between its four phases, and its short filter under-reads content near half the rate:
// together up to about 0.5 dB on hot, bright material. This meter reads the signal on a 64x grid
// with a long (256-tap) Kaiser-windowed sinc and reports the largest value raised by the bound
// of a band-limited signal between the points of that grid (1/cos(π/128), +0.003 dB): an upper
// bound of the reconstructed peak, not an estimate of it.
//
// Evaluating the long kernel everywhere would cost 16 000 products a sample, so it is evaluated
// only at the tops of the lobes that could hold the peak:
//  - Every sample interval is first read on an 8x grid with a short (64-tap) kernel. Between
//    grid points a signal band-limited to half the rate exceeds its grid by at most
//    1/cos(π/16); the short kernel misses up to about 1 dB of content up to 0.45 of the rate,
//    and more of content closer to half the rate, so each span of 32 samples also reads its
//    middle phase with the long kernel and widens the margin by twice what the short kernel
//    strays from it there. Only a lobe whose grid values come within those margins of the peak
//    can rise above it.
//  - In such a lobe the refined signal rises to one top and falls again (a lobe is the stretch
//    between two local minima). A local maximum of the grid lies in the lobe whose top it
//    approximates, and climbing the refined 64x values from it, one point at a time while they
//    rise, ends exactly at that lobe's top: the refined values are evaluated at a few points per
//    lobe, not over its width. A lobe without a grid maximum of its own is one whose dip
//    towards its neighbour is shallower than the short kernel's error, so the neighbour's top
//    reads it to within that error.
//  - Spans of 32 samples whose samples cannot interpolate above the peak already found (their
//    largest sample times the long kernel's largest absolute sum) are skipped, loudest first, so
//    measuring is cheap away from the loudest passages; so are spans whose samples and long
//    middle phase (a grid of two points a sample, exceeded by at most 1/cos(π/4), with the
//    same 1 dB allowance) stay under the peak, before the short phases are computed.
//  - The interval before the first sample is measured too: an abrupt start rings there.
// The sums run in vector lanes (AVX2 where the processor has it, SSE2 otherwise) in the same
// order either way, so a reading does not depend on the processor. Content within about 2% of
// half the rate is ambiguous to every interpolator; there, meters with other kernels read a
// few hundredths of a dB apart.
//
// Memory is fixed by the largest block added; add() allocates only when a block is longer than
// every earlier one. One meter is used by one thread at a time.

#include <cstdint>
#include <memory>
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
    struct Kernels {
        std::vector<float> grid;  ///< kPhases/kGridStep × kShortTaps, unit DC gain per phase
        std::vector<float> fine;  ///< kPhases × kLongTaps, unit DC gain per phase
        double fineSum = 1;       ///< largest Σ|h| over the fine phases
    };
    std::shared_ptr<const Kernels> kernels_;
    const float* grid_ = nullptr;
    const float* fine_ = nullptr;
    double fineSum_ = 1;
    double peak_ = 0;  ///< largest refined value so far
    std::vector<float> blockLimit_;
    std::vector<float> chunkLimit_;
    std::vector<uint32_t> order_;
};

}  // namespace corvaline
