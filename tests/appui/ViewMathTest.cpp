// The drawing and gesture arithmetic of the small views, against hand-computed values and an
// independent RBJ bell formula.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "ui/ViewMath.hpp"

namespace corvaline::ui {
namespace {

TEST(ClockString, FormatsMinutesSecondsMilliseconds) {
    EXPECT_EQ(clockString(3725.5), "62:05.500");  // minutes do not wrap at the hour
    EXPECT_EQ(clockString(0), "00:00.000");
    EXPECT_EQ(clockString(59.9999), "00:59.999");  // truncated, never rounded up
    EXPECT_EQ(clockString(61.001), "01:01.001");
    EXPECT_EQ(clockString(-3), "00:00.000");
    EXPECT_EQ(clockString(std::nan("")), "00:00.000");
    EXPECT_EQ(clockString(INFINITY), "00:00.000");
}

TEST(Meters, FloorReadsMinusInfinityAndNearFullScaleWarns) {
    EXPECT_EQ(meterText(-90), "-inf");
    EXPECT_EQ(meterText(-120), "-inf");
    EXPECT_EQ(meterText(-INFINITY), "-inf");
    EXPECT_EQ(meterText(std::nan("")), "-inf");
    EXPECT_EQ(meterText(-89.9), "-89.9");
    EXPECT_EQ(meterText(-0.5), "-0.5");
    EXPECT_TRUE(meterWarning(-0.5));
    EXPECT_TRUE(meterWarning(-1));
    EXPECT_FALSE(meterWarning(-1.05));
    EXPECT_FALSE(meterWarning(std::nan("")));
    EXPECT_DOUBLE_EQ(meterFraction(-90), 0);
    EXPECT_DOUBLE_EQ(meterFraction(0), 1);
}

TEST(Meters, MiniMeterFractionIsClampedAndWarnsStrictlyAboveMinusOne) {
    EXPECT_DOUBLE_EQ(miniMeterFraction(-60), 0);
    EXPECT_DOUBLE_EQ(miniMeterFraction(-30), 0.5);
    EXPECT_DOUBLE_EQ(miniMeterFraction(0), 1);
    EXPECT_DOUBLE_EQ(miniMeterFraction(6), 1);
    EXPECT_DOUBLE_EQ(miniMeterFraction(-90), 0);
    EXPECT_DOUBLE_EQ(miniMeterFraction(std::nan("")), 0);
    EXPECT_FALSE(miniMeterWarning(-1));
    EXPECT_TRUE(miniMeterWarning(-0.5));
}

TEST(EqualizerAxis, EndsAtFortyFivePercentOfTheRateOrTwentyKilohertz) {
    EXPECT_DOUBLE_EQ(eqMaxFrequency(0), 20000);  // no recording selected: 48 kHz
    EXPECT_DOUBLE_EQ(eqMaxFrequency(32000), 14400);
    EXPECT_DOUBLE_EQ(eqMaxFrequency(44100), 19845);
    EXPECT_DOUBLE_EQ(eqMaxFrequency(96000), 20000);
    EXPECT_DOUBLE_EQ(eqMaxFrequency(std::nan("")), 20000);
    EXPECT_DOUBLE_EQ(eqCurveFrequency(0, 14400), 20);
    EXPECT_NEAR(eqCurveFrequency(200, 14400), 14400, 1e-9);
    EXPECT_NEAR(eqCurveFrequency(100, 14400), std::sqrt(20.0 * 14400), 1e-9);
    EXPECT_NEAR(eqXFraction(14400, 14400), 1, 1e-12);
    EXPECT_NEAR(eqXFraction(20, 14400), 0, 1e-12);
    EXPECT_DOUBLE_EQ(eqXFraction(30000, 14400), 1);
}

// |H(f)| in dB of an RBJ peaking EQ, written out independently of the engine's Biquad.
double rbjBellDB(double f0, double gainDB, double q, double rate, double f) {
    const double A = std::pow(10, gainDB / 40);
    const double w0 = 2 * std::numbers::pi * f0 / rate;
    const double alpha = std::sin(w0) / (2 * q);
    const double b0 = 1 + alpha * A, b1 = -2 * std::cos(w0), b2 = 1 - alpha * A;
    const double a0 = 1 + alpha / A, a1 = -2 * std::cos(w0), a2 = 1 - alpha / A;
    const double w = 2 * std::numbers::pi * f / rate;
    auto mag2 = [w](double c0, double c1, double c2) {
        const double re = c0 + c1 * std::cos(w) + c2 * std::cos(2 * w);
        const double im = -c1 * std::sin(w) - c2 * std::sin(2 * w);
        return re * re + im * im;
    };
    return 10 * std::log10(mag2(b0, b1, b2) / mag2(a0, a1, a2));
}

TEST(EqualizerCurve, SumsTheEnabledBandsAt201LogSpacedPoints) {
    ProcessingSettings s;
    for (auto& band : s.eqBands)
        band.enabled = false;
    s.eqBands[3] = EQBand(3, EQKind::peak, 1000, 6, 1.0);
    s.eqBands[5] = EQBand(5, EQKind::peak, 4000, -4, 2.0);
    const auto curve = eqCurve(s, 48000);
    ASSERT_EQ(curve.size(), 201u);
    const double fmax = eqMaxFrequency(48000);
    for (int i : {0, 57, 100, 133, 150, 200}) {
        const double f = eqCurveFrequency(i, fmax);
        EXPECT_NEAR(curve[size_t(i)],
                    rbjBellDB(1000, 6, 1.0, 48000, f) + rbjBellDB(4000, -4, 2.0, 48000, f), 1e-6)
            << "point " << i;
    }
}

TEST(EqualizerCurve, IsFlatWithTheEqOffAndIgnoresDisabledBands) {
    ProcessingSettings s;
    s.eqBands[4].gain = 12;
    s.eqEnabled = false;
    for (double v : eqCurve(s, 48000))
        EXPECT_EQ(v, 0);
    s.eqEnabled = true;
    for (auto& band : s.eqBands)
        band.enabled = false;
    for (double v : eqCurve(s, 32000))
        EXPECT_EQ(v, 0);
}

TEST(EqualizerDrag, MapsThePointerToFrequencyAndGain) {
    EXPECT_DOUBLE_EQ(eqFrequencyForDrag(0, 20000), 20);
    EXPECT_NEAR(eqFrequencyForDrag(1, 14400), 14400, 1e-9);
    EXPECT_NEAR(eqFrequencyForDrag(1.7, 14400), 14400, 1e-9);  // past the right edge
    EXPECT_DOUBLE_EQ(eqFrequencyForDrag(-0.3, 14400), 20);     // past the left edge
    EXPECT_DOUBLE_EQ(eqGainForDrag(0.5), 0);
    EXPECT_DOUBLE_EQ(eqGainForDrag(0.25), 12);
    EXPECT_DOUBLE_EQ(eqGainForDrag(0), 24);
    EXPECT_DOUBLE_EQ(eqGainForDrag(-1), 24);
    EXPECT_DOUBLE_EQ(eqGainForDrag(2), -24);
    // A handle drawn at a gain is dragged back to the same gain.
    for (double g : {-24.0, -7.5, 0.0, 3.25, 24.0})
        EXPECT_NEAR(eqGainForDrag(eqYFraction(g)), g, 1e-9);
    EXPECT_EQ(eqHandleSize(true), 18);
    EXPECT_EQ(eqHandleSize(false), 12);
    EXPECT_EQ(eqHandleGain(EQBand(0, EQKind::highPass, 80, 9)), 0);
    EXPECT_EQ(eqHandleGain(EQBand(1, EQKind::lowShelf, 150, -3)), -3);
}

TEST(CompressorCurve, Has121HalfDecibelStepsAndFollowsTheStaticLaw) {
    const auto curve = compressorCurve(-20, 4, 0, 2);
    ASSERT_EQ(curve.size(), 121u);
    EXPECT_DOUBLE_EQ(curve.front().first, -60);
    EXPECT_DOUBLE_EQ(curve.back().first, 0);
    EXPECT_DOUBLE_EQ(curve[1].first - curve[0].first, 0.5);
    EXPECT_DOUBLE_EQ(curve[40].second, -40 + 2);                 // below the threshold: makeup only
    EXPECT_NEAR(curve.back().second, -20 + 20.0 / 4 + 2, 1e-9);  // 20 dB over at 4:1
    // A soft knee bends the curve around the threshold but meets the hard law outside it.
    const auto soft = compressorCurve(-20, 4, 12, 0);
    EXPECT_NEAR(soft[120].second, -20 + 20.0 / 4, 1e-9);
    EXPECT_LT(soft[80].second, -20.0);  // at the threshold some reduction already applies
    EXPECT_DOUBLE_EQ(compressorAxisFraction(-60), 0);
    EXPECT_DOUBLE_EQ(compressorAxisFraction(-15), 0.75);
}

TEST(WaveformDrag, ReverseDragSelectsTheSameOrderedSpan) {
    const auto forward = dragSelection(100, 300, 400, 0, 20);
    const auto reverse = dragSelection(300, 100, 400, 0, 20);
    EXPECT_EQ(forward, reverse);
    EXPECT_DOUBLE_EQ(forward.first, 5);
    EXPECT_DOUBLE_EQ(forward.second, 15);
    // Zoomed in: the view shows 10 s to 15 s.
    const auto zoomed = dragSelection(400, 0, 400, 10, 5);
    EXPECT_DOUBLE_EQ(zoomed.first, 10);
    EXPECT_DOUBLE_EQ(zoomed.second, 15);
    // Dragging past either edge stops at the view's bounds.
    const auto wide = dragSelection(-50, 900, 400, 0, 20);
    EXPECT_DOUBLE_EQ(wide.first, 0);
    EXPECT_DOUBLE_EQ(wide.second, 20);
    EXPECT_DOUBLE_EQ(timeAtX(200, 0, 3, 10), 3);  // an unlaid-out view never divides by 0
    EXPECT_DOUBLE_EQ(seekFraction(5, 20), 0.25);
    EXPECT_DOUBLE_EQ(seekFraction(5, 0), 0);
    EXPECT_DOUBLE_EQ(waveformBarWidth(100, 1000), 0.75);
    EXPECT_DOUBLE_EQ(waveformBarWidth(1000, 100), 10);
}

TEST(WaveformZoom, WindowFollowsThePlayheadInsideTheFile) {
    EXPECT_EQ(zoomWindow(60, 1, 30), std::make_pair(0.0, 60.0));
    EXPECT_EQ(zoomWindow(60, 4, 30), std::make_pair(22.5, 15.0));
    EXPECT_EQ(zoomWindow(60, 4, 1), std::make_pair(0.0, 15.0));
    EXPECT_EQ(zoomWindow(60, 4, 59), std::make_pair(45.0, 15.0));
    EXPECT_EQ(zoomWindow(60, 0.25, 10), std::make_pair(0.0, 60.0));  // never wider than the file
    EXPECT_EQ(zoomStep(1, false), 1);
    EXPECT_EQ(zoomStep(1, true), 2);
    EXPECT_EQ(zoomStep(64, true), 64);
}

TEST(ParameterScale, LogarithmicControlsMapPositionGeometrically) {
    EXPECT_DOUBLE_EQ(parameterValue(0, 20, 20000, true), 20);
    EXPECT_NEAR(parameterValue(0.5, 20, 20000, true), std::sqrt(20.0 * 20000), 1e-9);
    EXPECT_NEAR(parameterValue(1, 0.1, 18, true), 18, 1e-12);
    EXPECT_DOUBLE_EQ(parameterValue(0.5, -60, 0, false), -30);
    for (double v : {20.0, 150.0, 1000.0, 19999.0})
        EXPECT_NEAR(parameterValue(parameterPosition(v, 20, 20000, true), 20, 20000, true), v,
                    1e-6);
    EXPECT_DOUBLE_EQ(parameterPosition(5, 20, 20000, true), 0);
    EXPECT_DOUBLE_EQ(clampParameter(40, -24, 24, 0), 24);
    EXPECT_DOUBLE_EQ(clampParameter(std::nan(""), -24, 24, 3), 3);
}

}  // namespace
}  // namespace corvaline::ui
