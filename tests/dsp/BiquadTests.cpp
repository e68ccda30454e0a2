// Filter designs against the audio-EQ-cookbook formulas written out here, the parameter
// guards, the response floor and the identity section.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audiocore/dsp/Biquad.hpp"

using namespace corvaline;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

/// The cookbook's b0, b1, b2, a0, a1, a2 for each kind, normalised by a0 at the end.
std::array<double, 5> cookbook(EQKind kind, double fs, double f0, double dB, double Q) {
    const double A = std::pow(10, dB / 40), w0 = 2 * 3.141592653589793 * f0 / fs;
    const double cs = std::cos(w0), alpha = std::sin(w0) / (2 * Q), sq = 2 * std::sqrt(A) * alpha;
    std::array<double, 6> r{};
    switch (kind) {
        case EQKind::lowPass:
            r = {(1 - cs) / 2, 1 - cs, (1 - cs) / 2, 1 + alpha, -2 * cs, 1 - alpha};
            break;
        case EQKind::highPass:
            r = {(1 + cs) / 2, -(1 + cs), (1 + cs) / 2, 1 + alpha, -2 * cs, 1 - alpha};
            break;
        case EQKind::notch:
            r = {1, -2 * cs, 1, 1 + alpha, -2 * cs, 1 - alpha};
            break;
        case EQKind::peak:
            r = {1 + alpha * A, -2 * cs, 1 - alpha * A, 1 + alpha / A, -2 * cs, 1 - alpha / A};
            break;
        case EQKind::lowShelf:
            r = {A * ((A + 1) - (A - 1) * cs + sq), 2 * A * ((A - 1) - (A + 1) * cs),
                 A * ((A + 1) - (A - 1) * cs - sq), (A + 1) + (A - 1) * cs + sq,
                 -2 * ((A - 1) + (A + 1) * cs),     (A + 1) + (A - 1) * cs - sq};
            break;
        case EQKind::highShelf:
            r = {A * ((A + 1) + (A - 1) * cs + sq), -2 * A * ((A - 1) + (A + 1) * cs),
                 A * ((A + 1) + (A - 1) * cs - sq), (A + 1) - (A - 1) * cs + sq,
                 2 * ((A - 1) - (A + 1) * cs),      (A + 1) - (A - 1) * cs - sq};
            break;
    }
    return {r[0] / r[3], r[1] / r[3], r[2] / r[3], r[4] / r[3], r[5] / r[3]};
}

void expectDesign(const Biquad& f, EQKind kind, double fs, double f0, double dB, double Q) {
    const auto c = cookbook(kind, fs, f0, dB, Q);
    const double got[] = {f.b0, f.b1, f.b2, f.a1, f.a2};
    for (int i = 0; i < 5; ++i)
        EXPECT_NEAR(got[i], c[size_t(i)], 1e-12) << "coefficient " << i;
    EXPECT_EQ(f.z1, 0);
    EXPECT_EQ(f.z2, 0);
}

}  // namespace

TEST(Biquad, DesignsMatchTheCookbookWithGuardedParameters) {
    struct Case {
        EQKind kind;
        double rate, frequency, gain, q;        // asked for
        double usedFrequency, usedGain, usedQ;  // what the design must use
    };
    const Case cases[] = {
        {EQKind::highPass, 48000, 80, 12, 0.7, 80, 0, 0.7},  // pass filters ignore the gain
        {EQKind::lowShelf, 48000, 120, -3, 0.7, 120, -3, 0.7},
        {EQKind::peak, 8000, 1000, -18, 0.3, 1000, -18, 0.3},
        {EQKind::highShelf, 44100, 9000, 6, 0.8, 9000, 6, 0.8},
        {EQKind::lowPass, 96000, 16000, kNaN, 0.5, 16000, 0, 0.5},
        {EQKind::notch, 48000, 60, 0, 8, 60, 0, 8},
        {EQKind::peak, 44100, 20000, 3, 1, 19845, 3, 1},  // 0.45 × rate
        {EQKind::peak, 96000, 20000, 3, 1, 20000, 3, 1},
        {EQKind::highPass, 48000, 2, 0, 1, 10, 0, 1},  // at least 10 Hz
        {EQKind::lowPass, 48000, kNaN, 0, 1, 1000, 0, 1},
        {EQKind::lowPass, 2000, kNaN, 0, 1, 900, 0, 1},
        {EQKind::lowPass, 20, 5, 0, 1, 10, 0, 1},  // 10 Hz wins over 0.45 × rate
        {EQKind::peak, 48000, 1000, 30, 1, 1000, 24, 1},
        {EQKind::lowShelf, 48000, 1000, -kInf, 1, 1000, 0, 1},
        {EQKind::peak, 48000, 1000, 6, 0, 1000, 6, 0.1},
        {EQKind::peak, 48000, 1000, 6, 50, 1000, 6, 18},
        {EQKind::peak, 48000, 1000, 6, kInf, 1000, 6, 0.70710678},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.kind)) + " " + std::to_string(c.frequency));
        expectDesign(Biquad(c.kind, c.rate, c.frequency, c.gain, c.q), c.kind, c.rate,
                     c.usedFrequency, c.usedGain, c.usedQ);
    }
    // From a band: the enabled flag is the caller's business.
    expectDesign(Biquad(EQBand(3, EQKind::highShelf, 7000, -5, 0.9, false), 48000),
                 EQKind::highShelf, 48000, 7000, -5, 0.9);
}

TEST(Biquad, ResponseFloorAndIdentity) {
    Biquad identity;
    const Biquad flatBell(EQKind::peak, 48000, 1000, kNaN, 1);
    for (double f : {20.0, 1000.0, 23999.0}) {
        EXPECT_NEAR(identity.response(f, 48000), 0, 1e-12);
        EXPECT_NEAR(flatBell.response(f, 48000), 0, 1e-9);
    }
    EXPECT_NEAR(Biquad(EQKind::peak, 48000, 1000, 9, 1).response(1000, 48000), 9, 1e-9);
    EXPECT_DOUBLE_EQ(Biquad(EQKind::notch, 48000, 1000, 0, 4).response(1000, 48000), -150);
    Biquad vanishing;  // denominator (1 - z^-1)^2 is zero at DC
    vanishing.a1 = -2;
    vanishing.a2 = 1;
    EXPECT_TRUE(std::isfinite(vanishing.response(0, 48000)));

    EXPECT_EQ(Biquad::identity(), identity);
    for (double x : {0.0, 1.0, -0.25, 1e-30, -1e6})
        EXPECT_EQ(identity.process(x), x);
}

TEST(Biquad, APairOfLanesFiltersEachSectionAsItWouldAlone) {
    // Two different sections with state, so that a lane mixed up in the constructor or in
    // storeState() shows.
    Biquad p(EQKind::highPass, 48000, 150, 0, 0.70710678);
    Biquad q(EQKind::peak, 44100, 2500, -7, 2.5);
    p.z1 = 0.125;
    q.z2 = -0.5;
    Biquad alone[2] = {p, q};
    BiquadPair pair(p, q);
    for (int n = 0; n < 500; ++n) {
        const double a = std::sin(0.05 * n);
        const double b = n % 7 == 0 ? 0.9 : -0.1;
        const BiquadPair::Lanes y = pair.process(BiquadPair::Lanes{a, b});
        ASSERT_EQ(y[0], alone[0].process(a)) << n;
        ASSERT_EQ(y[1], alone[1].process(b)) << n;
    }
    pair.storeState(p, q);
    EXPECT_EQ(p, alone[0]);
    EXPECT_EQ(q, alone[1]);
}
