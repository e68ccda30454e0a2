#pragma once
// The in-process neural-network runtime: TorchScript through libtorch, behind a small
// interface of named tensors so that nothing else in the engine knows about libtorch.
//
// libtorch lives in a separate module ("corvaline-torch.so") that is loaded the first time a
// model is compiled, loaded or written, so that a program that runs no model never maps it
// (it costs about 300 shared libraries, 0.4 s and 150 MB). The module is looked for beside
// the running executable, then in <prefix>/lib/corvaline of an installed layout.
//
// "Compiling" a model freezes it and optimises it for inference, then stores the result; a
// compiled copy loads faster and is what later runs use. Models run on the CPU only.
// Errors of the runtime are LibraryError ("libtorch"). A missing or unloadable module, a
// missing or damaged model file and an archive this runtime cannot read are told in a user's
// words (the runtime's own text at most on a second line); a failed prediction carries the
// runtime's text.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audiocore/modelruntime/Tensor.hpp"

namespace corvaline {

/// Named input tensors.
using TensorMap = std::map<std::string, Tensor>;

/// A model's named results. A present name whose value is not a tensor maps to nullopt.
struct ModelOutputs {
    std::map<std::string, std::optional<Tensor>> values;
    /// The tensor under `name`, or null when it is missing or not a tensor.
    const Tensor* tensor(const std::string& name) const {
        const auto it = values.find(name);
        return it != values.end() && it->second ? &*it->second : nullptr;
    }
};

/// A loaded model. predict may be called from one thread at a time per model.
class Model {
  public:
    virtual ~Model() = default;
    /// Names of the inputs the caller must give (those of the forward method without a
    /// default value), in order.
    virtual std::vector<std::string> inputNames() const = 0;
    /// Names of the inputs that have a default value and may be left out, in order.
    virtual std::vector<std::string> optionalInputNames() const { return {}; }
    /// Runs the model. Inputs are matched by name; an input with a default value that is not
    /// given takes its default. A model returning a dictionary names its outputs by its keys;
    /// a model returning one tensor has it stored under `outputName`. Anything else is stored
    /// under `outputName` as "not a tensor". Runtime errors (a required input missing
    /// included) are LibraryError.
    virtual ModelOutputs predict(const TensorMap& inputs, const std::string& outputName) const = 0;
};

/// How to run a model. Only the CPU is used on Linux.
struct ModelConfiguration {
    bool cpuOnly = true;
};

namespace ModelRuntime {

/// File name of the runtime module.
inline constexpr const char* moduleFileName = "corvaline-torch.so";

/// Where the module is looked for, in order: beside the running executable, then
/// ../lib/corvaline from it (an installed layout: bin/ and lib/corvaline/ under one prefix).
std::vector<std::filesystem::path> moduleCandidates();

/// True when the module file exists at one of its places. Does not load it.
bool available();

/// True once this process has loaded the module.
bool loaded();

/// The message for a module that is missing from every place in `candidates` (first line in
/// a user's words, naming the places).
std::string missingModuleMessage(const std::vector<std::filesystem::path>& candidates);

/// Loads the TorchScript file `package`, freezes it, optimises it for inference and saves the
/// result at `destination` (overwriting). Errors as load(); file errors propagate.
void compile(const std::filesystem::path& package, const std::filesystem::path& destination);

/// Loads a TorchScript file for inference.
/// Throws LibraryError when the module is missing or cannot be loaded, when `file` does not
/// exist, is damaged, or was written by a PyTorch this runtime cannot read (the message names
/// the cause and points to the "Sidon CPU Reference" engine, which runs a current PyTorch in
/// its own runtime).
std::unique_ptr<Model> load(const std::filesystem::path& file,
                            const ModelConfiguration& configuration = {});

/// Writes a TorchScript module whose methods are defined by `source` (TorchScript text, for
/// example "def forward(self, x):\n    return x * 2\n") to `destination`. Used to build small
/// stand-in models.
void saveScriptModule(const std::string& source, const std::filesystem::path& destination);

}  // namespace ModelRuntime
}  // namespace corvaline
