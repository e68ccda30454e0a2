#include "audiocore/model/ProcessingSettings.hpp"

#include <algorithm>

namespace corvaline {

std::string_view rawValue(EQKind kind) {
    switch (kind) {
        case EQKind::highPass:
            return "High-pass";
        case EQKind::lowShelf:
            return "Low shelf";
        case EQKind::peak:
            return "Bell";
        case EQKind::highShelf:
            return "High shelf";
        case EQKind::lowPass:
            return "Low-pass";
        case EQKind::notch:
            return "Notch";
    }
    return "";
}

std::optional<EQKind> eqKindFromRawValue(std::string_view text) {
    for (EQKind kind : allEQKinds) {
        if (rawValue(kind) == text) return kind;
    }
    return std::nullopt;
}

bool hasGain(EQKind kind) {
    return kind == EQKind::lowShelf || kind == EQKind::peak || kind == EQKind::highShelf;
}

std::string_view rawValue(SidonQuality quality) {
    return quality == SidonQuality::careful ? "Careful" : "Standard";
}

std::optional<SidonQuality> sidonQualityFromRawValue(std::string_view text) {
    for (SidonQuality q : allSidonQualities) {
        if (rawValue(q) == text) return q;
    }
    return std::nullopt;
}

std::string_view rawValue(LavBleedMode mode) {
    return mode == LavBleedMode::interview ? "Interview Automix" : "Correlated Spill";
}

std::optional<LavBleedMode> lavBleedModeFromRawValue(std::string_view text) {
    for (LavBleedMode m : allLavBleedModes) {
        if (rawValue(m) == text) return m;
    }
    return std::nullopt;
}

const std::vector<EQBand>& EQBand::defaults() {
    // 0.70710678 is the eight-digit literal of the dialogue defaults, not sqrt(0.5).
    static const std::vector<EQBand> bands = {
        EQBand(0, EQKind::highPass, 70, 0, 0.70710678, true),
        EQBand(1, EQKind::lowShelf, 150, 0, 0.70710678, true),
        EQBand(2, EQKind::peak, 300, 0, 1.0, true),
        EQBand(3, EQKind::peak, 650, 0, 1.0, true),
        EQBand(4, EQKind::peak, 1500, 0, 0.70710678, true),
        EQBand(5, EQKind::peak, 3500, 0, 1.0, true),
        EQBand(6, EQKind::highShelf, 7000, 0, 0.70710678, true),
        EQBand(7, EQKind::lowPass, 18000, 0, 0.70710678, false),
    };
    return bands;
}

ProcessingSettings ProcessingSettings::bypass() {
    ProcessingSettings s;
    s.eqEnabled = false;
    s.compressorEnabled = false;
    s.limiterEnabled = false;
    return s;
}

ProcessingSettings ProcessingSettings::dspOnly() const {
    ProcessingSettings s = *this;
    const ProcessingSettings defaults;
    s.isolation = defaults.isolation;
    s.modelID = defaults.modelID;
    s.reduction = defaults.reduction;
    s.originalMix = defaults.originalMix;
    s.sidonQuality = defaults.sidonQuality;
    return s;
}

double ProcessingSettings::highPass() const {
    return eqBands[0].enabled ? eqBands[0].frequency : 0.0;
}

void ProcessingSettings::setHighPass(double value) {
    eqBands[0].frequency = std::max(value, 10.0);
    eqBands[0].enabled = value > 0;
}

bool ProcessingSettings::sameRestoration(const ProcessingSettings& other) const {
    if (!isolation || !other.isolation) return isolation == other.isolation;
    if (modelID != other.modelID || reduction != other.reduction) return false;
    if (modelID == "sidon") return sidonQuality == other.sidonQuality;
    return true;
}

ProcessingSettings sidonPreset(double amount, SidonQuality quality) {
    ProcessingSettings s;
    s.isolation = true;
    s.modelID = "sidon";
    s.eqEnabled = false;
    s.compressorEnabled = false;
    s.originalMix = 100 - amount;
    s.sidonQuality = quality;
    return s;
}

const std::vector<ProcessingPreset>& processingPresets() {
    static const std::vector<ProcessingPreset> presets = [] {
        std::vector<ProcessingPreset> list;
        list.push_back({"Dialogue Balanced", ProcessingSettings()});
        list.push_back({"Interview · Original 15%", sidonPreset(85, SidonQuality::standard)});
        list.push_back({"Restoration · Clean Only", sidonPreset(100, SidonQuality::standard)});
        list.push_back(
            {"Interview Restoration · Careful", sidonPreset(100, SidonQuality::careful)});
        ProcessingSettings reference = sidonPreset(100, SidonQuality::standard);
        reference.modelID = "sidon-reference";
        list.push_back({"Interview · CPU Reference", reference});
        ProcessingSettings noisy;
        noisy.isolation = true;
        noisy.setHighPass(100);
        noisy.reduction = 30;
        noisy.threshold = -22;
        noisy.ratio = 3.5;
        noisy.makeup = 2;
        list.push_back({"Noisy Location", noisy});
        list.push_back({"Transparent", ProcessingSettings::bypass()});
        return list;
    }();
    return presets;
}

std::optional<ProcessingSettings> presetNamed(std::string_view title) {
    for (const auto& preset : processingPresets()) {
        if (preset.title == title) return preset.settings;
    }
    return std::nullopt;
}

}  // namespace corvaline
