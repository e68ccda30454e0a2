#pragma once
// Per-frame gains for the two configured lav channels that turn down the mic of the person
// who is not talking. It only attenuates: no subtraction, no channel moves, no separation.

#include <array>
#include <limits>
#include <span>
#include <vector>

#include "audiocore/dsp/Biquad.hpp"
#include "audiocore/dsp/InterviewAutomix.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

class LavBleedSuppressor {
  public:
    /// Sizes the detector windows for `rate` (allocates here only); pair [−1, −1],
    /// mode correlated, everything zeroed.
    explicit LavBleedSuppressor(double rate);

    /// Adopts new settings. A change of the channel pair or of the mode resets the detector
    /// state (a pair change also snaps the gains to 0 dB; a mode change alone lets them glide).
    void configure(const ProcessingSettings& settings);

    /// One detector frame (the unprocessed source when available); `selected` has at least
    /// as many entries as `frame`. Returns the linear gains for bleedChannelA and
    /// bleedChannelB. An unusable pair (same channel twice, out of range, or a lav channel
    /// not selected) returns (1, 1) and drops the gains to 0 dB at once.
    std::array<double, 2> tick(std::span<const double> frame, std::span<const bool> selected,
                               const ProcessingSettings& settings);
    /// tick() with the gains in dB (0 for a gain of 1): callers that convert many frames'
    /// gains at once use vector_math::decibelGains, which gives tick()'s bits.
    std::array<double, 2> tickDB(std::span<const double> frame, std::span<const bool> selected,
                                 const ProcessingSettings& settings);
    /// `frames` ticks at once: frame k's detector samples of bleedChannelA and bleedChannelB are
    /// a[k] and b[k] in a recording of `channels` channels; its gains in dB go to dB[2k] (A) and
    /// dB[2k + 1] (B). The same as `frames` calls of tickDB().
    void tickFrames(const double* a, const double* b, long frames, long channels,
                    std::span<const bool> selected, const ProcessingSettings& settings, double* dB);

    double rate() const { return rate_; }
    int decimation() const { return decimation_; }
    int size() const { return size_; }
    int lag() const { return lag_; }
    /// Target gains in dB (0 or negative) for A and B.
    const std::array<double, 2>& target() const { return target_; }
    /// Current smoothed gains in dB for A and B.
    const std::array<double, 2>& gains() const { return gains_; }
    /// Attenuation in dB for A and B (≥ 0), the bleed meter.
    const std::array<double, 2>& reduction() const { return reduction_; }
    /// Best normalised correlation of the last correlated analysis.
    double similarity() const { return similarity_; }
    /// The last correlated analysis found both mics active and left both open.
    bool overlappingSpeech() const { return overlappingSpeech_; }
    const std::array<int, 2>& pair() const { return pair_; }
    LavBleedMode mode() const { return mode_; }
    const InterviewAutomix& interview() const { return interview_; }

  private:
    /// What a tick does with the current settings: leave both mics open (an unusable pair),
    /// let the gains fall back (switched off), or run the detector.
    enum class Step { open, release, run };
    /// Adopts the settings for the ticks that follow; the same for every tick until they change.
    Step prepare(long channels, std::span<const bool> selected, const ProcessingSettings& settings);
    void releaseStep();
    /// Detector frames: A's and B's samples; their gains in dB to dB[2k], dB[2k + 1].
    void runFrames(const double* a, const double* b, long frames,
                   const ProcessingSettings& settings, double* dB);
    /// A decimated pair of lowpassed samples into the windows, analysed every 25 ms.
    void store(double x, double y, const ProcessingSettings& settings);
    void analyse(const ProcessingSettings& settings);

    double rate_;
    int decimation_;
    int size_;
    int lag_;
    std::vector<double> a_;
    std::vector<double> b_;
    int position_ = 0;
    int filled_ = 0;
    int tickCount_ = 0;
    int analysisCount_ = 0;
    std::array<double, 2> target_{0, 0};
    std::array<double, 2> gains_{0, 0};
    std::array<double, 2> reduction_{0, 0};
    double similarity_ = 0;
    bool overlappingSpeech_ = false;
    InterviewAutomix interview_;
    std::array<int, 2> pair_{-1, -1};
    LavBleedMode mode_ = LavBleedMode::correlated;
    std::array<Biquad, 2> correlationLowPass_;
    // Time-ordered copies of the windows for the lag search (allocated with the windows).
    std::vector<double> lineA_;
    std::vector<double> lineB_;
    // One-pole coefficients, recomputed when the release setting changes.
    double cachedRelease_ = std::numeric_limits<double>::quiet_NaN();
    double releaseCoefficient_ = 0;
    double attackCoefficient_ = 0;
    double overlapCoefficient_ = 0;
    double reopenCoefficient_ = 0;
    double releaseRate_ = std::numeric_limits<double>::quiet_NaN();
    // Detector trims as amplitude ratios, recomputed when the trim settings change.
    std::array<double, 2> cachedTrim_{std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::quiet_NaN()};
    std::array<double, 2> trimGain_{1, 1};
    double disableCoefficient_ = 0;
};

}  // namespace corvaline
