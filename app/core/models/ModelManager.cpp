#include "core/models/ModelManager.hpp"

#include <system_error>

#include "audiocore/platform/Paths.hpp"
#include "core/bridge/Worker.hpp"

namespace corvaline::app {

ModelManager::ModelManager(std::optional<std::filesystem::path> root, QObject* parent)
    : QObject(parent), root_(root ? *root : paths::modelFolder()) {
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

void ModelManager::refresh() {}

bool ModelManager::isReady(const std::string& modelID) const {
    if (!installed_.contains(modelID)) return false;
    if (modelID == "sidon-reference") return sidonReferenceReady_;
    if (modelID == "sidon") return true;
    if (modelID == "demucs") return demucsReady_;
    return runtimeReady_;
}

std::optional<std::string> ModelManager::modelName(const std::string& modelID) const {
    (void)modelID;
    return std::nullopt;
}

void ModelManager::download(const std::string& modelID) {
    (void)modelID;
}
void ModelManager::installDemucs() {}
void ModelManager::installReferenceRuntime() {}

void ModelManager::cancel() {
    if (!work_) return;
    setMessage(QStringLiteral("Cancelling installation"));
    work_->cancel();
}

void ModelManager::remove(const std::string& modelID) {
    (void)modelID;
}

void ModelManager::reveal() {
    std::error_code ignored;
    std::filesystem::create_directories(root_, ignored);
    if (platform_.openFolder) platform_.openFolder(root_);
}

void ModelManager::finish(bool, bool, const QString&, const QString&) {}

}  // namespace corvaline::app
