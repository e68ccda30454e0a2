// Playback and metering: the live monitor for Original and Processed, level matching, seek,
// loop, the 30 Hz tick and the static meters while stopped.
//
// A playback start captures what the plan needs on the GUI thread, then builds the plan (it
// opens the source), the stream (level match and normalisation planning read files) and the
// LiveMonitor (opening the output device) in one background step. Edits made meanwhile bump
// monitorVersion, and a monitor prepared for an older version is released unheard.

#include <QString>

#include <cmath>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "core/bridge/Worker.hpp"
#include "core/models/ModelManager.hpp"
#include "core/monitoring/MonitorController.hpp"
#include "core/state/AppState.hpp"
#include "playback/LiveMonitor.hpp"

namespace corvaline::app {
namespace {}  // namespace

struct AppState::PlanInputs {
    std::optional<AudioInfo> recording;
    bool processed = false;
    bool previewPlayable = false;
    std::optional<std::filesystem::path> restorationURL;
    std::optional<AudioFrameRange> renderedRange;
    std::optional<AudioFrameRange> previewRange;
    double rangeStart = 0;
    ProcessingSettings settings;
    std::vector<ChannelSettings> channels;
    std::optional<std::filesystem::path> previewURL;
    bool matching = false;
    std::optional<OriginalAudioReference> original;
    std::optional<OriginalAudioReference> sidechain;
};

namespace {

using PlanInputs = AppState::PlanInputs;

// The monitor plan for a start at `startingAt` seconds; opens the source.
MonitorPlan buildPlan(const PlanInputs& in, std::optional<double> startingAt) {
    if (!in.recording) throw AudioFailure("Import an audio or video file first.");
    const bool useRestoration = in.processed && in.previewPlayable;
    const std::optional<std::filesystem::path> source =
        useRestoration ? in.restorationURL : std::optional(in.recording->url);
    if (!source || source->empty()) throw AudioFailure("Import an audio or video file first.");
    const bool restoredSelection = useRestoration && in.renderedRange.has_value();
    const auto file = AudioIO::open(*source);
    const int64_t length = file->length();
    const double sourceRate = file->sampleRate();
    const double recordingRate = in.recording->sampleRate > 0 ? in.recording->sampleRate : 48000;

    int64_t base = 0;
    double windowStart = 0;
    if (restoredSelection) {
        windowStart = double(in.renderedRange->start) / recordingRate;
    } else {
        base = in.previewRange ? in.previewRange->start : 0;
        windowStart = in.rangeStart;
    }
    const double offset = startingAt.value_or(windowStart) - windowStart;
    int64_t start = base + int64_t(std::llround(sourceRate * std::max(offset, 0.0)));
    const int64_t end =
        restoredSelection ? length : (in.previewRange ? in.previewRange->end : length);
    start = std::min(start, end - 1);
    if (start < 0 || start >= end) throw AudioFailure("Choose a non-empty audio range.");

    MonitorPlan plan;
    plan.source = *source;
    plan.range = AudioFrameRange{start, end};
    plan.settings = in.processed ? in.settings : AppState::originalMonitorSettings();
    plan.channels = in.channels;
    plan.reference = in.recording->url;
    plan.referenceRange = in.previewRange;
    plan.compared = in.previewURL;
    plan.comparedRange = in.renderedRange ? std::nullopt : in.previewRange;
    plan.matching = in.matching;
    plan.processed = in.processed;
    if (in.processed) {
        plan.original = in.original;
        plan.sidechain = in.sidechain;
    }
    if (restoredSelection) {
        if (length < 1) throw AudioFailure("Choose a non-empty audio range.");
        plan.normalizationRange = AudioFrameRange{0, length};
    } else {
        plan.normalizationRange = in.previewRange;
    }
    return plan;
}

struct PreparedMonitor {
    std::shared_ptr<std::unique_ptr<LiveMonitor>> monitor;  // shared: the outcome is copied
    double gain = 1;
    bool matching = false;
};

}  // namespace

bool AppState::canLevelMatch() const {
    if (!previewPlayable() || !renderedSettings_) return false;
    if (renderedSettings_->dspOnly() != settings_.dspOnly()) return false;
    return !renderedSettings_->isSidon() || renderedSettings_->originalMix == settings_.originalMix;
}

QString AppState::monitorLabel() const {
    if (!processed_) return QStringLiteral("Original");
    if (!previewPlayable() || !renderedSettings_ || !renderedSettings_->isolation ||
        (renderedSettings_->isSidon() && !hasSidonRestoration_)) {
        return QStringLiteral("Processed · DSP only");
    }
    const auto name = models_->modelName(renderedSettings_->modelID);
    QString label = QStringLiteral("Processed · ") +
                    (name ? QString::fromStdString(*name) : QStringLiteral("AI"));
    if (renderedSettings_->modelID == "sidon" &&
        renderedSettings_->sidonQuality == SidonQuality::careful) {
        label += QStringLiteral(" · Careful");
    }
    if (renderedSettings_->isSidon() && settings_.originalMix > 0) {
        label += QStringLiteral(" · Original %1%").arg(std::lround(settings_.originalMix));
    }
    return label;
}

MonitorPlan AppState::monitorPlan(std::optional<double> startingAt) const {
    return buildPlan(planInputs(), startingAt);
}

AppState::PlanInputs AppState::planInputs() const {
    PlanInputs in;
    in.recording = current();
    in.processed = processed_;
    in.previewPlayable = previewPlayable();
    in.restorationURL = restorationURL_;
    in.renderedRange = renderedRange_;
    in.previewRange = previewRange_;
    in.rangeStart = rangeStart();
    in.settings = settings_;
    in.channels = channels_;
    if (preview_) in.previewURL = preview_->url;
    in.matching = levelMatched_ && canLevelMatch();
    in.original = restorationOriginal();
    in.sidechain = lavSidechain();
    return in;
}

void AppState::play() {
    const auto info = current();
    if (!info || busy_) return;
    if (isPlaying_) {
        stop();
        return;
    }
    if (processed_ && !previewPlayable() && settings_.isolation) {
        setError(QStringLiteral("Render this selection before playing its processed audio."));
        return;
    }
    startPlayback();
}

void AppState::startPlayback() {
    const auto info = current();
    const double rate = selectedRate();
    const bool restored = processed_ && previewPlayable();
    const std::filesystem::path meterSource =
        restored && restorationURL_ ? *restorationURL_ : info->url;
    double start = rangeStart();
    double end = rangeEnd();
    if (restored && renderedRange_) {
        start = double(renderedRange_->start) / rate;
        end = double(renderedRange_->end) / rate;
    }
    playbackOffset_ = start;
    playbackEnd_ = end;
    const double offset = (start <= time_ && time_ < end) ? time_ - start : 0.0;

    monitor_->retire();
    const PlanInputs in = planInputs();

    auto worker = beginWork(settings_.normalizationEnabled && processed_
                                ? QStringLiteral("Analyzing loudness before playback")
                                : QStringLiteral("Starting live monitor"));
    const int64_t version = monitorVersion_;
    const double startAt = start + offset;
    MonitorController* controller = monitor_.get();
    worker->run(
        [in, startAt, controller](std::stop_token cancel, const ProgressCallback&) {
            const MonitorPlan plan = buildPlan(in, startAt);
            auto stream = plan.makeStream(cancel);
            PreparedMonitor prepared;
            prepared.gain = stream->gain();
            prepared.matching = plan.matching;
            throwIfCancelled(cancel);
            prepared.monitor =
                std::make_shared<std::unique_ptr<LiveMonitor>>(controller->open(std::move(stream)));
            return prepared;
        },
        {},
        [this, worker, version, startAt, meterSource](StepOutcome<PreparedMonitor> outcome) {
            if (outcome.value && *outcome.value->monitor &&
                (worker != worker_ || worker->isCancelled() || version != monitorVersion_)) {
                // Prepared for a state that no longer holds: release it unheard.
                monitor_->retire(std::move(*outcome.value->monitor));
            }
            if (worker != worker_) return;
            if (outcome.value && !worker->isCancelled() && version == monitorVersion_) {
                monitor_->adopt(std::move(*outcome.value->monitor));
                streamErrorShown_ = false;
                playbackOffset_ = startAt;
                setMonitorGainDB(20.0 * std::log10(std::max(outcome.value->gain, 1e-12)));
                setMonitorMatchReady(outcome.value->matching);
                setupMeterFile(meterSource);
                setIsPlaying(true);
            } else if (!outcome.value && !outcome.cancelled && !worker->isCancelled()) {
                setError(outcome.error);
            }
            setStatus(QStringLiteral("Ready"));
            endWork();
        });
}

void AppState::stop() {
    if (monitor_->running()) {
        if (isPlaying_) setTime(playbackOffset_ + monitor_->currentTime());
        monitor_->retire();
    }
    setIsPlaying(false);
    setOutputMeters({-90, -90});
    setChannelMeters(std::vector<double>(channels_.size(), -90.0));
    setCompressorReduction(0);
    setLimiterReduction(0);
    setBleedReduction({0, 0});
    setLevelerGain(std::vector<double>(channels_.size(), 0.0));
    setNormalizationSuspended(false);
}

void AppState::seek(double fraction) {
    const auto info = current();
    if (!info || !std::isfinite(fraction)) return;
    const bool wasPlaying = isPlaying_;
    stop();
    const double seconds =
        info->sampleRate > 0 ? fraction * double(info->frameCount) / info->sampleRate : 0.0;
    setTime(std::clamp(seconds, rangeStart(), std::max(rangeStart(), rangeEnd())));
    meterAtTime();
    if (wasPlaying) play();
}

void AppState::setProcessed(bool on) {
    if (on && !previewPlayable() && settings_.isolation) return;
    const bool wasPlaying = isPlaying_;
    stop();
    setProcessedFlag(on);
    setMonitorMatchReady(false);
    ++monitorVersion_;
    if (processed_ && previewPlayable() && restorationURL_) {
        setupMeterFile(*restorationURL_);
    } else if (const auto info = current()) {
        setupMeterFile(info->url);
    }
    emit changed();
    if (wasPlaying) play();
}

void AppState::setLevelMatched(bool on) {
    if (busy_ || on == levelMatched_ || (on && !canLevelMatch())) return;
    const bool wasPlaying = isPlaying_;
    stop();
    setLevelMatchedFlag(on);
    setMonitorMatchReady(false);
    setMonitorGainDB(0);
    ++monitorVersion_;
    emit changed();
    if (wasPlaying) play();
}

void AppState::tick() {
    LiveMonitor* monitor = monitor_->monitor();
    if (!isPlaying_ || !monitor) return;
    LiveMonitor::Snapshot snapshot = monitor->snapshot();
    // Views index the meters by channel: before the first block has played the snapshot has
    // none, so the lists keep one entry per channel.
    snapshot.channels.resize(channels_.size(), -90.0);
    snapshot.levelerGain.resize(channels_.size(), 0.0);
    setTime(playbackOffset_ + monitor->currentTime());
    setOutputMeters(snapshot.output);
    setChannelMeters(snapshot.channels);
    setCompressorReduction(snapshot.compressorReduction);
    setLimiterReduction(snapshot.limiterReduction);
    setBleedReduction(snapshot.bleedReduction);
    setLevelerGain(snapshot.levelerGain);
    setNormalizationSuspended(snapshot.normalizationSuspended);
    // A streaming failure is shown once: the snapshot keeps it until the monitor stops, and an
    // alert the user dismissed must not come back on the next tick.
    if (snapshot.error && !streamErrorShown_) {
        streamErrorShown_ = true;
        setError(QString::fromStdString(*snapshot.error));
    }
    if (snapshot.finished) {
        stop();
        if (loopSelection_ && previewRange_) {
            setTime(rangeStart());
            play();
        } else {
            setTime(playbackEnd_);
            stop();
        }
    }
}

void AppState::setupMeterFile(const std::filesystem::path& url) {
    monitor_->setMeterFile(url);
}

void AppState::meterAtTime() {
    double base = 0;
    if (processed_ && previewPlayable() && renderedRange_) {
        base = double(renderedRange_->start) / selectedRate();
    }
    monitor_->requestMeters(time_ - base, [this](std::optional<std::vector<double>> levels) {
        if (isPlaying_) return;  // the running monitor's meters win
        setChannelMeters(levels ? *levels : std::vector<double>(channels_.size(), -90.0));
    });
}

}  // namespace corvaline::app
