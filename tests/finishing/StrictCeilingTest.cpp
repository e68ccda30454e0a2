#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "FinishingFixtures.hpp"
#include "OversampledReference.hpp"
#include "TestSupport.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"

namespace corvaline {
namespace {

// Dense, bright programme with inter-sample peaks: harmonics reaching towards half the rate.
test::Planes brightProgramme(double rate, double seconds) {
    test::Planes planes(2, std::vector<float>(size_t(rate * seconds)));
    test::Noise noise;
    for (size_t c = 0; c < 2; ++c) {
        for (size_t i = 0; i < planes[c].size(); ++i) {
            const double t = double(i) / rate;
            double v = 0;
            for (int k = 1; k <= 24; ++k) {
                const double f = (180 + 40 * double(c)) * k * 3.7;
                if (f < 0.45 * rate) v += std::sin(2 * std::numbers::pi * f * t + 0.9 * k * k) / k;
            }
            const double syllable = 0.3 + 0.7 * std::abs(std::sin(2 * std::numbers::pi * 3 * t));
            planes[c][i] = float(0.3 * syllable * v + 0.05 * noise());
        }
    }
    return planes;
}

// The export's final check must hold against what an accurate meter reads, not only against
// the limiter's own 4x detector: a hot programme (+12 dB makeup, +12 dB output gain into the
// default −1 dBTP ceiling), rendered to 24-bit at three rates, is measured with an independent
// 32x oversampled reference computed here.
TEST(StrictCeilingTest, HotExportsHoldTheCeilingOnAnAccurateMeter) {
    test::TempDir dir;
    for (const double rate : {44100.0, 48000.0, 96000.0}) {
        const auto source = dir / "hot.wav";
        const auto out = dir / "out.wav";
        test::writeWave(source, brightProgramme(rate, 0.5), rate);
        ProcessingSettings settings;
        settings.makeup = 12;
        settings.outputGain = 12;
        AudioDSP::render(source, out, settings, std::vector<ChannelSettings>(2), 24);

        const test::Planes result = test::readWave(out);
        double reference = -200;
        for (const auto& plane : result)
            reference = std::max(reference, test::referenceTruePeak(plane));
        EXPECT_LE(reference, -1.0 + 0.001) << rate << " Hz";
        // The limiter still does the work: the programme sits right under the ceiling.
        EXPECT_GE(reference, -1.6) << rate << " Hz";
        // The strict reading is at or above the reference; the 4x reading is not above it.
        const double strict = LoudnessMeter::measureTruePeak(out);
        EXPECT_GE(strict, reference - 0.002) << rate << " Hz";
        EXPECT_LE(strict, -1.0 + 0.001) << rate << " Hz";
        EXPECT_LE(LoudnessMeter::measure(out).truePeak, strict + 1e-6) << rate << " Hz";
    }
}

}  // namespace
}  // namespace corvaline
