#pragma once
// ModelManager: the observable side of the model catalog for the settings page and the
// render workflow. It publishes which catalog models and runtimes are installed, installs one
// model or runtime at a time in a cancellable background task with progress and messages,
// removes models, opens the model folder, and turns a chosen model into the configuration the
// inference runner needs. The catalog, the folder layout and the installers are the engine's
// (audiocore/install); this class only adds the published fields, the one-at-a-time rule and
// the GUI-thread delivery.
//
// Every published field changes on the GUI thread only and emits its change signal (and
// changed()). Progress that arrives after an installation ended is dropped.

#include <QObject>
#include <QString>
#include <QThreadPool>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>

#include "audiocore/install/ModelCatalog.hpp"
#include "audiocore/restoration/LocalInference.hpp"
#include "core/bridge/PlatformServices.hpp"

namespace corvaline::app {

class Worker;

class ModelManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::set<std::string> installed READ installed NOTIFY installedChanged)
    Q_PROPERTY(
        std::optional<std::string> activeDownload READ activeDownload NOTIFY activeDownloadChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(
        bool progressIndeterminate READ progressIndeterminate NOTIFY progressIndeterminateChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    Q_PROPERTY(std::optional<QString> error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(bool runtimeReady READ runtimeReady NOTIFY runtimeReadyChanged)
    Q_PROPERTY(bool demucsReady READ demucsReady NOTIFY demucsReadyChanged)
    Q_PROPERTY(bool sidonReferenceReady READ sidonReferenceReady NOTIFY sidonReferenceReadyChanged)

  public:
    /// Id published in activeDownload while the Demucs runtime installs.
    static constexpr const char* kDemucsRuntimeID = "runtime";
    /// Id published in activeDownload while the Sidon Reference runtime installs.
    static constexpr const char* kReferenceRuntimeID = "reference-runtime";

    /// `root` is the model folder; none means the user's data folder + "Corvaline"
    /// ($XDG_DATA_HOME/Corvaline). Calls refresh().
    explicit ModelManager(std::optional<std::filesystem::path> root = std::nullopt,
                          QObject* parent = nullptr);
    /// The same with the catalog's download addresses and installers replaced (tests).
    ModelManager(std::optional<std::filesystem::path> root, ModelCatalog::Tools tools,
                 QObject* parent = nullptr);
    /// Cancels a running installation and waits for it to end.
    ~ModelManager() override;

    // Published fields.
    const std::set<std::string>& installed() const { return installed_; }
    const std::optional<std::string>& activeDownload() const { return activeDownload_; }
    double progress() const { return progress_; }
    bool progressIndeterminate() const { return progressIndeterminate_; }
    const QString& message() const { return message_; }
    const std::optional<QString>& error() const { return error_; }
    bool runtimeReady() const { return runtimeReady_; }
    bool demucsReady() const { return demucsReady_; }
    bool sidonReferenceReady() const { return sidonReferenceReady_; }

    /// The model folder.
    const std::filesystem::path& root() const { return catalog_.root(); }
    /// True while an installation runs (the `work` handle is present).
    bool isWorking() const { return work_ != nullptr; }

    /// The catalog's models, in display order.
    const std::vector<LocalModel>& catalog() const { return catalog_.entries(); }
    /// The catalog entry with `modelID`, or null.
    const LocalModel* model(const std::string& modelID) const { return catalog_.model(modelID); }

    /// True when `modelID` is installed and the runtime it needs is ready.
    bool isReady(const std::string& modelID) const;
    /// The configuration the inference runner needs for `modelID`. Throws AudioFailure
    /// "Download the selected model in Settings first.", "Install or repair the Sidon
    /// Reference runtime in Settings first.", "Install the Demucs runtime in Settings first."
    /// or "Download the speech runtime in Settings first." for what is missing.
    InferenceConfiguration configuration(const std::string& modelID, double reduction) const;
    /// The catalog's display name of `modelID` ("Sidon FP16"), none outside the catalog.
    std::optional<std::string> modelName(const std::string& modelID) const;

    /// Installs opening the model folder (QDesktopServices in the ui).
    void setPlatform(PlatformServices platform) { platform_ = std::move(platform); }

  public slots:
    /// Sets or clears the failure text (the alert's "OK" clears it).
    void setError(const std::optional<QString>& error);
    /// Recomputes the installed set and the three runtime flags from the model folder.
    void refresh();
    /// Installs `modelID` with the runtime it needs. Does nothing while another installation
    /// runs or for an id outside the catalog.
    void download(const std::string& modelID);
    /// Installs or repairs the Demucs Python runtime alone.
    void installDemucs();
    /// Installs or repairs the Sidon Reference Python runtime alone.
    void installReferenceRuntime();
    /// Cancels the running installation: message "Cancelling installation", then the task
    /// ends with "Installation cancelled".
    void cancel();
    /// Deletes an installed model (and, for the Sidon variants, their download cache).
    /// Runtimes stay.
    void remove(const std::string& modelID);
    /// Creates the model folder when missing and opens it in the file browser.
    void reveal();

  signals:
    void installedChanged();
    void activeDownloadChanged();
    void progressChanged();
    void progressIndeterminateChanged();
    void messageChanged();
    void errorChanged();
    void runtimeReadyChanged();
    void demucsReadyChanged();
    void sidonReferenceReadyChanged();
    /// Emitted after any published field changed.
    void changed();

  private:
    void setInstalled(std::set<std::string> value);
    void setActiveDownload(std::optional<std::string> value);
    void setProgress(double value);
    void setProgressIndeterminate(bool value);
    void setMessage(const QString& value);
    void setRuntimeFlags(bool runtime, bool demucs, bool reference);
    /// Starts an installation under `id` running `install` on the worker; `success` is the
    /// message shown when it completes.
    void start(
        const std::string& id, const QString& message, bool indeterminate,
        std::function<void(const ModelCatalog&, const ModelCatalog::Progress&, std::stop_token)>
            install,
        const QString& success);
    /// Applies one progress record while `id` is still installing.
    void applyProgress(const std::string& id, const RuntimeInstallationProgress& record);
    /// Ends the installation: success message or the failure handler, then refresh().
    void finish(const std::shared_ptr<Worker>& work, bool succeeded, bool cancelled,
                const QString& failure, const QString& successMessage);

    std::set<std::string> installed_;
    std::optional<std::string> activeDownload_;
    double progress_ = 0;
    bool progressIndeterminate_ = false;
    QString message_;
    std::optional<QString> error_;
    bool runtimeReady_ = false;
    bool demucsReady_ = false;
    bool sidonReferenceReady_ = false;
    std::shared_ptr<Worker> work_;
    ModelCatalog catalog_;
    PlatformServices platform_;
    // Last member: destroyed first, so every installation step has ended before the fields
    // its results touch go away.
    QThreadPool pool_;
};

}  // namespace corvaline::app
