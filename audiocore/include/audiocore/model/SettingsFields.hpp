#pragma once
// One table describing every field of ProcessingSettings: its name, unit, the range and label
// of the inspector's control, its default, and how the engine guards it where it is used (the
// clamp applied to a finite value and the substitute for a non-finite one).
//
// The settings JSON reader, the engine's guards and the application's controls all read this
// table, so a range or a fallback is written exactly once. The control range is what a user can
// set; the guard range is usually the same but may be wider where the engine accepts values no
// control offers (the ceiling is guarded to −90…0 dB, the output gain of a live edit to −60…+24
// dB). Fields without a guard (switches, choices, the model identifier) have an unbounded guard
// range.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

/// What kind of value a settings field holds.
enum class SettingType {
    flag,     ///< a switch (bool member)
    number,   ///< a 64-bit float (double member)
    channel,  ///< a channel index 0…127 (int member)
    choice,   ///< an enumeration, written by its raw value
    text,     ///< the model identifier
    bands,    ///< the eight EQ bands
};

/// One field of ProcessingSettings.
struct SettingField {
    std::string_view name;    ///< the record's member name, also the JSON key
    SettingType type;         ///< kind of value
    std::string_view unit;    ///< "dB", "ms", "%", "LUFS", "dBFS", "dBTP", ":1" or empty
    std::string_view label;   ///< the control's label ("Threshold"); empty for pickers
    double low = 0;           ///< control range, lower end (numbers and channels)
    double high = 0;          ///< control range, upper end
    double defaultValue = 0;  ///< ProcessingSettings()'s value (switches: 0 or 1)
    double guardLow = -std::numeric_limits<double>::infinity();  ///< clamp where used
    double guardHigh = std::numeric_limits<double>::infinity();
    double fallback = 0;                           ///< used where the setting is not finite
    bool logarithmic = false;                      ///< the control moves on a logarithmic scale
    double ProcessingSettings::*number = nullptr;  ///< SettingType::number
    bool ProcessingSettings::*flag = nullptr;      ///< SettingType::flag
    int ProcessingSettings::*index = nullptr;      ///< SettingType::channel
    /// SettingType::choice: the raw values in case order, and the case index access.
    std::span<const std::string_view> choices{};
    int (*choiceOf)(const ProcessingSettings&) = nullptr;
    void (*setChoice)(ProcessingSettings&, int) = nullptr;

    /// `value` clamped to the guard range, or the fallback when it is not finite.
    constexpr double guard(double value) const {
        return std::isfinite(value) ? std::clamp(value, guardLow, guardHigh) : fallback;
    }
    /// This field of `settings`, guarded (SettingType::number only).
    double guarded(const ProcessingSettings& settings) const { return guard(settings.*number); }
    /// `value`, or the fallback when it is not finite (no clamp).
    constexpr double finiteOr(double value) const {
        return std::isfinite(value) ? value : fallback;
    }
    /// True when `value` lies inside the control range.
    constexpr bool offers(double value) const {
        return std::isfinite(value) && value >= low && value <= high;
    }
};

/// One field of an EQBand (frequency, gain and Q carry ranges; the rest are picked).
struct BandField {
    std::string_view name;
    std::string_view unit;
    std::string_view label;
    double low;   ///< control range
    double high;  ///< (frequency: further limited to 0.45 × the recording's rate)
    double guardLow;
    double guardHigh;
    double fallback;
    bool logarithmic;
    double EQBand::*member;

    constexpr double guard(double value) const {
        return std::isfinite(value) ? std::clamp(value, guardLow, guardHigh) : fallback;
    }
    constexpr double finiteOr(double value) const {
        return std::isfinite(value) ? value : fallback;
    }
    constexpr bool offers(double value) const {
        return std::isfinite(value) && value >= low && value <= high;
    }
};

namespace settings_detail {
inline constexpr std::array<std::string_view, 2> kQualityNames = {"Standard", "Careful"};
inline constexpr std::array<std::string_view, 2> kBleedModeNames = {"Correlated Spill",
                                                                    "Interview Automix"};
using S = ProcessingSettings;

constexpr SettingField flag(std::string_view name, bool S::*member, bool value,
                            std::string_view label = {}) {
    SettingField f{name, SettingType::flag, {}, label};
    f.low = 0;
    f.high = 1;
    f.defaultValue = value ? 1 : 0;
    f.fallback = f.defaultValue;
    f.flag = member;
    return f;
}

/// A number whose guard is its control range and whose fallback is its default.
constexpr SettingField number(std::string_view name, double S::*member, std::string_view unit,
                              std::string_view label, double low, double high, double value,
                              bool logarithmic = false) {
    SettingField f{name, SettingType::number, unit, label, low, high, value, low, high, value};
    f.logarithmic = logarithmic;
    f.number = member;
    return f;
}

/// A number guarded differently from its control range.
constexpr SettingField number(std::string_view name, double S::*member, std::string_view unit,
                              std::string_view label, double low, double high, double value,
                              double guardLow, double guardHigh, double fallback) {
    SettingField f{name,     SettingType::number, unit,    label, low, high, value,
                   guardLow, guardHigh,           fallback};
    f.number = member;
    return f;
}

constexpr SettingField channel(std::string_view name, int S::*member, int value,
                               std::string_view label) {
    SettingField f{
        name, SettingType::channel, "channel index", label, 0, kMaxChannels - 1, double(value),
        0,    kMaxChannels - 1,     double(value)};
    f.index = member;
    return f;
}
}  // namespace settings_detail

/// The fields, by name: `Setting::ceiling.guarded(settings)` is the ceiling as the engine uses it.
namespace Setting {
using settings_detail::S;
inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline constexpr SettingField isolation =
    settings_detail::flag("isolation", &S::isolation, false, "Voice Isolation");
inline constexpr SettingField modelID{"modelID", SettingType::text};
inline constexpr SettingField reduction =
    settings_detail::number("reduction", &S::reduction, "dB", "Noise reduction", 0, 100, 24);
inline constexpr SettingField originalMix =
    settings_detail::number("originalMix", &S::originalMix, "%", "Original mix", 0, 100, 0);
inline constexpr SettingField sidonQuality = [] {
    SettingField f{"sidonQuality", SettingType::choice};
    f.choices = settings_detail::kQualityNames;
    f.choiceOf = [](const S& s) { return int(s.sidonQuality); };
    f.setChoice = [](S& s, int i) { s.sidonQuality = allSidonQualities[size_t(i)]; };
    return f;
}();
inline constexpr SettingField eqEnabled = settings_detail::flag("eqEnabled", &S::eqEnabled, true);
inline constexpr SettingField eqBands{"eqBands", SettingType::bands};
inline constexpr SettingField compressorEnabled =
    settings_detail::flag("compressorEnabled", &S::compressorEnabled, true);
// The compressor's law takes any finite threshold, ratio, makeup and knee; the time constants
// only need to stay positive.
inline constexpr SettingField threshold = settings_detail::number(
    "threshold", &S::threshold, "dB", "Threshold", -60, 0, -18, -kInf, kInf, -18);
inline constexpr SettingField ratio =
    settings_detail::number("ratio", &S::ratio, ":1", "Ratio", 1, 10, 3, -kInf, kInf, 3);
inline constexpr SettingField attack =
    settings_detail::number("attack", &S::attack, "ms", "Attack", 0.1, 100, 10, 0.1, 1e9, 10);
inline constexpr SettingField release =
    settings_detail::number("release", &S::release, "ms", "Release", 10, 1000, 120, 1, 1e9, 120);
inline constexpr SettingField makeup =
    settings_detail::number("makeup", &S::makeup, "dB", "Makeup", 0, 18, 0, -kInf, kInf, 0);
inline constexpr SettingField knee =
    settings_detail::number("knee", &S::knee, "dB", "Knee", 0, 24, 0, -kInf, kInf, 0);
inline constexpr SettingField limiterEnabled =
    settings_detail::flag("limiterEnabled", &S::limiterEnabled, true);
inline constexpr SettingField truePeakEnabled =
    settings_detail::flag("truePeakEnabled", &S::truePeakEnabled, true, "True peak · 4×");
inline constexpr SettingField ceiling =
    settings_detail::number("ceiling", &S::ceiling, "dBTP", "Ceiling", -12, -0.1, -1, -90, 0, -1);
inline constexpr SettingField limiterRelease = settings_detail::number(
    "limiterRelease", &S::limiterRelease, "ms", "Release", 10, 500, 50, 1, 1e9, 50);
/// A live edit clamps the output gain to −60…+24 dB; a new chain takes it unclamped
/// (finiteOr), so that a safety trim of any size is applied exactly.
inline constexpr SettingField outputGain = settings_detail::number(
    "outputGain", &S::outputGain, "dB", "Output gain", -24, 12, 0, -60, 24, 0);
inline constexpr SettingField normalizationEnabled = settings_detail::flag(
    "normalizationEnabled", &S::normalizationEnabled, false, "LUFS Normalization");
inline constexpr SettingField targetLUFS =
    settings_detail::number("targetLUFS", &S::targetLUFS, "LUFS", "Target loudness", -36, -9, -16);
inline constexpr SettingField normalizationMaxBoost =
    settings_detail::number("normalizationMaxBoost", &S::normalizationMaxBoost, "dB",
                            "Maximum normalization boost", 0, 24, 18);
inline constexpr SettingField levelerEnabled =
    settings_detail::flag("levelerEnabled", &S::levelerEnabled, false, "Dialogue Leveler");
inline constexpr SettingField levelerTarget = settings_detail::number(
    "levelerTarget", &S::levelerTarget, "dBFS", "Speech target", -40, -12, -24);
inline constexpr SettingField levelerMaxBoost = settings_detail::number(
    "levelerMaxBoost", &S::levelerMaxBoost, "dB", "Maximum boost", 0, 18, 9);
inline constexpr SettingField levelerMaxCut =
    settings_detail::number("levelerMaxCut", &S::levelerMaxCut, "dB", "Maximum cut", 0, 24, 12);
inline constexpr SettingField levelerGate =
    settings_detail::number("levelerGate", &S::levelerGate, "dBFS", "Speech floor", -80, -20, -48);
inline constexpr SettingField levelerSpeed =
    settings_detail::number("levelerSpeed", &S::levelerSpeed, "ms", "Ride time", 200, 3000, 800);
inline constexpr SettingField bleedEnabled =
    settings_detail::flag("bleedEnabled", &S::bleedEnabled, false);
inline constexpr SettingField bleedMode = [] {
    SettingField f{"bleedMode", SettingType::choice};
    f.choices = settings_detail::kBleedModeNames;
    f.choiceOf = [](const S& s) { return int(s.bleedMode); };
    f.setChoice = [](S& s, int i) { s.bleedMode = allLavBleedModes[size_t(i)]; };
    return f;
}();
inline constexpr SettingField bleedHold =
    settings_detail::number("bleedHold", &S::bleedHold, "ms", "Speech hold", 0, 500, 120);
inline constexpr SettingField bleedChannelA =
    settings_detail::channel("bleedChannelA", &S::bleedChannelA, 0, "Mic A");
inline constexpr SettingField bleedChannelB =
    settings_detail::channel("bleedChannelB", &S::bleedChannelB, 1, "Mic B");
inline constexpr SettingField bleedDepth =
    settings_detail::number("bleedDepth", &S::bleedDepth, "dB", "Maximum attenuation", 0, 36, 18);
inline constexpr SettingField bleedDifference = settings_detail::number(
    "bleedDifference", &S::bleedDifference, "dB", "Minimum difference", 3, 18, 6);
inline constexpr SettingField bleedFloor =
    settings_detail::number("bleedFloor", &S::bleedFloor, "dBFS", "Detection floor", -80, -20, -48);
/// Labelled "Close fade" in interview mode and "Fade back" in correlated mode.
inline constexpr SettingField bleedRelease =
    settings_detail::number("bleedRelease", &S::bleedRelease, "ms", "Fade back", 50, 1000, 250);
inline constexpr SettingField bleedTrimA =
    settings_detail::number("bleedTrimA", &S::bleedTrimA, "dB", "Mic A detector trim", -24, 24, 0);
inline constexpr SettingField bleedTrimB =
    settings_detail::number("bleedTrimB", &S::bleedTrimB, "dB", "Mic B detector trim", -24, 24, 0);

/// EQ band fields. The designs clamp the frequency further to 0.45 × the rate (never below
/// 10 Hz), and read Q = 0.70710678 for a non-finite value.
inline constexpr BandField bandFrequency{"frequency", "Hz", "Frequency", 20,   20000,
                                         10,          kInf, 1000,        true, &EQBand::frequency};
inline constexpr BandField bandGain{"gain", "dB", "Gain", -24,   24,
                                    -24,    24,   0,      false, &EQBand::gain};
inline constexpr BandField bandQ{"q", "", "Q", 0.1, 18, 0.1, 18, 0.70710678, true, &EQBand::q};
}  // namespace Setting

/// Every field of ProcessingSettings, in declaration order.
inline constexpr std::array<SettingField, 39> kSettingsFields = {
    Setting::isolation,       Setting::modelID,
    Setting::reduction,       Setting::originalMix,
    Setting::sidonQuality,    Setting::eqEnabled,
    Setting::eqBands,         Setting::compressorEnabled,
    Setting::threshold,       Setting::ratio,
    Setting::attack,          Setting::release,
    Setting::makeup,          Setting::knee,
    Setting::limiterEnabled,  Setting::truePeakEnabled,
    Setting::ceiling,         Setting::limiterRelease,
    Setting::outputGain,      Setting::normalizationEnabled,
    Setting::targetLUFS,      Setting::normalizationMaxBoost,
    Setting::levelerEnabled,  Setting::levelerTarget,
    Setting::levelerMaxBoost, Setting::levelerMaxCut,
    Setting::levelerGate,     Setting::levelerSpeed,
    Setting::bleedEnabled,    Setting::bleedMode,
    Setting::bleedHold,       Setting::bleedChannelA,
    Setting::bleedChannelB,   Setting::bleedDepth,
    Setting::bleedDifference, Setting::bleedFloor,
    Setting::bleedRelease,    Setting::bleedTrimA,
    Setting::bleedTrimB,
};

/// The EQ band fields with a range.
inline constexpr std::array<BandField, 3> kBandFields = {Setting::bandFrequency, Setting::bandGain,
                                                         Setting::bandQ};

/// The table, for iteration.
constexpr std::span<const SettingField> settingsFields() {
    return kSettingsFields;
}

/// The field named `name`, or nullptr.
constexpr const SettingField* settingField(std::string_view name) {
    for (const SettingField& field : kSettingsFields) {
        if (field.name == name) return &field;
    }
    return nullptr;
}

/// The band field named `name`, or nullptr.
constexpr const BandField* bandField(std::string_view name) {
    for (const BandField& field : kBandFields) {
        if (field.name == name) return &field;
    }
    return nullptr;
}

/// Upper end of the band frequency control for a recording at `rate` (20000 Hz without one).
inline double bandFrequencyLimit(std::optional<double> rate) {
    return rate && *rate > 0 ? std::min(0.45 * *rate, 20000.0) : 20000.0;
}

}  // namespace corvaline
