// corvaline-cli models: the model catalog, what is installed and ready, and installing or
// removing models in the model folder.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "CliSupport.hpp"
#include "Command.hpp"
#include "audiocore/install/ModelCatalog.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/FailureText.hpp"

namespace corvaline::cli {
namespace {

std::string state(const ModelCatalog& catalog, const LocalModel& model) {
    if (!catalog.installed().count(model.id)) return "not installed";
    return catalog.isReady(model) ? "ready" : "installed, runtime missing";
}

int list(const ModelCatalog& catalog, bool json) {
    const std::string defaultID = ModelCatalog::defaultModelID();
    if (json) {
        nlohmann::json models = nlohmann::json::array();
        for (const auto& model : catalog.entries()) {
            models.push_back({{"id", model.id},
                              {"name", model.name},
                              {"category", model.category},
                              {"detail", model.detail},
                              {"size", model.size},
                              {"file", model.file},
                              {"source", model.source},
                              {"location", catalog.location(model).string()},
                              {"installed", catalog.installed().count(model.id) > 0},
                              {"ready", catalog.isReady(model)},
                              {"default", model.id == defaultID}});
        }
        const nlohmann::json out = {{"folder", catalog.root().string()},
                                    {"defaultModel", defaultID},
                                    {"models", models},
                                    {"runtimes",
                                     {{"deepFilter", catalog.runtimeReady()},
                                      {"demucs", catalog.demucsReady()},
                                      {"sidonReference", catalog.sidonReferenceReady()}}}};
        std::printf("%s\n",
                    out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
    }
    std::printf("Model folder: %s\n\n", catalog.root().c_str());
    std::printf("  %-16s %-20s %-18s %s\n", "ID", "NAME", "SIZE", "STATE");
    for (const auto& model : catalog.entries()) {
        std::printf("%c %-16s %-20s %-18s %s\n", model.id == defaultID ? '*' : ' ',
                    model.id.c_str(), model.name.c_str(), model.size.c_str(),
                    state(catalog, model).c_str());
    }
    const auto flag = [](bool ready) { return ready ? "ready" : "not installed"; };
    std::printf("\nRuntimes:\n");
    std::printf("  %-34s %s\n", "DeepFilterNet program", flag(catalog.runtimeReady()));
    std::printf("  %-34s %s\n", "Demucs runtime", flag(catalog.demucsReady()));
    std::printf("  %-34s %s\n", "Sidon Reference runtime", flag(catalog.sidonReferenceReady()));
    std::printf("\n* the default model. Install one with: corvaline-cli models install ID\n");
    return 0;
}

/// Shows installation progress: each new status line once, and a bar while a fraction is
/// known.
class InstallProgress {
  public:
    void operator()(const RuntimeInstallationProgress& record) {
        if (record.message != message_) {
            if (bar_) bar_->finish();
            bar_.reset();
            message_ = record.message;
            std::fprintf(stderr, "%s\n", message_.c_str());
        }
        if (record.fraction && record.phase != RuntimeInstallationProgress::Phase::ready) {
            if (!bar_) bar_.emplace(message_);
            (*bar_)(*record.fraction);
        }
    }
    void finish() {
        if (bar_) bar_->finish();
    }

  private:
    std::string message_;
    std::optional<ProgressBar> bar_;
};

int install(ModelCatalog& catalog, const std::string& id) {
    const LocalModel* model = catalog.model(id);
    const bool demucsRuntime = id == ModelCatalog::demucsRuntimeID;
    const bool referenceRuntime = id == ModelCatalog::referenceRuntimeID;
    if (!model && !demucsRuntime && !referenceRuntime) {
        std::string ids;
        for (const auto& entry : catalog.entries())
            ids += " " + entry.id;
        throw UsageError{"unknown model \"" + id + "\"; the models are:" + ids +
                         " (and \"runtime\" or \"reference-runtime\" to repair a runtime)"};
    }
    InstallProgress shown;
    try {
        runCancellable([&](std::stop_token stop) {
            const auto progress = std::ref(shown);
            if (demucsRuntime) {
                catalog.installDemucs(progress, stop);
            } else if (referenceRuntime) {
                catalog.installReferenceRuntime(progress, stop);
            } else {
                catalog.install(*model, progress, stop);
            }
            return 0;
        });
    } catch (const Cancelled&) {
        shown.finish();
        catalog.refresh();
        std::fprintf(stderr, "corvaline-cli: %s\n", ModelCatalog::cancelledMessage);
        return 130;
    } catch (const std::exception& error) {
        shown.finish();
        catalog.refresh();
        std::fprintf(stderr, "corvaline-cli: %s\n",
                     ModelCatalog::failureText(error, describeFailure(error)).c_str());
        return 1;
    }
    shown.finish();
    catalog.refresh();
    if (demucsRuntime) {
        std::printf("Demucs runtime installed\n");
    } else if (referenceRuntime) {
        std::printf("Sidon Reference runtime installed\n");
    } else {
        std::printf("%s\n", ModelCatalog::installedMessage(*model).c_str());
    }
    return 0;
}

int remove(ModelCatalog& catalog, const std::string& id) {
    const LocalModel* model = catalog.model(id);
    if (!model) throw UsageError{"unknown model \"" + id + "\""};
    const bool wasInstalled = catalog.installed().count(id) > 0;
    catalog.remove(*model);
    catalog.refresh();
    std::printf(wasInstalled ? "Removed %s\n" : "%s was not installed\n", model->name.c_str());
    return 0;
}

int run(const std::vector<std::string>& argv) {
    Arguments args(argv);
    const bool json = args.flag("--json");
    const auto words = args.positionals();
    ModelCatalog catalog;
    if (words.empty()) return list(catalog, json);
    if (json) throw UsageError{"--json only goes with the list of models"};
    const std::string& action = words[0];
    if (action == "folder" && words.size() == 1) {
        std::printf("%s\n", catalog.root().c_str());
        return 0;
    }
    if (action == "install" && words.size() == 2) return install(catalog, words[1]);
    if (action == "remove" && words.size() == 2) return remove(catalog, words[1]);
    if (action == "install" || action == "remove") throw UsageError{action + " needs one model ID"};
    throw UsageError{"unknown models action \"" + action + "\""};
}

const CommandRegistration registration{{
    "models",
    "models [--json] | models install ID | models remove ID | models folder",
    "List the restoration models and runtimes, install or remove a model, or print the model "
    "folder.",
    run,
}};

}  // namespace
}  // namespace corvaline::cli
