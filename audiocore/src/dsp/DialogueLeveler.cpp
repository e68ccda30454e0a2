#include "audiocore/dsp/DialogueLeveler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audiocore/dsp/Guard.hpp"
#include "audiocore/dsp/VectorMath.hpp"
#include "audiocore/dsp/Vectors.hpp"
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
typedef double Doubles4 __attribute__((vector_size(32)));
typedef long long Mask4 __attribute__((vector_size(32)));
typedef double Doubles8 __attribute__((vector_size(64)));
typedef long long Mask8 __attribute__((vector_size(64)));

inline Doubles2 both(double x) {
    return Doubles2{x, x};
}

/// What a stage's frames ask of the gain, from their levels alone.
struct Wishes {
    const double* level;      ///< ln of each value's energy (ln 1 when silent)
    const long long* silent;  ///< lane masks: the level counts as −150 dB
    long long* pausing;       ///< in: under the floor's power; out: the gain rests
    double* desired;          ///< out: the gain wanted, dB
    double* fastStep;         ///< out: (1 − fast) × desired
    double* rideStep;         ///< out: (1 − ride) × desired
};

/// The leveler's law for values [from, to) of two interleaved channels, `Lanes` at a time
/// (kWidth even, so lane l is channel l mod 2): the arithmetic of tick() in every lane.
template <typename Lanes, typename Mask, int kWidth>
__attribute__((always_inline)) inline void wishLanes(const Wishes& w, size_t from, size_t to,
                                                     const double (&p)[8], bool selectedA,
                                                     bool selectedB) {
    const Lanes zero = Lanes{};
    const Lanes one = zero + 1.0;
    const Lanes target = zero + p[0];
    const Lanes lowest = zero + p[1];
    const Lanes highest = zero + p[2];
    const Lanes gate = zero + p[3];
    const Lanes fastRest = zero + p[4];
    const Lanes rideRest = zero + p[5];
    const Lanes toDB = zero + p[6];
    Mask chosen;
    for (int l = 0; l < kWidth; ++l)
        chosen[l] = (l % 2 == 0 ? selectedA : selectedB) ? -1LL : 0LL;
    for (size_t i = from; i + kWidth <= to; i += kWidth) {
        Lanes level;
        Mask silent;
        Mask below;
        std::memcpy(&level, w.level + i, sizeof level);
        std::memcpy(&silent, w.silent + i, sizeof silent);
        std::memcpy(&below, w.pausing + i, sizeof below);
        level = silent ? zero - 150.0 : level * toDB;
        const Mask pausing = below | (level <= gate);
        // std::clamp(v, lo, hi) in each lane.
        const Lanes over = target - level;
        const Lanes g0 = over < lowest ? lowest : (highest < over ? highest : over);
        const Lanes ramp = (level - gate) * 0.125;
        const Lanes weight = ramp < zero ? zero : (one < ramp ? one : ramp);
        const Lanes wanted = g0 > zero ? weight * g0 : g0;
        const Lanes desired = pausing ? zero : (chosen ? wanted : zero);
        const Lanes fast = fastRest * desired;
        const Lanes ride = rideRest * desired;
        std::memcpy(w.pausing + i, &pausing, sizeof pausing);
        std::memcpy(w.desired + i, &desired, sizeof desired);
        std::memcpy(w.fastStep + i, &fast, sizeof fast);
        std::memcpy(w.rideStep + i, &ride, sizeof ride);
    }
}

void wishSse2(const Wishes& w, size_t n, const double (&p)[8], bool a, bool b) {
    wishLanes<Doubles2, Mask2, 2>(w, 0, n, p, a, b);
}

__attribute__((target("avx2"))) void wishAvx2(const Wishes& w, size_t n, const double (&p)[8],
                                              bool a, bool b) {
    wishLanes<Doubles4, Mask4, 4>(w, 0, n, p, a, b);
    wishLanes<Doubles2, Mask2, 2>(w, n / 4 * 4, n, p, a, b);
}

__attribute__((target("avx512f"))) void wishAvx512(const Wishes& w, size_t n, const double (&p)[8],
                                                   bool a, bool b) {
    wishLanes<Doubles8, Mask8, 8>(w, 0, n, p, a, b);
    wishLanes<Doubles2, Mask2, 2>(w, n / 8 * 8, n, p, a, b);
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

    // What each frame wants follows from its level alone: worked out for the whole stage in
    // the widest lanes, which leaves the recursion only its step and its choice.
    const double pause = pauseCoefficient_;
    const double fast = fastCoefficient_;
    const double ride = rideCoefficient_;
    const double law[8] = {
        target_, -maxCut_, maxBoost_, gate_, 1 - fast, 1 - ride, dsp_detail::kPowerToDB, 0};
    const Wishes wishes{level_.data(), pairSilent_.data(), pairBelow_.data(),
                        level_.data(), fastStep_.data(),   rideStep_.data()};
    if (dsp_detail::withAvx512()) {
        wishAvx512(wishes, 2 * m, law, selectedA, selectedB);
    } else if (dsp_detail::withAvx2()) {
        wishAvx2(wishes, 2 * m, law, selectedA, selectedB);
    } else {
        wishSse2(wishes, 2 * m, law, selectedA, selectedB);
    }
    // The gain's recursion, a * gain + (1 − a) * desired: each coefficient's step is worked
    // out and the right one kept, so the recursion waits on no comparison.
    const Doubles2 pauseLanes = both(pause);
    const Doubles2 fastLanes = both(fast);
    const Doubles2 rideLanes = both(ride);
    const Doubles2 pauseStep = (one - pauseLanes) * zero;
    Doubles2 gain = {gainDB_[i], gainDB_[i + 1]};
    for (size_t k = 0; k < m; ++k) {
        Doubles2 desired;
        Doubles2 fastStep;
        Doubles2 rideStep;
        Mask2 pausing;
        std::memcpy(&desired, &level_[2 * k], sizeof desired);
        std::memcpy(&fastStep, &fastStep_[2 * k], sizeof fastStep);
        std::memcpy(&rideStep, &rideStep_[2 * k], sizeof rideStep);
        std::memcpy(&pausing, &pairBelow_[2 * k], sizeof pausing);
        const Doubles2 viaPause = pauseLanes * gain + pauseStep;
        const Doubles2 viaFast = fastLanes * gain + fastStep;
        const Doubles2 viaRide = rideLanes * gain + rideStep;
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
