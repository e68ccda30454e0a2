#pragma once
// The five local restoration models, where they live, what is installed, and how they and
// the runtimes they need are installed and removed.
//
// Everything lives under one root folder (the user's data folder + "Corvaline" unless given):
//   Models/<file>              an installed model (a file; a folder for the Sidon variants)
//   Runtime/deep-filter        the DeepFilterNet program (mode 0755)
//   Runtime/demucs, Runtime/sidon-reference   the private Python runtimes
//   Downloads                  download cache of the runtimes (and pip's package cache)
//   Downloads/SidonFP16/<rev>, Downloads/SidonReference/<rev>   caches of the Sidon variants
//
// ModelCatalog is the engine half of the application's model manager: the manager runs one
// installation at a time on a worker, publishes the progress records given here on its own
// thread and calls refresh() after every installation, failure and removal. Installations
// only read the catalog's configuration, never its published state, so one may run on a
// worker while the owning thread reads installed() and the ready flags.

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "audiocore/install/InstallFiles.hpp"
#include "audiocore/install/ManagedRuntime.hpp"
#include "audiocore/install/Pins.hpp"
#include "audiocore/install/SidonAssets.hpp"
#include "audiocore/restoration/LocalInference.hpp"

namespace corvaline {

/// One entry of the model catalog.
struct LocalModel {
    std::string id;                       ///< stable identifier, as in ProcessingSettings::modelID
    std::string name;                     ///< display name
    std::string category;                 ///< short purpose line
    std::string detail;                   ///< one-line description
    std::string size;                     ///< display size
    std::string file;                     ///< file or folder name under Models/
    std::optional<std::string> url;       ///< download address of the model file (not Sidon)
    std::optional<std::string> checksum;  ///< SHA-256 (or its published prefix), lower-case hex
    std::string source;                   ///< the publisher's project page

    bool operator==(const LocalModel&) const = default;
};

class ModelCatalog {
  public:
    /// Progress of an installation: the phase, the status line to show, and the fraction of
    /// the current step (absent while it is not known). Called on the installing thread.
    using Progress = std::function<void(const RuntimeInstallationProgress&)>;

    /// What installations fetch and run. defaults() holds this platform's pins and the bridge
    /// scripts shipped beside the executables; tests substitute local servers and stand-ins.
    struct Tools {
        std::vector<LocalModel> models;         ///< the catalog, in display order
        pins::PinnedFile deepFilter;            ///< the DeepFilterNet program
        std::string machine;                    ///< "x86_64", "aarch64": named in messages
        ManagedRuntime::Tools runtime;          ///< the Python runtimes' installer
        std::filesystem::path demucsBridge;     ///< "demucs_bridge.py"
        std::filesystem::path referenceBridge;  ///< "sidon_reference_bridge.py"
        /// Installs a Sidon variant (SidonAssets::install with its free-space check).
        std::function<void(const std::filesystem::path& folder, const std::filesystem::path& cache,
                           SidonAssets::Variant, const SidonAssets::Validation&,
                           const ProgressCallback&, std::stop_token)>
            installSidon;
        /// Whether a Sidon variant is installed in a folder (SidonAssets::isInstalled).
        std::function<bool(const std::filesystem::path& folder, SidonAssets::Variant)>
            sidonInstalled;
        /// Download-cache revision of each Sidon variant.
        std::string sidonRevision;
        std::string referenceRevision;

        static Tools defaults();
    };

    // Messages of the configuration and of the installations.
    static constexpr const char* notInstalledMessage =
        "Download the selected model in Settings first.";
    static constexpr const char* referenceRuntimeMessage =
        "Install or repair the Sidon Reference runtime in Settings first.";
    static constexpr const char* demucsRuntimeMessage =
        "Install the Demucs runtime in Settings first.";
    static constexpr const char* speechRuntimeMessage =
        "Download the speech runtime in Settings first.";
    static constexpr const char* invalidDownloadMessage = "Invalid model download configuration.";
    static constexpr const char* installFailureMessage =
        "Installation could not finish. Check your internet connection and available disk "
        "space, then try again.";
    static constexpr const char* cancellingMessage = "Cancelling installation";
    static constexpr const char* cancelledMessage = "Installation cancelled";
    static constexpr const char* failedStatusMessage = "Installation failed; ready to retry";
    /// Prefix of the Sidon Reference runtime's progress messages.
    static constexpr const char* referencePrefix = "Sidon Reference \u00b7 ";
    /// Ids an installation is published under while a runtime alone is installed.
    static constexpr const char* demucsRuntimeID = "runtime";
    static constexpr const char* referenceRuntimeID = "reference-runtime";

    /// The five models of this platform, in display order.
    static const std::vector<LocalModel>& models();
    /// The model the settings start with (ProcessingSettings' default).
    static std::string defaultModelID();

    /// A catalog over `root` (none: the user's data folder + "Corvaline"); refreshes at once.
    explicit ModelCatalog(std::optional<std::filesystem::path> root = std::nullopt,
                          Tools tools = Tools::defaults());

    const std::filesystem::path& root() const { return root_; }
    const std::vector<LocalModel>& entries() const { return tools_.models; }
    /// The entry with `id`, or null.
    const LocalModel* model(std::string_view id) const;

    std::filesystem::path location(const LocalModel& model) const;  ///< root/Models/<file>
    std::filesystem::path deepFilterProgram() const;                ///< root/Runtime/deep-filter
    std::filesystem::path runtimeFolder(ManagedRuntime::Engine engine) const;
    std::filesystem::path downloads() const;  ///< root/Downloads
    /// root/Downloads/SidonFP16/<revision> or root/Downloads/SidonReference/<revision>.
    std::filesystem::path sidonCache(SidonAssets::Variant variant) const;

    /// Reads the installed set and the three runtime flags from the folder again.
    void refresh();
    const std::set<std::string>& installed() const { return installed_; }
    bool runtimeReady() const { return runtimeReady_; }
    bool demucsReady() const { return demucsReady_; }
    bool sidonReferenceReady() const { return sidonReferenceReady_; }
    /// Installed and its runtime ready ("sidon" needs no runtime).
    bool isReady(const LocalModel& model) const;

    /// What the inference runner needs to run `modelID`. Throws AudioFailure
    /// notInstalledMessage (unknown or not installed), referenceRuntimeMessage,
    /// demucsRuntimeMessage or speechRuntimeMessage (its runtime is not ready).
    InferenceConfiguration configuration(const std::string& modelID, double reduction) const;

    /// Installs `model`, first the runtime it needs when that is not ready (the Python
    /// runtime, or the DeepFilterNet program made executable). A file already present with
    /// the right digest is not fetched again, so this also repairs. Throws the failures of the
    /// verified downloads, the Sidon installation, the runtime installer,
    /// AudioFailure(invalidDownloadMessage), file errors; Cancelled. A cancelled or failed
    /// installation leaves no partial file under Models/ or Runtime/.
    void install(const LocalModel& model, const Progress& progress,
                 std::stop_token stop = {}) const;
    /// Installs or repairs one Python runtime on its own.
    void installDemucs(const Progress& progress, std::stop_token stop = {}) const;
    void installReferenceRuntime(const Progress& progress, std::stop_token stop = {}) const;

    /// Deletes an installed model (and a Sidon variant's download cache). Runtimes stay.
    /// Throws AudioFailure naming the item that could not be removed.
    void remove(const LocalModel& model) const;

    /// Status line after a successful installation ("HTDemucs installed").
    static std::string installedMessage(const LocalModel& model);
    /// The failure text shown for an installation that failed with `error`, described by
    /// `description` (the front end's words for it): installFailureMessage, two line breaks
    /// and the description; a MissingLibrary refusal alone, since checking the connection or
    /// the disk would not help.
    static std::string failureText(const std::exception& error, const std::string& description);

  private:
    void installRuntime(ManagedRuntime::Engine engine, const Progress& progress,
                        std::stop_token stop) const;
    void installDeepFilter(const Progress& progress, std::stop_token stop) const;

    std::filesystem::path root_;
    Tools tools_;
    std::set<std::string> installed_;
    bool runtimeReady_ = false;
    bool demucsReady_ = false;
    bool sidonReferenceReady_ = false;
};

}  // namespace corvaline
