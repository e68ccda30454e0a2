#pragma once
// The private Python runtimes of the HTDemucs and Sidon CPU Reference engines.
//
// A relocatable CPython 3.11 archive (shared by both engines, kept in the download cache) is
// unpacked into a hidden staging folder beside the runtime folder, checked, given a pinned set
// of packages by pip, validated by import tests, stamped with a `ready` marker and switched
// into place; a validation failure at the final location puts the previous runtime back.
// Nothing of the user's own Python installation is used or changed.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "audiocore/install/InstallFiles.hpp"
#include "audiocore/platform/Process.hpp"

namespace corvaline {

/// One progress report of a runtime installation.
struct RuntimeInstallationProgress {
    enum class Phase { download, unpack, dependencies, verify, ready };
    Phase phase = Phase::download;
    std::string message;             ///< user-facing text
    std::optional<double> fraction;  ///< 0...1; absent means indeterminate

    bool operator==(const RuntimeInstallationProgress&) const = default;
};

namespace ManagedRuntime {

enum class Engine { demucs, sidonReference };

/// "demucs" / "sidon-reference": the runtime's folder name under `Runtime`.
std::string rawValue(Engine engine);
/// The exact runtime build of an engine, the content of its `ready` marker.
std::string revision(Engine engine);
/// Identity of the shared interpreter archive ("python-3.11.17-demucs-4.0.1-v1"); the
/// archive is cached as this name + ".tar.gz".
std::string revision();
/// Download address and SHA-256 of the interpreter archive for this platform.
const std::string& pythonURL();
const std::string& pythonChecksum();

inline constexpr const char* freeSpaceMessage =
    "At least 2 GB of free space is needed to install the audio runtime.";

/// The interpreter of a runtime folder: folder/bin/python3.
std::filesystem::path python(const std::filesystem::path& folder);

/// True only when folder/bin/python3 is an executable file and folder/ready reads exactly as
/// the engine's revision (no trailing newline). Any read failure yields false.
bool isReady(const std::filesystem::path& folder, Engine engine);

/// Environment for every run of a managed interpreter: the process environment without
/// PIP_* variables and without PYTHONHOME, PYTHONPATH, VIRTUAL_ENV, __PYVENV_LAUNCHER__; with
/// PYTHONNOUSERSITE=1, PIP_CONFIG_FILE=/dev/null, PIP_DISABLE_PIP_VERSION_CHECK=1,
/// PIP_NO_INPUT=1, and PIP_CACHE_DIR=`cache` when given.
Environment environment(const std::optional<std::filesystem::path>& cache);
/// The same, starting from `base` instead of the process environment.
Environment environment(const std::optional<std::filesystem::path>& cache, Environment base);

/// What an installation runs and fetches. `defaults()` holds the pinned values of this
/// platform; tests substitute their own archive address, tar program and volume.
struct Tools {
    std::filesystem::path tar = "/usr/bin/tar";
    std::string pythonURL;
    std::string pythonChecksum;
    std::string packageIndex;
    std::string torchIndex;    ///< extra index for CPU-only torch wheels (empty: none)
    std::string torchVariant;  ///< local version appended to the torch pins ("+cpu")
    std::string machine;       ///< expected platform.machine() of the interpreter
    installfiles::CapacityQuery capacity = installfiles::availableCapacity;
    /// Environment the child environments start from (empty: this process's environment).
    std::optional<Environment> baseEnvironment;

    static Tools defaults();
};

/// The sanity check run right after unpacking ("-I", "-c", this).
std::string sanityScript(const Tools& tools);
/// The import tests of an engine's runtime ("-I", "-c", this).
std::string validationScript(Engine engine);
/// pip's arguments after "-I", "-m", "pip": the bootstrap of pip itself.
std::vector<std::string> bootstrapArguments(const Tools& tools);
/// pip's arguments after "-I", "-m", "pip": the engine's packages.
std::vector<std::string> packageArguments(Engine engine, const Tools& tools);

using ProgressReport = std::function<void(const RuntimeInstallationProgress&)>;

/// Installs or replaces the runtime of `engine` at `folder` (normally Runtime/<raw value>),
/// caching the archive and pip's packages in `cache`. `report` is called on the calling
/// thread; a GUI hands the record to its own thread.
/// Throws AudioFailure(freeSpaceMessage) when the cache's volume reports less than 2 GB,
/// the verified download's failures, "Local runtime failed (status)." + log tail for a
/// failing tar/python/pip step, file errors unchanged, Cancelled after the current step
/// (a running child is terminated). The staging folder is a WorkingFolder, locked while the
/// installation runs and removed on every outcome; those left by installations that were
/// killed are removed when the next one starts. The previous runtime stays in place unless
/// the final switch and its validation succeeded.
void install(const std::filesystem::path& folder, const std::filesystem::path& cache, Engine engine,
             const ProgressReport& report, std::stop_token stop = {},
             const Tools& tools = Tools::defaults());

/// Runs one step with a managed interpreter (or tar) to completion through the engine's one
/// logged runner (platform/LoggedRun.hpp): output to a temporary log, removed afterwards.
/// Throws AudioFailure "Local runtime failed (STATUS)." + line feed + the log's last 4000
/// bytes for a non-zero exit; launch errors unchanged; Cancelled (the child is terminated).
void runStep(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
             const Environment& environment, std::stop_token stop = {});

/// Runs the engine's import tests with `python`; throws the runner's error when they fail.
void validate(const std::filesystem::path& python, const Environment& environment, Engine engine,
              std::stop_token stop = {});

/// Switches `staging` into place at `folder`: the present runtime is moved into
/// ".demucs-previous-" + UUID beside it (a locked WorkingFolder, so that the next installation
/// removes it should this process be killed meanwhile), the staging folder moved in and
/// `validation` run on its interpreter at the final location. On success the previous copy is
/// removed; when the move or the validation fails, the new folder is removed and the previous
/// one moved back (an error of that restore is thrown instead of the first one, and the
/// previous copy is then kept where it is).
void activate(const std::filesystem::path& staging, const std::filesystem::path& folder,
              const std::function<void(const std::filesystem::path& python)>& validation);

}  // namespace ManagedRuntime

}  // namespace corvaline
