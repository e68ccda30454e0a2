// Loudness and lav-pair actions: "Measure Processed Audio", the lav-pair calibration and the
// "Two Lavs + Camera" setup.

#include <QString>

#include <cstdio>

#include "audiocore/finishing/DSPStream.hpp"
#include "audiocore/finishing/LavPairAnalyzer.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"
#include "audiocore/finishing/LoudnessNormalization.hpp"
#include "core/bridge/Worker.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

struct Measurement {
    LoudnessReport report;
    double gainDB = 0;
    bool limited = false;
};

}  // namespace

void AppState::measureLoudness() {
    const auto info = current();
    if (!info || busy_) return;
    if (settings_.isolation && !previewCurrent()) {
        setError(
            QStringLiteral("Render the current AI settings before measuring processed loudness."));
        return;
    }
    stop();
    const bool restored = previewPlayable() && restorationURL_;
    const std::filesystem::path source = restored ? *restorationURL_ : info->url;
    const std::optional<AudioFrameRange> range =
        previewPlayable() && renderedRange_ ? std::nullopt : previewRange_;
    const ProcessingSettings settings = settings_;
    const std::vector<ChannelSettings> channels = channels_;
    const auto original = restorationOriginal();
    const auto sidechain = lavSidechain();
    const auto measuredRange = previewRange_;

    auto worker = beginWork(QStringLiteral("Measuring loudness and true peak"));
    worker->run(
        [=](std::stop_token cancel, const ProgressCallback& progress) {
            const FinishingInput input{source, range, settings, channels, original, sidechain};
            std::optional<NormalizationPlan> normalization;
            if (settings.normalizationEnabled) {
                normalization = LoudnessNormalization::plan(input, cancel);
            }
            DSPStream stream(input, normalization);
            std::vector<bool> selected;
            for (const ChannelSettings& c : channels)
                selected.push_back(c.process);
            LoudnessMeter meter(stream.sampleRate(), stream.channelCount(), selected);
            AudioBuffer block(stream.channelCount(), LoudnessMeter::kReadFrames);
            int64_t done = 0;
            const double length = double(std::max<int64_t>(stream.length(), 1));
            while (stream.next(block, LoudnessMeter::kReadFrames, cancel)) {
                meter.add(block);
                done += block.frameLength();
                progress(double(done) / length);
            }
            Measurement result;
            result.report = meter.report();
            if (const auto& plan = stream.normalizationPlan()) {
                result.gainDB = plan->gainDB;
                result.limited = plan->peakLimited;
            }
            return result;
        },
        [this, worker](double f) {
            if (worker == worker_) setProgress(f);
        },
        [this, worker, settings, channels, measuredRange](StepOutcome<Measurement> outcome) {
            if (worker != worker_) return;
            if (outcome.value && !worker->isCancelled()) {
                normalizationLimited_ = outcome.value->limited;
                setLoudness(outcome.value->report);
                setNormalizationGainDB(outcome.value->gainDB);
                measuredSettings_ = settings;
                measuredChannels_.clear();
                for (const ChannelSettings& c : channels)
                    measuredChannels_.push_back(c.process);
                measuredRange_ = measuredRange;
                if (const DeliveryStandard* standard = deliveryStandard()) {
                    // Judged on the readings as measured: the processed stream's 4x true
                    // peak. The export is judged again on the written file, strictly.
                    QualityMeasurement m;
                    m.loudness = outcome.value->report;
                    m.strictTruePeak = outcome.value->report.truePeak;
                    setDeliveryCheck(DeliveryCheck{std::string(standard->id),
                                                   QualityCheck::judge(m, *standard),
                                                   std::nullopt});
                }
                setStatus(outcome.value->report.integrated
                              ? QStringLiteral("Loudness analysis complete")
                              : QStringLiteral(
                                    "No measurable programme loudness (silence or under 400 ms)"));
                emit changed();
            } else if (outcome.cancelled || worker->isCancelled()) {
                setStatus(QStringLiteral("Analysis cancelled"));
            } else {
                setError(outcome.error);
                setStatus(QStringLiteral("Analysis failed"));
            }
            endWork();
        });
}

void AppState::calibrateLavPair() {
    const auto info = current();
    if (!info || busy_) return;
    const int channelA = settings_.bleedChannelA;
    const int channelB = settings_.bleedChannelB;
    const auto range = previewRange_;
    const double floor = settings_.bleedFloor;
    const std::filesystem::path source = info->url;
    stop();
    auto worker = beginWork(QStringLiteral("Analyzing lav balance"));
    worker->run(
        [=](std::stop_token cancel, const ProgressCallback& progress) {
            return LavPairAnalyzer::analyze(source, channelA, channelB, range, floor, progress,
                                            cancel);
        },
        [this, worker](double f) {
            if (worker == worker_) setProgress(f);
        },
        [this, worker](StepOutcome<LavPairCalibration> outcome) {
            if (worker != worker_) return;
            if (outcome.value && !worker->isCancelled()) {
                ProcessingSettings settings = settings_;
                settings.bleedTrimA = outcome.value->trimA;
                settings.bleedTrimB = outcome.value->trimB;
                setSettings(settings);
                processingChanged();
                char text[128];
                std::snprintf(text, sizeof text, "Lav detector balanced: A %+.1f dB, B %+.1f dB",
                              outcome.value->trimA, outcome.value->trimB);
                setStatus(QString::fromUtf8(text));
            } else if (outcome.cancelled || worker->isCancelled()) {
                setStatus(QStringLiteral("Lav analysis cancelled"));
            } else {
                setError(outcome.error);
                setStatus(QStringLiteral("Lav balance unchanged"));
            }
            endWork();
        });
}

void AppState::setupTwoLavsWithCamera() {
    const auto info = current();
    if (!info || busy_ || channels_.size() < 4) return;
    stop();
    auto channels = channels_;
    for (size_t i = 0; i < channels.size(); ++i) {
        channels[i].process = i < 2;
        channels[i].mute = i > 1;
        channels[i].solo = false;
    }
    setChannels(channels);
    ProcessingSettings settings = settings_;
    settings.bleedChannelA = 0;
    settings.bleedChannelB = 1;
    settings.bleedMode = LavBleedMode::interview;
    settings.bleedEnabled = true;
    settings.bleedDepth = 18;
    settings.bleedDifference = 6;
    settings.bleedHold = 120;
    settings.bleedRelease = 80;
    setSettings(settings);
    processingChanged();
    if (previewPlayable() || !settings_.isolation) setProcessed(true);
    calibrateLavPair();
}

}  // namespace corvaline::app
