#include "audiocore/install/ManagedRuntime.hpp"

#include <unistd.h>

#include <system_error>

#include "audiocore/install/Pins.hpp"
#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/LoggedRun.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::ManagedRuntime {

namespace {

constexpr std::uint64_t kMinimumFreeSpace = 2000000000ULL;

std::vector<std::string> pythonArguments(std::initializer_list<std::string> head,
                                         const std::vector<std::string>& tail) {
    std::vector<std::string> arguments(head);
    arguments.insert(arguments.end(), tail.begin(), tail.end());
    return arguments;
}

/// The folder holding the previous runtime while a new one is switched in (for both engines).
constexpr std::string_view kBackupPrefix = ".demucs-previous-";

/// "." + engine + "-install-": the staging folder of one installation attempt.
std::string stagingPrefix(Engine engine) {
    return "." + rawValue(engine) + "-install-";
}

void report(const ProgressReport& callback, RuntimeInstallationProgress::Phase phase,
            const char* message, std::optional<double> fraction) {
    if (callback) callback(RuntimeInstallationProgress{phase, message, fraction});
}

}  // namespace

std::string rawValue(Engine engine) {
    return engine == Engine::demucs ? "demucs" : "sidon-reference";
}

std::string revision(Engine engine) {
    return engine == Engine::demucs ? "python-3.11.17-demucs-4.0.1-v1"
                                    : "python-3.11.17-sidon-reference-torch-2.5.1-v1";
}

std::string revision() {
    return "python-3.11.17-demucs-4.0.1-v1";
}

const std::string& pythonURL() {
    return pins::current().python.url;
}
const std::string& pythonChecksum() {
    return pins::current().python.checksum;
}

fs::path python(const fs::path& folder) {
    return folder / "bin" / "python3";
}

bool isReady(const fs::path& folder, Engine engine) {
    const fs::path interpreter = python(folder);
    std::error_code ec;
    if (!fs::is_regular_file(interpreter, ec) || ec) return false;
    if (::access(interpreter.c_str(), X_OK) != 0) return false;
    const auto marker = installfiles::readSmallFile(folder / "ready");
    return marker && *marker == revision(engine);
}

Environment environment(const std::optional<fs::path>& cache) {
    return environment(cache, currentEnvironment());
}

Environment environment(const std::optional<fs::path>& cache, Environment base) {
    for (auto it = base.begin(); it != base.end();) {
        if (it->first.rfind("PIP_", 0) == 0) {
            it = base.erase(it);
        } else {
            ++it;
        }
    }
    for (const char* name : {"PYTHONHOME", "PYTHONPATH", "VIRTUAL_ENV", "__PYVENV_LAUNCHER__",
                             "PIP_TARGET", "PIP_PREFIX", "PIP_USER"}) {
        base.erase(name);
    }
    base["PYTHONNOUSERSITE"] = "1";
    base["PIP_CONFIG_FILE"] = "/dev/null";
    base["PIP_DISABLE_PIP_VERSION_CHECK"] = "1";
    base["PIP_NO_INPUT"] = "1";
    if (cache) base["PIP_CACHE_DIR"] = cache->string();
    return base;
}

Tools Tools::defaults() {
    const auto& row = pins::current();
    Tools tools;
    tools.pythonURL = row.python.url;
    tools.pythonChecksum = row.python.checksum;
    tools.packageIndex = row.packageIndex;
    tools.torchIndex = row.torchIndex;
    tools.torchVariant = row.torchVariant;
    tools.machine = row.machine;
    return tools;
}

std::string sanityScript(const Tools& tools) {
    return "import sys,platform; assert sys.version_info[:2] == (3,11); "
           "assert platform.machine() == '" +
           tools.machine + "'";
}

std::string validationScript(Engine engine) {
    std::string script = "import torch,torchaudio,soundfile,numpy; ";
    if (engine == Engine::demucs) {
        script +=
            "import demucs; from demucs.pretrained import get_model; "
            "from demucs.apply import apply_model; ";
    } else {
        script +=
            "import transformers; from transformers import SeamlessM4TFeatureExtractor; "
            "assert transformers.__version__ == '4.51.3'; SeamlessM4TFeatureExtractor(); ";
    }
    script +=
        "assert torch.__version__.startswith('2.5.1'); "
        "assert torch.isfinite(torch.randn(16)).all(); "
        "assert torchaudio.functional.resample(torch.zeros(480),48000,44100).numel() > 0";
    return script;
}

std::vector<std::string> bootstrapArguments(const Tools& tools) {
    return {"install",   "--index-url",        tools.packageIndex,
            "pip==25.2", "setuptools==80.9.0", "wheel==0.45.1"};
}

std::vector<std::string> packageArguments(Engine engine, const Tools& tools) {
    std::vector<std::string> arguments{"install", "--index-url", tools.packageIndex};
    if (!tools.torchIndex.empty()) {
        arguments.push_back("--extra-index-url");
        arguments.push_back(tools.torchIndex);
    }
    if (engine == Engine::sidonReference) arguments.push_back("--only-binary=:all:");
    arguments.push_back("torch==2.5.1" + tools.torchVariant);
    arguments.push_back("torchaudio==2.5.1" + tools.torchVariant);
    arguments.push_back("soundfile==0.13.1");
    arguments.push_back("numpy==1.26.4");
    if (engine == Engine::sidonReference) {
        for (const char* p : {"transformers==4.51.3", "huggingface-hub==0.36.2",
                              "tokenizers==0.21.4", "safetensors==0.8.0"}) {
            arguments.push_back(p);
        }
    } else {
        arguments.push_back("demucs==4.0.1");
    }
    return arguments;
}

void runStep(const fs::path& executable, const std::vector<std::string>& arguments,
             const Environment& environment, std::stop_token stop) {
    try {
        runLogged(executable, arguments, environment, {}, stop);
    } catch (const ProgramFailure& failure) {
        throw AudioFailure(failure.what());
    }
}

void validate(const fs::path& interpreter, const Environment& env, Engine engine,
              std::stop_token stop) {
    runStep(interpreter, {"-I", "-c", validationScript(engine)}, env, stop);
}

void activate(const fs::path& staging, const fs::path& folder,
              const std::function<void(const fs::path& python)>& validation) {
    const fs::path parent = folder.parent_path().empty() ? fs::path(".") : folder.parent_path();
    // The previous runtime waits in a locked working folder: should this process be killed
    // before the end, the next installation removes it instead of it staying for ever.
    WorkingFolder backupFolder(parent, kBackupPrefix);
    const fs::path backup = backupFolder.path() / "runtime";
    std::error_code ec;
    bool hasBackup = false;
    if (fs::symlink_status(folder, ec).type() != fs::file_type::not_found && !ec) {
        fs::rename(folder, backup);  // a failure here changes nothing
        hasBackup = true;
    }
    try {
        fs::rename(staging, folder);
        if (validation) validation(python(folder));
    } catch (...) {
        installfiles::removeQuietly(folder);
        if (hasBackup) {
            try {
                fs::rename(backup, folder);
            } catch (...) {
                // Its error replaces the first one, and the previous runtime stays where it is.
                backupFolder.movedTo(backupFolder.path());
                throw;
            }
        }
        throw;
    }
}

void install(const fs::path& folder, const fs::path& cache, Engine engine,
             const ProgressReport& progress, std::stop_token stop, const Tools& tools) {
    using Phase = RuntimeInstallationProgress::Phase;
    const fs::path runtimeRoot =
        folder.parent_path().empty() ? fs::path(".") : folder.parent_path();
    fs::create_directories(runtimeRoot);
    fs::create_directories(cache);

    if (tools.capacity) {
        const auto available = tools.capacity(cache);
        if (available && *available < kMinimumFreeSpace) throw AudioFailure(freeSpaceMessage);
    }

    report(progress, Phase::download, "Downloading audio runtime", 0.0);
    const fs::path archive = cache / (revision() + ".tar.gz");
    VerifiedDownload::fetch(
        tools.pythonURL, archive, tools.pythonChecksum,
        [&progress](double f) {
            report(progress, Phase::download, "Downloading audio runtime", f);
        },
        stop);
    throwIfCancelled(stop);

    // Staging folders of installations that were killed (of either engine) go first; a running
    // installation's own stays locked and is left alone by every process.
    for (const Engine each : {Engine::demucs, Engine::sidonReference}) {
        removeStaleWorkingFolders(runtimeRoot, stagingPrefix(each));
    }
    removeStaleWorkingFolders(runtimeRoot, kBackupPrefix);
    WorkingFolder workingFolder(runtimeRoot, stagingPrefix(engine));
    const fs::path staging = workingFolder.path();

    report(progress, Phase::unpack, "Preparing audio runtime", std::nullopt);
    const Environment base = tools.baseEnvironment ? *tools.baseEnvironment : currentEnvironment();
    // tar runs with the application's own environment; only Python gets the managed one.
    runStep(tools.tar,
            {"-xzf", archive.string(), "--strip-components", "1", "-C", staging.string()}, base,
            stop);
    throwIfCancelled(stop);

    const fs::path interpreter = python(staging);
    const Environment env = environment(cache / "packages", base);
    runStep(interpreter, {"-I", "-c", sanityScript(tools)}, env, stop);

    report(progress, Phase::dependencies, "Installing audio engine and dependencies", std::nullopt);
    runStep(interpreter, pythonArguments({"-I", "-m", "pip"}, bootstrapArguments(tools)), env,
            stop);
    runStep(interpreter, pythonArguments({"-I", "-m", "pip"}, packageArguments(engine, tools)), env,
            stop);

    report(progress, Phase::verify, "Checking audio runtime", std::nullopt);
    validate(interpreter, env, engine, stop);
    throwIfCancelled(stop);

    installfiles::writeFileAtomically(staging / "ready", revision(engine));
    activate(staging, folder,
             [&](const fs::path& installed) { validate(installed, env, engine, stop); });
    workingFolder.movedTo(folder);

    report(progress, Phase::ready, "Audio runtime installed", 1.0);
}

}  // namespace corvaline::ManagedRuntime
