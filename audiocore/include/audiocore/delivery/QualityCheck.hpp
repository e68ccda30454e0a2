#pragma once
// QualityCheck: what a broadcaster's QC reads off a delivered file, and whether it complies
// with a delivery standard.
//
// measure() reads the file once, in blocks (memory does not grow with its length, except for
// the loudness-over-time series, which keeps at most about 4000 points), and reports:
// - integrated loudness, loudness range, maximum momentary and short-term loudness over the
//   programme channels (EBU R128 through libebur128, every channel weighted 1.0);
// - the strict true peak and the sample peak of every channel of the file: the true peak is
//   the export's own final ceiling reading (TruePeakMeter), an upper bound of the
//   reconstructed signal, so that a file that passes here passes any compliant meter;
// - the strict true peak of the programme (its largest channel) beside the 4x reading of
//   libebur128;
// - the momentary and short-term loudness over time.
//
// judge() compares a measurement with a standard: integrated loudness within the target's
// tolerance, strict true peak at or below the standard's maximum; the loudness range is
// reported (and judged only where the standard sets a limit).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "audiocore/delivery/DeliveryStandard.hpp"
#include "audiocore/finishing/LoudnessReport.hpp"

namespace corvaline {

/// Loudness at one moment of the programme, in LUFS (minus infinity for silence), and the
/// programme's true peak over the step that ends there.
struct LoudnessPoint {
    double seconds = 0;
    double momentary = 0;
    double shortTerm = 0;
    double truePeak = 0;  ///< dBTP, the largest 4x true peak since the previous point
    friend bool operator==(const LoudnessPoint&, const LoudnessPoint&) = default;
};

/// Peaks of one channel of the file (1-based channel number), in dBTP and dBFS (minus
/// infinity for digital silence).
struct ChannelPeaks {
    int channel = 0;
    double truePeak = 0;
    double samplePeak = 0;
    friend bool operator==(const ChannelPeaks&, const ChannelPeaks&) = default;
};

struct QualityMeasurement {
    double sampleRate = 0;
    int channelCount = 0;
    int64_t frames = 0;
    int bitDepth = 0;                    ///< stored bits per sample (0 when not applicable)
    std::vector<int> programmeChannels;  ///< measured channels, 1-based
    LoudnessReport loudness;             ///< integrated, range and 4x true peak of the programme
    std::optional<double> maxMomentary;  ///< LUFS, none for silence
    std::optional<double> maxShortTerm;  ///< LUFS, none for silence or under 3 s
    double strictTruePeak = 0;           ///< dBTP, the largest strict channel peak of the programme
    std::vector<ChannelPeaks> channels;  ///< every channel of the file
    double seriesStep = 0.1;             ///< seconds between the points of `series`
    std::vector<LoudnessPoint> series;

    double duration() const { return sampleRate > 0 ? double(frames) / sampleRate : 0.0; }
};

/// One line of a verdict.
struct ComplianceCriterion {
    std::string name;                ///< "Integrated loudness", "True peak", "Loudness range"
    std::optional<double> measured;  ///< none when the value could not be measured
    std::string unit;                ///< "LUFS", "dBTP", "LU"
    std::string requirement;         ///< "-23.0 ±0.5 LUFS", "≤ -1.0 dBTP", "reported"
    bool passed = true;
    bool informative = false;  ///< reported only, never fails the file
};

struct ComplianceVerdict {
    bool compliant = true;
    std::vector<ComplianceCriterion> criteria;
    /// Why the file does not comply, one clause per failing criterion ("integrated loudness
    /// -20.3 LUFS is outside -23.0 ±0.5 LUFS; true peak -0.4 dBTP is above -1.0 dBTP"); empty
    /// when it complies.
    std::string reason() const;
};

namespace QualityCheck {

/// Measures `file`. `programme` flags the measured channels (none = all; at most 64).
/// Open and read errors propagate; loudness failures throw the meter's messages; Cancelled is
/// checked before every block. `progress` receives 0…1. With `strictPeaks` off, channel true
/// peaks are the 4x readings (the sample peak outside the programme) and `strictTruePeak` is
/// the programme's 4x reading: for loudness-only measurements of long steady material, where
/// the strict meter has to refine nearly every crest.
QualityMeasurement measure(const std::filesystem::path& file,
                           const std::optional<std::vector<bool>>& programme = std::nullopt,
                           std::stop_token cancel = {},
                           const std::function<void(double)>& progress = {},
                           bool strictPeaks = true);

/// The verdict of a measurement against a standard.
ComplianceVerdict judge(const QualityMeasurement& measurement, const DeliveryStandard& standard);

}  // namespace QualityCheck

}  // namespace corvaline
