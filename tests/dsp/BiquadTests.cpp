// Filter designs checked against the audio-EQ-cookbook formulas written out here, the
// parameter guards, the response floor and the identity section.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "audiocore/dsp/Biquad.hpp"

using namespace corvaline;

namespace {

struct Coefficients {
    double b0, b1, b2, a1, a2;
};

// Straight from the cookbook: H(s) prototypes bilinear-transformed, written independently of
// the code under test (shelves use 2·sqrt(A)·alpha, the bell alpha·A and alpha/A).
Coefficients cookbook(EQKind kind, double fs, double f0, double dBgain, double Q) {
    const double pi = 3.141592653589793;
    const double A = std::pow(10, dBgain / 40);
    const double w0 = 2 * pi * f0 / fs;
    const double cs = std::cos(w0), sn = std::sin(w0);
    const double alpha = sn / (2 * Q);
    const double sq = 2 * std::sqrt(A) * alpha;
    double b[3] = {1, 0, 0}, a[3] = {1, 0, 0};
    switch (kind) {
        case EQKind::lowPass:
            b[0] = (1 - cs) / 2, b[1] = 1 - cs, b[2] = (1 - cs) / 2;
            a[0] = 1 + alpha, a[1] = -2 * cs, a[2] = 1 - alpha;
            break;
        case EQKind::highPass:
            b[0] = (1 + cs) / 2, b[1] = -(1 + cs), b[2] = (1 + cs) / 2;
            a[0] = 1 + alpha, a[1] = -2 * cs, a[2] = 1 - alpha;
            break;
        case EQKind::notch:
            b[0] = 1, b[1] = -2 * cs, b[2] = 1;
            a[0] = 1 + alpha, a[1] = -2 * cs, a[2] = 1 - alpha;
            break;
        case EQKind::peak:
            b[0] = 1 + alpha * A, b[1] = -2 * cs, b[2] = 1 - alpha * A;
            a[0] = 1 + alpha / A, a[1] = -2 * cs, a[2] = 1 - alpha / A;
            break;
        case EQKind::lowShelf:
            b[0] = A * ((A + 1) - (A - 1) * cs + sq);
            b[1] = 2 * A * ((A - 1) - (A + 1) * cs);
            b[2] = A * ((A + 1) - (A - 1) * cs - sq);
            a[0] = (A + 1) + (A - 1) * cs + sq;
            a[1] = -2 * ((A - 1) + (A + 1) * cs);
            a[2] = (A + 1) + (A - 1) * cs - sq;
            break;
        case EQKind::highShelf:
            b[0] = A * ((A + 1) + (A - 1) * cs + sq);
            b[1] = -2 * A * ((A - 1) + (A + 1) * cs);
            b[2] = A * ((A + 1) + (A - 1) * cs - sq);
            a[0] = (A + 1) - (A - 1) * cs + sq;
            a[1] = 2 * ((A - 1) - (A + 1) * cs);
            a[2] = (A + 1) - (A - 1) * cs - sq;
            break;
    }
    return {b[0] / a[0], b[1] / a[0], b[2] / a[0], a[1] / a[0], a[2] / a[0]};
}

void expectCoefficients(const Biquad& f, const Coefficients& c) {
    EXPECT_NEAR(f.b0, c.b0, 1e-12);
    EXPECT_NEAR(f.b1, c.b1, 1e-12);
    EXPECT_NEAR(f.b2, c.b2, 1e-12);
    EXPECT_NEAR(f.a1, c.a1, 1e-12);
    EXPECT_NEAR(f.a2, c.a2, 1e-12);
    EXPECT_EQ(f.z1, 0);
    EXPECT_EQ(f.z2, 0);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(Biquad, EveryKindMatchesTheCookbook) {
    struct Case {
        EQKind kind;
        double rate, frequency, gain, q;
    };
    const Case cases[] = {
        {EQKind::highPass, 48000, 80, 0, 0.70710678}, {EQKind::lowShelf, 48000, 120, -3, 0.7},
        {EQKind::peak, 48000, 2500, 4.5, 1.4},        {EQKind::highShelf, 44100, 9000, 6, 0.8},
        {EQKind::lowPass, 96000, 16000, 0, 0.5},      {EQKind::notch, 48000, 60, 0, 8},
        {EQKind::lowShelf, 22050, 300, 12, 2},        {EQKind::peak, 8000, 1000, -18, 0.3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.kind)));
        expectCoefficients(Biquad(c.kind, c.rate, c.frequency, c.gain, c.q),
                           cookbook(c.kind, c.rate, c.frequency, c.gain, c.q));
    }
    const EQBand band(3, EQKind::highShelf, 7000, -5, 0.9, /*enabled=*/false);
    expectCoefficients(Biquad(band, 48000), cookbook(EQKind::highShelf, 48000, 7000, -5, 0.9));
}

TEST(Biquad, ParametersAreGuardedBeforeTheDesign) {
    // Frequency: at most 0.45 × rate, then at least 10 Hz; NaN designs at 1000 Hz.
    expectCoefficients(Biquad(EQKind::peak, 44100, 20000, 3, 1),
                       cookbook(EQKind::peak, 44100, 19845, 3, 1));
    expectCoefficients(Biquad(EQKind::peak, 96000, 20000, 3, 1),
                       cookbook(EQKind::peak, 96000, 20000, 3, 1));
    expectCoefficients(Biquad(EQKind::highPass, 48000, 2, 0, 1),
                       cookbook(EQKind::highPass, 48000, 10, 0, 1));
    expectCoefficients(Biquad(EQKind::lowPass, 48000, kNaN, 0, 1),
                       cookbook(EQKind::lowPass, 48000, 1000, 0, 1));
    expectCoefficients(Biquad(EQKind::lowPass, 2000, kNaN, 0, 1),
                       cookbook(EQKind::lowPass, 2000, 900, 0, 1));
    expectCoefficients(Biquad(EQKind::lowPass, 20, 5, 0, 1),
                       cookbook(EQKind::lowPass, 20, 10, 0, 1));
    // Gain: ±24 dB; NaN is flat.
    expectCoefficients(Biquad(EQKind::peak, 48000, 1000, 30, 1),
                       cookbook(EQKind::peak, 48000, 1000, 24, 1));
    expectCoefficients(Biquad(EQKind::lowShelf, 48000, 1000, -kInf, 1),
                       cookbook(EQKind::lowShelf, 48000, 1000, 0, 1));
    // Q: 0.1 … 18; non-finite is 0.70710678.
    expectCoefficients(Biquad(EQKind::peak, 48000, 1000, 6, 0),
                       cookbook(EQKind::peak, 48000, 1000, 6, 0.1));
    expectCoefficients(Biquad(EQKind::peak, 48000, 1000, 6, 50),
                       cookbook(EQKind::peak, 48000, 1000, 6, 18));
    expectCoefficients(Biquad(EQKind::peak, 48000, 1000, 6, kInf),
                       cookbook(EQKind::peak, 48000, 1000, 6, 0.70710678));
    // The pass filters ignore the gain.
    EXPECT_EQ(Biquad(EQKind::highPass, 48000, 100, 18, 0.7),
              Biquad(EQKind::highPass, 48000, 100, 0, 0.7));
    EXPECT_EQ(Biquad(EQKind::lowPass, 48000, 100, kNaN, 0.7),
              Biquad(EQKind::lowPass, 48000, 100, 0, 0.7));
}

TEST(Biquad, ResponseHasAFloorAndMatchesTheDesign) {
    const Biquad flat(EQKind::peak, 48000, 1000, kNaN, 1);
    const Biquad notch(EQKind::notch, 48000, 1000, 0, 4);
    const Biquad bell(EQKind::peak, 48000, 1000, 9, 1);
    for (double f : {20.0, 100.0, 1000.0, 5000.0, 23999.0}) {
        EXPECT_NEAR(Biquad().response(f, 48000), 0, 1e-12);
        EXPECT_NEAR(flat.response(f, 48000), 0, 1e-9);
    }
    EXPECT_NEAR(bell.response(1000, 48000), 9, 1e-9);
    EXPECT_NEAR(Biquad(EQKind::highPass, 48000, 500, 0, 0.70710678).response(500, 48000), -3.0103,
                1e-3);
    EXPECT_DOUBLE_EQ(notch.response(1000, 48000), -150);
    // A vanishing denominator cannot divide by zero.
    Biquad degenerate;
    degenerate.a1 = -2;
    degenerate.a2 = 1;  // D(z) = (1 - z^-1)^2, zero at DC
    EXPECT_TRUE(std::isfinite(degenerate.response(0, 48000)));
}

TEST(Biquad, IdentityPassesEverySampleAndProcessingMatchesTheDifferenceEquation) {
    Biquad identity = Biquad::identity();
    EXPECT_EQ(identity, Biquad());
    for (double x : {0.0, 1.0, -0.25, 1e-30, 3.5, -1e6})
        EXPECT_EQ(identity.process(x), x);

    // Transposed direct form II equals the direct form y = b·x − a·y.
    Biquad f(EQKind::peak, 48000, 700, 6, 2);
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (int n = 0; n < 2000; ++n) {
        const double x = std::sin(n * 0.137) + (n == 10 ? 1.0 : 0.0);
        const double expected = f.b0 * x + f.b1 * x1 + f.b2 * x2 - f.a1 * y1 - f.a2 * y2;
        const double y = f.process(x);
        ASSERT_NEAR(y, expected, 1e-12);
        x2 = x1, x1 = x, y2 = y1, y1 = expected;
    }
}
