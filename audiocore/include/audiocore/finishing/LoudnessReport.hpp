#pragma once
// Results of an EBU R128 measurement and of a loudness-normalisation decision.

#include <optional>

namespace corvaline {

/// Integrated loudness, loudness range and true peak over the selected channels.
struct LoudnessReport {
    /// LUFS; none when fewer than 0.4 s were measured or the programme is gated out (silence).
    std::optional<double> integrated;
    /// LU; none when fewer than 3 s were measured or the value is not finite.
    std::optional<double> range;
    /// dBTP, the largest over all selected channels; minus infinity for digital silence.
    double truePeak = 0;

    friend bool operator==(const LoudnessReport&, const LoudnessReport&) = default;
};

/// The gain that brings a processed programme to its target loudness.
struct NormalizationPlan {
    LoudnessReport measured;  ///< the processed programme before normalisation
    double gainDB = 0;        ///< gain to apply; negative when the programme is too loud
    /// The true-peak ceiling or the maximum boost kept the gain more than 0.1 dB short.
    bool peakLimited = false;

    friend bool operator==(const NormalizationPlan&, const NormalizationPlan&) = default;
};

}  // namespace corvaline
