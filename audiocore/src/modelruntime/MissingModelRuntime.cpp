// Stands in for the TorchScript runtime in builds configured without libtorch: every model
// operation fails with a library error instead of the build failing.

#include "audiocore/modelruntime/ModelRuntime.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline::ModelRuntime {

namespace {
[[noreturn]] void missing() {
    throw LibraryError("libtorch", "This build of Corvaline has no TorchScript runtime.");
}
}  // namespace

bool available() {
    return false;
}
void compile(const std::filesystem::path&, const std::filesystem::path&) {
    missing();
}
std::unique_ptr<Model> load(const std::filesystem::path&, const ModelConfiguration&) {
    missing();
}
void saveScriptModule(const std::string&, const std::filesystem::path&) {
    missing();
}

}  // namespace corvaline::ModelRuntime
