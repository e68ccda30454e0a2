#include "core/models/ModelManager.hpp"

#include <system_error>

#include <unistd.h>

#include "audiocore/install/ManagedRuntime.hpp"
#include "audiocore/install/Pins.hpp"
#include "audiocore/install/SidonAssets.hpp"
#include "audiocore/install/VerifiedDownload.hpp"
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

const pins::PlatformPins& platformPins() {
    return pins::current();
}

// Address and expected digest of a downloadable catalog model.
std::optional<std::pair<std::string, std::string>> modelDownload(const std::string& id) {
    const auto& p = platformPins();
    if (id == "dfn3" && !p.deepFilterModels.empty())
        return std::pair{p.deepFilterModels + "DeepFilterNet3_onnx.tar.gz", p.deepFilter3Checksum};
    if (id == "dfn2" && !p.deepFilterModels.empty())
        return std::pair{p.deepFilterModels + "DeepFilterNet2_onnx.tar.gz", p.deepFilter2Checksum};
    if (id == "demucs" && !p.demucsCheckpoint.url.empty())
        return std::pair{p.demucsCheckpoint.url, p.demucsCheckpoint.checksum};
    return std::nullopt;
}

bool isDeepFilter(const std::string& id) {
    return id == "dfn3" || id == "dfn2";
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

bool isExecutableFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

ModelInstaller ModelInstaller::defaults() {
    ModelInstaller installer;
    installer.fetch = [](const std::string& url, const fs::path& destination,
                         const std::string& checksum, const ProgressCallback& progress,
                         std::stop_token stop) {
        VerifiedDownload::fetch(url, destination, checksum, progress, stop);
    };
    installer.installSidon = [](const fs::path& folder, const fs::path& cache,
                                SidonAssets::Variant variant,
                                const SidonAssets::Validation& validate,
                                const ProgressCallback& progress, std::stop_token stop) {
        SidonAssets::install(folder, cache, variant, validate, progress, stop);
    };
    installer.installRuntime =
        [](const fs::path& folder, const fs::path& cache, ManagedRuntime::Engine engine,
           const ManagedRuntime::ProgressReport& report,
           std::stop_token stop) { ManagedRuntime::install(folder, cache, engine, report, stop); };
    return installer;
}

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

std::shared_ptr<Worker> ModelManager::begin(const std::string& id, const QString& message,
                                            bool indeterminate) {
    setActiveDownload(id);
    setError(std::nullopt);
    setProgressIndeterminate(indeterminate);
    setMessage(message);
    setProgress(0);
    work_ = std::make_shared<Worker>(this, &pool_);
    return work_;
}

void ModelManager::applyRuntimeProgress(const std::string& id, const QString& prefix,
                                        const RuntimeInstallationProgress& record) {
    if (activeDownload_ != id) return;
    setMessage(prefix + qs(record.message));
    setProgressIndeterminate(!record.fraction.has_value());
    setProgress(record.fraction.value_or(0.0));
}

// The step that installs a managed runtime, reporting its records on the GUI thread.
std::function<void(std::stop_token, const ProgressCallback&)> ModelManager::runtimeStep(
    const std::string& id, ManagedRuntime::Engine engine, const QString& prefix) {
    const fs::path folder = root_ / "Runtime" / ManagedRuntime::rawValue(engine);
    const fs::path cache = root_ / "Downloads";
    const ModelInstaller installer = installer_;
    return [this, id, engine, prefix, folder, cache, installer](std::stop_token stop,
                                                                const ProgressCallback&) {
        installer.installRuntime(
            folder, cache, engine,
            [this, id, prefix](const RuntimeInstallationProgress& record) {
                Worker::post(
                    this, [this, id, prefix, record] { applyRuntimeProgress(id, prefix, record); });
            },
            stop);
    };
}

void ModelManager::download(const std::string& modelID) {
    const Entry* e = entry(modelID);
    if (activeDownload_ || !e) return;
    auto work = begin(modelID, QStringLiteral("Downloading ") + e->name, false);
    const std::string id = modelID;

    // The runtime the model needs comes first, as its own step with its own progress.
    std::function<void(std::stop_token, const ProgressCallback&)> runtime;
    if (id == "demucs" && !demucsReady_) {
        runtime = runtimeStep(id, ManagedRuntime::Engine::demucs, QString());
    } else if (id == "sidon-reference" && !sidonReferenceReady_) {
        runtime = runtimeStep(id, ManagedRuntime::Engine::sidonReference,
                              QStringLiteral("Sidon Reference · "));
    } else if (isDeepFilter(id) && !runtimeReady_) {
        const pins::PinnedFile program = platformPins().deepFilter;
        setMessage(
            QStringLiteral("Downloading %1 Linux speech runtime").arg(qs(platformPins().machine)));
        const fs::path executable = root_ / "Runtime" / "deep-filter";
        const ModelInstaller installer = installer_;
        runtime = [installer, program, executable](std::stop_token stop,
                                                   const ProgressCallback& progress) {
            if (program.url.empty()) {
                throw AudioFailure("No speech runtime is published for this computer.");
            }
            fs::create_directories(executable.parent_path());
            installer.fetch(program.url, executable, program.checksum, progress, stop);
            fs::permissions(executable, fs::perms(0755), fs::perm_options::replace);
        };
    }
    if (!runtime) {
        downloadModel(work, id);
        return;
    }
    work->run(
        runtime,
        [this, id](double f) {
            if (activeDownload_ == id) setProgress(f);
        },
        [this, work, id](StepOutcome<Done> outcome) {
            if (work != work_) return;
            if (!outcome.value || work->isCancelled()) {
                finish(work, false, outcome.cancelled || work->isCancelled(), outcome.error, {});
                return;
            }
            refresh();
            downloadModel(work, id);
        });
}

void ModelManager::downloadModel(std::shared_ptr<Worker> work, const std::string& modelID) {
    const Entry* e = entry(modelID);
    setMessage(QStringLiteral("Downloading ") + e->name);
    setProgressIndeterminate(false);
    setProgress(0);
    const fs::path root = root_;
    const ModelInstaller installer = installer_;
    const std::string id = modelID;
    const fs::path destination = root / "Models" / e->file;
    work->run(
        [root, installer, id, destination](std::stop_token stop, const ProgressCallback& progress) {
            fs::create_directories(destination.parent_path());
            if (id == "sidon" || id == "sidon-reference") {
                const bool reference = id == "sidon-reference";
                const auto variant =
                    reference ? SidonAssets::Variant::reference : SidonAssets::Variant::coreML;
                const fs::path cache = root / "Downloads" /
                                       (reference ? "SidonReference" : "SidonFP16") /
                                       SidonAssets::revision(variant);
                SidonAssets::Validation validate;
                if (reference) {
                    // The model check: the bridge loads the staged files with the runtime.
                    const fs::path python = ManagedRuntime::python(root / "Runtime" / id);
                    validate = [python](const fs::path& staging, std::stop_token token) {
                        LocalInference::run(
                            python,
                            LocalInference::verifyArguments(
                                LocalInference::bridgeScript("sidon_reference_bridge"), staging),
                            ManagedRuntime::environment(std::nullopt), {}, token);
                    };
                }
                installer.installSidon(destination, cache, variant, validate, progress, stop);
                return;
            }
            const auto download = modelDownload(id);
            if (!download) throw AudioFailure("Invalid model download configuration.");
            installer.fetch(download->first, destination, download->second, progress, stop);
        },
        [this, id](double f) {
            if (activeDownload_ == id) setProgress(f);
        },
        [this, work, name = QString::fromUtf8(e->name)](StepOutcome<Done> outcome) {
            if (work != work_) return;
            finish(work, outcome.value && !work->isCancelled(),
                   outcome.cancelled || work->isCancelled(), outcome.error,
                   name + QStringLiteral(" installed"));
        });
}

void ModelManager::installDemucs() {
    if (activeDownload_) return;
    auto work = begin(kDemucsRuntimeID, QStringLiteral("Preparing audio runtime"), true);
    work->run(runtimeStep(kDemucsRuntimeID, ManagedRuntime::Engine::demucs, QString()), {},
              [this, work](StepOutcome<Done> outcome) {
                  finish(work, outcome.value && !work->isCancelled(),
                         outcome.cancelled || work->isCancelled(), outcome.error,
                         QStringLiteral("Demucs runtime installed"));
              });
}

void ModelManager::installReferenceRuntime() {
    if (activeDownload_) return;
    auto work =
        begin(kReferenceRuntimeID, QStringLiteral("Preparing Sidon Reference runtime"), true);
    work->run(runtimeStep(kReferenceRuntimeID, ManagedRuntime::Engine::sidonReference,
                          QStringLiteral("Sidon Reference · ")),
              {}, [this, work](StepOutcome<Done> outcome) {
                  finish(work, outcome.value && !work->isCancelled(),
                         outcome.cancelled || work->isCancelled(), outcome.error,
                         QStringLiteral("Sidon Reference runtime installed"));
              });
}

void ModelManager::cancel() {
    if (!work_) return;
    setMessage(QStringLiteral("Cancelling installation"));
    work_->cancel();
}

void ModelManager::finish(const std::shared_ptr<Worker>& work, bool succeeded, bool cancelled,
                          const QString& failure, const QString& successMessage) {
    if (work != work_) return;
    if (succeeded) {
        setMessage(successMessage);
    } else if (cancelled) {
        setMessage(QStringLiteral("Installation cancelled"));
    } else {
        setError(QStringLiteral("Installation could not finish. Check your internet connection "
                                "and available disk space, then try again.\n\n") +
                 failure);
        setMessage(QStringLiteral("Installation failed; ready to retry"));
    }
    refresh();
    setActiveDownload(std::nullopt);
    work_.reset();
}

void ModelManager::remove(const std::string& modelID) {
    const Entry* e = entry(modelID);
    if (!e) return;
    try {
        fs::remove_all(root_ / "Models" / e->file);
        const char* cache = modelID == "sidon"             ? "SidonFP16"
                            : modelID == "sidon-reference" ? "SidonReference"
                                                           : nullptr;
        if (cache) fs::remove_all(root_ / "Downloads" / cache);
    } catch (const std::exception& failure) {
        setError(alertText(failure));
    }
    refresh();
}

void ModelManager::reveal() {
    std::error_code ignored;
    std::filesystem::create_directories(root_, ignored);
    if (platform_.openFolder) platform_.openFolder(root_);
}

}  // namespace corvaline::app
