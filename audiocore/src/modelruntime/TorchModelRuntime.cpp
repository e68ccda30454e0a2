// The only translation unit of the project that includes libtorch. It is built into the
// runtime module (corvaline-torch.so) that ModelRuntimeModule.cpp loads on first use.

#include <torch/csrc/jit/frontend/error_report.h>
#include <torch/script.h>
#include <torch/version.h>

#include <filesystem>
#include <utility>

#include "ModelRuntimeBackend.hpp"
#include "audiocore/modelruntime/ModelRuntime.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline {

namespace {

#define CORVALINE_STRINGIFY2(x) #x
#define CORVALINE_STRINGIFY(x) CORVALINE_STRINGIFY2(x)
constexpr const char* kRuntimeName = "libtorch " CORVALINE_STRINGIFY(
    TORCH_VERSION_MAJOR) "." CORVALINE_STRINGIFY(TORCH_VERSION_MINOR);

[[noreturn]] void rethrow(const c10::Error& error) {
    throw LibraryError("libtorch", error.what_without_backtrace());
}

std::string quoted(const std::filesystem::path& path) {
    return "“" + path.filename().string() + "”";
}

/// The first line of a runtime error, without the runtime's call-site decorations.
std::string firstLine(std::string text) {
    text.erase(0, text.find_first_not_of("\n "));
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '.' || line.back() == ':'))
        line.pop_back();
    if (line.size() > 240) line = line.substr(0, 240) + "…";
    return line;
}

/// The text between `before` and the first of `ends` after it, or empty.
std::string between(const std::string& text, const std::string& before, const char* ends) {
    const auto start = text.find(before);
    if (start == std::string::npos) return {};
    const auto from = start + before.size();
    const auto end = text.find_first_of(ends, from);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

/// Why this runtime could not read an archive, in a user's words.
std::string unreadableCause(const std::string& text) {
    const std::string op = between(text, "Unknown builtin op: ", ".\n");
    if (!op.empty()) return "it uses the operation " + op + ", which " + kRuntimeName + " lacks";
    const std::string version = between(text, "PyTorch file with version ", ", ");
    const std::string newest = between(text, "maximum supported version for reading is ", ". ");
    if (!version.empty() && !newest.empty()) {
        return "its file format version " + version + " is newer than the newest " + kRuntimeName +
               " reads (" + newest + ")";
    }
    const std::string type = between(text, "Unknown type name '", "'");
    if (!type.empty()) return "it uses the type " + type + ", which " + kRuntimeName + " lacks";
    return firstLine(text);
}

bool isDamagedArchive(const std::string& text) {
    return text.find("PytorchStreamReader failed") != std::string::npos ||
           text.find("failed finding central directory") != std::string::npos ||
           text.find("file not found: archive/") != std::string::npos;
}

/// Loads a TorchScript archive, turning the ways a file can be unreadable into messages that
/// say what to do.
torch::jit::Module loadArchive(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        throw LibraryError("libtorch", "The model file " + quoted(file) + " is missing from " +
                                           quoted(file.parent_path()) +
                                           ". Install the model again.");
    }
    std::string text;
    try {
        return torch::jit::load(file.string(), torch::kCPU);
    } catch (const c10::Error& error) {
        text = error.what_without_backtrace();
    } catch (const torch::jit::ErrorReport& error) {
        // Raised while compiling the archive's code: an operation, a type or a call form that
        // this runtime does not know.
        text = error.what();
    }
    {
        if (isDamagedArchive(text)) {
            throw LibraryError("libtorch",
                               "The model file " + quoted(file) +
                                   " is damaged or is not a TorchScript model. Install the model "
                                   "again.\n" +
                                   firstLine(text));
        }
        throw LibraryError("libtorch",
                           "The model file " + quoted(file) + " cannot be read by " + kRuntimeName +
                               ": " + unreadableCause(text) +
                               ". It was probably saved by a newer PyTorch. Choose the “Sidon "
                               "CPU Reference” engine, which runs the model with a current "
                               "PyTorch in its own runtime.");
    }
}

ElementType elementType(c10::ScalarType type) {
    switch (type) {
        case c10::ScalarType::Half:
            return ElementType::float16;
        case c10::ScalarType::Float:
            return ElementType::float32;
        case c10::ScalarType::Double:
            return ElementType::float64;
        case c10::ScalarType::Char:
            return ElementType::int8;
        case c10::ScalarType::Byte:
            return ElementType::uint8;
        case c10::ScalarType::Short:
            return ElementType::int16;
        case c10::ScalarType::Int:
            return ElementType::int32;
        case c10::ScalarType::Long:
            return ElementType::int64;
        case c10::ScalarType::Bool:
            return ElementType::boolean;
        default:
            return ElementType::other;
    }
}

c10::ScalarType scalarType(ElementType type) {
    switch (type) {
        case ElementType::float16:
            return c10::ScalarType::Half;
        case ElementType::float32:
            return c10::ScalarType::Float;
        case ElementType::float64:
            return c10::ScalarType::Double;
        case ElementType::int8:
            return c10::ScalarType::Char;
        case ElementType::uint8:
            return c10::ScalarType::Byte;
        case ElementType::int16:
            return c10::ScalarType::Short;
        case ElementType::int32:
            return c10::ScalarType::Int;
        case ElementType::int64:
            return c10::ScalarType::Long;
        case ElementType::boolean:
            return c10::ScalarType::Bool;
        case ElementType::other:
            break;
    }
    throw std::invalid_argument("Tensor: element type cannot be passed to a model");
}

// Wraps our tensor without copying; the libtorch tensor keeps our storage alive, so an output
// that aliases an input stays valid.
at::Tensor toTorch(const Tensor& tensor) {
    auto owner = std::make_shared<Tensor>(tensor);
    return torch::from_blob(
        const_cast<void*>(tensor.data()), tensor.shape(), tensor.strides(),
        [owner](void*) mutable { owner.reset(); },
        torch::TensorOptions().dtype(scalarType(tensor.elementType())).device(torch::kCPU));
}

Tensor fromTorch(at::Tensor tensor) {
    if (!tensor.device().is_cpu()) tensor = tensor.to(torch::kCPU);
    if (tensor.is_mkldnn()) tensor = tensor.to_dense();
    auto holder = std::make_shared<at::Tensor>(std::move(tensor));
    const at::Tensor& t = *holder;
    return Tensor(elementType(t.scalar_type()), t.sizes().vec(), t.strides().vec(), t.data_ptr(),
                  std::shared_ptr<const void>(holder, holder.get()));
}

class TorchModel final : public Model {
  public:
    explicit TorchModel(torch::jit::Module module) : module_(std::move(module)) {
        const auto& schema = module_.get_method("forward").function().getSchema();
        for (const auto& argument : schema.arguments()) {
            if (argument.name() == "self") continue;
            arguments_.push_back({argument.name(), argument.default_value()});
            auto& names = argument.default_value() ? optionalNames_ : requiredNames_;
            names.push_back(argument.name());
        }
    }

    std::vector<std::string> inputNames() const override { return requiredNames_; }
    std::vector<std::string> optionalInputNames() const override { return optionalNames_; }

    ModelOutputs predict(const TensorMap& inputs, const std::string& outputName) const override {
        std::vector<c10::IValue> stack;
        for (const auto& argument : arguments_) {
            const auto it = inputs.find(argument.name);
            if (it != inputs.end()) {
                stack.emplace_back(toTorch(it->second));
            } else if (argument.defaultValue) {
                // Models saved by newer exporters declare extra inputs such as an attention
                // mask with a default; leaving them out means "use the default".
                stack.push_back(*argument.defaultValue);
            } else {
                throw LibraryError("libtorch",
                                   "The model input \"" + argument.name + "\" was not given.");
            }
        }
        ModelOutputs outputs;
        try {
            c10::InferenceMode inference;
            const c10::IValue result = module_.forward(std::move(stack));
            if (result.isTensor()) {
                outputs.values[outputName] = fromTorch(result.toTensor());
            } else if (result.isGenericDict()) {
                for (const auto& entry : result.toGenericDict()) {
                    if (!entry.key().isString()) continue;
                    std::optional<Tensor> value;
                    if (entry.value().isTensor()) value = fromTorch(entry.value().toTensor());
                    outputs.values[entry.key().toStringRef()] = std::move(value);
                }
            } else {
                outputs.values[outputName] = std::nullopt;
            }
        } catch (const c10::Error& error) {
            rethrow(error);
        }
        return outputs;
    }

  private:
    struct Argument {
        std::string name;
        c10::optional<c10::IValue> defaultValue;
    };
    mutable torch::jit::Module module_;
    std::vector<Argument> arguments_;
    std::vector<std::string> requiredNames_;
    std::vector<std::string> optionalNames_;
};

class TorchBackend final : public ModelRuntimeBackend {
  public:
    void compile(const std::filesystem::path& package,
                 const std::filesystem::path& destination) const override;
    std::unique_ptr<Model> load(const std::filesystem::path& file,
                                const ModelConfiguration& configuration) const override;
    void saveScriptModule(const std::string& source,
                          const std::filesystem::path& destination) const override;
    std::string runtimeName() const override { return kRuntimeName; }
};

void TorchBackend::compile(const std::filesystem::path& package,
                           const std::filesystem::path& destination) const {
    torch::jit::Module module = loadArchive(package);
    try {
        module.eval();
        torch::jit::Module frozen = torch::jit::freeze(module);
        torch::jit::Module optimised = torch::jit::optimize_for_inference(frozen);
        try {
            optimised.save(destination.string());
        } catch (const c10::Error&) {
            // Some inference rewrites (prepacked weights) cannot be stored; the frozen
            // module still loads faster than the package and computes the same values.
            std::filesystem::remove(destination);
            frozen.save(destination.string());
        }
    } catch (const c10::Error& error) {
        rethrow(error);
    }
}

std::unique_ptr<Model> TorchBackend::load(const std::filesystem::path& file,
                                          const ModelConfiguration&) const {
    torch::jit::Module module = loadArchive(file);
    try {
        module.eval();
        return std::make_unique<TorchModel>(std::move(module));
    } catch (const c10::Error& error) {
        rethrow(error);
    }
}

void TorchBackend::saveScriptModule(const std::string& source,
                                    const std::filesystem::path& destination) const {
    try {
        torch::jit::Module module("StandIn");
        module.define(source);
        module.save(destination.string());
    } catch (const c10::Error& error) {
        rethrow(error);
    }
}

}  // namespace
}  // namespace corvaline

extern "C" __attribute__((visibility("default"))) const corvaline::ModelRuntimeBackend*
corvaline_model_runtime(unsigned interfaceVersion) {
    static const corvaline::TorchBackend backend;
    return interfaceVersion == corvaline::kModelRuntimeInterfaceVersion ? &backend : nullptr;
}
