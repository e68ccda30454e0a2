// modelruntime_probe FILE: reports whether libtorch is mapped, writes and loads a small
// TorchScript model at FILE through the model runtime, and reports again.
// Output lines: "torch-before=0|1", then "torch-after=0|1" or "error=<message>" (exit 1).

#include <link.h>

#include <cstdio>
#include <exception>
#include <string>

#include "audiocore/modelruntime/ModelRuntime.hpp"

namespace {

int torchMapped() {
    int found = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            const std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("libtorch") != std::string::npos) *static_cast<int*>(data) = 1;
            return 0;
        },
        &found);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace corvaline;
    std::printf("torch-before=%d\n", torchMapped());
    if (argc < 2) return 0;
    try {
        ModelRuntime::saveScriptModule("def forward(self, x):\n    return x * 2.0\n", argv[1]);
        const auto model = ModelRuntime::load(argv[1]);
        const auto out = model->predict({{"x", Tensor::float32({2}, {1.0f, 2.0f})}}, "y");
        const Tensor* y = out.tensor("y");
        std::printf("result=%g\n", y ? y->element(1) : -1.0);
    } catch (const std::exception& e) {
        std::printf("error=%s\n", e.what());
        return 1;
    }
    std::printf("torch-after=%d\n", torchMapped());
    return 0;
}
