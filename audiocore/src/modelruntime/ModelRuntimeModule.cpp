// Finds and loads the TorchScript runtime module on first use, and forwards the ModelRuntime
// operations to it. The module stays loaded for the life of the process (models and tensors
// it made may outlive any one call).

#include <dlfcn.h>

#include <mutex>
#include <system_error>

#include "ModelRuntimeBackend.hpp"
#include "audiocore/modelruntime/ModelRuntime.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/Paths.hpp"

namespace corvaline::ModelRuntime {

namespace fs = std::filesystem;

namespace {

constexpr const char* kChooseAnother =
    "Reinstall Corvaline with its TorchScript runtime, or choose a model that runs in its own "
    "runtime (Sidon CPU Reference, DeepFilterNet or HTDemucs).";

std::mutex& moduleMutex() {
    static std::mutex mutex;
    return mutex;
}

const ModelRuntimeBackend*& loadedBackend() {
    static const ModelRuntimeBackend* backend = nullptr;
    return backend;
}

std::string quoted(const fs::path& path) {
    return "“" + path.string() + "”";
}

/// Opens the module at `file` and asks it for its backend. Throws LibraryError naming the
/// file when it cannot be loaded or is of another version.
const ModelRuntimeBackend* open(const fs::path& file) {
    // RTLD_NODELETE: the module is never unmapped, even if a handle were closed.
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* reason = ::dlerror();
        throw LibraryError(
            "libtorch", "The TorchScript model runtime " + quoted(file) +
                            " could not be loaded; a library it needs (libtorch) may be missing. " +
                            kChooseAnother + "\n" + (reason ? reason : ""));
    }
    const auto entry = reinterpret_cast<CorvalineModelRuntimeEntry>(
        ::dlsym(handle, CORVALINE_MODEL_RUNTIME_ENTRY));
    const ModelRuntimeBackend* backend = entry ? entry(kModelRuntimeInterfaceVersion) : nullptr;
    if (!backend) {
        ::dlclose(handle);
        throw LibraryError("libtorch", "The TorchScript model runtime " + quoted(file) +
                                           " does not belong to this version of Corvaline. " +
                                           kChooseAnother);
    }
    return backend;
}

const ModelRuntimeBackend& backend() {
    const std::lock_guard lock(moduleMutex());
    auto& present = loadedBackend();
    if (present) return *present;
    const auto candidates = moduleCandidates();
    for (const auto& candidate : candidates) {
        std::error_code ec;
        if (!fs::exists(candidate, ec)) continue;
        present = open(candidate);
        return *present;
    }
    throw LibraryError("libtorch", missingModuleMessage(candidates));
}

}  // namespace

std::vector<fs::path> moduleCandidates() {
    const fs::path folder = paths::executableFolder();
    return {folder / moduleFileName, folder.parent_path() / "lib" / "corvaline" / moduleFileName};
}

bool available() {
    std::error_code ec;
    for (const auto& candidate : moduleCandidates()) {
        if (fs::is_regular_file(candidate, ec)) return true;
    }
    return false;
}

bool loaded() {
    const std::lock_guard lock(moduleMutex());
    return loadedBackend() != nullptr;
}

std::string missingModuleMessage(const std::vector<fs::path>& candidates) {
    std::string places;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0) places += i + 1 == candidates.size() ? " or " : ", ";
        places += quoted(candidates[i].parent_path());
    }
    return std::string("The TorchScript model runtime is not installed: ") + moduleFileName +
           " is not in " + places + ". " + kChooseAnother;
}

void compile(const fs::path& package, const fs::path& destination) {
    backend().compile(package, destination);
}

std::unique_ptr<Model> load(const fs::path& file, const ModelConfiguration& configuration) {
    return backend().load(file, configuration);
}

void saveScriptModule(const std::string& source, const fs::path& destination) {
    backend().saveScriptModule(source, destination);
}

}  // namespace corvaline::ModelRuntime
