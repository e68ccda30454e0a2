#pragma once
// Interview automix between two lav microphones: the dominant mic keeps full gain, the
// quieter one is turned down; a recently dominant mic stays open through short gaps.

#include <array>

#include "audiocore/dsp/SpeechBandDetector.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

class InterviewAutomix {
  public:
    explicit InterviewAutomix(double rate);

    /// Fresh detectors, holds 0, decision counter 0, targets (0, 0).
    void reset();

    /// Takes the guarded trims (bleedTrimA/B, −24…+24 dB, as power ratios), floor
    /// (bleedFloor −80…−20, else −48), difference (bleedDifference 3…18, else 6), depth
    /// (bleedDepth 0…36, else 18) and speech hold (bleedHold 0…500 ms, else 120).
    void configure(const ProcessingSettings& settings);

    /// One frame of mic A and mic B; returns the target gains in dB (A, B), 0 or negative.
    /// A new decision is taken every 5 ms; between decisions the last targets are returned.
    std::array<double, 2> tick(double a, double b);
    /// `frames` ticks at once: frame k's samples a[k] (mic A) and b[k] (mic B), its targets to
    /// targets[2k] and targets[2k + 1]. The same as `frames` calls of tick().
    void tickFrames(const double* a, const double* b, long frames, double* targets);

    double rate() const { return rate_; }
    const std::array<SpeechBandDetector, 2>& detectors() const { return detectors_; }
    const std::array<long, 2>& hold() const { return hold_; }
    const std::array<double, 2>& targets() const { return targets_; }
    const std::array<double, 2>& trim() const { return trim_; }
    double floor() const { return floor_; }
    double difference() const { return difference_; }
    double depth() const { return depth_; }
    long holdFrames() const { return holdFrames_; }

  private:
    /// Takes a decision from the two band energies.
    void decide(double eA, double eB);

    double rate_;
    std::array<SpeechBandDetector, 2> detectors_;
    std::array<long, 2> hold_{0, 0};
    long elapsed_ = 0;
    std::array<double, 2> targets_{0, 0};
    std::array<double, 2> trim_{1, 1};
    double floor_ = -48;
    double difference_ = 6;
    double depth_ = 18;
    long holdFrames_ = 0;
    long interval_ = 0;  ///< frames between decisions (5 ms)
};

}  // namespace corvaline
