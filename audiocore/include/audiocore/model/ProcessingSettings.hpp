#pragma once
// Every user processing parameter, with the defaults of the inspector and the named presets.
//
// The record does not clamp its fields (apart from the highPass accessor); the ranges listed
// in settingsFields() are those of the controls, and each consumer guards what it uses.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvaline {

/// Filter type of one EQ band. The raw value is the name in the type picker.
enum class EQKind { highPass, lowShelf, peak, highShelf, lowPass, notch };

inline constexpr std::array<EQKind, 6> allEQKinds = {EQKind::highPass, EQKind::lowShelf,
                                                     EQKind::peak,     EQKind::highShelf,
                                                     EQKind::lowPass,  EQKind::notch};
/// "High-pass", "Low shelf", "Bell", "High shelf", "Low-pass", "Notch".
std::string_view rawValue(EQKind kind);
/// The kind whose raw value is `text`, or none.
std::optional<EQKind> eqKindFromRawValue(std::string_view text);
/// True for the shelves and the bell.
bool hasGain(EQKind kind);

/// Restoration quality of the in-process Sidon model.
enum class SidonQuality { standard, careful };
inline constexpr std::array<SidonQuality, 2> allSidonQualities = {SidonQuality::standard,
                                                                  SidonQuality::careful};
std::string_view rawValue(SidonQuality quality);  ///< "Standard", "Careful"
std::optional<SidonQuality> sidonQualityFromRawValue(std::string_view text);

/// Lav-bleed algorithm.
enum class LavBleedMode { correlated, interview };
inline constexpr std::array<LavBleedMode, 2> allLavBleedModes = {LavBleedMode::correlated,
                                                                 LavBleedMode::interview};
std::string_view rawValue(LavBleedMode mode);  ///< "Correlated Spill", "Interview Automix"
std::optional<LavBleedMode> lavBleedModeFromRawValue(std::string_view text);

/// One band of the parametric EQ.
struct EQBand {
    int id = 0;  ///< band number 0-7, fixed at creation
    bool enabled = true;
    EQKind kind = EQKind::peak;
    double frequency = 1000;  ///< Hz
    double gain = 0;          ///< dB, used only when hasGain(kind)
    double q = 1;

    EQBand() = default;
    EQBand(int id, EQKind kind, double frequency, double gain = 0, double q = 0.70710678,
           bool enabled = true)
        : id(id), enabled(enabled), kind(kind), frequency(frequency), gain(gain), q(q) {}

    /// The eight dialogue-default bands (what the EQ reset button assigns).
    static const std::vector<EQBand>& defaults();

    friend bool operator==(const EQBand&, const EQBand&) = default;
};

struct ProcessingSettings {
    // AI settings (fields 1-5)
    bool isolation = false;
    std::string modelID = "dfn3";
    double reduction = 24;   ///< dB
    double originalMix = 0;  ///< percent: 0 = cleaned only, 100 = original only
    SidonQuality sidonQuality = SidonQuality::standard;
    // EQ
    bool eqEnabled = true;
    std::vector<EQBand> eqBands = EQBand::defaults();
    // Compressor
    bool compressorEnabled = true;
    double threshold = -18;  ///< dB
    double ratio = 3;        ///< :1
    double attack = 10;      ///< ms
    double release = 120;    ///< ms
    double makeup = 0;       ///< dB
    double knee = 0;         ///< dB
    // Limiter
    bool limiterEnabled = true;
    bool truePeakEnabled = true;
    double ceiling = -1;         ///< dBTP (dBFS when true peak is off)
    double limiterRelease = 50;  ///< ms
    double outputGain = 0;       ///< dB
    // Loudness normalisation
    bool normalizationEnabled = false;
    double targetLUFS = -16;
    double normalizationMaxBoost = 18;  ///< dB
    // Dialogue leveler
    bool levelerEnabled = false;
    double levelerTarget = -24;  ///< dBFS
    double levelerMaxBoost = 9;  ///< dB
    double levelerMaxCut = 12;   ///< dB
    double levelerGate = -48;    ///< dBFS
    double levelerSpeed = 800;   ///< ms
    // Lav bleed
    bool bleedEnabled = false;
    LavBleedMode bleedMode = LavBleedMode::correlated;
    double bleedHold = 120;  ///< ms
    int bleedChannelA = 0;
    int bleedChannelB = 1;
    double bleedDepth = 18;      ///< dB
    double bleedDifference = 6;  ///< dB
    double bleedFloor = -48;     ///< dBFS
    double bleedRelease = 250;   ///< ms
    double bleedTrimA = 0;       ///< dB
    double bleedTrimB = 0;       ///< dB

    /// The defaults with EQ, compressor and limiter off (true peak stays on).
    static ProcessingSettings bypass();

    /// A copy with the five AI settings reset to their defaults.
    ProcessingSettings dspOnly() const;

    /// True when modelID is exactly "sidon" or "sidon-reference".
    bool isSidon() const { return modelID == "sidon" || modelID == "sidon-reference"; }

    /// Percent cleaned: 100 - originalMix.
    double restorationAmount() const { return 100 - originalMix; }
    void setRestorationAmount(double value) { originalMix = 100 - value; }

    /// Band 0's frequency when enabled, else 0. Writing v sets frequency max(v, 10) and
    /// enables the band exactly when v > 0.
    double highPass() const;
    void setHighPass(double value);
    double lowGain() const { return eqBands[1].gain; }
    void setLowGain(double value) { eqBands[1].gain = value; }
    double midGain() const { return eqBands[4].gain; }
    void setMidGain(double value) { eqBands[4].gain = value; }
    double highGain() const { return eqBands[6].gain; }
    void setHighGain(double value) { eqBands[6].gain = value; }

    /// Whether an AI restoration rendered with `other` is still valid for these settings.
    bool sameRestoration(const ProcessingSettings& other) const;

    friend bool operator==(const ProcessingSettings&, const ProcessingSettings&) = default;
};

/// One entry of the processing inspector's preset menu.
struct ProcessingPreset {
    std::string title;  ///< menu title, e.g. "Dialogue Balanced"
    ProcessingSettings settings;
};

/// The Sidon preset: defaults, isolation on, model "sidon", EQ and compressor off,
/// originalMix = 100 - amount, the given quality.
ProcessingSettings sidonPreset(double amount, SidonQuality quality);

/// The seven presets of the preset menu, in menu order.
const std::vector<ProcessingPreset>& processingPresets();

/// The preset with menu title `title`, or none.
std::optional<ProcessingSettings> presetNamed(std::string_view title);

}  // namespace corvaline
