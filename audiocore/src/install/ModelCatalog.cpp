#include "audiocore/install/ModelCatalog.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Paths.hpp"

namespace fs = std::filesystem;

namespace corvaline {

namespace {

using Engine = ManagedRuntime::Engine;
using Phase = RuntimeInstallationProgress::Phase;
using Variant = SidonAssets::Variant;

std::vector<LocalModel> makeModels(const pins::PlatformPins& pins) {
    const std::string deepFilterPage = "https://github.com/Rikorose/DeepFilterNet";
    const std::string sidonPage = "https://huggingface.co/sarulab-speech/sidon-v0.1";
    // On Linux the in-process engine runs the reference TorchScript checkpoints through
    // libtorch, so its files are those of the reference repository.
    std::int64_t inProcessBytes = 0;
    for (const auto& asset : pins.sidonInProcess.manifest)
        inProcessBytes += asset.bytes;
    const bool coreML = pins.name.rfind("macos", 0) == 0;
    char inProcessSize[32];
    std::snprintf(inProcessSize, sizeof inProcessSize, "%.2f GB", double(inProcessBytes) / 1e9);
    return {
        {"sidon", "Sidon FP16", "Noise & room echo restoration",
         std::string(coreML ? "Core ML" : "TorchScript") +
             " \u00b7 CPU \u00b7 3 GB free space \u00b7 Generative; voice may change",
         coreML ? "747 MB" : inProcessSize, "SidonFP16", std::nullopt, std::nullopt, sidonPage},
        {"sidon-reference", "Sidon CPU Reference", "Noise & room echo restoration",
         "Full precision \u00b7 Private runtime \u00b7 5 GB free space \u00b7 Generative; voice "
         "may change",
         "1.01 GB + runtime", "SidonReference", std::nullopt, std::nullopt, sidonPage},
        {"dfn3", "DeepFilterNet 3", "Dialogue enhancement", "48 kHz full-band speech denoising",
         "8 MB", "DeepFilterNet3_onnx.tar.gz", pins.deepFilterModels + "DeepFilterNet3_onnx.tar.gz",
         pins.deepFilter3Checksum, deepFilterPage},
        {"dfn2", "DeepFilterNet 2", "Dialogue enhancement",
         "Alternative for comparing speech artifacts", "9 MB", "DeepFilterNet2_onnx.tar.gz",
         pins.deepFilterModels + "DeepFilterNet2_onnx.tar.gz", pins.deepFilter2Checksum,
         deepFilterPage},
        {"demucs", "HTDemucs", "Vocals from music",
         "Hybrid Transformer separation \u00b7 CPU render", "~80 MB", "955717e8-8726e21a.th",
         pins.demucsCheckpoint.url, pins.demucsCheckpoint.checksum,
         "https://github.com/facebookresearch/demucs"},
    };
}

bool isExecutableFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && !ec && ::access(path.c_str(), X_OK) == 0;
}

void report(const ModelCatalog::Progress& progress, Phase phase, const std::string& message,
            std::optional<double> fraction) {
    if (progress) progress(RuntimeInstallationProgress{phase, message, fraction});
}

/// Removes a model's file or folder; a failure names it in a user's words.
void removeItem(const fs::path& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) {
        throw AudioFailure("Could not remove \u201c" + path.string() + "\u201d: " + ec.message() +
                           ".");
    }
}

}  // namespace

ModelCatalog::Tools ModelCatalog::Tools::defaults() {
    const auto& row = pins::current();
    Tools tools;
    tools.models = makeModels(row);
    tools.deepFilter = row.deepFilter;
    tools.machine = row.machine;
    tools.runtime = ManagedRuntime::Tools::defaults();
    tools.demucsBridge = LocalInference::bridgeScript("demucs_bridge");
    tools.referenceBridge = LocalInference::bridgeScript("sidon_reference_bridge");
    tools.installSidon = [](const fs::path& folder, const fs::path& cache, Variant variant,
                            const SidonAssets::Validation& validate,
                            const ProgressCallback& progress, std::stop_token stop) {
        SidonAssets::install(folder, cache, variant, validate, progress, stop);
    };
    tools.sidonInstalled = [](const fs::path& folder, Variant variant) {
        return SidonAssets::isInstalled(folder, variant);
    };
    tools.sidonRevision = SidonAssets::revision(Variant::coreML);
    tools.referenceRevision = SidonAssets::revision(Variant::reference);
    return tools;
}

const std::vector<LocalModel>& ModelCatalog::models() {
    static const std::vector<LocalModel> list = makeModels(pins::current());
    return list;
}

std::string ModelCatalog::defaultModelID() {
    return ProcessingSettings{}.modelID;
}

ModelCatalog::ModelCatalog(std::optional<fs::path> root, Tools tools)
    : root_(root ? std::move(*root) : paths::modelFolder()), tools_(std::move(tools)) {
    refresh();
}

const LocalModel* ModelCatalog::model(std::string_view id) const {
    const auto it = std::find_if(entries().begin(), entries().end(),
                                 [&](const LocalModel& m) { return m.id == id; });
    return it == entries().end() ? nullptr : &*it;
}

fs::path ModelCatalog::location(const LocalModel& model) const {
    return root_ / "Models" / model.file;
}
fs::path ModelCatalog::deepFilterProgram() const {
    return root_ / "Runtime" / "deep-filter";
}
fs::path ModelCatalog::runtimeFolder(Engine engine) const {
    return root_ / "Runtime" / ManagedRuntime::rawValue(engine);
}
fs::path ModelCatalog::downloads() const {
    return root_ / "Downloads";
}
fs::path ModelCatalog::sidonCache(Variant variant) const {
    return variant == Variant::coreML ? downloads() / "SidonFP16" / tools_.sidonRevision
                                      : downloads() / "SidonReference" / tools_.referenceRevision;
}

void ModelCatalog::refresh() {
    std::set<std::string> found;
    for (const auto& entry : entries()) {
        const fs::path path = location(entry);
        bool present = false;
        if (entry.id == "sidon" || entry.id == "sidon-reference") {
            present = tools_.sidonInstalled &&
                      tools_.sidonInstalled(
                          path, entry.id == "sidon" ? Variant::coreML : Variant::reference);
        } else {
            std::error_code ec;
            present = fs::exists(path, ec) && !ec;
        }
        if (present) found.insert(entry.id);
    }
    installed_ = std::move(found);
    runtimeReady_ = isExecutableFile(deepFilterProgram());
    demucsReady_ = ManagedRuntime::isReady(runtimeFolder(Engine::demucs), Engine::demucs);
    sidonReferenceReady_ =
        ManagedRuntime::isReady(runtimeFolder(Engine::sidonReference), Engine::sidonReference);
}

bool ModelCatalog::isReady(const LocalModel& model) const {
    if (!installed_.count(model.id)) return false;
    if (model.id == "sidon-reference") return sidonReferenceReady_;
    if (model.id == "sidon") return true;
    if (model.id == "demucs") return demucsReady_;
    return runtimeReady_;
}

InferenceConfiguration ModelCatalog::configuration(const std::string& modelID,
                                                   double reduction) const {
    const LocalModel* entry = model(modelID);
    if (!entry || !installed_.count(entry->id)) throw AudioFailure(notInstalledMessage);
    const fs::path path = location(*entry);
    if (entry->id == "sidon-reference") {
        if (!sidonReferenceReady_) throw AudioFailure(referenceRuntimeMessage);
        return InferenceConfiguration::sidonReference(
            ManagedRuntime::python(runtimeFolder(Engine::sidonReference)), path,
            tools_.referenceBridge);
    }
    if (entry->id == "sidon") return InferenceConfiguration::sidon(path);
    if (entry->id == "demucs") {
        if (!demucsReady_) throw AudioFailure(demucsRuntimeMessage);
        return InferenceConfiguration(ManagedRuntime::python(runtimeFolder(Engine::demucs)), path,
                                      tools_.demucsBridge, reduction);
    }
    if (!runtimeReady_) throw AudioFailure(speechRuntimeMessage);
    return InferenceConfiguration(deepFilterProgram(), path, std::nullopt, reduction);
}

void ModelCatalog::installRuntime(Engine engine, const Progress& progress,
                                  std::stop_token stop) const {
    const std::string prefix = engine == Engine::sidonReference ? referencePrefix : "";
    ManagedRuntime::install(
        runtimeFolder(engine), downloads(), engine,
        [&](const RuntimeInstallationProgress& record) {
            if (!progress) return;
            RuntimeInstallationProgress shown = record;
            shown.message = prefix + record.message;
            progress(shown);
        },
        stop, tools_.runtime);
}

void ModelCatalog::installDeepFilter(const Progress& progress, std::stop_token stop) const {
    const std::string message =
        "Downloading Linux " + tools_.machine + " speech runtime" +
        (tools_.deepFilter.bytes > 0
             ? " \u00b7 " + std::to_string((tools_.deepFilter.bytes + 500000) / 1000000) + " MB"
             : std::string());
    if (tools_.deepFilter.url.empty() || tools_.deepFilter.checksum.empty()) {
        throw AudioFailure("No DeepFilterNet program is published for Linux " + tools_.machine +
                           ". Choose another model.");
    }
    report(progress, Phase::download, message, 0.0);
    const fs::path program = deepFilterProgram();
    VerifiedDownload::fetch(
        tools_.deepFilter.url, program, tools_.deepFilter.checksum,
        [&](double f) { report(progress, Phase::download, message, f); }, stop);
    // rwxr-xr-x: the verified download lands as a plain file.
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
}

void ModelCatalog::install(const LocalModel& model, const Progress& progress,
                           std::stop_token stop) const {
    throwIfCancelled(stop);
    const std::string downloading = "Downloading " + model.name;
    report(progress, Phase::download, downloading, 0.0);

    // The runtime first, read from the folder rather than the published flags, which belong
    // to the owning thread.
    if (model.id == "demucs") {
        if (!ManagedRuntime::isReady(runtimeFolder(Engine::demucs), Engine::demucs)) {
            installRuntime(Engine::demucs, progress, stop);
        }
    } else if (model.id == "sidon-reference") {
        if (!ManagedRuntime::isReady(runtimeFolder(Engine::sidonReference),
                                     Engine::sidonReference)) {
            installRuntime(Engine::sidonReference, progress, stop);
        }
    } else if (model.id != "sidon" && !isExecutableFile(deepFilterProgram())) {
        installDeepFilter(progress, stop);
    }
    throwIfCancelled(stop);

    report(progress, Phase::download, downloading, 0.0);
    const auto fraction = [&](double f) { report(progress, Phase::download, downloading, f); };
    if (model.id == "sidon" || model.id == "sidon-reference") {
        const Variant variant = model.id == "sidon" ? Variant::coreML : Variant::reference;
        SidonAssets::Validation validate;
        if (variant == Variant::reference) {
            const fs::path python = ManagedRuntime::python(runtimeFolder(Engine::sidonReference));
            const fs::path bridge = tools_.referenceBridge;
            const Environment environment = ManagedRuntime::environment(
                std::nullopt, tools_.runtime.baseEnvironment ? *tools_.runtime.baseEnvironment
                                                             : currentEnvironment());
            validate = [python, bridge, environment](const fs::path& staging,
                                                     std::stop_token token) {
                ManagedRuntime::runStep(python, LocalInference::verifyArguments(bridge, staging),
                                        environment, token);
            };
        }
        tools_.installSidon(location(model), sidonCache(variant), variant, validate, fraction,
                            stop);
    } else {
        if (!model.url || !model.checksum) throw AudioFailure(invalidDownloadMessage);
        VerifiedDownload::fetch(*model.url, location(model), *model.checksum, fraction, stop);
    }
    report(progress, Phase::ready, installedMessage(model), 1.0);
}

void ModelCatalog::installDemucs(const Progress& progress, std::stop_token stop) const {
    report(progress, Phase::unpack, "Preparing audio runtime", std::nullopt);
    installRuntime(Engine::demucs, progress, stop);
}

void ModelCatalog::installReferenceRuntime(const Progress& progress, std::stop_token stop) const {
    report(progress, Phase::unpack, "Preparing Sidon Reference runtime", std::nullopt);
    installRuntime(Engine::sidonReference, progress, stop);
}

void ModelCatalog::remove(const LocalModel& model) const {
    removeItem(location(model));
    if (model.id == "sidon") removeItem(downloads() / "SidonFP16");
    if (model.id == "sidon-reference") removeItem(downloads() / "SidonReference");
}

std::string ModelCatalog::installedMessage(const LocalModel& model) {
    return model.name + " installed";
}

std::string ModelCatalog::failureText(const std::exception& error, const std::string& description) {
    if (dynamic_cast<const MissingLibrary*>(&error)) return error.what();
    return std::string(installFailureMessage) + "\n\n" + description;
}

}  // namespace corvaline
