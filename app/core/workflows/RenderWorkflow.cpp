// Render and export: selection previews and full-file renders into the workspace, and the
// export of the full-file render to a WAV the user chooses.
//
// A render keeps two products apart: the restoration (the model's output per processed
// channel, or the plain extracted audio) and the preview (the restoration after the finishing
// chain). While the restoration still matches the AI settings and processed channels
// (previewCurrent), a render of the same range only re-runs the chain over it.

#include <QString>

#include <algorithm>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/AudioDSP.hpp"
#include "audiocore/finishing/Export.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/restoration/PreviewRenderer.hpp"
#include "core/bridge/Worker.hpp"
#include "core/models/ModelManager.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::app {
namespace {

/// What an export step returns besides the written file: the verdict of the delivery
/// standard, or why the written file could not be judged.
struct ExportOutcome {
    std::optional<ComplianceVerdict> verdict;
    QString checkProblem;
};

// Re-runs the finishing chain over an existing restoration (the model is not needed).
AudioInfo refinish(const std::filesystem::path& restoration,
                   const std::filesystem::path& newRestoration,
                   const std::filesystem::path& preview, bool fullFile,
                   const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels,
                   const std::optional<OriginalAudioReference>& original,
                   const std::optional<OriginalAudioReference>& sidechain,
                   const WaveMetadata& metadata, const ProgressCallback& progress,
                   std::stop_token cancel) {
    const int64_t length = AudioIO::open(restoration)->length();
    if (length < 1) throw AudioFailure("Choose a non-empty audio range.");
    AudioIO::extract(restoration, newRestoration, AudioFrameRange{0, length}, cancel);
    AudioDSP::render(newRestoration, preview, settings, channels, 32, original, sidechain,
                     std::nullopt, progress, cancel);
    if (fullFile) metadata.append(preview);
    return AudioIO::analyze(preview, cancel);
}

}  // namespace

void AppState::render(bool fullFile) {
    const auto info = current();
    if (!info || busy_) return;
    const auto flags = processFlags();
    if (std::find(flags.begin(), flags.end(), true) == flags.end()) {
        setError(QStringLiteral("Select at least one channel for processing."));
        return;
    }
    const std::optional<AudioFrameRange> range = fullFile ? std::nullopt : previewRange_;
    const bool reuse = previewCurrent() && renderedRange_ == range && restorationURL_;
    const std::optional<std::filesystem::path> sourceRestoration =
        reuse ? restorationURL_ : std::nullopt;
    const auto original = restorationOriginal();
    const auto sidechain = lavSidechain();
    const bool hadSidon = hasSidonRestoration_;

    std::optional<InferenceConfiguration> configuration;
    const bool fullBlend = settings_.isSidon() && settings_.originalMix == 100;
    if (!reuse && settings_.isolation && !fullBlend) {
        try {
            configuration = models_->configuration(settings_.modelID, settings_.reduction);
        } catch (const std::exception& failure) {
            setError(alertText(failure));
            setPage(WorkspacePage::settings);
            return;
        }
    }

    stop();
    QString status;
    if (reuse) {
        status = QStringLiteral("Updating preview mix and DSP");
    } else if (!configuration) {
        status = QStringLiteral("Rendering DSP");
    } else if (configuration->isSidon()) {
        status = configuration->isSidonReference
                     ? QStringLiteral("Restoring speech with Sidon CPU Reference")
                     : QStringLiteral("Restoring speech with Sidon FP16");
    } else {
        status = QStringLiteral("Isolating voice locally");
    }
    auto worker = beginWork(status);
    setLoudness(std::nullopt);

    const ProcessingSettings settings = settings_;
    const std::vector<ChannelSettings> channels = channels_;
    const std::filesystem::path previewFile = workspace() / ("preview-" + newUuidString() + ".wav");
    const std::filesystem::path restorationFile =
        workspace() / ("restored-" + newUuidString() + ".wav");
    const std::filesystem::path source = info->url;
    const WaveMetadata metadata = info->metadata;

    worker->run(
        [=](std::stop_token cancel, const ProgressCallback& progress) {
            if (sourceRestoration) {
                return refinish(*sourceRestoration, restorationFile, previewFile, !range, settings,
                                channels, original, sidechain, metadata, progress, cancel);
            }
            return PreviewRenderer::render(source, previewFile, range, settings, channels,
                                           configuration, metadata, restorationFile, progress,
                                           cancel);
        },
        [this, worker](double f) {
            if (worker == worker_) setProgress(f);
        },
        [=, this](StepOutcome<AudioInfo> outcome) {
            if (worker != worker_ || !outcome.value || worker->isCancelled()) {
                discard(previewFile);
                discard(restorationFile);
            }
            if (worker != worker_) return;
            if (outcome.value && !worker->isCancelled()) {
                setPreview(*outcome.value);
                if (restorationURL_) discard(*restorationURL_);
                restorationURL_ = restorationFile;
                renderedSettings_ = settings;
                hasSidonRestoration_ = reuse ? hadSidon : configuration && configuration->isSidon();
                renderedSelection_.clear();
                for (const ChannelSettings& c : channels)
                    renderedSelection_.push_back(c.process);
                renderedRange_ = range;
                setProcessedFlag(true);
                setMonitorMatchReady(false);
                ++monitorVersion_;
                setupMeterFile(previewFile);
                setTime(rangeStart());
                setStatus(range ? QStringLiteral("Selection preview ready")
                                : QStringLiteral("Full-file render ready"));
                setProgress(1);
                emit changed();
            } else if (outcome.cancelled || worker->isCancelled()) {
                setStatus(QStringLiteral("Render cancelled"));
            } else {
                setError(outcome.error);
                setStatus(QStringLiteral("Render failed"));
            }
            endWork();
        });
}

void AppState::exportWAV() {
    if (!restorationURL_ || !previewCurrent() || renderedRange_ || busy_) return;
    const auto info = current();
    QString suggested = info ? QString::fromStdString(info->sourceURL.stem().string()) +
                                   QStringLiteral("_clean.wav")
                             : QStringLiteral("Audio_clean.wav");
    // Beside the user's recording; never in the private workspace (where the test recording
    // is written), which is deleted when the application quits.
    if (info) {
        const auto folder = info->sourceURL.parent_path();
        if (folder.is_absolute() && folder != workspace())
            suggested = QString::fromStdString((folder / suggested.toStdString()).string());
    }
    if (!platform_.savePanel) return;
    const auto destination = platform_.savePanel(suggested);
    if (destination) exportTo(*destination);
}

void AppState::exportTo(const std::filesystem::path& destination) {
    if (!restorationURL_ || !previewCurrent() || renderedRange_ || busy_) return;
    const auto info = current();
    if (!info) return;
    // Never over a recording of the session: not the selected one, nor another the user has
    // open (the save panel's "replace?" is too easy to confirm over an original).
    const bool overSource = std::any_of(files_.begin(), files_.end(), [&](const AudioInfo& f) {
        return AudioDSP::isSameFile(destination, f.sourceURL) ||
               AudioDSP::isSameFile(destination, f.url);
    });
    if (overSource) {
        setError(QString::fromUtf8(AudioExport::protectSourceMessage));
        return;
    }
    // The export is always a WAV file: a name that says otherwise ("take.mp3") would label it
    // falsely, and could stand where a file of that kind was.
    const QString extension = QString::fromStdString(destination.extension().string()).toLower();
    if (extension != QStringLiteral(".wav") && extension != QStringLiteral(".wave") &&
        extension != QStringLiteral(".bwf")) {
        setError(QStringLiteral("Could not export “%1”: exports are WAV files, so the name must "
                                "end in .wav.")
                     .arg(QString::fromStdString(destination.filename().string())));
        return;
    }
    AudioExport::Request request;
    request.restoration = *restorationURL_;
    request.destination = destination;
    request.sourceRecording = info->sourceURL;
    request.settings = settings_;
    request.channels = channels_;
    request.bits = exportBits_;
    request.metadata = info->metadata;
    request.original = restorationOriginal();
    request.sidechain = lavSidechain();
    request.workspace = workspace();

    const DeliveryStandard* standard = deliveryStandard();
    std::optional<std::vector<bool>> programme;
    if (standard) programme = processFlags();

    auto worker = beginWork(QStringLiteral("Exporting %1-bit WAV").arg(exportBits_));
    stop();
    worker->run(
        [request, standard, programme](std::stop_token cancel, const ProgressCallback& progress) {
            // With a delivery standard the written file is measured afterwards (the last
            // fifth of the progress) with the strict true-peak meter. The file is complete
            // by then: a failed or cancelled check is reported, never the export undone.
            const double share = standard ? 0.8 : 1.0;
            AudioExport::exportRecording(
                request, [&](double f) { progress(f * share); }, cancel);
            ExportOutcome result;
            if (!standard) return result;
            try {
                const QualityMeasurement m =
                    QualityCheck::measure(request.destination, programme, cancel,
                                          [&](double f) { progress(share + f * (1 - share)); });
                result.verdict = QualityCheck::judge(m, *standard);
            } catch (const Cancelled&) {
                result.checkProblem = QStringLiteral("compliance check cancelled");
            } catch (const std::exception& error) {
                result.checkProblem =
                    QStringLiteral("compliance not checked: ") + QString::fromUtf8(error.what());
            }
            return result;
        },
        [this, worker](double f) {
            if (worker == worker_) setProgress(f);
        },
        [this, worker, destination, standard](StepOutcome<ExportOutcome> outcome) {
            if (worker != worker_) return;
            if (outcome.value) {
                QString status = QStringLiteral("Exported ") +
                                 QString::fromStdString(destination.filename().string());
                if (standard) {
                    status += QStringLiteral(" \u00b7 ") + QString::fromUtf8(standard->name) +
                              QStringLiteral(": ");
                    if (const auto& verdict = outcome.value->verdict) {
                        status += verdict->compliant ? QStringLiteral("compliant")
                                                     : QStringLiteral("not compliant");
                        setDeliveryCheck(
                            DeliveryCheck{std::string(standard->id), *verdict, destination});
                    } else {
                        status += outcome.value->checkProblem;
                    }
                }
                setStatus(status);
                setProgress(1);
                if (platform_.revealFile) platform_.revealFile(destination);
            } else if (outcome.cancelled) {
                setStatus(QStringLiteral("Export cancelled"));
            } else {
                setError(outcome.error);
                setStatus(QStringLiteral("Export failed"));
            }
            endWork();
        });
}

}  // namespace corvaline::app
