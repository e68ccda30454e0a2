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
    tickFrames(values.data(), values.size(), 1, selected);
}

void DialogueLeveler::tickFrames(double* frames, size_t stride, long count,
                                 std::span<const bool> selected) {
    const size_t n = std::min(stride, energy_.size());
    const auto lane = [&](double* block, size_t i, bool on) {
        const bool isSelected = i < selected.size() && selected[i];
        return Lane{block + i, &energy_[i], &gainDB_[i], on && isSelected, isSelected};
    };
    // Channels two at a time, one in each lane; an odd one left over shares its register with a
    // copy of itself whose results are dropped.
    const auto run = [&](double* block, size_t m, bool on) {
        size_t i = 0;
        for (; i + 1 < n; i += 2)
            pairFrames(lane(block, i, on), lane(block, i + 1, on), stride, m);
        if (i < n) {
            double energy = energy_[i];
            double gain = gainDB_[i];
            pairFrames(lane(block, i, on), Lane{block + i, &energy, &gain, false, false}, stride,
                       m);
        }
    };
    if (!enabled_) {
        // Off: the gains only relax, frame by frame, and once every one is back at 0 dB the
        // frames pass untouched.
        for (long k = 0; k < count; ++k) {
            if (idle()) return;
            run(frames + size_t(k) * stride, 1, false);
        }
        return;
    }
    for (long from = 0; from < count; from += kBlock)
        run(frames + size_t(from) * stride, size_t(std::min(kBlock, count - from)), true);
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

void DialogueLeveler::pairFrames(const Lane& a, const Lane& b, size_t stride, size_t m) {
    // The leveler's law in two lanes (a, b): its branches become per-lane choices between
    // values that are computed either way.
    const Doubles2 ae = both(energyCoefficient_);
    const Doubles2 rest = both(1 - energyCoefficient_);
    const Doubles2 quiet = both(quietEnergy_);
    const Doubles2 tiny = both(1e-15);
    const Doubles2 zero = both(0.0);
    const Doubles2 one = both(1.0);
    Doubles2 energy = {*a.energy, *b.energy};
    for (size_t k = 0; k < m; ++k) {
        const Doubles2 x =
            dsp_detail::finiteOrZero(Doubles2{a.column[k * stride], b.column[k * stride]});
        energy = ae * energy + rest * x * x;
        const Mask2 below = energy < quiet;
        const Mask2 silent = below | (energy < tiny);
        std::memcpy(&input_[2 * k], &x, sizeof x);
        const Doubles2 power = silent ? one : energy;
        std::memcpy(&level_[2 * k], &power, sizeof power);
        std::memcpy(&pairBelow_[2 * k], &below, sizeof below);
        std::memcpy(&pairSilent_[2 * k], &silent, sizeof silent);
    }
    *a.energy = energy[0];
    *b.energy = energy[1];
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
        wishAvx512(wishes, 2 * m, law, a.choose, b.choose);
    } else if (dsp_detail::withAvx2()) {
        wishAvx2(wishes, 2 * m, law, a.choose, b.choose);
    } else {
        wishSse2(wishes, 2 * m, law, a.choose, b.choose);
    }
    // The gain's recursion, a * gain + (1 − a) * desired: each coefficient's step is worked
    // out and the right one kept, so the recursion waits on no comparison.
    const Doubles2 pauseLanes = both(pause);
    const Doubles2 fastLanes = both(fast);
    const Doubles2 rideLanes = both(ride);
    const Doubles2 pauseStep = (one - pauseLanes) * zero;
    Doubles2 gain = {*a.gain, *b.gain};
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
    *a.gain = gain[0];
    *b.gain = gain[1];
    if (!a.apply && !b.apply) return;
    vector_math::decibelGains(gain_.data(), level_.data(), 2 * m);
    for (size_t k = 0; k < m; ++k) {
        if (a.apply) a.column[k * stride] = input_[2 * k] * level_[2 * k];
        if (b.apply) b.column[k * stride] = input_[2 * k + 1] * level_[2 * k + 1];
    }
}

}  // namespace corvaline
