#pragma once
// Rides each selected channel's gain toward a speech level target, like a slow automatic
// fader: an energy detector with gain bounds and a floor, not a speech classifier.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

class DialogueLeveler {
  public:
    /// `channels` entries of energy and gain, all 0 (0 dB gain). Allocates here only.
    DialogueLeveler(double rate, int channels);

    /// Processes one frame in place: every channel (up to the frame's and the leveler's
    /// length) is measured; the gain is multiplied into the selected channels only.
    /// `selected` must be at least as long as `values`. Reads levelerEnabled, levelerTarget
    /// (−40…−12, else −24), levelerMaxBoost (0…18, else 9), levelerMaxCut (0…24, else 12),
    /// levelerGate (−80…−20, else −48) and levelerSpeed (200…3000 ms, else 800).
    /// Idle (nothing measured or applied) while off with every gain back at 0 dB.
    /// Same as configure(settings) followed by tick(values, selected).
    void tick(std::span<double> values, std::span<const bool> selected,
              const ProcessingSettings& settings);

    /// Derives the guarded settings and the time constants; call when the settings change.
    void configure(const ProcessingSettings& settings);
    /// One frame with the settings of the last configure().
    void tick(std::span<double> values, std::span<const bool> selected);

    /// The same as tick() on `frames` consecutive frames of `stride` values each (frame-major),
    /// sample for sample; the frames' logarithms and exponentials are computed apart from the
    /// gain's recursion so that they overlap.
    void tickFrames(double* frames, size_t stride, long count, std::span<const bool> selected);

    double rate() const { return rate_; }
    /// Whether a tick would do nothing: off, with every gain back at 0 dB.
    bool idle() const {
        return !enabled_ && std::all_of(gainDB_.begin(), gainDB_.end(),
                                        [](double g) { return std::abs(g) < 1e-12; });
    }
    /// Smoothed mean square per channel (linear power).
    const std::vector<double>& energy() const { return energy_; }
    /// Current gain per channel, dB.
    const std::vector<double>& gainDB() const { return gainDB_; }

  private:
    /// Frames tickFrames() takes at a time.
    static constexpr long kBlock = 64;

    /// One channel as a lane of pairFrames(): its column of samples (`stride` apart), its
    /// energy and gain, whether the law may ask for a gain (on and selected) and whether the
    /// gain is applied (selected).
    struct Lane {
        double* column;
        double* energy;
        double* gain;
        bool choose;
        bool apply;
    };
    /// The law on two channels over `m` frames, one in each lane.
    void pairFrames(const Lane& a, const Lane& b, size_t stride, size_t m);

    double rate_;
    // pairFrames(): two channels' values interleaved.
    std::array<double, 2 * kBlock> input_{};  ///< the finite inputs
    std::array<double, 2 * kBlock> level_{};  ///< their energies' logarithms, then wishes
    std::array<double, 2 * kBlock> gain_{};   ///< … the gains in dB
    /// … lane masks: under the floor's power (then: the gain rests) …
    std::array<long long, 2 * kBlock> pairBelow_{};
    std::array<long long, 2 * kBlock> pairSilent_{};  ///< … and the level taken as −150 dB
    std::array<double, 2 * kBlock> fastStep_{};       ///< (1 − fast) × the desired gain, dB
    std::array<double, 2 * kBlock> rideStep_{};       ///< (1 − ride) × the desired gain, dB
    std::vector<double> energy_;
    std::vector<double> gainDB_;
    // Derived by configure(): the guarded settings, the one-pole coefficients (recomputed only
    // when the ride time changes) and the power just below the floor (10^(gate/10)).
    bool enabled_ = false;
    double target_ = -24;
    double maxBoost_ = 9;
    double maxCut_ = 12;
    double gate_ = -48;
    double cachedRide_ = std::numeric_limits<double>::quiet_NaN();
    double energyCoefficient_ = 0;
    double rideCoefficient_ = 0;
    double fastCoefficient_ = 0;
    double pauseCoefficient_ = 0;
    double cachedGate_ = std::numeric_limits<double>::quiet_NaN();
    double quietEnergy_ = 0;
};

}  // namespace corvaline
