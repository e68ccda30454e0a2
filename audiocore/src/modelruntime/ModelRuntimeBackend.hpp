#pragma once
// The boundary between the engine and the TorchScript runtime module.
//
// The module (the only code that links libtorch) is a shared object loaded with dlopen the
// first time a model is compiled, loaded or written; a program that never runs a model never
// maps libtorch. The module exports one C function that hands out its backend when the
// interface version matches; everything else crosses as the C++ types of ModelRuntime.hpp
// (both sides are built together, with the same compiler and standard library). Errors
// thrown by the backend are the ModelRuntime.hpp ones.

#include <filesystem>
#include <memory>
#include <string>

#include "audiocore/modelruntime/ModelRuntime.hpp"

namespace corvaline {

class ModelRuntimeBackend {
  public:
    virtual ~ModelRuntimeBackend() = default;
    virtual void compile(const std::filesystem::path& package,
                         const std::filesystem::path& destination) const = 0;
    virtual std::unique_ptr<Model> load(const std::filesystem::path& file,
                                        const ModelConfiguration& configuration) const = 0;
    virtual void saveScriptModule(const std::string& source,
                                  const std::filesystem::path& destination) const = 0;
    /// The runtime's own name and version for messages ("libtorch 1.13.1").
    virtual std::string runtimeName() const = 0;
};

/// Raised whenever the boundary changes shape, so that a stale module is refused.
inline constexpr unsigned kModelRuntimeInterfaceVersion = 1;

}  // namespace corvaline

/// The module's one exported function: its backend for `interfaceVersion`, or null when the
/// module was built for another version.
extern "C" {
using CorvalineModelRuntimeEntry = const corvaline::ModelRuntimeBackend* (*)(unsigned);
}
#define CORVALINE_MODEL_RUNTIME_ENTRY "corvaline_model_runtime"
