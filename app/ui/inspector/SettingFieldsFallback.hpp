#pragma once
// Interim: the control ranges of the inspector for a build whose engine does not yet publish
// its settings field table (audiocore/model/SettingsFields.hpp). Same names and shape as that
// table; removed once the table is on every branch.

#include <array>
#include <span>
#include <string_view>

#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

struct SettingField {
    std::string_view name;
    std::string_view unit;
    std::string_view label;
    double low = 0;
    double high = 0;
    bool logarithmic = false;
    double ProcessingSettings::*number = nullptr;
    bool ProcessingSettings::*flag = nullptr;
    std::span<const std::string_view> choices{};
    int (*choiceOf)(const ProcessingSettings&) = nullptr;
    void (*setChoice)(ProcessingSettings&, int) = nullptr;
};

struct BandField {
    std::string_view name;
    std::string_view unit;
    std::string_view label;
    double low;
    double high;
    bool logarithmic;
};

namespace Setting {
using S = ProcessingSettings;
inline constexpr std::array<std::string_view, 2> kBleedModeNames = {"Correlated Spill",
                                                                    "Interview Automix"};
constexpr SettingField flag(std::string_view name, bool S::*member) {
    SettingField f{name};
    f.flag = member;
    return f;
}
constexpr SettingField number(std::string_view name, double S::*member, std::string_view unit,
                              std::string_view label, double low, double high) {
    SettingField f{name, unit, label, low, high};
    f.number = member;
    return f;
}
inline constexpr SettingField isolation = flag("isolation", &S::isolation);
inline constexpr SettingField reduction =
    number("reduction", &S::reduction, "dB", "Noise reduction", 0, 100);
inline constexpr SettingField originalMix =
    number("originalMix", &S::originalMix, "%", "Original mix", 0, 100);
inline constexpr SettingField eqEnabled = flag("eqEnabled", &S::eqEnabled);
inline constexpr SettingField compressorEnabled = flag("compressorEnabled", &S::compressorEnabled);
inline constexpr SettingField threshold =
    number("threshold", &S::threshold, "dB", "Threshold", -60, 0);
inline constexpr SettingField ratio = number("ratio", &S::ratio, ":1", "Ratio", 1, 10);
inline constexpr SettingField attack = number("attack", &S::attack, "ms", "Attack", 0.1, 100);
inline constexpr SettingField release = number("release", &S::release, "ms", "Release", 10, 1000);
inline constexpr SettingField makeup = number("makeup", &S::makeup, "dB", "Makeup", 0, 18);
inline constexpr SettingField knee = number("knee", &S::knee, "dB", "Knee", 0, 24);
inline constexpr SettingField limiterEnabled = flag("limiterEnabled", &S::limiterEnabled);
inline constexpr SettingField truePeakEnabled = flag("truePeakEnabled", &S::truePeakEnabled);
inline constexpr SettingField ceiling =
    number("ceiling", &S::ceiling, "dBTP", "Ceiling", -12, -0.1);
inline constexpr SettingField limiterRelease =
    number("limiterRelease", &S::limiterRelease, "ms", "Release", 10, 500);
inline constexpr SettingField outputGain =
    number("outputGain", &S::outputGain, "dB", "Output gain", -24, 12);
inline constexpr SettingField normalizationEnabled =
    flag("normalizationEnabled", &S::normalizationEnabled);
inline constexpr SettingField targetLUFS =
    number("targetLUFS", &S::targetLUFS, "LUFS", "Target loudness", -36, -9);
inline constexpr SettingField normalizationMaxBoost = number(
    "normalizationMaxBoost", &S::normalizationMaxBoost, "dB", "Maximum normalization boost", 0, 24);
inline constexpr SettingField levelerEnabled = flag("levelerEnabled", &S::levelerEnabled);
inline constexpr SettingField levelerTarget =
    number("levelerTarget", &S::levelerTarget, "dBFS", "Speech target", -40, -12);
inline constexpr SettingField levelerMaxBoost =
    number("levelerMaxBoost", &S::levelerMaxBoost, "dB", "Maximum boost", 0, 18);
inline constexpr SettingField levelerMaxCut =
    number("levelerMaxCut", &S::levelerMaxCut, "dB", "Maximum cut", 0, 24);
inline constexpr SettingField levelerGate =
    number("levelerGate", &S::levelerGate, "dBFS", "Speech floor", -80, -20);
inline constexpr SettingField levelerSpeed =
    number("levelerSpeed", &S::levelerSpeed, "ms", "Ride time", 200, 3000);
inline constexpr SettingField bleedEnabled = flag("bleedEnabled", &S::bleedEnabled);
inline constexpr SettingField bleedMode = [] {
    SettingField f{"bleedMode"};
    f.choices = kBleedModeNames;
    f.choiceOf = [](const S& s) { return int(s.bleedMode); };
    f.setChoice = [](S& s, int i) { s.bleedMode = allLavBleedModes[size_t(i)]; };
    return f;
}();
inline constexpr SettingField bleedHold =
    number("bleedHold", &S::bleedHold, "ms", "Speech hold", 0, 500);
inline constexpr SettingField bleedDepth =
    number("bleedDepth", &S::bleedDepth, "dB", "Maximum attenuation", 0, 36);
inline constexpr SettingField bleedDifference =
    number("bleedDifference", &S::bleedDifference, "dB", "Minimum difference", 3, 18);
inline constexpr SettingField bleedFloor =
    number("bleedFloor", &S::bleedFloor, "dBFS", "Detection floor", -80, -20);
inline constexpr SettingField bleedRelease =
    number("bleedRelease", &S::bleedRelease, "ms", "Fade back", 50, 1000);
inline constexpr SettingField bleedTrimA =
    number("bleedTrimA", &S::bleedTrimA, "dB", "Mic A detector trim", -24, 24);
inline constexpr SettingField bleedTrimB =
    number("bleedTrimB", &S::bleedTrimB, "dB", "Mic B detector trim", -24, 24);
inline constexpr BandField bandFrequency{"frequency", "Hz", "Frequency", 20, 20000, true};
inline constexpr BandField bandGain{"gain", "dB", "Gain", -24, 24, false};
inline constexpr BandField bandQ{"q", "", "Q", 0.1, 18, true};
}  // namespace Setting

}  // namespace corvaline
