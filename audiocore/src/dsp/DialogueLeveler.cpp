#include "audiocore/dsp/DialogueLeveler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/VectorMath.hpp"
#include "audiocore/model/SettingsFields.hpp"

namespace corvaline {

using dsp_detail::onePole;

DialogueLeveler::DialogueLeveler(double rate, int channels)
    : rate_(rate),
      energy_(size_t(std::max(channels, 0)), 0.0),
      gainDB_(size_t(std::max(channels, 0)), 0.0) {}

void DialogueLeveler::tick(std::span<double> values, std::span<const bool> selected,
                           const ProcessingSettings& settings) {
    configure(settings);
    tick(values, selected);
}

void DialogueLeveler::configure(const ProcessingSettings& settings) {
    enabled_ = settings.levelerEnabled;
    target_ = Setting::levelerTarget.guarded(settings);
    maxBoost_ = Setting::levelerMaxBoost.guarded(settings);
    maxCut_ = Setting::levelerMaxCut.guarded(settings);
    gate_ = Setting::levelerGate.guarded(settings);
    const double ride = Setting::levelerSpeed.guarded(settings) / 1000;
    if (ride != cachedRide_) {
        cachedRide_ = ride;
        energyCoefficient_ = onePole(rate_, 0.04);
        rideCoefficient_ = onePole(rate_, ride);
        fastCoefficient_ = onePole(rate_, std::min(ride, 0.15));
        pauseCoefficient_ = onePole(rate_, 0.03);
    }
    // An energy this far below the floor's power is at or below the floor whatever the
    // logarithm's rounding: such frames skip the logarithm.
    if (gate_ != cachedGate_) {
        cachedGate_ = gate_;
        quietEnergy_ = std::pow(10.0, gate_ / 10) * (1 - 1e-9);
    }
}

void DialogueLeveler::tick(std::span<double> values, std::span<const bool> selected) {
    const bool enabled = enabled_;
    if (!enabled) {
        bool idle = true;
        for (double g : gainDB_) {
            if (std::abs(g) >= 1e-12) {
                idle = false;
                break;
            }
        }
        if (idle) return;
    }
    const double target = target_;
    const double maxBoost = maxBoost_;
    const double maxCut = maxCut_;
    const double gate = gate_;
    const double ae = energyCoefficient_;
    const double quiet = quietEnergy_;

    const size_t n = std::min(values.size(), energy_.size());
    for (size_t i = 0; i < n; ++i) {
        const double x = std::isfinite(values[i]) ? values[i] : 0.0;
        const bool isSelected = i < selected.size() && selected[i];
        energy_[i] = ae * energy_[i] + (1 - ae) * x * x;
        const bool belowFloor = energy_[i] < quiet;
        const double level =
            belowFloor || energy_[i] < 1e-15 ? -150.0 : dsp_detail::powerToDB(energy_[i]);

        double desired = 0;
        double a;
        if (belowFloor || level <= gate) {
            a = pauseCoefficient_;
        } else if (enabled && isSelected) {
            const double g0 = std::clamp(target - level, -maxCut, maxBoost);
            const double weight = std::clamp((level - gate) * 0.125, 0.0, 1.0);
            desired = g0 > 0 ? weight * g0 : g0;
            a = desired < gainDB_[i] ? fastCoefficient_ : rideCoefficient_;
        } else {
            a = 0 < gainDB_[i] ? fastCoefficient_ : rideCoefficient_;
        }
        gainDB_[i] = a * gainDB_[i] + (1 - a) * desired;
        if (isSelected) values[i] = gainDB_[i] == 0 ? x : x * dsp_detail::dbToGain(gainDB_[i]);
    }
}

void DialogueLeveler::tickFrames(double* frames, size_t stride, long count,
                                 std::span<const bool> selected) {
    if (!enabled_) {
        // Off: the gains only relax (and the ticks stop once they are back at 0 dB).
        for (long k = 0; k < count; ++k)
            tick({frames + size_t(k) * stride, stride}, selected);
        return;
    }
    const double target = target_;
    const double maxBoost = maxBoost_;
    const double maxCut = maxCut_;
    const double gate = gate_;
    const double ae = energyCoefficient_;
    const double quiet = quietEnergy_;
    const size_t n = std::min(stride, energy_.size());
    for (long from = 0; from < count; from += kBlock) {
        const auto m = size_t(std::min(kBlock, count - from));
        double* const block = frames + size_t(from) * stride;
        // Channels two at a time, one in each lane; an odd one left over runs alone.
        size_t i = 0;
        for (; i + 1 < n; i += 2) {
            pairFrames(block, stride, m, i, i < selected.size() && selected[i],
                       i + 1 < selected.size() && selected[i + 1]);
        }
        for (; i < n; ++i) {
            const bool isSelected = i < selected.size() && selected[i];
            // The energies, then their levels in one batch of logarithms (frames under the
            // floor take ln 1, which they never use).
            double energy = energy_[i];
            for (size_t k = 0; k < m; ++k) {
                const double v = block[k * stride + i];
                const double x = std::isfinite(v) ? v : 0.0;
                input_[k] = x;
                energy = ae * energy + (1 - ae) * x * x;
                below_[k] = energy < quiet;
                silent_[k] = below_[k] || energy < 1e-15;
                level_[k] = silent_[k] ? 1.0 : energy;
            }
            energy_[i] = energy;
            vector_math::log(level_.data(), level_.data(), m);
            for (size_t k = 0; k < m; ++k)
                level_[k] = silent_[k] ? -150.0 : level_[k] * dsp_detail::kPowerToDB;
            // The gain's recursion, as tick() runs it.
            double gain = gainDB_[i];
            for (size_t k = 0; k < m; ++k) {
                const double level = level_[k];
                double desired = 0;
                double a;
                if (below_[k] || level <= gate) {
                    a = pauseCoefficient_;
                } else if (isSelected) {
                    const double g0 = std::clamp(target - level, -maxCut, maxBoost);
                    const double weight = std::clamp((level - gate) * 0.125, 0.0, 1.0);
                    desired = g0 > 0 ? weight * g0 : g0;
                    a = desired < gain ? fastCoefficient_ : rideCoefficient_;
                } else {
                    a = 0 < gain ? fastCoefficient_ : rideCoefficient_;
                }
                gain = a * gain + (1 - a) * desired;
                gain_[k] = gain;
            }
            gainDB_[i] = gain;
            if (!isSelected) continue;
            // The gains in one batch of exponentials (a gain of exactly 1 at 0 dB).
            dsp_detail::dbToGains(gain_.data(), level_.data(), m);
            for (size_t k = 0; k < m; ++k)
                block[k * stride + i] = input_[k] * level_[k];
        }
    }
}

namespace {

typedef double Doubles2 __attribute__((vector_size(16)));
typedef long long Mask2 __attribute__((vector_size(16)));

inline Doubles2 both(double x) {
    return Doubles2{x, x};
}

/// std::clamp(v, lo, hi) in each lane.
inline Doubles2 clampLanes(Doubles2 v, Doubles2 lo, Doubles2 hi) {
    return v < lo ? lo : (hi < v ? hi : v);
}

}  // namespace

void DialogueLeveler::pairFrames(double* block, size_t stride, size_t m, size_t i, bool selectedA,
                                 bool selectedB) {
    // The arithmetic of tick() in two lanes (channel i, channel i + 1): its branches become
    // per-lane choices between values that are computed either way.
    const Doubles2 ae = both(energyCoefficient_);
    const Doubles2 rest = both(1 - energyCoefficient_);
    const Doubles2 quiet = both(quietEnergy_);
    const Doubles2 tiny = both(1e-15);
    const Doubles2 zero = both(0.0);
    const Doubles2 one = both(1.0);
    Doubles2 energy = {energy_[i], energy_[i + 1]};
    for (size_t k = 0; k < m; ++k) {
        const Doubles2 v = {block[k * stride + i], block[k * stride + i + 1]};
        // v − v is 0 exactly when v is finite.
        const Doubles2 x = (v - v) == zero ? v : zero;
        energy = ae * energy + rest * x * x;
        const Mask2 below = energy < quiet;
        const Mask2 silent = below | (energy < tiny);
        std::memcpy(&input_[2 * k], &x, sizeof x);
        const Doubles2 power = silent ? one : energy;
        std::memcpy(&level_[2 * k], &power, sizeof power);
        std::memcpy(&pairBelow_[2 * k], &below, sizeof below);
        std::memcpy(&pairSilent_[2 * k], &silent, sizeof silent);
    }
    energy_[i] = energy[0];
    energy_[i + 1] = energy[1];
    vector_math::log(level_.data(), level_.data(), 2 * m);

    const Doubles2 target = both(target_);
    const Doubles2 lowest = both(-maxCut_);
    const Doubles2 highest = both(maxBoost_);
    const Doubles2 gate = both(gate_);
    const Doubles2 eighth = both(0.125);
    const Doubles2 pause = both(pauseCoefficient_);
    const Doubles2 fast = both(fastCoefficient_);
    const Doubles2 ride = both(rideCoefficient_);
    const Doubles2 toDB = both(dsp_detail::kPowerToDB);
    const Mask2 chosen = {selectedA ? -1LL : 0LL, selectedB ? -1LL : 0LL};
    Doubles2 gain = {gainDB_[i], gainDB_[i + 1]};
    for (size_t k = 0; k < m; ++k) {
        Doubles2 level;
        Mask2 below;
        Mask2 silent;
        std::memcpy(&level, &level_[2 * k], sizeof level);
        std::memcpy(&below, &pairBelow_[2 * k], sizeof below);
        std::memcpy(&silent, &pairSilent_[2 * k], sizeof silent);
        level = silent ? both(-150.0) : level * toDB;
        const Mask2 pausing = below | (level <= gate);
        const Doubles2 g0 = clampLanes(target - level, lowest, highest);
        const Doubles2 weight = clampLanes((level - gate) * eighth, zero, one);
        const Doubles2 wanted = g0 > zero ? weight * g0 : g0;
        const Doubles2 desired = pausing ? zero : (chosen ? wanted : zero);
        // Each coefficient's step is worked out and the right one kept, so the recursion
        // waits on no comparison: the same arithmetic as a * gain + (1 − a) * desired.
        const Doubles2 viaPause = pause * gain + (one - pause) * zero;
        const Doubles2 viaFast = fast * gain + (one - fast) * desired;
        const Doubles2 viaRide = ride * gain + (one - ride) * desired;
        gain = pausing ? viaPause : (desired < gain ? viaFast : viaRide);
        std::memcpy(&gain_[2 * k], &gain, sizeof gain);
    }
    gainDB_[i] = gain[0];
    gainDB_[i + 1] = gain[1];
    if (!selectedA && !selectedB) return;
    dsp_detail::dbToGains(gain_.data(), level_.data(), 2 * m);
    for (size_t k = 0; k < m; ++k) {
        if (selectedA) block[k * stride + i] = input_[2 * k] * level_[2 * k];
        if (selectedB) block[k * stride + i + 1] = input_[2 * k + 1] * level_[2 * k + 1];
    }
}

}  // namespace corvaline
