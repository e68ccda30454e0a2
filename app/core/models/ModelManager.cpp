#include "core/models/ModelManager.hpp"

#include <system_error>

#include <unistd.h>

#include "audiocore/install/ManagedRuntime.hpp"
#include "audiocore/install/SidonAssets.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Paths.hpp"
#include "core/bridge/Worker.hpp"

namespace corvaline::app {
namespace {

namespace fs = std::filesystem;

// Catalog ids, display names and files under Models/. (Interim: the engine's catalog in
// audiocore/install replaces this table.)
struct Entry {
    const char* id;
    const char* name;
    const char* file;
};
constexpr Entry kCatalog[] = {
    {"sidon", "Sidon FP16", "SidonFP16"},
    {"sidon-reference", "Sidon CPU Reference", "SidonReference"},
    {"dfn3", "DeepFilterNet 3", "DeepFilterNet3_onnx.tar.gz"},
    {"dfn2", "DeepFilterNet 2", "DeepFilterNet2_onnx.tar.gz"},
    {"demucs", "HTDemucs", "955717e8-8726e21a.th"},
};

const Entry* entry(const std::string& id) {
    for (const Entry& e : kCatalog) {
        if (id == e.id) return &e;
    }
    return nullptr;
}

bool isExecutableFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

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

void ModelManager::refresh() {
    std::set<std::string> found;
    for (const Entry& e : kCatalog) {
        const fs::path location = root_ / "Models" / e.file;
        std::error_code error;
        bool present = false;
        if (std::string(e.id) == "sidon") {
            present = SidonAssets::isInstalled(location, SidonAssets::Variant::coreML);
        } else if (std::string(e.id) == "sidon-reference") {
            present = SidonAssets::isInstalled(location, SidonAssets::Variant::reference);
        } else {
            present = fs::exists(location, error);
        }
        if (present) found.insert(e.id);
    }
    setInstalled(std::move(found));
    setRuntimeFlags(
        isExecutableFile(root_ / "Runtime" / "deep-filter"),
        ManagedRuntime::isReady(root_ / "Runtime" / "demucs", ManagedRuntime::Engine::demucs),
        ManagedRuntime::isReady(root_ / "Runtime" / "sidon-reference",
                                ManagedRuntime::Engine::sidonReference));
}

InferenceConfiguration ModelManager::configuration(const std::string& modelID,
                                                   double reduction) const {
    const Entry* e = entry(modelID);
    if (!e || !installed_.contains(modelID))
        throw AudioFailure("Download the selected model in Settings first.");
    const fs::path model = root_ / "Models" / e->file;
    if (modelID == "sidon-reference") {
        if (!sidonReferenceReady_)
            throw AudioFailure("Install or repair the Sidon Reference runtime in Settings first.");
        return InferenceConfiguration::sidonReference(
            ManagedRuntime::python(root_ / "Runtime" / "sidon-reference"), model,
            LocalInference::bridgeScript("sidon_reference_bridge"));
    }
    if (modelID == "sidon") return InferenceConfiguration::sidon(model);
    if (modelID == "demucs") {
        if (!demucsReady_) throw AudioFailure("Install the Demucs runtime in Settings first.");
        return InferenceConfiguration(ManagedRuntime::python(root_ / "Runtime" / "demucs"), model,
                                      LocalInference::bridgeScript("demucs_bridge"), reduction);
    }
    if (!runtimeReady_) throw AudioFailure("Download the speech runtime in Settings first.");
    return InferenceConfiguration(root_ / "Runtime" / "deep-filter", model, std::nullopt,
                                  reduction);
}

bool ModelManager::isReady(const std::string& modelID) const {
    if (!installed_.contains(modelID)) return false;
    if (modelID == "sidon-reference") return sidonReferenceReady_;
    if (modelID == "sidon") return true;
    if (modelID == "demucs") return demucsReady_;
    return runtimeReady_;
}

std::optional<std::string> ModelManager::modelName(const std::string& modelID) const {
    const Entry* e = entry(modelID);
    return e ? std::optional<std::string>(e->name) : std::nullopt;
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
