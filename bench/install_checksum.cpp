// Streaming SHA-256 of model-sized files: how long verification of a download or a staged
// copy takes. Prints bytes per second and the projected time to verify the full-precision
// Sidon files (1,005,323,806 bytes).

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "audiocore/install/VerifiedDownload.hpp"
#include "audiocore/platform/Paths.hpp"
#include "audiocore/platform/Uuid.hpp"

namespace fs = std::filesystem;

namespace {

struct ScratchFile {
    fs::path path;
    explicit ScratchFile(std::int64_t bytes) {
        path = corvaline::paths::temporaryFolder() /
               ("corvaline-bench-" + corvaline::newUuidString() + ".bin");
        std::ofstream out(path, std::ios::binary);
        std::mt19937 generator(1);
        std::string block(1 << 20, '\0');
        for (auto& b : block)
            b = static_cast<char>(generator() & 0xff);
        for (std::int64_t left = bytes; left > 0; left -= static_cast<std::int64_t>(block.size())) {
            out.write(block.data(), std::min<std::int64_t>(left, block.size()));
        }
    }
    ~ScratchFile() {
        std::error_code ec;
        fs::remove(path, ec);
    }
};

void BM_Checksum(benchmark::State& state) {
    const std::int64_t bytes = state.range(0) << 20;
    ScratchFile file(bytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(corvaline::VerifiedDownload::checksum(file.path));
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["reference_set_seconds"] = benchmark::Counter(
        static_cast<double>(bytes) / 1005323806.0,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_Checksum)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
