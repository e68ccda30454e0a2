// AppState: fields, lifecycle, selection, range and the invalidation rules. The workflows
// (import, render/export, playback, loudness/lav) are further members in workflows/ and
// monitoring/.

#include "core/state/AppState.hpp"

#include <algorithm>
#include <cmath>
#include <concepts>
#include <system_error>

#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "core/bridge/Worker.hpp"
#include "core/models/ModelManager.hpp"
#include "core/monitoring/MonitorController.hpp"
#include "core/state/Workspace.hpp"

namespace corvaline::app {
namespace {

// Whether a field's old and new values can be compared to skip unchanged assignments.
// AudioInfo has no equality (its lists can be large), so those fields always notify.
template <class T>
constexpr bool comparable = std::equality_comparable<T>;
template <>
constexpr bool comparable<std::vector<AudioInfo>> = false;
template <>
constexpr bool comparable<std::optional<AudioInfo>> = false;

}  // namespace

AppState::AppState(ModelManager* models, QObject* parent)
    : QObject(parent), models_(models), monitor_(std::make_unique<MonitorController>(this)) {
    if (!models_) models_ = new ModelManager(std::nullopt, this);
    const auto temporary = paths::temporaryFolder();
    workspace_ = std::make_unique<Workspace>(temporary);
    // Folders of runs that ended without shutdown go, off the GUI thread.
    pool_.start([temporary] { Workspace::removeStale(temporary); });
    // The timer is a member: it dies with the state and never keeps it alive.
    timer_.setInterval(int(std::lround(kTickInterval * 1000)));
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &AppState::tick);
    timer_.start();
}

AppState::~AppState() {
    if (!shutDown_) shutdown();
}

// ---- Assignment helpers ------------------------------------------------------------------

template <class T, class Signal>
void AppState::assign(T& field, const T& value, Signal signal) {
    // Records without equality (AudioInfo) always notify.
    if constexpr (comparable<T>) {
        if (field == value) return;
    }
    field = value;
    emit(this->*signal)();
    emit changed();
}

void AppState::setFiles(std::vector<AudioInfo> files) {
    assign(files_, files, &AppState::filesChanged);
}
void AppState::setSelectedID(std::optional<std::string> id) {
    assign(selectedID_, id, &AppState::selectedIDChanged);
}
void AppState::setSettings(const ProcessingSettings& settings) {
    assign(settings_, settings, &AppState::settingsChanged);
}
void AppState::setChannels(const std::vector<ChannelSettings>& channels) {
    assign(channels_, channels, &AppState::channelsChanged);
}
void AppState::setPreview(std::optional<AudioInfo> preview) {
    assign(preview_, preview, &AppState::previewChanged);
}
void AppState::setIsPlaying(bool on) {
    assign(isPlaying_, on, &AppState::isPlayingChanged);
}
void AppState::setTime(double time) {
    assign(time_, time, &AppState::timeChanged);
}
void AppState::setOutputMeters(std::vector<double> meters) {
    assign(outputMeters_, meters, &AppState::outputMetersChanged);
}
void AppState::setChannelMeters(std::vector<double> meters) {
    assign(channelMeters_, meters, &AppState::channelMetersChanged);
}
void AppState::setCompressorReduction(double db) {
    assign(compressorReduction_, db, &AppState::compressorReductionChanged);
}
void AppState::setLimiterReduction(double db) {
    assign(limiterReduction_, db, &AppState::limiterReductionChanged);
}
void AppState::setBleedReduction(std::vector<double> db) {
    assign(bleedReduction_, db, &AppState::bleedReductionChanged);
}
void AppState::setLevelerGain(std::vector<double> db) {
    assign(levelerGain_, db, &AppState::levelerGainChanged);
}
void AppState::setNormalizationSuspended(bool on) {
    assign(normalizationSuspended_, on, &AppState::normalizationSuspendedChanged);
}
void AppState::setLoudness(std::optional<LoudnessReport> report) {
    assign(loudness_, report, &AppState::loudnessChanged);
}
void AppState::setNormalizationGainDB(double db) {
    assign(normalizationGainDB_, db, &AppState::normalizationGainDBChanged);
}
void AppState::setBusy(bool on) {
    assign(busy_, on, &AppState::busyChanged);
}
void AppState::setProgress(double fraction) {
    assign(progress_, fraction, &AppState::progressChanged);
}
void AppState::setStatus(const QString& status) {
    assign(status_, status, &AppState::statusChanged);
}
void AppState::setError(const std::optional<QString>& error) {
    assign(error_, error, &AppState::errorChanged);
}
void AppState::setPage(WorkspacePage page) {
    assign(page_, page, &AppState::pageChanged);
}
void AppState::setHelpTopicID(const QString& topic) {
    assign(helpTopicID_, topic, &AppState::helpTopicIDChanged);
}
void AppState::setProcessedFlag(bool on) {
    assign(processed_, on, &AppState::processedChanged);
}
void AppState::setLevelMatchedFlag(bool on) {
    assign(levelMatched_, on, &AppState::levelMatchedChanged);
}
void AppState::setMonitorGainDB(double db) {
    assign(monitorGainDB_, db, &AppState::monitorGainDBChanged);
}
void AppState::setMonitorMatchReady(bool on) {
    assign(monitorMatchReady_, on, &AppState::monitorMatchReadyChanged);
}
void AppState::setZoom(double zoom) {
    if (!std::isfinite(zoom) || zoom <= 0) return;
    assign(zoom_, zoom, &AppState::zoomChanged);
}
void AppState::setExportBits(int bits) {
    if (bits != 32 && bits != 24) return;
    assign(exportBits_, bits, &AppState::exportBitsChanged);
}
void AppState::setPreviewRange(std::optional<AudioFrameRange> range) {
    assign(previewRange_, range, &AppState::previewRangeChanged);
}
void AppState::setSelectingRange(bool on) {
    assign(selectingRange_, on, &AppState::selectingRangeChanged);
}
void AppState::setLoopSelection(bool on) {
    assign(loopSelection_, on, &AppState::loopSelectionChanged);
}
void AppState::setDeliveryCheck(std::optional<DeliveryCheck> check) {
    if (!check && !deliveryCheck_) return;
    deliveryCheck_ = std::move(check);
    emit deliveryCheckChanged();
    emit changed();
}

const DeliveryStandard* AppState::deliveryStandard() const {
    if (deliveryStandardID_.isEmpty()) return nullptr;
    return findDeliveryStandard(deliveryStandardID_.toStdString());
}

void AppState::setDeliveryStandardID(const QString& id) {
    const DeliveryStandard* standard = nullptr;
    if (!id.isEmpty()) {
        standard = findDeliveryStandard(id.toStdString());
        if (!standard) return;
    }
    const QString canonical = standard ? QString::fromUtf8(standard->id) : QString();
    if (canonical == deliveryStandardID_) return;
    deliveryStandardID_ = canonical;
    setDeliveryCheck(std::nullopt);
    emit deliveryStandardIDChanged();
    emit changed();
    if (!standard) return;
    // The standard's target and ceiling, reached by normalisation and held by the true-peak
    // limiter (the export proves the ceiling with the strict meter).
    ProcessingSettings settings = settings_;
    settings.normalizationEnabled = true;
    settings.targetLUFS = standard->targetLUFS;
    settings.limiterEnabled = true;
    settings.truePeakEnabled = true;
    settings.ceiling = standard->maxTruePeakDBTP;
    editSettings(settings);
}

void AppState::editSettings(const ProcessingSettings& settings) {
    if (settings == settings_) return;
    setSettings(settings);
    processingChanged();
}

void AppState::setChannel(int index, ChannelSettings flags) {
    if (index < 0 || size_t(index) >= channels_.size() || channels_[size_t(index)] == flags) return;
    auto channels = channels_;
    channels[size_t(index)] = flags;
    setChannels(channels);
    channelChanged();
}

const std::filesystem::path& AppState::workspace() const {
    return workspace_->path();
}

// ---- Derived values ----------------------------------------------------------------------

std::optional<AudioInfo> AppState::current() const {
    if (!selectedID_) return std::nullopt;
    for (const AudioInfo& info : files_) {
        if (info.id == *selectedID_) return info;
    }
    return std::nullopt;
}

double AppState::selectedRate() const {
    const auto info = current();
    return info && info->sampleRate > 0 ? info->sampleRate : 48000.0;
}

int64_t AppState::selectedFrames() const {
    const auto info = current();
    return info ? info->frameCount : 0;
}

bool AppState::previewPlayable() const {
    if (!preview_) return false;
    if (!renderedRange_) return true;
    return previewRange_ && *previewRange_ == *renderedRange_;
}

std::vector<bool> AppState::processFlags() const {
    std::vector<bool> flags;
    flags.reserve(channels_.size());
    for (const ChannelSettings& c : channels_)
        flags.push_back(c.process);
    return flags;
}

bool AppState::previewCurrent() const {
    if (!previewPlayable() || !renderedSettings_) return false;
    if (!renderedSettings_->sameRestoration(settings_)) return false;
    if (renderedSelection_ != processFlags()) return false;
    if (settings_.isolation && settings_.isSidon()) {
        return settings_.originalMix >= 100 || hasSidonRestoration_;
    }
    return true;
}

double AppState::rangeStart() const {
    return double(previewRange_ ? previewRange_->start : 0) / selectedRate();
}

double AppState::rangeEnd() const {
    return double(previewRange_ ? previewRange_->end : selectedFrames()) / selectedRate();
}

bool AppState::loudnessCurrent() const {
    return loudness_ && measuredSettings_ && *measuredSettings_ == settings_ &&
           measuredChannels_ == processFlags() && measuredRange_ == previewRange_;
}

std::optional<OriginalAudioReference> AppState::restorationOriginal() const {
    const auto info = current();
    if (!info || !previewPlayable() || !renderedSettings_ || !renderedSettings_->isolation ||
        !renderedSettings_->isSidon() || !hasSidonRestoration_) {
        return std::nullopt;
    }
    return OriginalAudioReference{info->url, renderedRange_ ? renderedRange_->start : 0};
}

std::optional<OriginalAudioReference> AppState::lavSidechain() const {
    const auto info = current();
    if (!info || !previewPlayable()) return std::nullopt;
    return OriginalAudioReference{info->url, renderedRange_ ? renderedRange_->start : 0};
}

ProcessingSettings AppState::originalMonitorSettings() {
    ProcessingSettings settings;
    settings.eqEnabled = false;
    settings.compressorEnabled = false;
    settings.limiterEnabled = false;
    return settings;
}

// ---- Background work -----------------------------------------------------------------------

std::shared_ptr<Worker> AppState::beginWork(const QString& status) {
    setBusy(true);
    setStatus(status);
    setProgress(0);
    worker_ = std::make_shared<Worker>(this, &pool_);
    return worker_;
}

void AppState::endWork() {
    setBusy(false);
    worker_.reset();
}

void AppState::discard(const std::filesystem::path& path) {
    // Unlinking a long extracted recording can take a while; the pool is waited for at
    // shutdown, before the workspace goes.
    pool_.start([path] {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    });
}

void AppState::cancel() {
    if (worker_) worker_->cancel();
}

// ---- Selection ---------------------------------------------------------------------------

void AppState::select(const AudioInfo& info) {
    if (busy_ && selectedID_) return;
    stop();
    setSelectedID(info.id);
    setPreview(std::nullopt);
    setLoudness(std::nullopt);
    normalizationLimited_ = false;
    setDeliveryCheck(std::nullopt);
    restorationURL_.reset();
    setPreviewRange(std::nullopt);
    renderedRange_.reset();
    setSelectingRange(false);
    setProcessedFlag(!settings_.isolation);
    setMonitorGainDB(0);
    setMonitorMatchReady(false);
    setChannels(std::vector<ChannelSettings>(info.channels.size(), ChannelSettings{}));
    setChannelMeters(std::vector<double>(info.channels.size(), -90.0));
    setLevelerGain(std::vector<double>(info.channels.size(), 0.0));
    renderedSettings_.reset();
    ++monitorVersion_;
    setTime(0);
    setZoom(1.0);
    setupMeterFile(info.url);
    emit changed();
}

void AppState::selectID(const std::string& id) {
    for (const AudioInfo& info : files_) {
        if (info.id == id) {
            select(AudioInfo(info));
            return;
        }
    }
}

void AppState::removeSelected() {
    if (busy_) return;
    const auto info = current();
    if (!selectedID_) return;
    stop();
    // The audio extracted from a video or MXF file; never the user's own file.
    if (info && info->url != info->sourceURL) discard(info->url.parent_path());
    auto files = files_;
    const std::string id = *selectedID_;
    std::erase_if(files, [&](const AudioInfo& f) { return f.id == id; });
    setFiles(files);
    setSelectedID(std::nullopt);
    setPreview(std::nullopt);
    setPreviewRange(std::nullopt);
    renderedRange_.reset();
    if (!files_.empty()) {
        select(AudioInfo(files_.front()));
    } else {
        monitor_->clearMeterFile();
        emit changed();
    }
}

// ---- Range -------------------------------------------------------------------------------

void AppState::enableRange(bool on) {
    const auto info = current();
    if (busy_ || !info) return;
    if (on) {
        const double d = info->sampleRate > 0 ? double(info->frameCount) / info->sampleRate : 0.0;
        const double start = std::min(std::max(d - 0.1, 0.0), std::max(time_, 0.0));
        const double end = std::min(start + 10.0, d);
        setRange(start, end);
        setSelectingRange(true);
    } else {
        updateRange(std::nullopt);
        setSelectingRange(false);
    }
}

void AppState::setRange(double start, double end) {
    const auto info = current();
    if (busy_ || !info || !std::isfinite(start) || !std::isfinite(end)) return;
    if (info->sampleRate <= 0) return;
    const double d = double(info->frameCount) / info->sampleRate;
    start = std::clamp(start, 0.0, d);
    end = std::clamp(end, 0.0, d);
    const auto startFrame = int64_t(std::llround(start * info->sampleRate));
    const auto endFrame = int64_t(std::llround(end * info->sampleRate));
    const int64_t lower = std::min(info->frameCount - 1, startFrame);
    const int64_t upper = std::min(std::max(endFrame, lower + 1), info->frameCount);
    std::optional<AudioFrameRange> range;
    if (lower >= 0 && lower < upper) range = AudioFrameRange{lower, upper};
    updateRange(range);
}

void AppState::updateRange(const std::optional<AudioFrameRange>& range) {
    if (range == previewRange_) return;
    stop();
    setPreviewRange(range);
    setMonitorMatchReady(false);
    processingChanged();
    if (processed_ && previewPlayable() && restorationURL_) {
        setupMeterFile(*restorationURL_);
    } else if (const auto info = current()) {
        setupMeterFile(info->url);
    }
    ++monitorVersion_;
    setTime(std::clamp(time_, rangeStart(), std::max(rangeStart(), rangeEnd())));
    meterAtTime();
    emit changed();
}

// ---- Invalidation ------------------------------------------------------------------------

void AppState::updateRunningMonitor(double gain) {
    if (!monitor_->running()) return;
    monitor_->update(processed_ ? settings_ : originalMonitorSettings(), channels_, gain);
}

void AppState::processingChanged() {
    // A verdict on the measured readings stays current with them (loudnessCurrent); one on an
    // exported file describes settings that are no longer the ones on screen.
    if (deliveryCheck_ && deliveryCheck_->exported) setDeliveryCheck(std::nullopt);
    if (processed_ && !previewPlayable() && settings_.isolation) setProcessed(false);
    if (!canLevelMatch()) {
        setLevelMatchedFlag(false);
        setMonitorMatchReady(false);
        setMonitorGainDB(0);
    }
    updateRunningMonitor(std::pow(10.0, monitorGainDB_ / 20.0));
    emit changed();
}

void AppState::channelChanged() {
    setLevelMatchedFlag(false);
    setMonitorGainDB(0);
    setMonitorMatchReady(false);
    processingChanged();
    ++monitorVersion_;
    updateRunningMonitor(1.0);
    emit changed();
}

void AppState::applySidonPreset(double amount, SidonQuality quality) {
    ProcessingSettings settings;
    settings.isolation = true;
    settings.modelID = "sidon";
    settings.originalMix = 100 - amount;
    settings.sidonQuality = quality;
    settings.eqEnabled = false;
    settings.compressorEnabled = false;
    setSettings(settings);
    processingChanged();
}

// ---- Shutdown ----------------------------------------------------------------------------

void AppState::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    timer_.stop();
    if (worker_) worker_->cancel();
    if (models_->isWorking()) models_->cancel();
    stop();
    // Background steps notice the cancellation within a block; let them end before their
    // folder goes away.
    pool_.waitForDone();
    monitor_->flush();
    workspace_->remove();
}

}  // namespace corvaline::app
