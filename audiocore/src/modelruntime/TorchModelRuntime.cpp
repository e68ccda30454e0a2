// The only translation unit of the project that includes libtorch.

#include <torch/script.h>

#include <utility>

#include "audiocore/modelruntime/ModelRuntime.hpp"
#include "audiocore/platform/Errors.hpp"

namespace corvaline {

namespace {

[[noreturn]] void rethrow(const c10::Error& error) {
    throw LibraryError("libtorch", error.what_without_backtrace());
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
            inputNames_.push_back(argument.name());
        }
    }

    std::vector<std::string> inputNames() const override { return inputNames_; }

    ModelOutputs predict(const TensorMap& inputs, const std::string& outputName) const override {
        std::vector<c10::IValue> stack;
        for (const auto& name : inputNames_) {
            const auto it = inputs.find(name);
            if (it == inputs.end()) {
                throw LibraryError("libtorch", "The model input \"" + name + "\" was not given.");
            }
            stack.emplace_back(toTorch(it->second));
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
    mutable torch::jit::Module module_;
    std::vector<std::string> inputNames_;
};

}  // namespace

namespace ModelRuntime {

bool available() {
    return true;
}

void compile(const std::filesystem::path& package, const std::filesystem::path& destination) {
    try {
        torch::jit::Module module = torch::jit::load(package.string(), torch::kCPU);
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

std::unique_ptr<Model> load(const std::filesystem::path& file, const ModelConfiguration&) {
    try {
        torch::jit::Module module = torch::jit::load(file.string(), torch::kCPU);
        module.eval();
        return std::make_unique<TorchModel>(std::move(module));
    } catch (const c10::Error& error) {
        rethrow(error);
    }
}

void saveScriptModule(const std::string& source, const std::filesystem::path& destination) {
    try {
        torch::jit::Module module("StandIn");
        module.define(source);
        module.save(destination.string());
    } catch (const c10::Error& error) {
        rethrow(error);
    }
}

}  // namespace ModelRuntime
}  // namespace corvaline
