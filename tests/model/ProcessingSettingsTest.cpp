#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

using namespace corvaline;

namespace {

std::string failureText(const std::function<void()>& f) {
    try {
        f();
    } catch (const AudioFailure& e) {
        return e.what();
    }
    return "<no failure>";
}

}  // namespace

TEST(AudioFrameRange, CheckedConstructionAndContext) {
    EXPECT_EQ(failureText([] { AudioFrameRange::make(5, 5); }), "Choose a non-empty audio range.");
    EXPECT_EQ(failureText([] { AudioFrameRange::make(-1, 5); }), "Choose a non-empty audio range.");
    EXPECT_EQ(AudioFrameRange::make(0, 10).addingContext(5, 100), (AudioFrameRange{0, 15}));
    EXPECT_EQ(AudioFrameRange::make(50, 60).addingContext(5, 62), (AudioFrameRange{45, 62}));
    // An end equal to the limit keeps its end; beyond it is refused.
    EXPECT_EQ(AudioFrameRange::make(90, 100).addingContext(20, 100), (AudioFrameRange{70, 100}));
    EXPECT_EQ(failureText([] { AudioFrameRange::make(90, 101).addingContext(0, 100); }),
              "The preview range extends beyond the recording.");
    EXPECT_EQ(failureText([] { AudioFrameRange::make(0, 10).addingContext(-1, 100); }),
              "The preview range extends beyond the recording.");
    // A huge context must not overflow.
    EXPECT_EQ(AudioFrameRange::make(10, 20).addingContext(INT64_MAX, 30), (AudioFrameRange{0, 30}));
    // An unchecked range that is empty stays refused after widening by nothing.
    EXPECT_EQ(failureText([] {
                  AudioFrameRange{5, 5}.addingContext(0, 10);
              }),
              "Choose a non-empty audio range.");
}

TEST(AudioInfo, IdentityAndDerivedValues) {
    AudioInfo a("/tmp/a.caf", 48000, 96000, 32, {}, {}, std::filesystem::path("/tmp/a.mov"));
    AudioInfo b("/tmp/b.wav", 48000, 24000, 24, {}, {});
    EXPECT_NE(a.id, b.id);
    EXPECT_EQ(a.id.size(), 36u);
    EXPECT_DOUBLE_EQ(a.duration(), 2.0);
    EXPECT_TRUE(a.isVideo());
    EXPECT_FALSE(b.isVideo());
    EXPECT_EQ(b.sourceURL, b.url);
}

TEST(EQKind, RawValuesRoundTripAndUnknownNamesYieldNothing) {
    const char* names[] = {"High-pass", "Low shelf", "Bell", "High shelf", "Low-pass", "Notch"};
    for (size_t i = 0; i < allEQKinds.size(); ++i) {
        EXPECT_EQ(rawValue(allEQKinds[i]), names[i]);
        EXPECT_EQ(eqKindFromRawValue(names[i]), allEQKinds[i]);
    }
    EXPECT_FALSE(eqKindFromRawValue("Peak").has_value());
    EXPECT_FALSE(eqKindFromRawValue("bell").has_value());
    EXPECT_TRUE(hasGain(EQKind::peak));
    EXPECT_FALSE(hasGain(EQKind::notch));
    EXPECT_EQ(lavBleedModeFromRawValue("Interview Automix"), LavBleedMode::interview);
    EXPECT_EQ(sidonQualityFromRawValue("Careful"), SidonQuality::careful);
}

TEST(EQBand, DialogueDefaults) {
    const auto& bands = EQBand::defaults();
    ASSERT_EQ(bands.size(), 8u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(bands[size_t(i)].id, i);
    EXPECT_EQ(bands[0].q, 0.70710678);  // the literal, not sqrt(0.5)
    EXPECT_NE(bands[0].q, std::sqrt(0.5));
    EXPECT_FALSE(bands[7].enabled);
    EXPECT_EQ(bands[7].kind, EQKind::lowPass);
    EXPECT_EQ(bands[7].frequency, 18000);
    EXPECT_EQ(bands[2].q, 1.0);
}

TEST(ProcessingSettings, HighPassAccessor) {
    ProcessingSettings s;
    s.setHighPass(0);
    EXPECT_FALSE(s.eqBands[0].enabled);
    EXPECT_EQ(s.eqBands[0].frequency, 10);
    EXPECT_EQ(s.highPass(), 0);
    s.setHighPass(5);
    EXPECT_TRUE(s.eqBands[0].enabled);
    EXPECT_EQ(s.highPass(), 10);
    s.eqBands[0].enabled = false;
    s.eqBands[0].frequency = 120;
    EXPECT_EQ(s.highPass(), 0);
    s.setLowGain(3);
    s.setMidGain(-2);
    s.setHighGain(4);
    EXPECT_EQ(s.eqBands[1].gain, 3);
    EXPECT_EQ(s.eqBands[4].gain, -2);
    EXPECT_EQ(s.eqBands[6].gain, 4);
}

TEST(ProcessingSettings, SameRestorationRules) {
    ProcessingSettings a, b;
    b.modelID = "sidon";
    EXPECT_TRUE(a.sameRestoration(b));  // both off: nothing to invalidate
    a.isolation = true;
    EXPECT_FALSE(a.sameRestoration(b));
    EXPECT_FALSE(b.sameRestoration(a));
    b = a;
    b.originalMix = 40;
    EXPECT_TRUE(a.sameRestoration(b));
    b.reduction = 24.0000001;
    EXPECT_FALSE(a.sameRestoration(b));
    b = a;
    b.modelID = "dfn2";
    EXPECT_FALSE(a.sameRestoration(b));

    ProcessingSettings sidon = sidonPreset(100, SidonQuality::standard);
    ProcessingSettings careful = sidonPreset(100, SidonQuality::careful);
    EXPECT_FALSE(sidon.sameRestoration(careful));
    sidon.modelID = careful.modelID = "sidon-reference";
    EXPECT_TRUE(sidon.sameRestoration(careful));
}

TEST(ProcessingSettings, DerivedValuesAndPresets) {
    ProcessingSettings sidon = sidonPreset(85, SidonQuality::standard);
    EXPECT_EQ(sidon.originalMix, 15);
    EXPECT_EQ(sidon.restorationAmount(), 85);
    EXPECT_TRUE(sidon.isSidon());
    sidon.setRestorationAmount(60);
    EXPECT_EQ(sidon.originalMix, 40);

    ProcessingSettings expected;
    expected.eqEnabled = false;
    expected.compressorEnabled = false;
    EXPECT_EQ(sidonPreset(100, SidonQuality::careful).dspOnly(), expected);

    const auto& presets = processingPresets();
    ASSERT_EQ(presets.size(), 7u);
    EXPECT_EQ(presets[0].title, "Dialogue Balanced");
    EXPECT_EQ(presets[0].settings, ProcessingSettings());
    EXPECT_EQ(*presetNamed("Transparent"), ProcessingSettings::bypass());
    EXPECT_TRUE(ProcessingSettings::bypass().truePeakEnabled);
    EXPECT_EQ(presetNamed("Interview · CPU Reference")->modelID, "sidon-reference");
    EXPECT_EQ(presetNamed("Interview Restoration · Careful")->sidonQuality, SidonQuality::careful);
    const auto noisy = *presetNamed("Noisy Location");
    EXPECT_TRUE(noisy.isolation);
    EXPECT_EQ(noisy.modelID, "dfn3");
    EXPECT_EQ(noisy.highPass(), 100);
    EXPECT_EQ(noisy.reduction, 30);
    EXPECT_EQ(noisy.threshold, -22);
    EXPECT_EQ(noisy.ratio, 3.5);
    EXPECT_EQ(noisy.makeup, 2);
    EXPECT_FALSE(presetNamed("Loud").has_value());
    EXPECT_FALSE(ProcessingSettings().isSidon());

    // Equality looks at every band field.
    ProcessingSettings x, y;
    y.eqBands[5].q = 1.5;
    EXPECT_NE(x, y);
}
