#include "core/models/ModelManager.hpp"

#include <system_error>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "core/bridge/Worker.hpp"

namespace corvaline::app {
namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

ModelManager::ModelManager(std::optional<std::filesystem::path> root, QObject* parent)
    : ModelManager(std::move(root), ModelCatalog::Tools::defaults(), parent) {}

ModelManager::ModelManager(std::optional<std::filesystem::path> root, ModelCatalog::Tools tools,
                           QObject* parent)
    : QObject(parent), catalog_(std::move(root), std::move(tools)) {
    refresh();
}

ModelManager::~ModelManager() {
    if (work_) work_->cancel();
    pool_.waitForDone();
}

void ModelManager::setInstalled(std::set<std::string> value) {
    if (value == installed_) return;
    installed_ = std::move(value);
    emit installedChanged();
    emit changed();
}

void ModelManager::setActiveDownload(std::optional<std::string> value) {
    if (value == activeDownload_) return;
    activeDownload_ = std::move(value);
    emit activeDownloadChanged();
    emit changed();
}

void ModelManager::setProgress(double value) {
    if (value == progress_) return;
    progress_ = value;
    emit progressChanged();
    emit changed();
}

void ModelManager::setProgressIndeterminate(bool value) {
    if (value == progressIndeterminate_) return;
    progressIndeterminate_ = value;
    emit progressIndeterminateChanged();
    emit changed();
}

void ModelManager::setMessage(const QString& value) {
    if (value == message_) return;
    message_ = value;
    emit messageChanged();
    emit changed();
}

void ModelManager::setError(const std::optional<QString>& error) {
    if (error == error_) return;
    error_ = error;
    emit errorChanged();
    emit changed();
}

void ModelManager::setRuntimeFlags(bool runtime, bool demucs, bool reference) {
    const bool any =
        runtime != runtimeReady_ || demucs != demucsReady_ || reference != sidonReferenceReady_;
    if (runtime != runtimeReady_) {
        runtimeReady_ = runtime;
        emit runtimeReadyChanged();
    }
    if (demucs != demucsReady_) {
        demucsReady_ = demucs;
        emit demucsReadyChanged();
    }
    if (reference != sidonReferenceReady_) {
        sidonReferenceReady_ = reference;
        emit sidonReferenceReadyChanged();
    }
    if (any) emit changed();
}

void ModelManager::refresh() {
    catalog_.refresh();
    setInstalled(catalog_.installed());
    setRuntimeFlags(catalog_.runtimeReady(), catalog_.demucsReady(),
                    catalog_.sidonReferenceReady());
}

bool ModelManager::isReady(const std::string& modelID) const {
    const LocalModel* entry = catalog_.model(modelID);
    return entry && catalog_.isReady(*entry);
}

InferenceConfiguration ModelManager::configuration(const std::string& modelID,
                                                   double reduction) const {
    return catalog_.configuration(modelID, reduction);
}

std::optional<std::string> ModelManager::modelName(const std::string& modelID) const {
    const LocalModel* entry = catalog_.model(modelID);
    return entry ? std::optional<std::string>(entry->name) : std::nullopt;
}

void ModelManager::applyProgress(const std::string& id, const RuntimeInstallationProgress& record) {
    if (activeDownload_ != id) return;  // the installation has ended meanwhile
    if (!record.message.empty()) setMessage(qs(record.message));
    setProgressIndeterminate(!record.fraction.has_value());
    setProgress(record.fraction.value_or(0.0));
}

void ModelManager::start(
    const std::string& id, const QString& message, bool indeterminate,
    std::function<void(const ModelCatalog&, const ModelCatalog::Progress&, std::stop_token)>
        install,
    const QString& success) {
    setActiveDownload(id);
    setError(std::nullopt);
    setProgressIndeterminate(indeterminate);
    setMessage(message);
    setProgress(0);
    work_ = std::make_shared<Worker>(this, &pool_);
    auto work = work_;
    const ModelCatalog* catalog = &catalog_;
    work->run(
        [this, id, catalog, install = std::move(install)](std::stop_token stop,
                                                          const ProgressCallback&) {
            try {
                install(
                    *catalog,
                    [this, id](const RuntimeInstallationProgress& record) {
                        Worker::post(this, [this, id, record] { applyProgress(id, record); });
                    },
                    stop);
            } catch (const Cancelled&) {
                throw;
            } catch (const std::exception& error) {
                // Worded here, where the failure's kind is still known.
                throw AudioFailure(
                    ModelCatalog::failureText(error, alertText(error).toStdString()));
            }
        },
        {},
        [this, work, success](StepOutcome<Done> outcome) {
            finish(work, outcome.value && !work->isCancelled(),
                   outcome.cancelled || work->isCancelled(), outcome.error, success);
        });
}

void ModelManager::download(const std::string& modelID) {
    const LocalModel* entry = catalog_.model(modelID);
    if (activeDownload_ || !entry) return;
    const LocalModel model = *entry;
    start(
        model.id, QStringLiteral("Downloading ") + qs(model.name), false,
        [model](const ModelCatalog& catalog, const ModelCatalog::Progress& progress,
                std::stop_token stop) { catalog.install(model, progress, stop); },
        qs(ModelCatalog::installedMessage(model)));
}

void ModelManager::installDemucs() {
    if (activeDownload_) return;
    start(
        ModelCatalog::demucsRuntimeID, QStringLiteral("Preparing audio runtime"), true,
        [](const ModelCatalog& catalog, const ModelCatalog::Progress& progress,
           std::stop_token stop) { catalog.installDemucs(progress, stop); },
        QStringLiteral("Demucs runtime installed"));
}

void ModelManager::installReferenceRuntime() {
    if (activeDownload_) return;
    start(
        ModelCatalog::referenceRuntimeID, QStringLiteral("Preparing Sidon Reference runtime"), true,
        [](const ModelCatalog& catalog, const ModelCatalog::Progress& progress,
           std::stop_token stop) { catalog.installReferenceRuntime(progress, stop); },
        QStringLiteral("Sidon Reference runtime installed"));
}

void ModelManager::cancel() {
    if (!work_) return;
    setMessage(QString::fromUtf8(ModelCatalog::cancellingMessage));
    work_->cancel();
}

void ModelManager::finish(const std::shared_ptr<Worker>& work, bool succeeded, bool cancelled,
                          const QString& failure, const QString& successMessage) {
    if (work != work_) return;
    if (succeeded) {
        setMessage(successMessage);
    } else if (cancelled) {
        setMessage(QString::fromUtf8(ModelCatalog::cancelledMessage));
    } else {
        setError(failure);
        setMessage(QString::fromUtf8(ModelCatalog::failedStatusMessage));
    }
    refresh();
    setActiveDownload(std::nullopt);
    work_.reset();
}

void ModelManager::remove(const std::string& modelID) {
    const LocalModel* entry = catalog_.model(modelID);
    if (!entry) return;
    try {
        catalog_.remove(*entry);
    } catch (const std::exception& failure) {
        setError(alertText(failure));
    }
    refresh();
}

void ModelManager::reveal() {
    std::error_code ignored;
    std::filesystem::create_directories(root(), ignored);
    if (platform_.openFolder) platform_.openFolder(root());
}

}  // namespace corvaline::app
