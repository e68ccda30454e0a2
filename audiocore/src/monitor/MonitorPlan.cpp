// Turning a monitor plan into a stream: level match, normalisation plan, DSP stream.

#include "audiocore/monitor/MonitorPlan.hpp"

#include "audiocore/finishing/DSPStream.hpp"
#include "audiocore/finishing/LoudnessNormalization.hpp"
#include "audiocore/monitor/MonitorLevelMatch.hpp"

namespace corvaline {

double MonitorPlan::levelMatchGain(std::stop_token cancel) const {
    if (!matching || !compared) return 1.0;
    const auto [referenceGain, comparedGain] = MonitorLevelMatch::gains(
        reference, referenceRange, *compared, comparedRange, channels, cancel);
    return processed ? comparedGain : referenceGain;
}

std::unique_ptr<MonitorStream> MonitorPlan::makeStream(std::stop_token cancel) const {
    const double gain = levelMatchGain(cancel);
    std::optional<double> normalizationGainDB;
    if (settings.normalizationEnabled) {
        normalizationGainDB = LoudnessNormalization::plan(source, normalizationRange, settings,
                                                          channels, original, sidechain, cancel)
                                  .gainDB;
    }
    auto dsp = std::make_unique<DSPStream>(source, range, settings, channels, original, sidechain,
                                           normalizationGainDB);
    return std::make_unique<MonitorStream>(makeDSPSource(std::move(dsp)), channels, gain);
}

}  // namespace corvaline
