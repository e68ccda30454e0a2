#pragma once
// AppState: the one controller of the application's working state. It owns the imported
// recordings, the selection, the per-channel flags, the processing settings, the preview
// range, the transport, the meters and every status the window shows. Every view observes it
// and every user action is a call on it.
//
// Threads. Everything here is called and changes on the GUI thread. Long work (import,
// render, export, loudness measurement, lav analysis and the preparation of a playback start)
// runs as one background operation at a time, the worker, whose steps run on the state's own
// thread pool; their progress, results and failures come back as queued calls. The GUI thread
// never waits on file I/O, decoding or DSP: even the static meters and the opening and closing
// of the audio output happen off it (see MonitorController).
//
// Published fields are Qt properties, each with its change signal; changed() follows every
// change of any of them, and the derived values (current, previewPlayable, ...) are computed
// on each read and notify through changed(). Fields a view edits directly (settings, channels)
// have a plain setter; the view then calls processingChanged() or channelChanged(), or uses
// editSettings() / setChannel(), which do both.
//
// Nothing is saved between launches. The workspace folder (temporary folder + "Corvaline-" +
// UUID) holds every extracted, rendered and demo file and is deleted by shutdown().

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audiocore/delivery/DeliveryStandard.hpp"
#include "audiocore/delivery/QualityCheck.hpp"
#include "audiocore/finishing/LavPairAnalyzer.hpp"
#include "audiocore/finishing/LoudnessReport.hpp"
#include "audiocore/finishing/OriginalAudioReference.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/monitor/MonitorPlan.hpp"
#include "core/bridge/PlatformServices.hpp"

namespace corvaline::app {

class ModelManager;
class MonitorController;

/// A delivery standard's verdict shown beside the loudness readings.
struct DeliveryCheck {
    std::string standardID;
    ComplianceVerdict verdict;
    /// The exported file the verdict was measured in, with the strict true-peak meter; none
    /// when it judges the readings of "Measure Processed Audio" (4x true peak).
    std::optional<std::filesystem::path> exported;
};
class Workspace;
class Worker;

class AppState : public QObject {
    Q_OBJECT

  public:
    /// What the main window's detail area shows.
    enum class WorkspacePage { workspace, settings, help };
    Q_ENUM(WorkspacePage)

  private:
    // Published fields, in the order of the state record.
    Q_PROPERTY(std::vector<corvaline::AudioInfo> files READ files NOTIFY filesChanged)
    Q_PROPERTY(std::optional<std::string> selectedID READ selectedID NOTIFY selectedIDChanged)
    Q_PROPERTY(corvaline::ProcessingSettings settings READ settings WRITE setSettings NOTIFY
                   settingsChanged)
    Q_PROPERTY(std::vector<corvaline::ChannelSettings> channels READ channels WRITE setChannels
                   NOTIFY channelsChanged)
    Q_PROPERTY(std::optional<corvaline::AudioInfo> preview READ preview NOTIFY previewChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(double time READ time NOTIFY timeChanged)
    Q_PROPERTY(std::vector<double> outputMeters READ outputMeters NOTIFY outputMetersChanged)
    Q_PROPERTY(std::vector<double> channelMeters READ channelMeters NOTIFY channelMetersChanged)
    Q_PROPERTY(
        double compressorReduction READ compressorReduction NOTIFY compressorReductionChanged)
    Q_PROPERTY(double limiterReduction READ limiterReduction NOTIFY limiterReductionChanged)
    Q_PROPERTY(std::vector<double> bleedReduction READ bleedReduction NOTIFY bleedReductionChanged)
    Q_PROPERTY(std::vector<double> levelerGain READ levelerGain NOTIFY levelerGainChanged)
    Q_PROPERTY(bool normalizationSuspended READ normalizationSuspended NOTIFY
                   normalizationSuspendedChanged)
    Q_PROPERTY(
        std::optional<corvaline::LoudnessReport> loudness READ loudness NOTIFY loudnessChanged)
    Q_PROPERTY(
        double normalizationGainDB READ normalizationGainDB NOTIFY normalizationGainDBChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(std::optional<QString> error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(WorkspacePage page READ page WRITE setPage NOTIFY pageChanged)
    Q_PROPERTY(QString helpTopicID READ helpTopicID WRITE setHelpTopicID NOTIFY helpTopicIDChanged)
    Q_PROPERTY(bool processed READ processed NOTIFY processedChanged)
    Q_PROPERTY(bool levelMatched READ levelMatched NOTIFY levelMatchedChanged)
    Q_PROPERTY(double monitorGainDB READ monitorGainDB NOTIFY monitorGainDBChanged)
    Q_PROPERTY(bool monitorMatchReady READ monitorMatchReady NOTIFY monitorMatchReadyChanged)
    Q_PROPERTY(double zoom READ zoom WRITE setZoom NOTIFY zoomChanged)
    Q_PROPERTY(int exportBits READ exportBits WRITE setExportBits NOTIFY exportBitsChanged)
    Q_PROPERTY(std::optional<corvaline::AudioFrameRange> previewRange READ previewRange NOTIFY
                   previewRangeChanged)
    Q_PROPERTY(bool selectingRange READ selectingRange NOTIFY selectingRangeChanged)
    Q_PROPERTY(
        bool loopSelection READ loopSelection WRITE setLoopSelection NOTIFY loopSelectionChanged)
    // Derived values.
    Q_PROPERTY(std::optional<corvaline::AudioInfo> current READ current NOTIFY changed)
    Q_PROPERTY(bool previewPlayable READ previewPlayable NOTIFY changed)
    Q_PROPERTY(bool previewCurrent READ previewCurrent NOTIFY changed)
    Q_PROPERTY(double rangeStart READ rangeStart NOTIFY changed)
    Q_PROPERTY(double rangeEnd READ rangeEnd NOTIFY changed)
    Q_PROPERTY(bool canLevelMatch READ canLevelMatch NOTIFY changed)
    Q_PROPERTY(QString monitorLabel READ monitorLabel NOTIFY changed)
    Q_PROPERTY(bool loudnessCurrent READ loudnessCurrent NOTIFY changed)
    Q_PROPERTY(QString deliveryStandardID READ deliveryStandardID WRITE setDeliveryStandardID NOTIFY
                   deliveryStandardIDChanged)
    Q_PROPERTY(std::optional<corvaline::app::DeliveryCheck> deliveryCheck READ deliveryCheck NOTIFY
                   deliveryCheckChanged)

  public:
    /// Name of the demo recording written into the workspace.
    static constexpr const char* kDemoFileName = "Kestrio Corvaline Test Recording.wav";
    /// Interval of the meter tick, seconds.
    static constexpr double kTickInterval = 1.0 / 30.0;

    /// Creates the state with its initial values, the workspace folder and the 30 Hz tick.
    /// `models` is used when given (not owned); otherwise a ModelManager on the default model
    /// folder is created as a child of the state.
    explicit AppState(ModelManager* models = nullptr, QObject* parent = nullptr);
    /// shutdown() when it has not run yet.
    ~AppState() override;

    /// Installs the panels and the file browser of the desktop (the ui does this at start).
    void setPlatform(PlatformServices platform) { platform_ = std::move(platform); }

    // ---- Published fields -------------------------------------------------------------
    const std::vector<AudioInfo>& files() const { return files_; }
    const std::optional<std::string>& selectedID() const { return selectedID_; }
    const ProcessingSettings& settings() const { return settings_; }
    const std::vector<ChannelSettings>& channels() const { return channels_; }
    const std::optional<AudioInfo>& preview() const { return preview_; }
    bool isPlaying() const { return isPlaying_; }
    double time() const { return time_; }
    const std::vector<double>& outputMeters() const { return outputMeters_; }
    const std::vector<double>& channelMeters() const { return channelMeters_; }
    double compressorReduction() const { return compressorReduction_; }
    double limiterReduction() const { return limiterReduction_; }
    const std::vector<double>& bleedReduction() const { return bleedReduction_; }
    const std::vector<double>& levelerGain() const { return levelerGain_; }
    bool normalizationSuspended() const { return normalizationSuspended_; }
    const std::optional<LoudnessReport>& loudness() const { return loudness_; }
    double normalizationGainDB() const { return normalizationGainDB_; }
    bool busy() const { return busy_; }
    double progress() const { return progress_; }
    const QString& status() const { return status_; }
    const std::optional<QString>& error() const { return error_; }
    WorkspacePage page() const { return page_; }
    const QString& helpTopicID() const { return helpTopicID_; }
    bool processed() const { return processed_; }
    bool levelMatched() const { return levelMatched_; }
    double monitorGainDB() const { return monitorGainDB_; }
    bool monitorMatchReady() const { return monitorMatchReady_; }
    double zoom() const { return zoom_; }
    int exportBits() const { return exportBits_; }
    const std::optional<AudioFrameRange>& previewRange() const { return previewRange_; }
    bool selectingRange() const { return selectingRange_; }
    bool loopSelection() const { return loopSelection_; }
    /// The chosen delivery standard's id ("ebu-r128", ...), empty for none.
    const QString& deliveryStandardID() const { return deliveryStandardID_; }
    /// The last verdict against the chosen standard; none before a measurement or export and
    /// without a standard. A verdict on the measured readings is current while
    /// loudnessCurrent() holds; one on an exported file is cleared by the next change of the
    /// settings, channels or range.
    const std::optional<DeliveryCheck>& deliveryCheck() const { return deliveryCheck_; }

    // ---- Bookkeeping (not published) --------------------------------------------------
    const std::optional<ProcessingSettings>& measuredSettings() const { return measuredSettings_; }
    const std::vector<bool>& measuredChannels() const { return measuredChannels_; }
    const std::optional<AudioFrameRange>& measuredRange() const { return measuredRange_; }
    /// The measurement's normalisation gain fell more than 0.1 dB short of the target: the
    /// true-peak ceiling or the maximum boost held it back.
    bool normalizationLimited() const { return normalizationLimited_; }
    const std::optional<AudioFrameRange>& renderedRange() const { return renderedRange_; }
    const std::optional<std::filesystem::path>& restorationURL() const { return restorationURL_; }
    ModelManager& models() const { return *models_; }
    const std::filesystem::path& workspace() const;
    const std::optional<ProcessingSettings>& renderedSettings() const { return renderedSettings_; }
    bool hasSidonRestoration() const { return hasSidonRestoration_; }
    const std::vector<bool>& renderedSelection() const { return renderedSelection_; }
    int64_t monitorVersion() const { return monitorVersion_; }
    double playbackOffset() const { return playbackOffset_; }
    double playbackEnd() const { return playbackEnd_; }
    /// True while a background operation's handle is held (the `worker`).
    bool hasWorker() const { return worker_ != nullptr; }
    /// The live monitor owner (running monitor, static meters).
    MonitorController& monitorController() const { return *monitor_; }

    // ---- Derived values -----------------------------------------------------------------
    /// The selected recording, none without a selection or match.
    std::optional<AudioInfo> current() const;
    /// The preview can be heard for the current range.
    bool previewPlayable() const;
    /// The preview is playable and its restoration still matches the AI settings and the
    /// processed channels.
    bool previewCurrent() const;
    /// Selection start in seconds (0 without a range).
    double rangeStart() const;
    /// Selection end in seconds (the file's duration without a range, 0 without a file).
    double rangeEnd() const;
    /// The rendered preview still sounds like the current processed monitor.
    bool canLevelMatch() const;
    /// What the monitor plays ("Original", "Processed · DSP only", "Processed · Sidon FP16").
    QString monitorLabel() const;
    /// `loudness` still matches the settings, processed channels and range it measured.
    bool loudnessCurrent() const;
    /// The untouched original under a Sidon restoration (for the Original Mix), or none.
    std::optional<OriginalAudioReference> restorationOriginal() const;
    /// The recording as lav-bleed detector input for the rendered restoration, or none.
    std::optional<OriginalAudioReference> lavSidechain() const;
    /// The default settings with EQ, compressor and limiter off: what Original plays through.
    static ProcessingSettings originalMonitorSettings();
    /// The chosen delivery standard, none when "None" is chosen.
    const DeliveryStandard* deliveryStandard() const;

    /// Builds the monitor plan for a start at `startingAt` seconds on the source timeline
    /// (none: the window start). Opens the source to learn its length, so it reads the disk:
    /// play() builds it off the GUI thread. Throws AudioFailure "Import an audio or video file
    /// first." and "Choose a non-empty audio range."; open errors propagate.
    MonitorPlan monitorPlan(std::optional<double> startingAt = std::nullopt) const;
    /// Everything a monitor plan is built from, captured on the GUI thread (Playback.cpp).
    struct PlanInputs;

  public slots:
    // ---- Simple published setters ---------------------------------------------------
    /// Assigns the settings; the caller then calls processingChanged() (or use editSettings).
    void setSettings(const corvaline::ProcessingSettings& settings);
    /// Assigns the channel flags; the caller then calls channelChanged() (or use setChannel).
    void setChannels(const std::vector<corvaline::ChannelSettings>& channels);
    /// Sets or clears the error (the alert's "OK" or dismissal clears it).
    void setError(const std::optional<QString>& error);
    void setPage(WorkspacePage page);
    void setHelpTopicID(const QString& topic);
    void setZoom(double zoom);
    /// 32 (float) or 24 (PCM); other values are ignored.
    void setExportBits(int bits);
    void setLoopSelection(bool on);
    /// Chooses the delivery standard (its id or name; empty for none; unknown names are
    /// ignored). A standard turns on LUFS normalisation to its target and the true-peak
    /// limiter at its ceiling; measurements and exports are then judged against it.
    void setDeliveryStandardID(const QString& id);

    // ---- Convenience edits with their invalidation ----------------------------------
    /// setSettings(settings) then processingChanged(), when they differ.
    void editSettings(const corvaline::ProcessingSettings& settings);
    /// Replaces the flags of channel `index` and calls channelChanged(); ignored for an index
    /// outside `channels` or unchanged flags.
    void setChannel(int index, corvaline::ChannelSettings flags);

    // ---- Session (lifecycle, import, selection, range) ------------------------------
    /// Shows the open panel titled "Import Audio or Video" and imports the chosen files.
    void importPanel();
    /// Imports the files in order, skipping those already in the session. Does nothing while
    /// busy.
    void importURLs(const std::vector<std::filesystem::path>& urls);
    /// Writes the synthetic test recording into the workspace and imports it.
    void demo();
    /// Selects `info` (ignored while busy with a selection present).
    void select(const corvaline::AudioInfo& info);
    /// Selects the recording with this id, if there is one.
    void selectID(const std::string& id);
    /// Removes the selected recording (and its extracted audio, never the user's file).
    void removeSelected();
    /// Turns the selection on (10 s from the playhead) or off.
    void enableRange(bool on);
    /// Sets the selection in seconds (rounded to frames, at least one frame long).
    void setRange(double start, double end);
    /// Replaces the selection and applies its invalidation rules.
    void updateRange(const std::optional<corvaline::AudioFrameRange>& range);
    /// Call after any change to `channels`.
    void channelChanged();
    /// Call after any change to `settings`, `channels` or the range.
    void processingChanged();
    /// Applies the Sidon preset with `amount` percent restoration and `quality`.
    void applySidonPreset(double amount, corvaline::SidonQuality quality);
    /// Cancels the running background operation (the window's cancel control).
    void cancel();
    /// Stops the tick, cancels work, stops the monitor and deletes the workspace folder.
    void shutdown();

    // ---- Render and export ------------------------------------------------------------
    /// Renders the selection (or the whole recording with `fullFile`) into a preview.
    void render(bool fullFile);
    /// Exports the full-file render to a WAV chosen in the save panel.
    void exportWAV();
    /// Exports to `destination` without a panel (the panel's result goes here too).
    void exportTo(const std::filesystem::path& destination);

    // ---- Playback and metering --------------------------------------------------------
    /// Stops when playing, otherwise starts the live monitor at the cursor.
    void play();
    void stop();
    /// Moves the cursor to `fraction` of the recording (restarting playback if it ran).
    void seek(double fraction);
    /// Switches the monitor between Original (false) and Processed (true).
    void setProcessed(bool on);
    /// Turns the A/B level match on or off.
    void setLevelMatched(bool on);
    /// Publishes the running monitor's meters and position (called every 1/30 s).
    void tick();
    /// Points the static meters at `url` (opened off the GUI thread).
    void setupMeterFile(const std::filesystem::path& url);
    /// Refreshes the static channel meters at the cursor (read off the GUI thread; the
    /// result arrives as a channelMeters change).
    void meterAtTime();

    // ---- Loudness and lav pair --------------------------------------------------------
    /// Measures the processed programme's loudness, range, true peak and normalisation gain.
    void measureLoudness();
    /// Measures the lav pair's balance and writes the detector trims into the settings.
    void calibrateLavPair();
    /// Lavs on channels 1 and 2, camera references muted and unprocessed, then calibrates.
    void setupTwoLavsWithCamera();

  signals:
    void filesChanged();
    void selectedIDChanged();
    void settingsChanged();
    void channelsChanged();
    void previewChanged();
    void isPlayingChanged();
    void timeChanged();
    void outputMetersChanged();
    void channelMetersChanged();
    void compressorReductionChanged();
    void limiterReductionChanged();
    void bleedReductionChanged();
    void levelerGainChanged();
    void normalizationSuspendedChanged();
    void loudnessChanged();
    void normalizationGainDBChanged();
    void busyChanged();
    void progressChanged();
    void statusChanged();
    void errorChanged();
    void pageChanged();
    void helpTopicIDChanged();
    void processedChanged();
    void levelMatchedChanged();
    void monitorGainDBChanged();
    void monitorMatchReadyChanged();
    void zoomChanged();
    void exportBitsChanged();
    void previewRangeChanged();
    void selectingRangeChanged();
    void loopSelectionChanged();
    void deliveryStandardIDChanged();
    void deliveryCheckChanged();
    /// Follows every change of a published field (and so of every derived value).
    void changed();

  private:
    PlanInputs planInputs() const;
    // Assignment helpers: assign, then emit the field's signal and changed() when it differs.
    template <class T, class Signal>
    void assign(T& field, const T& value, Signal signal);

    void setFiles(std::vector<AudioInfo> files);
    void setSelectedID(std::optional<std::string> id);
    void setPreview(std::optional<AudioInfo> preview);
    void setIsPlaying(bool on);
    void setTime(double time);
    void setOutputMeters(std::vector<double> meters);
    void setChannelMeters(std::vector<double> meters);
    void setCompressorReduction(double db);
    void setLimiterReduction(double db);
    void setBleedReduction(std::vector<double> db);
    void setLevelerGain(std::vector<double> db);
    void setNormalizationSuspended(bool on);
    void setLoudness(std::optional<LoudnessReport> report);
    void setNormalizationGainDB(double db);
    void setBusy(bool on);
    void setProgress(double fraction);
    void setStatus(const QString& status);
    void setProcessedFlag(bool on);
    void setLevelMatchedFlag(bool on);
    void setMonitorGainDB(double db);
    void setMonitorMatchReady(bool on);
    void setPreviewRange(std::optional<AudioFrameRange> range);
    void setSelectingRange(bool on);
    void setDeliveryCheck(std::optional<DeliveryCheck> check);

    /// Starts a background operation: busy, status, progress 0, a new worker.
    std::shared_ptr<Worker> beginWork(const QString& status);
    /// Ends it: busy false, worker none.
    void endWork();

    /// Removes a file or folder (with everything in it) off the GUI thread; errors ignored.
    void discard(const std::filesystem::path& path);
    /// Shows what went wrong with one imported file in the alert: a failure ("name: reason";
    /// the file was not imported) or a warning (the engine's sentence naming the file, which
    /// was imported).
    void reportImportMessage(const QString& message, bool failed);
    void importNext(std::shared_ptr<Worker> worker, std::vector<std::filesystem::path> urls,
                    size_t index);
    void startPlayback();
    void updateRunningMonitor(double gain);
    std::vector<bool> processFlags() const;
    double selectedRate() const;
    int64_t selectedFrames() const;

    // Published fields.
    std::vector<AudioInfo> files_;
    std::optional<std::string> selectedID_;
    ProcessingSettings settings_;
    std::vector<ChannelSettings> channels_;
    std::optional<AudioInfo> preview_;
    bool isPlaying_ = false;
    double time_ = 0;
    std::vector<double> outputMeters_{-90, -90};
    std::vector<double> channelMeters_;
    double compressorReduction_ = 0;
    double limiterReduction_ = 0;
    std::vector<double> bleedReduction_{0, 0};
    std::vector<double> levelerGain_;
    bool normalizationSuspended_ = false;
    std::optional<LoudnessReport> loudness_;
    double normalizationGainDB_ = 0;
    std::optional<ProcessingSettings> measuredSettings_;
    std::vector<bool> measuredChannels_;
    std::optional<AudioFrameRange> measuredRange_;
    bool normalizationLimited_ = false;
    bool busy_ = false;
    double progress_ = 0;
    QString status_ = QStringLiteral("Ready");
    std::optional<QString> error_;
    WorkspacePage page_ = WorkspacePage::workspace;
    QString helpTopicID_ = QStringLiteral("start");
    bool processed_ = false;
    bool levelMatched_ = false;
    double monitorGainDB_ = 0;
    bool monitorMatchReady_ = false;
    double zoom_ = 1.0;
    int exportBits_ = 32;
    std::optional<AudioFrameRange> previewRange_;
    bool selectingRange_ = false;
    bool loopSelection_ = false;
    QString deliveryStandardID_;
    std::optional<DeliveryCheck> deliveryCheck_;
    // Bookkeeping.
    std::optional<AudioFrameRange> renderedRange_;
    std::optional<std::filesystem::path> restorationURL_;
    ModelManager* models_ = nullptr;
    std::unique_ptr<Workspace> workspace_;
    QTimer timer_;
    std::shared_ptr<Worker> worker_;
    std::optional<ProcessingSettings> renderedSettings_;
    bool hasSidonRestoration_ = false;
    std::vector<bool> renderedSelection_;
    int64_t monitorVersion_ = 0;
    double playbackOffset_ = 0;
    double playbackEnd_ = 0;
    bool shutDown_ = false;
    bool streamErrorShown_ = false;  ///< the running monitor's streaming error was published
    /// Failures and warnings of the running import shown in the alert so far, the alert's text
    /// with the ones listed by name, and how many of each kind are only counted.
    int importMessages_ = 0;
    QString listedImportMessages_;
    int uncountedFailures_ = 0;
    int uncountedWarnings_ = 0;
    PlatformServices platform_;
    std::unique_ptr<MonitorController> monitor_;
    // Last member: destroyed first, so every background step has ended before the fields its
    // results touch go away.
    QThreadPool pool_;
};

using WorkspacePage = AppState::WorkspacePage;

}  // namespace corvaline::app
