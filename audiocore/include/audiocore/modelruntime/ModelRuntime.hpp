#pragma once
// The in-process neural-network runtime: TorchScript through libtorch, behind a small
// interface of named tensors so that nothing else in the engine knows about libtorch.
//
// "Compiling" a model freezes it and optimises it for inference, then stores the result; a
// compiled copy loads faster and is what later runs use. Models run on the CPU only.
// Errors of the runtime (a missing or corrupt file, a failed prediction) are LibraryError
// ("libtorch") carrying the runtime's own text.

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
    /// Names of the inputs of the model's forward method, in order.
    virtual std::vector<std::string> inputNames() const = 0;
    /// Runs the model. A model returning a dictionary names its outputs by its keys; a model
    /// returning one tensor has it stored under `outputName`. Anything else is stored under
    /// `outputName` as "not a tensor". Runtime errors are LibraryError.
    virtual ModelOutputs predict(const TensorMap& inputs, const std::string& outputName) const = 0;
};

/// How to run a model. Only the CPU is used on Linux.
struct ModelConfiguration {
    bool cpuOnly = true;
};

namespace ModelRuntime {

/// True when this build carries the TorchScript runtime.
bool available();

/// Loads the TorchScript file `package`, freezes it, optimises it for inference and saves the
/// result at `destination` (overwriting). Runtime and file errors propagate.
void compile(const std::filesystem::path& package, const std::filesystem::path& destination);

/// Loads a TorchScript file for inference.
std::unique_ptr<Model> load(const std::filesystem::path& file,
                            const ModelConfiguration& configuration = {});

/// Writes a TorchScript module whose methods are defined by `source` (TorchScript text, for
/// example "def forward(self, x):\n    return x * 2\n") to `destination`. Used to build small
/// stand-in models.
void saveScriptModule(const std::string& source, const std::filesystem::path& destination);

}  // namespace ModelRuntime
}  // namespace corvaline
