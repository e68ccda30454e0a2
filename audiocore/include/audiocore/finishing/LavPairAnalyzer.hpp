#pragma once
// Lav pair calibration: measures two lavalier tracks over a passage in which two people take
// turns and proposes opposite detector trims that centre the two clusters of speech-level
// differences (A talking, B talking) on 0 dB. Changes no audio gain; needs no model.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline {

struct LavPairCalibration {
    double trimA = 0;            ///< dB, proposed detector trim for mic A
    double trimB = 0;            ///< dB, always -trimA
    double separationDB = 0;     ///< upper minus lower cluster centre, dB
    double analyzedSeconds = 0;  ///< length of the analysed passage

    friend bool operator==(const LavPairCalibration&, const LavPairCalibration&) = default;
};

namespace LavPairAnalyzer {

/// The two-means result: the trim t for mic A (-t for mic B) and the cluster separation.
struct Fit {
    double trim = 0;
    double separation = 0;
};

/// Measures channels `channelA` and `channelB` (0-based) of `source` over `range` (none = the
/// whole file), with speech-band detectors and one level difference per active 100 ms step.
/// `floor` is the detection floor in dBFS (-80...-20, non-finite -48).
///
/// Throws AudioFailure "Choose two different synchronized lav tracks.", "The lav recording
/// ended unexpectedly." and the fit's message; open/read errors and Cancelled propagate.
LavPairCalibration analyze(const std::filesystem::path& source, int channelA, int channelB,
                           std::optional<AudioFrameRange> range, double floor,
                           const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// Two-means fit of level differences (dB). Throws AudioFailure "Calibration needs a passage
/// with both people taking turns. Use a longer selection or the full recording; detector trims
/// were not changed." with fewer than 40 values, a cluster too small, a separation under
/// 12 dB or an imbalance over 24 dB.
Fit fit(std::vector<double> differences);

}  // namespace LavPairAnalyzer

}  // namespace corvaline
